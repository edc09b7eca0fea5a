// Per-channel 5x5 median of 8-bit images by bit-sliced majority selection.
//
// A bit plane holds one bit of 32 consecutive bytes of a row, so a logic
// instruction works on 32 channel values at once. In an interleaved row of
// C channels the window of byte o is bytes o + C dx of five rows, which is
// the plane shifted by C dx lanes and always the same channel: the channels
// are never separated. The median is found from its top bit down. A window
// value whose higher bits all equal the median's so far is undecided; one
// whose higher bits differ is decided, above or below the median, and
// counts as its bit at that point (1 above, 0 below) for every lower bit.
// The median's next bit is then 1 exactly when at least 13 of the 25 values
// count 1: a carry-save adder tree of three-input logic instructions, per
// lane, with no comparison and no running count.
//
// A block filters a tile of 384 bytes by 32 rows in three steps:
//   1. rows to planes (stage_planes): each loader gets 32 bytes of a row
//      from the source policy, turns them into eight planes (byte transposes
//      and bit swaps) and stores them in shared memory;
//   2. selection: each thread filters 96 bytes of one row, 32 at a time, and
//      turns the median planes back into bytes in a shared output tile;
//   3. tile to image: aligned 16-byte stores of the output rows, shifted
//      from the tile; the chunks at the ends of a row's part, which also
//      hold other blocks' bytes, go byte by byte, so that only the block's
//      own image bytes are written.
// Steps 2 and 3 are select_and_store. The source policy is the only
// difference between the benchmark's kernel (a pre-bordered buffer) and
// the library's (the caller's image, border mode applied while staging).
//
// Where the instructions go (modelled from the sm_80 machine code, RGB, per
// output pixel; 109.7 in all for the benchmark's kernel): the selection 81
// (per bit and 32 lanes, 2 logic instructions per window value, 42 for the
// majority of 25, 20 funnel shifts for the window's columns and 2.5 shared
// loads), planes back to bytes 6, rows to planes 13 (110 instructions per
// plane word, 13 words by 36 rows for 12 by 32 outputs), the tile's stores
// and the rest 10. The counting is near its floor for one output row a
// thread: a value's state is two planes (decided, and its bit) that both
// change at every bit, so two three-input instructions a value and bit, and
// folding the top bit's state into the next one's selection moves an
// instruction rather than saving it. What remains is the window's shifts
// (20 a bit and word, 15 a pixel). Where lane l of plane word q held byte
// 12 l + q of the tile row (words 12 to 23: the same, one lane on), a byte's
// window columns would be the same lane of words q + C dx (stored by q mod
// C, side by side): read, not shifted - about 1.5 loads a window row and bit against 0.5 loads and 4
// shifts, 11 instructions a pixel fewer - for loaders that gather 32 words
// 12 bytes apart and transpose them 32 by 32, about what the byte
// transposes cost now. Sharing window rows between two output rows
// (geometry: rows_per_thread) needs two states of 50 planes in registers.
#pragma once

#include "bitslice_geometry.h"
#include "bitslice_logic.cuh"

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace median_core::bitslice {

// ---- bytes and bit planes ------------------------------------------------------

// The 32 bytes at p, four to a word, read as aligned word loads (the 36
// bytes from p rounded down to 4) and shifted into place. The caller makes
// sure those 36 bytes may be read.
__device__ __forceinline__ void load_aligned_span(const unsigned char* p, word (&t)[8]) {
    constexpr int loads = load_span / load_size;
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const int misalign = static_cast<int>(at % load_size);
    const auto* base = reinterpret_cast<const word*>(at - misalign);
    word w[loads];
#pragma unroll
    for (int i = 0; i < loads; ++i) w[i] = __ldg(base + i);
#pragma unroll
    for (int i = 0; i < 8; ++i) t[i] = __funnelshift_r(w[i], w[i + 1], 8 * misalign);
}

// Whether the aligned span load_aligned_span reads for the 32 bytes at
// offset `at` of a buffer of `size` bytes at `base` lies inside the buffer.
__device__ __forceinline__ bool aligned_span_inside(const unsigned char* base, int at, int size) {
    const int first = at - static_cast<int>((reinterpret_cast<std::uintptr_t>(base) + at) % load_size);
    return first >= 0 && first <= size - load_span;
}

// 4x4 byte matrix transpose: byte c of r_k trades places with byte k of r_c.
__device__ __forceinline__ void transpose_bytes(word& r0, word& r1, word& r2, word& r3) {
    const word a0 = __byte_perm(r0, r1, 0x5140), a1 = __byte_perm(r0, r1, 0x7362);
    const word b0 = __byte_perm(r2, r3, 0x5140), b1 = __byte_perm(r2, r3, 0x7362);
    r0 = __byte_perm(a0, b0, 0x5410);
    r1 = __byte_perm(a0, b0, 0x7632);
    r2 = __byte_perm(a1, b1, 0x5410);
    r3 = __byte_perm(a1, b1, 0x7632);
}

// Exchanges the bits of a outside Mask with the bits of b inside it, Shift
// places further down.
template <int Shift, word Mask>
__device__ __forceinline__ void swap_bits(word& a, word& b) {
    const word na = lop3<select_table>(a, b << Shift, Mask);
    b = lop3<select_table>(a >> Shift, b, Mask);
    a = na;
}

// After the byte transposes, word v holds byte 8 m + v of the 32 in its byte
// m; three bit swaps exchange v with the bit index inside the byte, leaving
// bit b of byte i at bit i of word b. Each step is its own inverse.
__device__ __forceinline__ void swap_word_and_bit_index(word (&u)[8]) {
#pragma unroll
    for (int v = 0; v < 8; v += 2) swap_bits<1, 0x55555555u>(u[v], u[v + 1]);
#pragma unroll
    for (int v = 0; v < 8; v += 4) {
        swap_bits<2, 0x33333333u>(u[v], u[v + 2]);
        swap_bits<2, 0x33333333u>(u[v + 1], u[v + 3]);
    }
#pragma unroll
    for (int v = 0; v < 4; ++v) swap_bits<4, 0x0F0F0F0Fu>(u[v], u[v + 4]);
}

// 32 bytes, four to a word in order, to their eight bit planes. Word v of
// the transposed layout gathers byte 8 m + v into byte m: bytes (v % 4) of
// words v / 4, v / 4 + 2, v / 4 + 4, v / 4 + 6.
__device__ __forceinline__ void bytes_to_planes(word (&t)[8], word (&plane)[8]) {
    transpose_bytes(t[0], t[2], t[4], t[6]);
    transpose_bytes(t[1], t[3], t[5], t[7]);
#pragma unroll
    for (int v = 0; v < 8; ++v) plane[v] = t[2 * (v % 4) + v / 4];
    swap_word_and_bit_index(plane);
}

// Eight bit planes back to 32 bytes, four to a word in order: the steps of
// bytes_to_planes in reverse.
__device__ __forceinline__ void planes_to_bytes(word (&plane)[8], word (&t)[8]) {
    swap_word_and_bit_index(plane);
#pragma unroll
    for (int v = 0; v < 8; ++v) t[2 * (v % 4) + v / 4] = plane[v];
    transpose_bytes(t[0], t[2], t[4], t[6]);
    transpose_bytes(t[1], t[3], t[5], t[7]);
}

// ---- counting -------------------------------------------------------------------

// Adds the N planes v of one weight, per lane, in full adders only, until
// Left planes of that weight are left, in `left`; writes the carries, of
// twice the weight, to `carry`. Where a comparison follows, two planes of a
// weight cost it less than the half adder (two instructions) that would
// merge them.
template <int Left, int N>
__device__ __forceinline__ void add_column(const word* v, word* carry, word (&left)[Left]) {
    if constexpr (N == Left) {
#pragma unroll
        for (int i = 0; i < Left; ++i) left[i] = v[i];
    } else {
        constexpr int triples = N / 3, rest = N % 3;
        static_assert(triples > 0 && triples + rest >= Left, "full adders leave exactly Left planes");
        word next[triples + rest];
#pragma unroll
        for (int i = 0; i < triples; ++i) {
            next[i] = lop3<xor3_table>(v[3 * i], v[3 * i + 1], v[3 * i + 2]);
            carry[i] = lop3<majority_table>(v[3 * i], v[3 * i + 1], v[3 * i + 2]);
        }
#pragma unroll
        for (int i = 0; i < rest; ++i) next[triples + i] = v[3 * triples + i];
        add_column<Left, triples + rest>(next, carry + triples, left);
    }
}

// Carries a column of n planes produces in add_column, down to `left`.
constexpr int carries(int left, int n) { return n == left ? 0 : n / 3 + carries(left, n / 3 + n % 3); }

// Per lane, whether at least median_index + 1 (13) of the 25 planes are set.
// Full adders only (20, where the whole count takes 22 and two half adders)
// leave the count as s1 + 2 (s2[0] + s2[1]) + 4 s4 + 8 (c8[0] + c8[1]). The
// rest beside c8 is at most 9: the count reaches 13 where both c8 are set,
// or one is and the rest reaches 5 - the majority of the two and (rest >= 5)
// - and the rest reaches 5 where s4 is set and any of s1, s2 is, or where
// all three of s1, s2 are. 42 instructions, against 46 for the whole count.
__device__ __forceinline__ word majority_of_window(const word (&e)[window_values]) {
    static_assert(window_values == 25 && median_index + 1 == 13, "the comparison is written for 13 of 25");
    constexpr int n2 = carries(1, window_values), n4 = carries(2, n2), n8 = carries(1, n4);
    static_assert(n8 == 2, "the count's planes of weight 8 are two carries");
    word c2[n2], c4[n4], c8[n8], s1[1], s2[2], s4[1];
    add_column<1, window_values>(e, c2, s1);
    add_column<2, n2>(c2, c4, s2);
    add_column<1, n4>(c4, c8, s4);
    const word rest_reaches_5 =
        lop3<select_table>(lop3<or3_table>(s1[0], s2[0], s2[1]), lop3<and3_table>(s1[0], s2[0], s2[1]), s4[0]);
    return lop3<majority_table>(c8[0], c8[1], rest_reaches_5);
}

// ---- selection ------------------------------------------------------------------

// Bit Bit of the values in the window rows of a thread's output word, x[r][dx]
// being row r, column dx; `rows` points at the word's plane group in the
// first window row.
template <int Channels, int Bit>
__device__ __forceinline__ void window_planes(const word* rows, word (&x)[window_rows][window_side]) {
    constexpr int half = Bit & 1, slot = pair_words * (Bit / 2);
#pragma unroll
    for (int r = 0; r < window_rows; ++r) {
        const uint4 v = *reinterpret_cast<const uint4*>(rows + r * plane_row_words + slot);
        const word lo = half ? v.y : v.x, hi = half ? v.w : v.z;
        x[r][0] = lo;
#pragma unroll
        for (int dx = 1; dx < window_side; ++dx) x[r][dx] = __funnelshift_r(lo, hi, Channels * dx);
    }
}

// The selection state of one output word: which window values are decided
// and, for those, the bit they count as.
struct selection {
    word decided[window_values];
    word bit[window_values];
};

// One step of the selection, for bit Bit of the output word whose window
// starts at row `top_row` of x: the median's bit as a plane; marks the values
// that differ from it as decided.
template <int Bit>
__device__ __forceinline__ word select_bit(const word (&x)[window_rows][window_side], int top_row, selection& s) {
    // Every value is undecided at the top bit, and no state is needed after
    // the last.
    constexpr bool top = Bit == value_bits - 1;
    word e[window_values];
#pragma unroll
    for (int k = 0; k < window_side; ++k)
#pragma unroll
        for (int dx = 0; dx < window_side; ++dx) {
            const int i = k * window_side + dx;
            e[i] = top ? x[top_row + k][dx] : lop3<select_table>(s.bit[i], x[top_row + k][dx], s.decided[i]);
        }
    const word median = majority_of_window(e);
    if constexpr (Bit > 0) {
#pragma unroll
        for (int i = 0; i < window_values; ++i) {
            s.decided[i] = top ? lop3<xor_table>(e[i], median, 0) : lop3<decide_table>(s.decided[i], e[i], median);
            s.bit[i] = e[i];
        }
    }
    return median;
}

template <int Channels, int Bit>
__device__ __forceinline__ void select_bit_of_rows(const word* rows, selection (&s)[rows_per_thread],
                                                   word (&median)[rows_per_thread][value_bits]) {
    word x[window_rows][window_side];
    window_planes<Channels, Bit>(rows, x);
#pragma unroll
    for (int r = 0; r < rows_per_thread; ++r) median[r][Bit] = select_bit<Bit>(x, r, s[r]);
}

template <int Channels, int... Bits>
__device__ __forceinline__ void select_bits(const word* rows, word (&median)[rows_per_thread][value_bits],
                                            std::integer_sequence<int, Bits...>) {
    selection s[rows_per_thread];  // set by the top bit's step
    (select_bit_of_rows<Channels, value_bits - 1 - Bits>(rows, s, median), ...);
}

// The median planes of a thread's output words, one above the other, whose
// first window row's plane group starts at `rows`.
template <int Channels>
__device__ __forceinline__ void median_planes(const word* rows, word (&median)[rows_per_thread][value_bits]) {
    select_bits<Channels>(rows, median, std::make_integer_sequence<int, value_bits>{});
}

// ---- tile to image ----------------------------------------------------------------

// Writes the bytes of v, the 16 at out + offset, that lie in [begin, end).
__device__ __forceinline__ void store_chunk_clipped(unsigned char* out, int offset, int begin, int end,
                                                    const word (&v)[chunk_words]) {
    // Bit b: whether byte b is written.
    const int from = max(begin - offset, 0), to = min(end - offset, chunk);
    const unsigned written = (0xFFFFu << from) & (0xFFFFu >> (chunk - to));
#pragma unroll
    for (int b = 0; b < chunk; ++b)
        if (written >> b & 1) out[offset + b] = static_cast<unsigned char>(v[b / 4] >> (8 * (b % 4)));
}

// Where a block's part of one output row lies among the row's aligned
// chunks; offsets are from the row's first byte.
struct tile_row {
    int begin, end;  // the part's bytes: the tile's, inside the image
    int first;       // the aligned chunk holding `begin`
    int full_begin, full_end;  // chunks (from `first`) holding only the part's bytes
    bool end_clipped;          // whether chunk full_end holds some of them, and is not chunk 0
    int from, shift;  // the tile row's word and bit where chunk 0 starts, one chunk on for the lead

    __device__ __forceinline__ tile_row(const unsigned char* row, int row_len, int x0) {
        begin = x0;
        end = min(begin + tile_bytes, row_len);
        const int misalign = static_cast<int>((reinterpret_cast<std::uintptr_t>(row) + begin) % chunk);
        first = begin - misalign;
        full_begin = misalign != 0;
        full_end = (end - first) / chunk;
        end_clipped = full_end * chunk != end - first && (full_end != 0 || misalign == 0);
        from = chunk - misalign;
        shift = 8 * (from % 4);
    }
};

// Output chunk c of a tile row, from the row's words: `src` points at the
// word holding the chunk's first byte, `shift` is that byte's bit offset.
__device__ __forceinline__ void chunk_from_tile(const word* src, int c, int shift, word (&v)[chunk_words]) {
#pragma unroll
    for (int k = 0; k < chunk_words; ++k)
        v[k] = __funnelshift_r(src[c * chunk_words + k], src[c * chunk_words + k + 1], shift);
}

// ---- the block's steps ------------------------------------------------------------

// Where a block writes: rows `pitch` bytes apart, of which the first
// `row_len` bytes are the image's, `height` rows.
struct output_image {
    unsigned char* data;
    std::size_t pitch;
    int row_len;
    int height;

    __device__ __forceinline__ unsigned char* row(int y) const { return data + static_cast<std::size_t>(y) * pitch; }
};

// Step 1: the planes of the block's staged rows. Staged row r, byte b is the
// input byte (x0 + b) of row y0 + r of the bordered image, which Source
// gives 32 at a time: `source.staged_rows()` rows exist (those past them
// reach only outputs past the image) and `source.bytes(r, b, t)` gives the
// 32 bytes from b of row r. Thread t < loaders converts plane words
// (t % loader_rows + loader_rows * i, t / loader_rows): neighbouring threads
// take neighbouring rows, whose plane groups lie in different banks.
template <class Source>
__device__ __forceinline__ void stage_planes(const Source& source, int tid, word* planes) {
    if (tid >= loaders) return;
    const int r0 = tid % loader_rows, j = tid / loader_rows;
    const int rows = source.staged_rows();
    // This word's planes are the first half of group j and the second half of
    // group j - 1 (where those groups exist).
    word* lo_dst = planes + r0 * plane_row_words + j * group_words;
    word* hi_dst = planes + r0 * plane_row_words + max(j - 1, 0) * group_words + pair_words / 2;
#pragma unroll staging_unroll
    for (int i = 0; i < rows_per_loader; ++i) {
        const int r = r0 + loader_rows * i;
        if (r < rows) {
            word t[8], plane[value_bits];
            source.bytes(r, j * lanes, t);
            bytes_to_planes(t, plane);
            const int row = loader_rows * i * plane_row_words;
#pragma unroll
            for (int p = 0; p < bit_pairs; ++p) {
                const uint2 pair = make_uint2(plane[2 * p], plane[2 * p + 1]);
                if (j < tile_words) *reinterpret_cast<uint2*>(lo_dst + row + pair_words * p) = pair;
                if (j > 0) *reinterpret_cast<uint2*>(hi_dst + row + pair_words * p) = pair;
            }
        }
    }
}

// Step 2: the medians of the thread's words, as bytes in the output tile.
// A warp takes 32 row groups of the same words, so that its reads of a plane
// row fall in distinct banks.
template <int Channels>
__device__ __forceinline__ void select_to_tile(const word* planes, word* out_tile, const output_image& out, int x0,
                                               int y0, int tid) {
    const int row = tid % threads_y * rows_per_thread, column = tid / threads_y;
    const int j0 = column * words_per_thread;
    const word* rows = planes + row * plane_row_words + j0 * group_words;
    word* dst = out_tile + row * out_row_words + out_lead_words + column * words_per_thread * (lanes / 4);
    const int x = x0 + column * words_per_thread * lanes;
    // Step 3 reads whole chunks of a row, its lead and the words past the
    // image too (and drops their bytes): they hold zeros, not whatever the
    // shared memory held before.
    const uint4 zero = make_uint4(0, 0, 0, 0);
    if (tid < tile_rows) *reinterpret_cast<uint4*>(out_tile + tid * out_row_words) = zero;
    if (tid == 0) *reinterpret_cast<uint4*>(out_tile + tile_rows * out_row_words) = zero;
    if (y0 + row >= out.height) return;
#pragma unroll selection_unroll
    for (int w = 0; w < words_per_thread; ++w) {
        if (x + w * lanes >= out.row_len) {
#pragma unroll
            for (int r = 0; r < rows_per_thread; ++r) {
                word* d = dst + r * out_row_words + w * (lanes / 4);
                *reinterpret_cast<uint4*>(d) = zero;
                *reinterpret_cast<uint4*>(d + chunk_words) = zero;
            }
        } else {
            word median[rows_per_thread][value_bits];
            median_planes<Channels>(rows + w * group_words, median);
#pragma unroll
            for (int r = 0; r < rows_per_thread; ++r) {
                word bytes[8];
                planes_to_bytes(median[r], bytes);
                word* d = dst + r * out_row_words + w * (lanes / 4);
                *reinterpret_cast<uint4*>(d) = make_uint4(bytes[0], bytes[1], bytes[2], bytes[3]);
                *reinterpret_cast<uint4*>(d + chunk_words) = make_uint4(bytes[4], bytes[5], bytes[6], bytes[7]);
            }
        }
    }
}

// Step 3: the output tile to the image, in chunks aligned in each output
// row, each thread taking every threads_x-th chunk of a row, so that a warp
// stores 64 contiguous bytes of each of eight rows at a time; then the
// chunks at the ends of each row's part that also hold bytes outside the
// block's part, byte by byte, a row per thread.
__device__ __forceinline__ void tile_to_image(const word* out_tile, const output_image& out, int x0, int y0, int tid) {
    const int tx = tid % threads_x, ty = tid / threads_x;
#pragma unroll
    for (int k = 0; k < rows_per_thread; ++k) {
        const int r = ty + threads_y * k;
        if (y0 + r >= out.height) break;
        unsigned char* row = out.row(y0 + r);
        const tile_row part(row, out.row_len, x0);
        const word* src = out_tile + r * out_row_words + part.from / 4;
#pragma unroll
        for (int i = 0; i < full_chunks_per_thread; ++i) {
            const int c = tx + threads_x * i;
            // Every chunk of the row reads inside the tile row: only the store is guarded.
            word v[chunk_words];
            chunk_from_tile(src, c, part.shift, v);
            if (c >= part.full_begin && c < part.full_end)
                *reinterpret_cast<uint4*>(row + part.first + c * chunk) = make_uint4(v[0], v[1], v[2], v[3]);
        }
    }
    if (tid < tile_rows && y0 + tid < out.height) {
        unsigned char* row = out.row(y0 + tid);
        const tile_row part(row, out.row_len, x0);
        const word* src = out_tile + tid * out_row_words + part.from / 4;
#pragma unroll
        for (int end = 0; end < 2; ++end) {
            const int c = end == 0 ? 0 : part.full_end;
            if (end == 0 ? part.full_begin == 0 : !part.end_clipped) continue;
            word v[chunk_words];
            chunk_from_tile(src, c, part.shift, v);
            store_chunk_clipped(row, part.first + c * chunk, part.begin, part.end, v);
        }
    }
}

// Steps 2 and 3 for the block whose tile starts at byte x0 of row y0, after
// stage_planes and a barrier. Step 3 still reads `out_tile`: the block meets
// at a barrier before it stages again.
template <int Channels>
__device__ __forceinline__ void select_and_store(const word* planes, word* out_tile, const output_image& out, int x0,
                                                 int y0, int tid) {
    select_to_tile<Channels>(planes, out_tile, out, x0, y0, tid);
    __syncthreads();
    tile_to_image(out_tile, out, x0, y0, tid);
}

}  // namespace median_core::bitslice
