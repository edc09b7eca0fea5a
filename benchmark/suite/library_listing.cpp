#include "library_listing.h"

#include "library/core/kernel_catalog.h"

#include <cstddef>
#include <cstdio>

namespace {

template <class T>
constexpr const char* type_name();
template <>
constexpr const char* type_name<unsigned char>() { return "u8"; }
template <>
constexpr const char* type_name<unsigned short>() { return "u16"; }
template <>
constexpr const char* type_name<float>() { return "f32"; }

const char* method_name(median_core::method how) {
    switch (how) {
    case median_core::method::tiled_network: return "tiled_network";
    case median_core::method::tiled_keys: return "tiled_keys";
    case median_core::method::bitslice: return "bitslice";
    case median_core::method::tiled_wide: return "tiled_wide";
    case median_core::method::tiled_wide_keys: return "tiled_wide_keys";
    case median_core::method::selection: break;
    }
    return "selection";
}

// The kernel's one parameter, field by field, so that the machine-code
// profile can give each field a nominal value.
template <class T>
void print_args_struct() {
    using args = median_core::image_args<T>;
    struct field {
        const char* name;
        std::size_t offset;
        std::size_t size;
    };
    const field fields[] = {
        {"src", offsetof(args, src), sizeof(args::src)},
        {"src_pitch", offsetof(args, src_pitch), sizeof(args::src_pitch)},
        {"dst", offsetof(args, dst), sizeof(args::dst)},
        {"dst_pitch", offsetof(args, dst_pitch), sizeof(args::dst_pitch)},
        {"width", offsetof(args, width), sizeof(args::width)},
        {"height", offsetof(args, height), sizeof(args::height)},
        {"mode", offsetof(args, mode), sizeof(args::mode)},
        {"constant", offsetof(args, constant_value), sizeof(args::constant_value)},
    };
    std::printf("\"args_struct\": [");
    const char* comma = "";
    for (const field& f : fields) {
        std::printf("%s{\"name\": \"%s\", \"offset\": %zu, \"size\": %zu}", comma, f.name, f.offset, f.size);
        comma = ", ";
    }
    std::printf("], \"args_size\": %zu", sizeof(args));
}

template <class T>
void print_kernels(const char*& separator) {
    for (const auto& k : median_core::library_kernels<T>()) {
        const int threads = k.block_x * k.block_y;
        std::printf("%s{\"name\": \"%s\", \"library\": true, \"method\": \"%s\", \"window\": %d, \"type\": \"%s\", "
                    "\"channels\": %d, \"block\": [%d, %d], \"threads\": %d, \"span\": [%d, %d], "
                    "\"outputs_per_thread\": %d, \"shared_bytes\": %d, \"min_arch\": %d, ",
                    separator, k.name, method_name(k.how), k.window, type_name<T>(), k.channels,
                    k.block_x, k.block_y, threads, k.span_cols, k.span_rows,
                    k.span_cols * k.span_rows / threads, k.shared_bytes, k.min_arch);
        print_args_struct<T>();
        std::printf("}");
        separator = ",\n  ";
    }
}

}  // namespace

void print_library_kernels_json(const char*& separator) {
    print_kernels<unsigned char>(separator);
    print_kernels<unsigned short>(separator);
    print_kernels<float>(separator);
}
