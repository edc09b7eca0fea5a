// Where the histogram kernels keep their counters: 16 counters of 8 bits per
// thread for the 256 threads of a 32x8 block, in 4096 bytes of shared
// memory. Plain C++, so that the host tests check the very functions the
// kernels use (nvcc calls them from device code with --expt-relaxed-constexpr).
#pragma once

#include "tile_layout.h"

// Bins of one histogram level: 4 bits of a value.
constexpr unsigned histogram_bins = 16;
// One counter column per thread of a 32x8 block.
constexpr unsigned counter_threads = 256;
constexpr unsigned counter_bytes = histogram_bins * counter_threads;
static_assert(counter_threads == block_threads, "a counter column for each thread of the block");

// Packed counters: a 32-bit word holds four 8-bit counters, its lanes.
// A count never exceeds 25, so a lane never carries into the next one.
constexpr unsigned lane_bits = 8;
constexpr unsigned lanes_per_word = 4;
constexpr unsigned histogram_words = histogram_bins / lanes_per_word;

// Bin b is lane b mod 4 of word b / 4.
constexpr unsigned packed_word(unsigned bin) { return bin / lanes_per_word; }
constexpr unsigned packed_one(unsigned bin) { return 1u << (bin % lanes_per_word * lane_bits); }

// Element `row` of `thread` in a [rows][256] array. Consecutive threads use
// consecutive elements and 256 is a multiple of 32, so with 32-bit elements
// every access of thread L falls into bank L mod 32, whatever the row.
struct column_layout {
    static constexpr unsigned offset(unsigned thread, unsigned row) { return row * counter_threads + thread; }
};

// The two byte-counter layouts below put every counter of thread L into a
// 32-bit word whose index is congruent to L modulo 32, i.e. into bank
// L mod 32, so a warp's counter accesses never share a bank whatever bins
// they touch.
// As bit fields of the 12-bit offset both are: b / 4 in bits 11-10, a 2-bit
// field in bits 9-8, L mod 64 in bits 7-2 and a 2-bit field in bits 1-0;
// they differ in which 2-bit field picks the byte within the word.

// Threads that share a word of the row-per-bin layout are this far apart
// (in four different warps).
constexpr unsigned word_sharing_stride = counter_threads / lanes_per_word;

// A row of 256 bytes per bin; a word holds bin b of threads L mod 64,
// + 64, + 128 and + 192.
struct row_per_bin_layout {
    static constexpr unsigned offset(unsigned thread, unsigned bin) {
        return bin * counter_threads + thread % word_sharing_stride * lanes_per_word + thread / word_sharing_stride;
    }
};

// The bytes of the packed [4][256] words: bins 4g .. 4g + 3 of thread L in
// word g * 256 + L, bin 4g in the lowest byte.
struct word_per_thread_layout {
    static constexpr unsigned offset(unsigned thread, unsigned bin) {
        return column_layout::offset(thread, packed_word(bin)) * lanes_per_word + bin % lanes_per_word;
    }
};

// Shared bytes of one packed histogram per thread of the block.
constexpr unsigned packed_counter_bytes = histogram_words * counter_threads * sizeof(unsigned);

// The luma tile and its coarse bins are single planes of the 36x12 tile.
using luma_plane = planar_36x12;

// The sliding kernels: a thread's four horizontally adjacent pixels share
// the tile, so a 32x8 block covers 128x8 pixels from a 132x12 tile.
namespace sliding {
constexpr int pixels_per_thread = 4;
constexpr int wide_tile_width = pixels_per_thread * block_width + 2 * ApronRadius;
using planar_132x12 = planar_tile<wide_tile_width, tile_height>;
using interleaved_132x12 = interleaved_tile<wide_tile_width, tile_height>;
}  // namespace sliding
