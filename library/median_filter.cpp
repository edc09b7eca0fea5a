// The library's entry point: checks the arguments, then launches the
// kernel for the channel count on the caller's stream. It keeps no state and
// allocates nothing.
#include "include/median_filter/median_filter.h"

#include "library/core/border_median.cuh"

#include <cstdint>
#include <limits>
#include <type_traits>

namespace median_filter {
namespace {

using kernel_fn = void (*)(border_median::image_args);

kernel_fn kernel_for(int channels) {
    switch (channels) {
        case 1: return median_kernel_border_c1;
        case 3: return median_kernel_border_c3;
        case 4: return median_kernel_border_c4;
        default: return nullptr;
    }
}

// Bytes from an image's first byte to one past its last, or 0 when that
// span is not addressable from `p`.
std::size_t image_span(const void* p, std::size_t pitch, int height, std::size_t row_bytes) {
    constexpr auto max_span = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    const auto rows_before_last = static_cast<std::size_t>(height - 1);
    if (pitch < row_bytes) return 0;
    if (rows_before_last != 0 && pitch > (max_span - row_bytes) / rows_before_last) return 0;
    const std::size_t span = rows_before_last * pitch + row_bytes;
    if (reinterpret_cast<std::uintptr_t>(p) > std::numeric_limits<std::uintptr_t>::max() - span) return 0;
    return span;
}

bool overlap(const void* a, std::size_t a_span, const void* b, std::size_t b_span) {
    const auto a0 = reinterpret_cast<std::uintptr_t>(a);
    const auto b0 = reinterpret_cast<std::uintptr_t>(b);
    return a0 < b0 + b_span && b0 < a0 + a_span;
}

unsigned int blocks(int extent, int span) { return static_cast<unsigned int>(extent / span + (extent % span != 0)); }

}  // namespace

template <class T>
cudaError_t filter(image<const T> src, image<T> dst, int window, const options& opts, cudaStream_t stream) {
    // Work in progress: only 8-bit 5x5 so far.
    if (!std::is_same_v<T, unsigned char> || window != 5) return cudaErrorInvalidValue;
    const int width = src.width, height = src.height, channels = src.channels;
    const kernel_fn kernel = kernel_for(channels);
    if (!src.data || !dst.data || !kernel || !is_border_mode(opts.mode) || width < 1 || height < 1 ||
        width > max_extent || height > max_extent || dst.width != width || dst.height != height ||
        dst.channels != channels || !(opts.constant_value >= 0 && opts.constant_value <= 255))
        return cudaErrorInvalidValue;
    const std::size_t row_bytes = static_cast<std::size_t>(width) * channels * sizeof(T);
    const std::size_t src_span = image_span(src.data, src.pitch, height, row_bytes);
    const std::size_t dst_span = image_span(dst.data, dst.pitch, height, row_bytes);
    if (src_span == 0 || dst_span == 0 || overlap(src.data, src_span, dst.data, dst_span)) return cudaErrorInvalidValue;

    border_median::image_args args{reinterpret_cast<const unsigned char*>(src.data), src.pitch,
                                   reinterpret_cast<unsigned char*>(dst.data), dst.pitch, width, height, opts.mode,
                                   static_cast<unsigned char>(opts.constant_value)};
    const dim3 block(border_median::block_width, border_median::block_height);
    const unsigned int block_rows = blocks(height, border_median::span_y);
    const dim3 grid(blocks(width, border_median::span_x),
                    block_rows < border_median::max_grid_rows ? block_rows : border_median::max_grid_rows);
    void* params[] = {&args};
    return cudaLaunchKernel(kernel, grid, block, params, 0, stream);
}

template cudaError_t filter<unsigned char>(image<const unsigned char>, image<unsigned char>, int, const options&,
                                           cudaStream_t);
template cudaError_t filter<unsigned short>(image<const unsigned short>, image<unsigned short>, int, const options&,
                                            cudaStream_t);
template cudaError_t filter<float>(image<const float>, image<float>, int, const options&, cudaStream_t);

cudaError_t filter5x5(const unsigned char* src, size_t src_pitch, unsigned char* dst, size_t dst_pitch, int width,
                      int height, int channels, const options& opts, cudaStream_t stream) {
    return filter<unsigned char>({src, src_pitch, width, height, channels}, {dst, dst_pitch, width, height, channels},
                                 5, opts, stream);
}

}  // namespace median_filter
