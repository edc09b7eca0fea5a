// Block shapes and shared-memory tile types of the kernels. Plain C++, so
// that the kernel table takes the kernels' shared sizes from the same types.
#pragma once

#include "image/padded_image.h"

// Block shape of every kernel except the 16x16 bisection kernel.
constexpr int block_width = 32;
constexpr int block_height = 8;
constexpr int block_threads = block_width * block_height;

// Tile layouts in shared memory: tile pixel (col, row) is bordered pixel
// (X0 + col, Y0 + row), with (X0, Y0) the block's first output pixel.
template <int Width, int Height, int Channels = channels>
struct interleaved_tile {
    static constexpr int width = Width;
    static constexpr int height = Height;
    static constexpr int elements = Width * Height * Channels;
    static constexpr int index(int col, int row, int c) { return (row * Width + col) * Channels + c; }
};

// One plane per channel: a window row of a channel is consecutive elements.
template <int Width, int Height, int Channels = channels>
struct planar_tile {
    static constexpr int width = Width;
    static constexpr int height = Height;
    static constexpr int plane = Width * Height;
    static constexpr int elements = plane * Channels;
    static constexpr int index(int col, int row, int c) { return c * plane + row * Width + col; }
};

// The block's tile for one output pixel per thread: 32x8 pixels plus the
// apron, 4 more columns right and 4 more rows below.
constexpr int tile_width = block_width + 2 * ApronRadius;
constexpr int tile_height = block_height + 2 * ApronRadius;
using interleaved_36x12 = interleaved_tile<tile_width, tile_height>;
using planar_36x12 = planar_tile<tile_width, tile_height>;
