// 5x5 median filter of 8-bit images in GPU memory.
//
//   #include <median_filter/median_filter.h>
//   median_filter::options opts;
//   opts.mode = median_filter::border::mirror;
//   cudaError_t e = median_filter::filter5x5(src, src_pitch, dst, dst_pitch, width, height, 4, opts, stream);
//
// CMake: find_package(median_filter CONFIG REQUIRED), then link
// median_filter::median_filter (GPU) or median_filter::median_filter_emu
// (the same code on a CPU emulation of the CUDA runtime, whose
// <cuda_runtime.h> comes with it).
#pragma once

#include "border.h"

#include <cuda_runtime.h>

#include <cstddef>

namespace median_filter {

struct options {
    border mode = border::constant;
    unsigned char constant_value = 0;  // outside pixels in constant mode, every channel
};

// Largest width and height: block coordinates plus the window's reach stay
// within int.
constexpr int max_extent = 1 << 30;

// 5x5 per-channel median of a width x height image of `channels` (1, 3 or 4)
// interleaved 8-bit channels; every channel is filtered, alpha too.
// src and dst are device pointers with row pitches in bytes; runs on `stream`,
// returns without waiting. No host synchronisation, no allocation: calls on
// different streams may run at once.
//
// Returns cudaErrorInvalidValue, with nothing launched, for
// - a null src or dst;
// - width or height below 1 or above max_extent;
// - channels other than 1, 3 or 4, or an unknown border mode;
// - a pitch smaller than width * channels, or an image whose last byte lies
//   beyond PTRDIFF_MAX bytes from its start or past the end of the address space;
// - src and dst images whose byte ranges [p, p + (height - 1) * pitch + width * channels)
//   overlap: in-place filtering is refused, since pixels would be read after
//   they are overwritten.
// Otherwise the launch's own result (an earlier asynchronous error may show up here).
cudaError_t filter5x5(const unsigned char* src, size_t src_pitch, unsigned char* dst, size_t dst_pitch, int width,
                      int height, int channels, const options& opts = {}, cudaStream_t stream = 0);

}  // namespace median_filter
