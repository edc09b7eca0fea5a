// The library's entry points: check the arguments, pick the kernel for the
// device, window, type and channel count, and launch it on the caller's
// stream. They keep no state but the dispatch's architecture cache and
// allocate nothing.
#include "include/median_filter/median_filter.h"

#include "library/dispatch.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace median_filter {
namespace {

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

template <class T>
bool aligned_to_element(const void* p, std::size_t pitch) {
    return reinterpret_cast<std::uintptr_t>(p) % sizeof(T) == 0 && pitch % sizeof(T) == 0;
}

// The constant value as T; false when an integer T cannot hold it.
template <class T>
bool constant_as(double value, T& out) {
    if constexpr (std::is_floating_point_v<T>) {
        out = static_cast<T>(value);
        return true;
    } else {
        if (!(value > -1.0 && value < static_cast<double>(std::numeric_limits<T>::max()) + 1.0)) return false;
        out = static_cast<T>(value);
        return true;
    }
}

bool valid_window(int window) { return window >= min_window && window <= max_window && window % 2 == 1; }

bool valid_extent(int extent) { return extent >= 1 && extent <= max_extent; }

unsigned int blocks(int extent, int span) { return static_cast<unsigned int>(extent / span + (extent % span != 0)); }

}  // namespace

template <class T>
cudaError_t filter(image<const T> src, image<T> dst, int window, const options& opts, cudaStream_t stream) {
    const int width = src.width, height = src.height, channels = src.channels;
    T constant{};
    if (!src.data || !dst.data || !valid_window(window) || !is_border_mode(opts.mode) || !valid_extent(width) ||
        !valid_extent(height) || (channels != 1 && channels != 3 && channels != 4) || dst.width != width ||
        dst.height != height || dst.channels != channels || !aligned_to_element<T>(src.data, src.pitch) ||
        !aligned_to_element<T>(dst.data, dst.pitch) || !constant_as(opts.constant_value, constant))
        return cudaErrorInvalidValue;
    const std::size_t row_bytes = static_cast<std::size_t>(width) * channels * sizeof(T);
    const std::size_t src_span = image_span(src.data, src.pitch, height, row_bytes);
    const std::size_t dst_span = image_span(dst.data, dst.pitch, height, row_bytes);
    if (src_span == 0 || dst_span == 0 || overlap(src.data, src_span, dst.data, dst_span)) return cudaErrorInvalidValue;

    cudaError_t error = cudaSuccess;
    const int arch = detail::current_architecture(error);
    if (error != cudaSuccess) return error;
    const median_core::kernel_info<T>* kernel = detail::choose_kernel<T>(arch, window, channels);
    if (!kernel) return cudaErrorInvalidValue;

    median_core::image_args<T> args{src.data, src.pitch, dst.data, dst.pitch, width, height, opts.mode, constant};
    const dim3 block(kernel->block_x, kernel->block_y);
    const unsigned int block_rows = blocks(height, kernel->span_rows);
    const dim3 grid(blocks(width, kernel->span_cols),
                    block_rows < median_core::max_grid_rows ? block_rows : median_core::max_grid_rows);
    void* params[] = {&args};
    return cudaLaunchKernel(kernel->kernel, grid, block, params, 0, stream);
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
