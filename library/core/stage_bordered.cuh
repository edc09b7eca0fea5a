// Staging from a bordered buffer: the source policy of the benchmark's
// tiled kernel. The buffer holds a W x H image of interleaved 8-bit
// channels with the window's radius of border pixels on every side (so no
// coordinate needs mapping), rows of pw pixels packed. Each loader moves
// chunks of 4 pixels with aligned word loads realigned by funnel shifts,
// and writes each channel's 4 lane words with one 16-byte shared store.
#pragma once

#include "stage_mapped.cuh"
#include "tiled_geometry.h"

#include <cuda_runtime.h>

namespace median_core {

template <class G>
struct bordered_source {
    static constexpr int C = G::channels;
    static constexpr int chunk_pixels = 4;
    static constexpr int chunk_bytes = chunk_pixels * C;
    static constexpr int chunk_words = chunk_bytes / 4;
    static constexpr int chunks_per_row = G::stage_cols / chunk_pixels;
    static_assert(G::bands == 2 && G::stage_cols % chunk_pixels == 0 && chunk_bytes % 4 == 0,
                  "chunks of whole words and whole rows of two-band lane words");
    // Thread t stages chunk column t % chunks_per_row of every row_step-th
    // row; the rest of the block waits at the barrier.
    static constexpr int row_step = G::threads / chunks_per_row;
    static constexpr int loaders = row_step * chunks_per_row;

    const unsigned char* in;
    int pw;             // bordered row length, pixels
    int padded_height;  // bordered rows

    // __byte_perm selector taking byte i of the result from byte b_i of the
    // eight source bytes (first operand 0-3, second 4-7).
    static constexpr unsigned int byte_selector(int b0, int b1, int b2, int b3) {
        return static_cast<unsigned int>(b0 | b1 << 4 | b2 << 8 | b3 << 12);
    }

    __device__ __forceinline__ int offset(int x, int y) const { return (y * pw + x) * C; }

    // The chunk_bytes from byte `at` on, as words, read with aligned word
    // loads; Checked: only the bytes below `total` are read, the others are 0.
    template <bool Checked>
    __device__ __forceinline__ void load_chunk(int at, int total, unsigned int (&w)[chunk_words]) const {
        const int base = at & ~3;
        unsigned int aligned[chunk_words + 1];
#pragma unroll
        for (int i = 0; i <= chunk_words; ++i) {
            const int word = base + 4 * i;
            if (!Checked || word <= total - 4) {
                aligned[i] = __ldg(reinterpret_cast<const unsigned int*>(in + word));
                continue;
            }
            aligned[i] = 0;
            for (int b = 0; b < 4; ++b)
                if (word + b < total) aligned[i] |= static_cast<unsigned int>(__ldg(in + word + b)) << (8 * b);
        }
        const unsigned int shift = 8 * (at & 3);
#pragma unroll
        for (int i = 0; i < chunk_words; ++i) w[i] = __funnelshift_r(aligned[i], aligned[i + 1], shift);
    }

    // Byte j of `upper` and of `lower` as one lane word, each byte doubled.
    static __device__ __forceinline__ unsigned int lane_word(const unsigned int (&upper)[chunk_words],
                                                             const unsigned int (&lower)[chunk_words], int j) {
        const int b = j % 4;
        return __byte_perm(upper[j / 4], lower[j / 4], byte_selector(b, b, b + 4, b + 4));
    }

    // Rows past the bordered image only feed outputs below the image, and
    // columns past a row's end only feed outputs right of it: what is staged
    // there is never used. Checked: the block's area reaches the end of the
    // buffer, so reads are clamped to stay near it and bounded by it.
    template <bool Checked>
    __device__ __forceinline__ void stage_rows(int x0, int y0, stage_tile<G>& tile) const {
        const int loader = thread_rank();
        if (loader >= loaders) return;
        const int total = pw * padded_height * C;
        const int col = loader % chunks_per_row * chunk_pixels;
        const int x = Checked ? min(x0 + col, pw) : x0 + col;
#pragma unroll 1
        for (int r = loader / chunks_per_row; r < G::stage_rows; r += row_step) {
            const int upper_row = Checked ? min(y0 + r, padded_height - 1) : y0 + r;
            const int lower_row = Checked ? min(y0 + r + G::band_rows, padded_height - 1) : y0 + r + G::band_rows;
            unsigned int upper[chunk_words], lower[chunk_words];
            load_chunk<Checked>(offset(x, upper_row), total, upper);
            load_chunk<Checked>(offset(x, lower_row), total, lower);
#pragma unroll
            for (int c = 0; c < C; ++c) {
                uint4 v;
                v.x = lane_word(upper, lower, 0 * C + c);
                v.y = lane_word(upper, lower, 1 * C + c);
                v.z = lane_word(upper, lower, 2 * C + c);
                v.w = lane_word(upper, lower, 3 * C + c);
                *reinterpret_cast<uint4*>(&tile.words[c][r][col]) = v;
            }
        }
    }

    // Whether every word the block's staging reads lies inside the buffer.
    __device__ __forceinline__ bool reads_inside(int x0, int y0) const {
        const long long last_row = y0 + G::band_rows + G::stage_rows - 1;
        const long long end = (last_row * pw + x0 + G::stage_cols) * C + 4;
        return end <= static_cast<long long>(pw) * padded_height * C;
    }

    // Stages the area of the block whose first output is image pixel
    // (x0, y0), i.e. bordered pixels from (x0, y0) on.
    __device__ __forceinline__ void stage(int x0, int y0, stage_tile<G>& tile) const {
        if (reads_inside(x0, y0))
            stage_rows<false>(x0, y0, tile);
        else
            stage_rows<true>(x0, y0, tile);
    }
};

}  // namespace median_core
