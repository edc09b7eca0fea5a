// Geometry of the tiled-network core: a BlockCols x BlockRows-thread block
// (32x8 unless a wider tile needs a narrower block to keep its staged area
// in static shared memory) in which every
// thread computes one network tile (TileCols x TileRows outputs) per band;
// with two bands (16-bit lanes) the second tile lies band_rows below the
// first. The block stages its window area once, one 32-bit word per
// channel, row and column: both bands' values side by side, or one key.
// Plain C++, so that the kernel table and the dispatch read the same values.
#pragma once

#include "image_args.h"

namespace median_core {

template <int Window, int TileCols, int TileRows, int Bands, int Channels, int BlockCols = block_cols,
          int BlockRows = block_rows>
struct tiled_geometry {
    static constexpr int window = Window;
    static constexpr int radius = Window / 2;
    static constexpr int tile_cols = TileCols;
    static constexpr int tile_rows = TileRows;
    static constexpr int bands = Bands;
    static constexpr int channels = Channels;

    static constexpr int block_cols = BlockCols;
    static constexpr int block_rows = BlockRows;
    static constexpr int threads = BlockCols * BlockRows;
    static constexpr int band_rows = BlockRows * TileRows;  // output rows of one band
    static constexpr int span_cols = BlockCols * TileCols;
    static constexpr int span_rows = band_rows * Bands;
    static constexpr int stage_cols = span_cols + 2 * radius;
    static constexpr int stage_rows = band_rows + 2 * radius;
    // Plane rows start on 16-byte boundaries, so that a thread reads its
    // network inputs with vector loads.
    static constexpr int plane_cols = (stage_cols + 3) / 4 * 4;
    static constexpr int stage_bytes = Channels * stage_rows * plane_cols * 4;
    // What a kernel may declare statically; more needs dynamic shared memory.
    static_assert(stage_bytes <= 48 * 1024, "the staged area passes the static shared memory of a block");
};

// The staged area: one plane of words per channel.
template <class G>
struct alignas(16) stage_tile {
    unsigned int words[G::channels][G::stage_rows][G::plane_cols];
};

}  // namespace median_core
