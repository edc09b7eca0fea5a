// The tiled-network median filter, templated on how a network wire holds
// its two lanes (tiled_lanes.cuh) so that both forms can be run anywhere.
//
// A thread computes two 4x2 tiles of outputs, one per 16-bit lane: lane 0
// in the block's upper band of rows, lane 1 the same place in the lower
// band. The block stages its input once in shared memory as lane words
// (one per channel, row and column of the upper band's window area, the
// lower band's byte beside it), so every network input is one shared load.
// The generated network (tiled_network.h) sorts the pixels that several
// outputs of a tile share once and keeps only the merges each median needs.
#pragma once

#include "launch_contract.cuh"
#include "tiled_geometry.h"
#include "tiled_lanes.cuh"
#include "tiled_network.h"

namespace tiled {

static_assert(thread_cols == tiled_network::tile_cols && thread_rows == tiled_network::tile_rows,
              "tiled_geometry.h and the generated network disagree on the thread tile");

// Staging moves chunks of 4 pixels, 12 bytes, which are 4 lane words of
// each channel: one 16-byte shared store per channel.
constexpr int chunk_pixels = 4;
constexpr int chunk_bytes = chunk_pixels * channels;
constexpr int chunk_words = chunk_bytes / 4;
constexpr int chunks_per_row = stage_cols / chunk_pixels;
static_assert(stage_cols % chunk_pixels == 0 && thread_cols == chunk_pixels);

struct __align__(16) stage_tile {
    unsigned int words[channels][stage_rows][stage_cols];
};
static_assert(sizeof(stage_tile) == stage_bytes);

// The 12 bytes from byte `at` on, as three words, read with aligned word
// loads; near the end of the buffer only the bytes inside it are read.
__device__ __forceinline__ void load_chunk(const unsigned char* in, int at, int total, unsigned int (&w)[chunk_words]) {
    const int base = at & ~3;
    unsigned int aligned[chunk_words + 1];
    if (base <= total - 4 * (chunk_words + 1)) {
#pragma unroll
        for (int i = 0; i <= chunk_words; ++i) aligned[i] = __ldg(reinterpret_cast<const unsigned int*>(in + base) + i);
    } else {
#pragma unroll
        for (int i = 0; i <= chunk_words; ++i) {
            aligned[i] = 0;
            for (int b = 0; b < 4; ++b)
                if (base + 4 * i + b < total) aligned[i] |= static_cast<unsigned int>(__ldg(in + base + 4 * i + b)) << (8 * b);
        }
    }
    const unsigned int shift = 8 * (at & 3);
#pragma unroll
    for (int i = 0; i < chunk_words; ++i) w[i] = __funnelshift_r(aligned[i], aligned[i + 1], shift);
}

// Byte j of `upper` and of `lower` as one lane word, each byte doubled.
__device__ __forceinline__ unsigned int lane_word(const unsigned int (&upper)[chunk_words],
                                                  const unsigned int (&lower)[chunk_words], int j) {
    const unsigned int b = j % 4;
    return __byte_perm(upper[j / 4], lower[j / 4], b | b << 4 | (b + 4) << 8 | (b + 4) << 12);
}

// Rows past the bordered image only feed outputs below the image, and
// columns past a row's end only feed outputs right of it: what is staged
// there is never used, so their reads are clamped to stay near the buffer.
__device__ __forceinline__ void stage(const unsigned char* in, int pw, int height, int x0, int y0, stage_tile& tile) {
    const int padded_height = height + 2 * ApronRadius;
    const int total = pw * padded_height * channels;
    for (int task = linear_thread_index(); task < stage_rows * chunks_per_row; task += threads) {
        const int r = task / chunks_per_row;
        const int col = (task - r * chunks_per_row) * chunk_pixels;
        const int x = min(x0 + col, pw);
        unsigned int upper[chunk_words], lower[chunk_words];
        load_chunk(in, pixel_offset(x, min(y0 + r, padded_height - 1), pw, 0), total, upper);
        load_chunk(in, pixel_offset(x, min(y0 + r + band_rows, padded_height - 1), pw, 0), total, lower);
#pragma unroll
        for (int c = 0; c < channels; ++c) {
            uint4 v;
            v.x = lane_word(upper, lower, 0 * channels + c);
            v.y = lane_word(upper, lower, 1 * channels + c);
            v.z = lane_word(upper, lower, 2 * channels + c);
            v.w = lane_word(upper, lower, 3 * channels + c);
            *reinterpret_cast<uint4*>(&tile.words[c][r][col]) = v;
        }
    }
}

// The thread's window area of one channel, eight words a row.
template <class Lanes>
__device__ __forceinline__ void load_inputs(const stage_tile& tile, int c, int row, int col,
                                            Lanes (&in)[tiled_network::input_rows][tiled_network::input_cols]) {
    static_assert(tiled_network::input_cols == 8);
#pragma unroll
    for (int r = 0; r < tiled_network::input_rows; ++r) {
        const uint4 a = *reinterpret_cast<const uint4*>(&tile.words[c][row + r][col]);
        const uint4 b = *reinterpret_cast<const uint4*>(&tile.words[c][row + r][col + 4]);
        const unsigned int w[8] = {a.x, a.y, a.z, a.w, b.x, b.y, b.z, b.w};
#pragma unroll
        for (int j = 0; j < 8; ++j) in[r][j] = Lanes::from_word(w[j]);
    }
}

// Output byte j (pixel j / 3, channel j % 3) of tile row k comes from
// result[j % 3][k][j / 3]; four of them make one output word of one lane.
__device__ __forceinline__ unsigned int output_word(const unsigned int (&result)[channels][thread_rows][thread_cols],
                                                    int k, int first, int lane) {
    const auto at = [&](int j) { return result[j % channels][k][j / channels]; };
    // Low bytes of both lanes of two results, then the lane's half of two such pairs.
    const unsigned int ab = __byte_perm(at(first), at(first + 1), 0x6240);
    const unsigned int cd = __byte_perm(at(first + 2), at(first + 3), 0x6240);
    return __byte_perm(ab, cd, lane == 0 ? 0x5410 : 0x7632);
}

__device__ __forceinline__ void store_row(unsigned char* out, int pw, int x, int y, int width,
                                          const unsigned int (&result)[channels][thread_rows][thread_cols], int k,
                                          int lane) {
    const int at = pixel_offset(x, y, pw, 0);
    unsigned int w[chunk_words];
#pragma unroll
    for (int q = 0; q < chunk_words; ++q) w[q] = output_word(result, k, 4 * q, lane);
    if (at % 4 == 0 && x + thread_cols <= width) {
#pragma unroll
        for (int q = 0; q < chunk_words; ++q) reinterpret_cast<unsigned int*>(out + at)[q] = w[q];
        return;
    }
    // Rows that start off a word boundary, and the image's last columns.
#pragma unroll
    for (int j = 0; j < chunk_bytes; ++j)
        if (x + j / channels < width) out[at + j] = static_cast<unsigned char>(w[j / 4] >> (8 * (j % 4)));
}

template <class Lanes>
__device__ __forceinline__ void filter(const unsigned char* in, unsigned char* out, int pw, int height,
                                       stage_tile& tile) {
    const int x0 = blockIdx.x * span_cols;
    const int y0 = blockIdx.y * span_rows;
    stage(in, pw, height, x0, y0, tile);
    __syncthreads();

    const int col = threadIdx.x * thread_cols;
    const int row = threadIdx.y * thread_rows;
    unsigned int result[channels][thread_rows][thread_cols];
#pragma unroll
    for (int c = 0; c < channels; ++c) {
        Lanes in_lanes[tiled_network::input_rows][tiled_network::input_cols];
        load_inputs(tile, c, row, col, in_lanes);
        Lanes medians[thread_rows][thread_cols];
        tiled_network::tile_medians(in_lanes, medians);
        for (int k = 0; k < thread_rows; ++k)
            for (int i = 0; i < thread_cols; ++i) result[c][k][i] = medians[k][i].to_word();
    }

    const int width = pw - 2 * ApronRadius;
#pragma unroll
    for (int lane = 0; lane < lanes; ++lane)
#pragma unroll
        for (int k = 0; k < thread_rows; ++k) {
            const int y = y0 + lane * band_rows + row + k;
            if (y < height && x0 + col < width) store_row(out, pw, x0 + col, y, width, result, k, lane);
        }
}

}  // namespace tiled
