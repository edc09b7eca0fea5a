// Per-channel median filters of images in GPU memory: any odd square
// window from 3x3 to 15x15; 8-bit, 16-bit and float images of 1, 3 or 4
// interleaved channels; any row pitch; the border modes of border.h.
//
//   #include <median_filter/median_filter.h>
//   median_filter::image<const unsigned short> src{d_src, src_pitch, width, height, 1};
//   median_filter::image<unsigned short> dst{d_dst, dst_pitch, width, height, 1};
//   median_filter::options opts;
//   opts.mode = median_filter::border::mirror;
//   cudaError_t e = median_filter::filter(src, dst, 7, opts, stream);
//
// CMake: find_package(median_filter CONFIG REQUIRED), then link
// median_filter::median_filter (GPU) or median_filter::median_filter_emu
// (the same code on a CPU emulation of the CUDA runtime, whose
// <cuda_runtime.h> comes with it).
#pragma once

#include "border.h"
#include "value_order.h"

#include <cuda_runtime.h>

#include <cstddef>

namespace median_filter {

// An image in device memory. T is unsigned char, unsigned short or float,
// const-qualified for sources.
template <class T>
struct image {
    T* data;            // device pointer to the first pixel
    std::size_t pitch;  // bytes from one row to the next
    int width;
    int height;
    int channels;  // 1, 3 or 4, interleaved
};

struct options {
    border mode = border::constant;
    // The value of every channel of outside pixels in constant mode,
    // converted to the image's type as C++ (and NumPy's astype) converts:
    // fractions of integer types truncated toward zero. Integer images refuse
    // a value outside the type's range, and NaN.
    double constant_value = 0;
};

// Window sides the filter takes: odd, from 3 to 15.
constexpr int min_window = 3;
constexpr int max_window = 15;

// Largest width and height: block coordinates plus the window's reach stay
// within int.
constexpr int max_extent = 1 << 30;

// Per-channel median of the window x window square centred on each pixel;
// every channel is filtered, alpha too. Floats are ranked as value_order.h
// says (NaNs above +inf, -0 below +0). Runs on `stream` and returns without
// waiting: no host synchronisation, no allocation, calls on different
// streams may run at once.
//
// Returns cudaErrorInvalidValue, with nothing launched, for
// - a null src or dst, or a pointer or pitch not a multiple of sizeof(T);
// - width or height below 1 or above max_extent, or src and dst of
//   different width, height or channels;
// - channels other than 1, 3 or 4, or an unknown border mode;
// - a window that is even or outside min_window .. max_window;
// - a constant value that T cannot hold (integer images);
// - a pitch smaller than a row, or an image whose last byte lies beyond
//   PTRDIFF_MAX bytes from its start or past the end of the address space;
// - src and dst images whose byte ranges overlap: in-place filtering is
//   refused, since pixels would be read after they are overwritten.
// Otherwise the launch's own result (an earlier asynchronous error may show
// up here).
template <class T>
cudaError_t filter(image<const T> src, image<T> dst, int window, const options& opts = {}, cudaStream_t stream = 0);

extern template cudaError_t filter<unsigned char>(image<const unsigned char>, image<unsigned char>, int,
                                                  const options&, cudaStream_t);
extern template cudaError_t filter<unsigned short>(image<const unsigned short>, image<unsigned short>, int,
                                                   const options&, cudaStream_t);
extern template cudaError_t filter<float>(image<const float>, image<float>, int, const options&, cudaStream_t);

// The 5x5 filter of an 8-bit image: filter<unsigned char> with window 5.
cudaError_t filter5x5(const unsigned char* src, size_t src_pitch, unsigned char* dst, size_t dst_pitch, int width,
                      int height, int channels, const options& opts = {}, cudaStream_t stream = 0);

}  // namespace median_filter
