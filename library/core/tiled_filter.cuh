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
// A lane holds its byte twice, so min and max of lanes order the bytes and
// either byte of a result lane is the median. Blocks past the image's right
// or bottom edge stage what they can and write only pixels inside it.
#pragma once

#include "benchmark/kernels/launch_contract.cuh"
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

// __byte_perm selector taking byte i of the result from byte b_i of the
// eight source bytes (first operand 0-3, second 4-7).
constexpr unsigned int byte_selector(int b0, int b1, int b2, int b3) {
    return static_cast<unsigned int>(b0 | b1 << 4 | b2 << 8 | b3 << 12);
}

// The 12 bytes from byte `at` on, as three words, read with aligned word
// loads; Checked: only the bytes below `total` are read, the others are 0.
template <bool Checked>
__device__ __forceinline__ void load_chunk(const unsigned char* in, int at, int total, unsigned int (&w)[chunk_words]) {
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
__device__ __forceinline__ unsigned int lane_word(const unsigned int (&upper)[chunk_words],
                                                  const unsigned int (&lower)[chunk_words], int j) {
    const int b = j % 4;
    return __byte_perm(upper[j / 4], lower[j / 4], byte_selector(b, b, b + 4, b + 4));
}

// Thread t stages chunk column t % chunks_per_row of every row_step-th
// row; the rest of the block waits at the barrier.
constexpr int row_step = threads / chunks_per_row;
constexpr int loaders = row_step * chunks_per_row;

// Rows past the bordered image only feed outputs below the image, and
// columns past a row's end only feed outputs right of it: what is staged
// there is never used. Checked: the block's area reaches the end of the
// buffer, so reads are clamped to stay near it and bounded by it.
template <bool Checked>
__device__ __forceinline__ void stage(const unsigned char* in, int pw, int padded_height, int x0, int y0,
                                      stage_tile& tile) {
    const int loader = linear_thread_index();
    if (loader >= loaders) return;
    const int total = pw * padded_height * channels;
    const int col = loader % chunks_per_row * chunk_pixels;
    const int x = Checked ? min(x0 + col, pw) : x0 + col;
#pragma unroll 1
    for (int r = loader / chunks_per_row; r < stage_rows; r += row_step) {
        const int upper_row = Checked ? min(y0 + r, padded_height - 1) : y0 + r;
        const int lower_row = Checked ? min(y0 + r + band_rows, padded_height - 1) : y0 + r + band_rows;
        unsigned int upper[chunk_words], lower[chunk_words];
        load_chunk<Checked>(in, pixel_offset(x, upper_row, pw, 0), total, upper);
        load_chunk<Checked>(in, pixel_offset(x, lower_row, pw, 0), total, lower);
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

// Whether every word the block's staging reads lies inside the buffer.
__device__ __forceinline__ bool reads_inside(int pw, int padded_height, int x0, int y0) {
    const long long last_row = y0 + band_rows + stage_rows - 1;
    const long long end = (last_row * pw + x0 + stage_cols) * channels + 4;
    return end <= static_cast<long long>(pw) * padded_height * channels;
}

// One channel of the staged area, rows 16-byte aligned.
using stage_plane = unsigned int[stage_rows][stage_cols];

// The thread's window area of one channel, eight words a row.
template <class Lanes>
__device__ __forceinline__ void load_inputs(const stage_plane& plane, int row, int col,
                                            Lanes (&in)[tiled_network::input_rows][tiled_network::input_cols]) {
    static_assert(tiled_network::input_cols == 8);
#pragma unroll
    for (int r = 0; r < tiled_network::input_rows; ++r) {
        const uint4 a = *reinterpret_cast<const uint4*>(&plane[row + r][col]);
        const uint4 b = *reinterpret_cast<const uint4*>(&plane[row + r][col + 4]);
        const unsigned int w[8] = {a.x, a.y, a.z, a.w, b.x, b.y, b.z, b.w};
#pragma unroll
        for (int j = 0; j < 8; ++j) in[r][j] = Lanes::from_word(w[j]);
    }
}

// A thread's medians of one channel: per pixel one lane word, lane l's
// value in bytes 2l and 2l + 1.
using tile_words = unsigned int[thread_rows][thread_cols];

template <class Lanes>
__device__ __forceinline__ void channel_medians(const stage_plane& plane, int row, int col, tile_words& medians) {
    Lanes in[tiled_network::input_rows][tiled_network::input_cols];
    load_inputs(plane, row, col, in);
    Lanes out[thread_rows][thread_cols];
    tiled_network::tile_medians(in, out);
#pragma unroll
    for (int k = 0; k < thread_rows; ++k)
#pragma unroll
        for (int i = 0; i < thread_cols; ++i) medians[k][i] = out[k][i].to_word();
}

// The 12 output bytes of tile row k of one lane (pixel i channel c at byte
// 3i + c) as three words, from `pairs` (channels 0 and 1 of lane l in
// bytes 2l and 2l + 1) and `third` (channel 2 in byte 2l).
__device__ __forceinline__ void output_words(const tile_words& pairs, const tile_words& third, int k, int lane,
                                             unsigned int (&w)[chunk_words]) {
    const int s = 2 * lane;
    const unsigned int* p = pairs[k];
    const unsigned int* t = third[k];
    w[0] = __byte_perm(__byte_perm(p[0], t[0], byte_selector(s, s + 1, s + 4, 0)), p[1], byte_selector(0, 1, 2, s + 4));
    w[1] = __byte_perm(__byte_perm(p[1], t[1], byte_selector(s + 1, s + 4, 0, 0)), p[2],
                       byte_selector(0, 1, s + 4, s + 5));
    w[2] = __byte_perm(__byte_perm(t[2], p[3], byte_selector(s, s + 4, s + 5, 0)), t[3], byte_selector(0, 1, 2, s + 4));
}

__device__ __forceinline__ void store_row(unsigned char* out, int pw, int x, int y, int width,
                                          const unsigned int (&w)[chunk_words]) {
    const int at = pixel_offset(x, y, pw, 0);
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
    const int padded_height = height + 2 * ApronRadius;
    if (reads_inside(pw, padded_height, x0, y0))
        stage<false>(in, pw, padded_height, x0, y0, tile);
    else
        stage<true>(in, pw, padded_height, x0, y0, tile);
    __syncthreads();

    const int col = threadIdx.x * thread_cols;
    const int row = threadIdx.y * thread_rows;
    // Channels 0 and 1 are merged into one word per pixel before channel 2
    // runs, so that fewer results stay live through its network.
    tile_words pairs, third;
    channel_medians<Lanes>(tile.words[0], row, col, pairs);
    channel_medians<Lanes>(tile.words[1], row, col, third);
#pragma unroll
    for (int k = 0; k < thread_rows; ++k)
#pragma unroll
        for (int i = 0; i < thread_cols; ++i) pairs[k][i] = __byte_perm(pairs[k][i], third[k][i], byte_selector(0, 4, 2, 6));
    channel_medians<Lanes>(tile.words[2], row, col, third);

    const int width = pw - 2 * ApronRadius;
#pragma unroll
    for (int lane = 0; lane < lanes; ++lane)
#pragma unroll
        for (int k = 0; k < thread_rows; ++k) {
            const int y = y0 + lane * band_rows + row + k;
            if (y >= height || x0 + col >= width) continue;
            unsigned int w[chunk_words];
            output_words(pairs, third, k, lane, w);
            store_row(out, pw, x0 + col, y, width, w);
        }
}

}  // namespace tiled
