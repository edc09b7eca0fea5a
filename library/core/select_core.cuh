// The selection path, for every window the networks do not cover (9x9 to
// 15x15) and every type: each thread finds the median of its pixel's window
// bit by bit from the top of the values' keys (value_codec.cuh). After the
// bits above b are fixed at `prefix`, the median has bit b set exactly
// when at most `rank` window keys lie below prefix | 1 << b.
//
// Why this method: it is exact for 8-bit, 16-bit and float keys alike, its
// shared memory (the staged keys) does not grow with the value range, and
// its control flow does not depend on the data, so a warp never diverges.
// It costs key_bits x window^2 compares per value: a sorting network grows
// as window^2 log^2 and does not fit in registers past 7x7, and a sliding
// histogram needs a counter per value (256 for 8-bit, too many for 16-bit
// and float in shared memory).
#pragma once

#include "image_args.h"
#include "tiled_core.cuh"
#include "tiled_geometry.h"
#include "value_codec.cuh"

#include <cuda_runtime.h>

namespace median_core {

// One output per thread, one key per staged position.
template <int Window, int Channels>
using select_geometry = tiled_geometry<Window, 1, 1, 1, Channels>;

// 1 when key < candidate, else 0. Keys of up to 16 bits: key - candidate
// is negative exactly then, and its sign bit adds to a count in one
// shift-add (LEA.HI) after the subtraction, where a compare and a
// predicated add take three instructions.
template <int KeyBits>
__device__ __forceinline__ int key_below(unsigned int key, unsigned int candidate) {
    if constexpr (KeyBits <= 16)
        return static_cast<int>((key - candidate) >> 31);
    else
        return key < candidate;
}

// The median key of the window whose top-left staged position is
// (row, col) in `plane`.
template <class G, int KeyBits>
__device__ __forceinline__ unsigned int select_median(const unsigned int (&plane)[G::stage_rows][G::plane_cols],
                                                      int row, int col) {
    constexpr int rank = G::window * G::window / 2;
    unsigned int prefix = 0;
#pragma unroll 1
    for (int bit = KeyBits - 1; bit >= 0; --bit) {
        const unsigned int candidate = prefix | 1u << bit;
        int below = 0;
#pragma unroll 1
        for (int i = 0; i < G::window; ++i) {
            const unsigned int* p = &plane[row + i][col];
#pragma unroll
            for (int j = 0; j < G::window; ++j) below += key_below<KeyBits>(p[j], candidate);
        }
        if (below <= rank) prefix = candidate;
    }
    return prefix;
}

// The thread's output of the staged block whose first output is (x0, y0).
template <class G, class T>
__device__ __forceinline__ void select_outputs(const stage_tile<G>& tile, T* dst, std::size_t pitch, int width,
                                               int height, int x0, int y0) {
    using codec = value_codec<T>;
    constexpr int C = G::channels;
    const int x = x0 + threadIdx.x;
    const int y = y0 + threadIdx.y;
    if (x >= width || y >= height) return;
    packed_row<T, C> px = {};
#pragma unroll
    for (int c = 0; c < C; ++c)
        px.set(c, codec::value(select_median<G, codec::key_bits>(tile.words[c], threadIdx.y, threadIdx.x)));
    T* p = row_at(dst, pitch, x, y, C);
    store_row(p, px, C, reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace median_core
