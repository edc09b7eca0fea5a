// Staging from the caller's image with the border mode applied: the source
// policy of the library's kernels. Blocks whose area lies inside the image
// (all but the edge blocks of a large image) move chunks of 4 pixels with
// word loads, consecutive threads on consecutive chunks of a row. An edge
// block maps its area's columns and rows to the image once (border_index,
// with its division, runs once per column and row, not per element), then
// copies position by position, reading a pixel's channels with one vector
// load where its address allows.
#pragma once

#include "image_args.h"
#include "tiled_geometry.h"
#include "value_codec.cuh"

#include <cuda_runtime.h>

#include <cstdint>

namespace median_core {

__device__ __forceinline__ int thread_rank() { return threadIdx.y * blockDim.x + threadIdx.x; }

// The image coordinates a block's staged columns and rows read, -1 for the
// constant value.
template <class G>
struct stage_maps {
    int cols[G::stage_cols];
    int rows[G::bands][G::stage_rows];
};

// The C values of one pixel. Widest is the widest load the pixel's size
// and address allow: pixels of 4, 8 or 16 bytes on a boundary of their size
// come in one load.
template <class T, int C>
struct pixel_values {
    T v[C];
};

template <class T, int C>
__device__ __forceinline__ pixel_values<T, C> load_pixel(const T* p) {
    pixel_values<T, C> px;
    constexpr int bytes = static_cast<int>(sizeof(T)) * C;
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    if constexpr (bytes == 16) {
        if (at % 16 == 0) {
            const uint4 w = __ldg(reinterpret_cast<const uint4*>(p));
            const unsigned int words[4] = {w.x, w.y, w.z, w.w};
            static_assert(sizeof(T) == 4);
#pragma unroll
            for (int c = 0; c < C; ++c) px.v[c] = __uint_as_float(words[c]);
            return px;
        }
    } else if constexpr (bytes == 8) {
        if (at % 8 == 0) {
            const uint2 w = __ldg(reinterpret_cast<const uint2*>(p));
            const unsigned long long d = w.x | static_cast<unsigned long long>(w.y) << 32;
#pragma unroll
            for (int c = 0; c < C; ++c) px.v[c] = static_cast<T>(d >> (16 * c));
            return px;
        }
    } else if constexpr (bytes == 4 && C == 4) {
        if (at % 4 == 0) {
            const unsigned int w = __ldg(reinterpret_cast<const unsigned int*>(p));
#pragma unroll
            for (int c = 0; c < C; ++c) px.v[c] = static_cast<T>(w >> (8 * c));
            return px;
        }
    }
#pragma unroll
    for (int c = 0; c < C; ++c) px.v[c] = __ldg(p + c);
    return px;
}

template <class T, int C>
__device__ __forceinline__ const T* pixel_at(const image_args<T>& a, int x, int y) {
    return reinterpret_cast<const T*>(reinterpret_cast<const unsigned char*>(a.src) + y * a.src_pitch) +
           static_cast<std::size_t>(x) * C;
}

template <class T, int C>
__device__ __forceinline__ pixel_values<T, C> read_mapped(const image_args<T>& a, int x, int y) {
    if (x < 0 || y < 0) {
        pixel_values<T, C> px;
#pragma unroll
        for (int c = 0; c < C; ++c) px.v[c] = a.constant_value;
        return px;
    }
    return load_pixel<T, C>(pixel_at<T, C>(a, x, y));
}

// Whether the block's staged area, its columns rounded up to whole chunks,
// lies inside the image: then no coordinate needs mapping.
template <class G, class T>
__device__ __forceinline__ bool area_inside(const image_args<T>& a, int x0, int y0) {
    constexpr int r = G::radius;
    return x0 >= r && y0 >= r && x0 - r + G::plane_cols <= a.width &&
           y0 - r + (G::bands - 1) * G::band_rows + G::stage_rows <= a.height;
}

// Staged positions a loader moves at once inside the image: 4 pixels, whose
// values are whole words (4 x channels x sizeof(T) bytes).
constexpr int chunk_pixels = 4;

// Words of 4-byte values in loads of LoadBytes (4 or 8) each or, with 16,
// in 16-byte loads from the 16-byte boundary Lead words (0 to 3) before
// them, and an 8- and a 4-byte load where the chunk ends between two. The
// Lead words left of the chunk are read and dropped: they belong to pixels
// of its row (stage_inside).
template <int LoadBytes, int Lead, int Words>
__device__ __forceinline__ void load_value_words(const unsigned int* p, unsigned int (&w)[Words]) {
    static_assert(Words % 4 == 0, "a chunk of 4 pixels of 4-byte values");
    if constexpr (LoadBytes == 16) {
        const unsigned int* boundary = p - Lead;
        constexpr int span = Lead + Words;
        constexpr int quads = span / 4 * 4;
        unsigned int v[span];
#pragma unroll
        for (int j = 0; j < quads; j += 4) {
            const uint4 q = __ldg(reinterpret_cast<const uint4*>(boundary + j));
            v[j] = q.x, v[j + 1] = q.y, v[j + 2] = q.z, v[j + 3] = q.w;
        }
        if constexpr (span - quads >= 2) {
            const uint2 d = __ldg(reinterpret_cast<const uint2*>(boundary + quads));
            v[quads] = d.x, v[quads + 1] = d.y;
        }
        if constexpr ((span - quads) % 2 == 1) v[span - 1] = __ldg(boundary + span - 1);
#pragma unroll
        for (int i = 0; i < Words; ++i) w[i] = v[Lead + i];
    } else if constexpr (LoadBytes == 8) {
#pragma unroll
        for (int i = 0; i < Words; i += 2) {
            const uint2 v = __ldg(reinterpret_cast<const uint2*>(p + i));
            w[i] = v.x, w[i + 1] = v.y;
        }
    } else {
        static_assert(LoadBytes == 4);
#pragma unroll
        for (int i = 0; i < Words; ++i) w[i] = __ldg(p + i);
    }
}

// The chunk's bytes from `p` on, as words. 4-byte values lie on words (the
// library takes only pointers and pitches that are multiples of the value's
// size), so their words load as they are (load_value_words). Narrower
// values: aligned word loads, realigned by funnel shifts; the word
// after the chunk is read only when the chunk does not start on a word, and
// then it holds chunk bytes, so no read leaves the chunk's words.
template <int LoadBytes, int Lead, class T, int Words>
__device__ __forceinline__ void load_words(const T* p, unsigned int (&w)[Words]) {
    if constexpr (sizeof(T) == 4) {
        load_value_words<LoadBytes, Lead>(reinterpret_cast<const unsigned int*>(p), w);
    } else {
        const auto at = reinterpret_cast<std::uintptr_t>(p);
        const auto* aligned = reinterpret_cast<const unsigned int*>(at & ~std::uintptr_t{3});
        const unsigned int shift = 8 * static_cast<unsigned int>(at & 3);
        unsigned int raw[Words + 1];
#pragma unroll
        for (int i = 0; i < Words; ++i) raw[i] = __ldg(aligned + i);
        raw[Words] = shift != 0 ? __ldg(aligned + Words) : 0u;
#pragma unroll
        for (int i = 0; i < Words; ++i) w[i] = __funnelshift_r(raw[i], raw[i + 1], shift);
    }
}

// Value k of the chunk's words.
template <class T, int Words>
__device__ __forceinline__ T chunk_value(const unsigned int (&w)[Words], int k) {
    if constexpr (sizeof(T) == 4) {
        return __uint_as_float(w[k]);
    } else {
        constexpr int per_word = 4 / static_cast<int>(sizeof(T));
        return static_cast<T>(w[k / per_word] >> (8 * static_cast<int>(sizeof(T)) * (k % per_word)));
    }
}

// The staged word of pixel i, channel c of two chunks (one per band).
template <class T, bool Keys, int Words>
__device__ __forceinline__ unsigned int chunk_word(const unsigned int (&upper)[Words],
                                                   const unsigned int (&lower)[Words], int k) {
    using encoding = stage_encoding<T, Keys>;
    if constexpr (sizeof(T) == 1 && !Keys) {
        // Both bytes doubled in one byte permute.
        const unsigned int b = k % 4;
        return __byte_perm(upper[k / 4], lower[k / 4], b | b << 4 | (b + 4) << 8 | (b + 4) << 12);
    } else {
        return encoding::pack(chunk_value<T>(upper, k), chunk_value<T>(lower, k));
    }
}

// Stages a block whose area lies inside the image, chunk by chunk: each
// loader reads 4 pixels of a row (of both bands) with word loads (4-byte
// values as load_value_words<LoadBytes, Lead> loads them) and writes each
// channel's 4 staged words with one 16-byte shared store.
template <class G, class T, bool Keys, int LoadBytes, int Lead>
__device__ __forceinline__ void stage_inside_chunks(const image_args<T>& a, int x0, int y0, stage_tile<G>& tile) {
    constexpr int C = G::channels;
    constexpr int words = chunk_pixels * C * static_cast<int>(sizeof(T)) / 4;
    constexpr int chunks_per_row = G::plane_cols / chunk_pixels;
    static_assert(G::plane_cols % chunk_pixels == 0);
    for (int e = thread_rank(); e < G::stage_rows * chunks_per_row; e += G::threads) {
        const int r = e / chunks_per_row;
        const int col = (e - r * chunks_per_row) * chunk_pixels;
        const int x = x0 - G::radius + col;
        const int y = y0 - G::radius + r;
        unsigned int upper[words], lower[words];
        load_words<LoadBytes, Lead>(pixel_at<T, C>(a, x, y), upper);
        if constexpr (G::bands == 2)
            load_words<LoadBytes, Lead>(pixel_at<T, C>(a, x, y + G::band_rows), lower);
        else
#pragma unroll
            for (int i = 0; i < words; ++i) lower[i] = upper[i];
#pragma unroll
        for (int c = 0; c < C; ++c) {
            uint4 v;
            v.x = chunk_word<T, Keys>(upper, lower, 0 * C + c);
            v.y = chunk_word<T, Keys>(upper, lower, 1 * C + c);
            v.z = chunk_word<T, Keys>(upper, lower, 2 * C + c);
            v.w = chunk_word<T, Keys>(upper, lower, 3 * C + c);
            *reinterpret_cast<uint4*>(&tile.words[c][r][col]) = v;
        }
    }
}

// 4-byte values load as widely as every chunk's address allows: chunks
// start 4 pixels apart and rows a pitch apart, so all share the first
// chunk's alignment and the pitch's. In rows on 16-byte boundaries (a
// pitched allocation's) every chunk starts `lead` words past one, since the
// area starts `radius` pixels left of x0, a multiple of 4: 16-byte loads
// from the boundary then read those words too (3-channel 5x5: 4 loads for
// a chunk's 12 words instead of 6 of 8 bytes; 3x3 and 7x7: 4 and 5 instead
// of 12 of 4 bytes). One choice for the block, so its loaders run one loop
// and no load is issued twice.
template <class G, class T, bool Keys>
__device__ __forceinline__ void stage_inside(const image_args<T>& a, int x0, int y0, stage_tile<G>& tile) {
    if constexpr (sizeof(T) == 4) {
        constexpr int lead = (4 - G::radius * G::channels % 4) % 4;
        // The words read left of a chunk belong to its row: a block inside
        // the image has x0 >= span_cols, so at least span_cols - radius
        // pixels lie left of its area.
        static_assert(G::span_cols >= G::radius + lead, "pixels left of the staged area");
        const auto first =
            reinterpret_cast<std::uintptr_t>(pixel_at<T, G::channels>(a, x0 - G::radius, y0 - G::radius));
        if (((first - 4 * lead) | a.src_pitch) % 16 == 0)
            stage_inside_chunks<G, T, Keys, 16, lead>(a, x0, y0, tile);
        else if (lead != 0 && (first | a.src_pitch) % 16 == 0)
            stage_inside_chunks<G, T, Keys, 16, 0>(a, x0, y0, tile);
        else if ((first | a.src_pitch) % 8 == 0)
            stage_inside_chunks<G, T, Keys, 8, 0>(a, x0, y0, tile);
        else
            stage_inside_chunks<G, T, Keys, 4, 0>(a, x0, y0, tile);
    } else {
        stage_inside_chunks<G, T, Keys, 4, 0>(a, x0, y0, tile);
    }
}

// Stages a block whose area reaches outside the image: the maps first, then
// position by position.
template <class G, class T, bool Keys>
__device__ __forceinline__ void stage_mapped_positions(const image_args<T>& a, int x0, int y0, stage_tile<G>& tile,
                                                       stage_maps<G>& maps) {
    using encoding = stage_encoding<T, Keys>;
    constexpr int C = G::channels;
    constexpr int r0 = G::radius;
    const int t = thread_rank();
    for (int i = t; i < G::stage_cols; i += G::threads)
        maps.cols[i] = median_filter::border_index(x0 - r0 + i, a.width, a.mode);
    for (int i = t; i < G::bands * G::stage_rows; i += G::threads) {
        const int band = i / G::stage_rows;
        const int r = i - band * G::stage_rows;
        maps.rows[band][r] = median_filter::border_index(y0 - r0 + band * G::band_rows + r, a.height, a.mode);
    }
    __syncthreads();
    // Rows and columns by the block's own shape: no division a position,
    // and nothing a thread could compute once for every block row and keep
    // in a register (a flat index's quotients were, on sm_100, where the
    // wide float tile then spilled).
    for (int r = threadIdx.y; r < G::stage_rows; r += G::block_rows)
        for (int col = threadIdx.x; col < G::stage_cols; col += G::block_cols) {
            const int x = maps.cols[col];
            const pixel_values<T, C> upper = read_mapped<T, C>(a, x, maps.rows[0][r]);
            const pixel_values<T, C> lower =
                G::bands == 2 ? read_mapped<T, C>(a, x, maps.rows[G::bands - 1][r]) : upper;
#pragma unroll
            for (int c = 0; c < C; ++c) tile.words[c][r][col] = encoding::pack(upper.v[c], lower.v[c]);
        }
}

// Stages the area of the block whose first output is (x0, y0), each
// position's words as stage_encoding<T, Keys> packs them. Starts and ends
// without a barrier: the caller meets the block at one before and after.
template <class G, class T, bool Keys>
__device__ __forceinline__ void stage_mapped(const image_args<T>& a, int x0, int y0, stage_tile<G>& tile,
                                             stage_maps<G>& maps) {
    static_assert(stage_encoding<T, Keys>::bands == G::bands, "the geometry and the encoding disagree on the bands");
    // The same for the whole block, so the barrier inside the mapped path is
    // met by every thread.
    if (area_inside<G>(a, x0, y0))
        stage_inside<G, T, Keys>(a, x0, y0, tile);
    else
        stage_mapped_positions<G, T, Keys>(a, x0, y0, tile, maps);
}

}  // namespace median_core
