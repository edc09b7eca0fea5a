// The library's kernels: any row pitch, 1, 3 or 4 interleaved channels, any
// image size, and the border modes applied while the tile is staged, so no
// bordered copy is needed. One kernel per channel count.
#pragma once

#include "../include/median_filter/border.h"
#include "tile_layout.h"

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

// One output pixel per thread in 32x8 blocks; the grid's x covers the
// width, its y as many block rows as fit, and blocks step down the image
// by gridDim.y block rows.
constexpr int block_width = ::block_width;
constexpr int block_height = ::block_height;
constexpr int max_grid_rows = 65535;

template <int Channels>
using tile = planar_tile<tile_width, tile_height, Channels>;

}  // namespace border_median

__global__ void median_kernel_border_c1(border_median::image_args args);
__global__ void median_kernel_border_c3(border_median::image_args args);
__global__ void median_kernel_border_c4(border_median::image_args args);
