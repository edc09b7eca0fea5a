// The one argument of every library kernel: source and destination images
// in device memory and how outside pixels read. Plain C++, shared by the
// kernels and the host code that launches them.
#pragma once

#include "include/median_filter/border.h"

#include <cstddef>

namespace median_core {

template <class T>
struct image_args {
    const T* src;
    std::size_t src_pitch;  // bytes
    T* dst;
    std::size_t dst_pitch;  // bytes
    int width;
    int height;
    median_filter::border mode;
    T constant_value;
};

// Threads of a library block: 32 x 8, but for the wide tiles (twice a
// thread's columns), whose staged area a block of 16 x 8 keeps under the
// 48 KiB of static shared memory (3 channels of 5x5: 31.7 KiB against 62).
constexpr int block_cols = 32;
constexpr int block_rows = 8;
constexpr int block_threads = block_cols * block_rows;
constexpr int wide_block_cols = 16;
constexpr int wide_block_threads = wide_block_cols * block_rows;

// Enough block rows to fill any GPU several times over even for an image
// one block wide (the grid's y limit is 65535); taller images loop.
constexpr int max_grid_rows = 4096;

}  // namespace median_core
