// The tiled-network core: after a block has staged its area (a source
// policy: stage_mapped.cuh for the caller's image with a border mode, or
// stage_bordered.cuh for a bordered buffer), each thread runs the window's
// generated network (networks.h) on its tile of every channel, one tile
// per band, and writes its outputs row by row with the widest stores the
// row's address allows.
//
// The network sorts the values that several windows of a tile share once
// and keeps only the merges each median needs. Values travel as staged
// words (value_codec.cuh): two 16-bit lanes, or one float key.
#pragma once

#include "image_args.h"
#include "networks.h"
#include "tiled_geometry.h"
#include "value_codec.cuh"

#include <cuda_runtime.h>

#include <cstdint>

namespace median_core {

// A thread's window area of one channel, loaded from its plane with the
// widest shared loads the columns allow.
template <class Net, class G, class Wire>
__device__ __forceinline__ void load_inputs(const unsigned int (&plane)[G::stage_rows][G::plane_cols], int row,
                                            int col, Wire (&in)[Net::input_rows][Net::input_cols]) {
    static_assert(G::tile_cols % 2 == 0, "thread columns start on 8-byte boundaries");
    constexpr bool quad = G::tile_cols % 4 == 0;
#pragma unroll
    for (int r = 0; r < Net::input_rows; ++r) {
        const unsigned int* p = &plane[row + r][col];
        int j = 0;
        if constexpr (quad) {
#pragma unroll
            for (; j + 4 <= Net::input_cols; j += 4) {
                const uint4 w = *reinterpret_cast<const uint4*>(p + j);
                in[r][j] = Wire::from_word(w.x);
                in[r][j + 1] = Wire::from_word(w.y);
                in[r][j + 2] = Wire::from_word(w.z);
                in[r][j + 3] = Wire::from_word(w.w);
            }
        }
#pragma unroll
        for (; j + 2 <= Net::input_cols; j += 2) {
            const uint2 w = *reinterpret_cast<const uint2*>(p + j);
            in[r][j] = Wire::from_word(w.x);
            in[r][j + 1] = Wire::from_word(w.y);
        }
        if (j < Net::input_cols) in[r][j] = Wire::from_word(p[j]);
    }
}

// The medians of a thread's tile in one channel's plane, capped by `cap`.
template <class Net, class G, class Wire, class Cap>
__device__ __forceinline__ void channel_medians(const unsigned int (&plane)[G::stage_rows][G::plane_cols], int row,
                                                int col, Wire (&medians)[G::tile_rows][G::tile_cols], const Cap& cap) {
    Wire in[Net::input_rows][Net::input_cols];
    load_inputs<Net, G>(plane, row, col, in);
    Net::tile_medians(in, medians, cap);
}

// One output row of a thread: N values of T packed into 32-bit words in
// memory order, so that the row is stored with word or vector stores.
template <class T, int N>
struct packed_row {
    static constexpr int bytes = N * static_cast<int>(sizeof(T));
    static constexpr int word_count = (bytes + 3) / 4;
    unsigned int words[word_count];

    __device__ __forceinline__ void set(int j, T v) {
        if constexpr (sizeof(T) == 4) {
            words[j] = __float_as_uint(v);
        } else {
            constexpr int per_word = 4 / static_cast<int>(sizeof(T));
            constexpr unsigned int mask = (1u << (8 * sizeof(T))) - 1;
            const int shift = 8 * static_cast<int>(sizeof(T)) * (j % per_word);
            unsigned int& w = words[j / per_word];
            w = (w & ~(mask << shift)) | (static_cast<unsigned int>(v) << shift);
        }
    }
    __device__ __forceinline__ T get(int j) const {
        if constexpr (sizeof(T) == 4) {
            return __uint_as_float(words[j]);
        } else {
            constexpr int per_word = 4 / static_cast<int>(sizeof(T));
            return static_cast<T>(words[j / per_word] >> (8 * static_cast<int>(sizeof(T)) * (j % per_word)));
        }
    }
};

// One output row of 8- or 16-bit values, both bands at once, gathered from
// the network's lane words (one output of a band per 16-bit lane; an 8-bit
// value doubled fills its lane). Writing each value into its row word
// would take one byte permute per value and band; instead the values of
// one output word arrive in pairs, so that two permutes per pair of lane
// words finish both bands' row words:
// - 8-bit: the word's first two values (in the order the channels arrive)
//   go into one register, [a0 b0 a1 b1] by lane, with one permute as the
//   second arrives; the last two into another; after every channel, one
//   permute of the two registers per band writes the row word.
// - 16-bit: a word holds two values; one permute of their lane words per
//   band writes it.
// Values arrive channel by channel, columns in order within a channel.
template <class T, int N, int Channels, int TileCols>
struct lane_row_pair {
    static_assert(sizeof(T) <= 2, "lane words hold 8- and 16-bit values");
    static constexpr int size = static_cast<int>(sizeof(T));
    static constexpr int per_word = 4 / size;
    static constexpr int word_count = (N + per_word - 1) / per_word;
    unsigned int held[word_count][2] = {};

    static constexpr __host__ __device__ __forceinline__ int arrival(int j) {
        return j % Channels * TileCols + j / Channels;
    }
    // The order of value j among the values of its word.
    static constexpr __host__ __device__ __forceinline__ int rank(int j) {
        const int first = j / per_word * per_word;
        int r = 0;
#pragma unroll
        for (int q = first; q < first + per_word && q < N; ++q) r += arrival(q) < arrival(j);
        return r;
    }
    // The permute of the two held registers that writes word w of a band.
    static constexpr __host__ __device__ __forceinline__ unsigned int selector(int w, int band) {
        unsigned int s = 0;
#pragma unroll
        for (int p = 0; p < per_word && w * per_word + p < N; ++p) {
            const int r = rank(w * per_word + p);
            if (size == 1)
                s |= static_cast<unsigned int>(r / 2 * 4 + 2 * band + r % 2) << 4 * p;
            else
                s |= static_cast<unsigned int>((4 * r + 2 * band) | (4 * r + 2 * band + 1) << 4) << 8 * p;
        }
        return s;
    }

    __device__ __forceinline__ void add(int j, unsigned int lane_word) {
        const int r = rank(j);
        unsigned int& h = held[j / per_word][size == 1 ? r / 2 : r];
        // [a0 b0 a1 b1]: the lane bytes of the held value and of this one
        constexpr unsigned int interleave = 0x6240u;
        h = size == 1 && r % 2 == 1 ? __byte_perm(h, lane_word, interleave) : lane_word;
    }
    __device__ __forceinline__ void write(packed_row<T, N>& band0, packed_row<T, N>& band1) const {
#pragma unroll
        for (int w = 0; w < word_count; ++w) {
            band0.words[w] = __byte_perm(held[w][0], held[w][1], selector(w, 0));
            band1.words[w] = __byte_perm(held[w][0], held[w][1], selector(w, 1));
        }
    }
};

// The alignment every row of a thread's outputs shares: its rows start
// at dst + y * pitch + x_bytes, so the low bits of dst | pitch | x_bytes
// (a row is aligned to 2^k when all three are). Known once per thread, not
// per row.
template <class T>
__device__ __forceinline__ unsigned int rows_alignment(const T* dst, std::size_t pitch, int x_bytes) {
    return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(dst) | pitch) | static_cast<unsigned int>(x_bytes);
}

// Stores the first `count` values of `row` at p, whose address has the
// low bits of `at` (rows_alignment, or p itself). A full row goes out in
// 16-, 8- or 4-byte stores, the widest that the alignment and the row's
// size allow; a row cut by the image's right edge, or one at an address
// no word store fits, value by value.
template <class T, int N>
__device__ __forceinline__ void store_row(T* p, const packed_row<T, N>& row, int count, std::uintptr_t at) {
    using R = packed_row<T, N>;
    if (count == N) {
        if constexpr (R::bytes % 16 == 0) {
            if (at % 16 == 0) {
#pragma unroll
                for (int q = 0; q < R::word_count; q += 4)
                    reinterpret_cast<uint4*>(p)[q / 4] =
                        make_uint4(row.words[q], row.words[q + 1], row.words[q + 2], row.words[q + 3]);
                return;
            }
        }
        if constexpr (R::bytes % 8 == 0) {
            if (at % 8 == 0) {
#pragma unroll
                for (int q = 0; q < R::word_count; q += 2)
                    reinterpret_cast<uint2*>(p)[q / 2] = make_uint2(row.words[q], row.words[q + 1]);
                return;
            }
        }
        if constexpr (R::bytes % 4 == 0) {
            if (at % 4 == 0) {
#pragma unroll
                for (int q = 0; q < R::word_count; ++q) reinterpret_cast<unsigned int*>(p)[q] = row.words[q];
                return;
            }
        }
    }
#pragma unroll
    for (int j = 0; j < N; ++j)
        if (j < count) p[j] = row.get(j);
}

template <class T>
__device__ __forceinline__ T* row_at(T* base, std::size_t pitch, int x, int y, int channels) {
    return reinterpret_cast<T*>(reinterpret_cast<unsigned char*>(base) + y * pitch) +
           static_cast<std::size_t>(x) * channels;
}

// The thread's outputs of the staged block whose first output is (x0, y0):
// medians of every channel, then one store per band and tile row that lies
// in the width x height image at dst.
template <class Net, class G, class Encoding, class T>
__device__ __forceinline__ void tile_outputs(const stage_tile<G>& tile, T* dst, std::size_t pitch, int width,
                                             int height, int x0, int y0) {
    using Wire = typename resolve_lanes<typename Encoding::wire_tag>::type;
    static_assert(Net::tile_cols == G::tile_cols && Net::tile_rows == G::tile_rows && Net::window == G::window,
                  "the geometry and the network disagree on the thread tile");
    static_assert(Wire::bands == G::bands, "the geometry and the wire form disagree on the bands");
    constexpr int C = G::channels;
    constexpr int N = G::tile_cols * C;
    const int col = threadIdx.x * G::tile_cols;
    const int row = threadIdx.y * G::tile_rows;

    packed_row<T, N> out[G::bands][G::tile_rows] = {};
    if constexpr (Wire::bands == 2) {
        lane_row_pair<T, N, C, G::tile_cols> gathered[G::tile_rows];
#pragma unroll
        for (int c = 0; c < C; ++c) {
            Wire medians[G::tile_rows][G::tile_cols];
            channel_medians<Net, G>(tile.words[c], row, col, medians, Encoding::template network_cap<Wire>());
#pragma unroll
            for (int k = 0; k < G::tile_rows; ++k)
#pragma unroll
                for (int i = 0; i < G::tile_cols; ++i) gathered[k].add(i * C + c, medians[k][i].to_word());
        }
#pragma unroll
        for (int k = 0; k < G::tile_rows; ++k) gathered[k].write(out[0][k], out[1][k]);
    } else {
#pragma unroll
        for (int c = 0; c < C; ++c) {
            Wire medians[G::tile_rows][G::tile_cols];
            channel_medians<Net, G>(tile.words[c], row, col, medians, Encoding::template network_cap<Wire>());
#pragma unroll
            for (int k = 0; k < G::tile_rows; ++k)
#pragma unroll
                for (int i = 0; i < G::tile_cols; ++i)
                    out[0][k].set(i * C + c, Encoding::unpack(medians[k][i].to_word(), 0));
        }
    }

    const int x = x0 + col;
    if (x >= width) return;
    const int count = min(G::tile_cols, width - x) * C;
    const unsigned int aligned = rows_alignment(dst, pitch, x * C * static_cast<int>(sizeof(T)));
#pragma unroll
    for (int band = 0; band < G::bands; ++band)
#pragma unroll
        for (int k = 0; k < G::tile_rows; ++k) {
            const int y = y0 + band * G::band_rows + row + k;
            if (y < height) store_row(row_at(dst, pitch, x, y, C), out[band][k], count, aligned);
        }
}

}  // namespace median_core
