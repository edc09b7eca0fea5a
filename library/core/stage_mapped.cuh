// Staging from the caller's image with the border mode applied: the source
// policy of the library's kernels. A block maps its area's columns and
// rows to the image once (border_index, with its division, runs once per
// column and row, not per element); blocks whose area lies inside the image
// skip the maps. Every thread then copies staged positions in row order, so
// a warp reads consecutive pixels of an image row, and reads a pixel's
// channels with one vector load where its address allows.
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

template <class G, class T>
__device__ __forceinline__ bool area_inside(const image_args<T>& a, int x0, int y0) {
    constexpr int r = G::radius;
    return x0 >= r && y0 >= r && x0 - r + G::stage_cols <= a.width &&
           y0 - r + (G::bands - 1) * G::band_rows + G::stage_rows <= a.height;
}

// Stages the area of the block whose first output is (x0, y0), each
// position's words as stage_encoding<T, Keys> packs them. Starts and ends
// without a barrier: the caller meets the block at one before and after.
template <class G, class T, bool Keys>
__device__ __forceinline__ void stage_mapped(const image_args<T>& a, int x0, int y0, stage_tile<G>& tile,
                                             stage_maps<G>& maps) {
    using encoding = stage_encoding<T, Keys>;
    static_assert(encoding::bands == G::bands, "the geometry and the encoding disagree on the bands");
    constexpr int C = G::channels;
    constexpr int r0 = G::radius;
    const int t = thread_rank();
    const bool inside = area_inside<G>(a, x0, y0);
    if (!inside) {
        for (int i = t; i < G::stage_cols; i += G::threads)
            maps.cols[i] = median_filter::border_index(x0 - r0 + i, a.width, a.mode);
        for (int i = t; i < G::bands * G::stage_rows; i += G::threads) {
            const int band = i / G::stage_rows;
            const int r = i - band * G::stage_rows;
            maps.rows[band][r] = median_filter::border_index(y0 - r0 + band * G::band_rows + r, a.height, a.mode);
        }
        __syncthreads();
    }
    for (int e = t; e < G::stage_rows * G::stage_cols; e += G::threads) {
        const int r = e / G::stage_cols;
        const int col = e - r * G::stage_cols;
        const int x = inside ? x0 - r0 + col : maps.cols[col];
        const int y_upper = inside ? y0 - r0 + r : maps.rows[0][r];
        const pixel_values<T, C> upper = read_mapped<T, C>(a, x, y_upper);
        if constexpr (G::bands == 2) {
            const int y_lower = inside ? y0 - r0 + G::band_rows + r : maps.rows[1][r];
            const pixel_values<T, C> lower = read_mapped<T, C>(a, x, y_lower);
#pragma unroll
            for (int c = 0; c < C; ++c) tile.words[c][r][col] = encoding::pack(upper.v[c], lower.v[c]);
        } else {
#pragma unroll
            for (int c = 0; c < C; ++c) tile.words[c][r][col] = encoding::pack(upper.v[c], upper.v[c]);
        }
    }
}

}  // namespace median_core
