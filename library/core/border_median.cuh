// The library's kernels: any row pitch, 1, 3 or 4 interleaved channels, any
// image size, and the border modes applied while the block's area is staged,
// so no bordered copy is needed. One kernel per channel count; the medians
// come from the tiled network (tiled_network.h) with the geometry of
// median_kernel_tiled_network.
#pragma once

#include "include/median_filter/border.h"
#include "tiled_geometry.h"

#include <cuda_runtime.h>

#include <cstddef>

namespace border_median {

struct image_args {
    const unsigned char* src;
    std::size_t src_pitch;  // bytes
    unsigned char* dst;
    std::size_t dst_pitch;
    int width;
    int height;
    median_filter::border mode;
    unsigned char constant_value;
};

// 32x8 threads, each with two 4x2 tiles of outputs (one per 16-bit lane,
// the second 16 rows below the first): a block covers 128x32 pixels. The
// grid's x covers the width, its y as many block rows as fit, and blocks
// step down the image by gridDim.y block rows.
constexpr int block_width = tiled::block_cols;
constexpr int block_height = tiled::block_rows;
constexpr int span_x = tiled::span_cols;
constexpr int span_y = tiled::span_rows;
// Enough blocks to fill any GPU several times over even for an image one
// block wide (the grid's y limit is 65535); taller images loop.
constexpr int max_grid_rows = 4096;

// The staged area as lane words, one per channel, row and column: the
// upper band's pixel in bytes 0 and 1, the one band_rows below in bytes 2
// and 3.
template <int Channels>
struct alignas(16) stage_tile {
    unsigned int words[Channels][tiled::stage_rows][tiled::stage_cols];
};

}  // namespace border_median

__global__ void median_kernel_border_c1(border_median::image_args args);
__global__ void median_kernel_border_c3(border_median::image_args args);
__global__ void median_kernel_border_c4(border_median::image_args args);
