// Per-channel 5x5 median by bit-sliced majority selection.
//
// A bit plane holds one bit of 32 consecutive bytes of a bordered row, so a
// logic instruction works on 32 channel values at once. In an interleaved
// RGB row the window of byte o is bytes o + 3 dx of five rows, which is the
// plane shifted by 3 dx lanes and always the same channel: the channels are
// never separated. The median is found from its top bit down. A window value
// whose higher bits all equal the median's so far is still live; the
// median's next bit is 1 when at least `need` live values have that bit set,
// `need` being 13 less the values already known to lie above the median. The
// live counts come from a carry-save adder tree of three-input logic
// instructions, per lane, with no comparison.
//
// A block filters a tile of 384 bytes (128 pixels) by 32 rows in three steps:
//   1. rows to planes: aligned 8-byte loads, shifted to the row's bytes,
//      turned into eight planes per 32 bytes (byte transposes and bit swaps)
//      in shared memory;
//   2. selection: each thread filters 96 bytes of one row, 32 at a time, and
//      turns the median planes back into bytes in a shared output tile;
//   3. tile to image: aligned 16-byte stores of the output rows, shifted
//      from the tile; the chunks at the ends of a row's part, which also
//      hold other blocks' bytes or the border's, go byte by byte, so that
//      only the block's own image pixels are written.
// Rows start at any byte offset; the image need not be a multiple of the
// tile, and nothing outside the bordered buffer is read.
#include "bitslice_layout.h"
#include "bitslice_logic.cuh"
#include "launch_contract.cuh"
#include "median_kernels.cuh"

#include <cstdint>
#include <utility>

namespace {

using namespace bitslice;

// ---- bytes and bit planes ------------------------------------------------------

// The four bytes of the bordered buffer at `offset`, at one of its ends:
// bytes outside it read as 0.
__device__ __forceinline__ word load_word_clipped(const unsigned char* __restrict__ in, int size, int offset) {
    word w = 0;
#pragma unroll
    for (int i = 0; i < 4; ++i)
        if (offset + i >= 0 && offset + i < size) w |= word(in[offset + i]) << (8 * i);
    return w;
}

// The 32 bytes at `offset` of the bordered buffer, four to a word, read as
// aligned 8-byte loads and shifted into place.
__device__ __forceinline__ void load_bytes(const unsigned char* __restrict__ in, int size, int offset, word (&t)[8]) {
    constexpr int loads = load_span / load_size;
    const int misalign = static_cast<int>((reinterpret_cast<std::uintptr_t>(in) + offset) % load_size);
    const int base = offset - misalign;
    word w[2 * loads];
    if (base >= 0 && base <= size - load_span) {
#pragma unroll
        for (int i = 0; i < loads; ++i) {
            const uint2 v = __ldg(reinterpret_cast<const uint2*>(in + base) + i);
            w[2 * i] = v.x;
            w[2 * i + 1] = v.y;
        }
    } else {
#pragma unroll
        for (int i = 0; i < 2 * loads; ++i) w[i] = load_word_clipped(in, size, base + 4 * i);
    }
    // The whole word first, then the bytes within a word.
    const bool skip = misalign & 4;
    const int shift = 8 * (misalign % 4);
    word y[9];
#pragma unroll
    for (int i = 0; i < 9; ++i) y[i] = skip ? w[i + 1] : w[i];
#pragma unroll
    for (int i = 0; i < 8; ++i) t[i] = __funnelshift_r(y[i], y[i + 1], shift);
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

// Word v of the transposed layout gathers byte 8 m + v into byte m: bytes
// (v % 4) of words v / 4, v / 4 + 2, v / 4 + 4, v / 4 + 6.
__device__ __forceinline__ void transpose_byte_groups(word (&t)[8], word (&u)[8]) {
    transpose_bytes(t[0], t[2], t[4], t[6]);
    transpose_bytes(t[1], t[3], t[5], t[7]);
#pragma unroll
    for (int v = 0; v < 8; ++v) u[v] = t[2 * (v % 4) + v / 4];
}

// 32 bytes, four to a word in order, to their eight bit planes.
__device__ __forceinline__ void bytes_to_planes(word (&t)[8], word (&plane)[8]) {
    transpose_byte_groups(t, plane);
    swap_word_and_bit_index(plane);
}

// Eight bit planes back to 32 bytes, four to a word in order.
__device__ __forceinline__ void planes_to_bytes(word (&plane)[8], word (&t)[8]) {
    swap_word_and_bit_index(plane);
#pragma unroll
    for (int v = 0; v < 8; ++v) t[2 * (v % 4) + v / 4] = plane[v];
    transpose_bytes(t[0], t[2], t[4], t[6]);
    transpose_bytes(t[1], t[3], t[5], t[7]);
}

// ---- counting -------------------------------------------------------------------

// The adders in lop3 form (Pinned), or as expressions the compiler may
// simplify, where some inputs are constants.
template <bool Pinned>
__device__ __forceinline__ void full_add(word a, word b, word c, word& sum, word& carry) {
    if constexpr (Pinned) {
        sum = lop3<xor3_table>(a, b, c);
        carry = lop3<majority_table>(a, b, c);
    } else {
        sum = a ^ b ^ c;
        carry = (a & b) | (c & (a ^ b));
    }
}

template <bool Pinned>
__device__ __forceinline__ void half_add(word a, word b, word& sum, word& carry) {
    if constexpr (Pinned) {
        sum = lop3<xor_table>(a, b, 0);
        carry = lop3<and_table>(a, b, 0);
    } else {
        sum = a ^ b;
        carry = a & b;
    }
}

// Adds the N planes v of one weight, per lane: returns the sum's bit of that
// weight and writes the N / 2 carries, of twice the weight, to `carry`.
template <int N, bool Pinned>
__device__ __forceinline__ word add_column(const word* v, word* carry) {
    if constexpr (N == 1) {
        return v[0];
    } else if constexpr (N == 2) {
        word sum;
        half_add<Pinned>(v[0], v[1], sum, carry[0]);
        return sum;
    } else {
        constexpr int triples = N / 3, rest = N % 3;
        word next[triples + rest];
#pragma unroll
        for (int i = 0; i < triples; ++i) full_add<Pinned>(v[3 * i], v[3 * i + 1], v[3 * i + 2], next[i], carry[i]);
#pragma unroll
        for (int i = 0; i < rest; ++i) next[triples + i] = v[3 * triples + i];
        return add_column<triples + rest, Pinned>(next, carry + triples);
    }
}

// Per lane, the 25 one-bit planes x plus the four-bit number u: its low four
// bits go to `low`, and the returned plane marks the lanes where it reaches 16.
template <bool Pinned>
__device__ __forceinline__ word count_reaches_16(const word (&x)[window_values], const word (&u)[4], word (&low)[4]) {
    constexpr int n1 = window_values + 1, n2 = n1 / 2 + 1, n4 = n2 / 2 + 1, n8 = n4 / 2 + 1, n16 = n8 / 2;
    word c1[n1], c2[n2], c4[n4], c8[n8], c16[n16];
#pragma unroll
    for (int k = 0; k < window_values; ++k) c1[k] = x[k];
    c1[window_values] = u[0];
    c2[n1 / 2] = u[1];
    c4[n2 / 2] = u[2];
    c8[n4 / 2] = u[3];
    low[0] = add_column<n1, Pinned>(c1, c2);
    low[1] = add_column<n2, Pinned>(c2, c4);
    low[2] = add_column<n4, Pinned>(c4, c8);
    low[3] = add_column<n8, Pinned>(c8, c16);
    static_assert(n16 == 2, "a sum below 48 has at most two carries of weight 16");
    return Pinned ? lop3<or_table>(c16[0], c16[1], 0) : c16[0] | c16[1];
}

// ---- selection ------------------------------------------------------------------

// Bit Bit of the values in the windows of a thread's output words, x[r][dx]
// being row r, column dx; `rows` points at the word's plane group in the
// first window row.
template <int Bit>
__device__ __forceinline__ void window_planes(const word* rows, word (&x)[window_rows][window_side]) {
    constexpr int half = Bit & 1, slot = pair_words * (Bit / 2);
#pragma unroll
    for (int r = 0; r < window_rows; ++r) {
        const uint4 v = *reinterpret_cast<const uint4*>(rows + r * plane_row_words + slot);
        const word lo = half ? v.y : v.x, hi = half ? v.w : v.z;
        x[r][0] = lo;
#pragma unroll
        for (int dx = 1; dx < window_side; ++dx) x[r][dx] = __funnelshift_r(lo, hi, channels * dx);
    }
}

// The selection state of one output word: which window values are still
// live, and the count still needed, kept as 16 less that count, so that the
// adder tree asks only whether a sum reaches 16 and, on a 0 bit, the new
// value is the sum itself.
struct selection {
    word live[window_values];
    word need[4];
};

// One step of the selection, for bit Bit of the output word whose window
// starts at row `top_row` of x: the median's bit as a plane; narrows the
// live values and the count still needed.
template <int Bit>
__device__ __forceinline__ word select_bit(const word (&x)[window_rows][window_side], int top_row, selection& s) {
    // Every value is live at the top bit, and `need` is a constant there.
    constexpr bool top = Bit == value_bits - 1;
    word t[window_values];
#pragma unroll
    for (int k = 0; k < window_side; ++k)
#pragma unroll
        for (int dx = 0; dx < window_side; ++dx)
            t[k * window_side + dx] =
                top ? x[top_row + k][dx] : lop3<and_table>(x[top_row + k][dx], s.live[k * window_side + dx], 0);
    word low[4];
    const word one = count_reaches_16<!top>(t, s.need, low);
    if constexpr (Bit > 0) {
#pragma unroll
        for (int i = 0; i < 4; ++i) s.need[i] = lop3<select_table>(s.need[i], low[i], one);
#pragma unroll
        for (int k = 0; k < window_values; ++k) s.live[k] = lop3<narrow_table>(t[k], s.live[k], one);
    }
    return one;
}

template <int Bit>
__device__ __forceinline__ void select_bit_of_rows(const word* rows, selection (&s)[rows_per_thread],
                                                   word (&median)[rows_per_thread][value_bits]) {
    word x[window_rows][window_side];
    window_planes<Bit>(rows, x);
#pragma unroll
    for (int r = 0; r < rows_per_thread; ++r) median[r][Bit] = select_bit<Bit>(x, r, s[r]);
}

template <int... Bits>
__device__ __forceinline__ void select_bits(const word* rows, word (&median)[rows_per_thread][value_bits],
                                            std::integer_sequence<int, Bits...>) {
    constexpr int first_need = 16 - (median_index + 1);
    selection s[rows_per_thread];
#pragma unroll
    for (int r = 0; r < rows_per_thread; ++r) {
#pragma unroll
        for (int k = 0; k < window_values; ++k) s[r].live[k] = ~0u;
#pragma unroll
        for (int i = 0; i < 4; ++i) s[r].need[i] = (first_need >> i) & 1 ? ~0u : 0u;
    }
    (select_bit_of_rows<value_bits - 1 - Bits>(rows, s, median), ...);
}

// The median planes of a thread's output words, one above the other, whose
// first window row's plane group starts at `rows`.
__device__ __forceinline__ void median_planes(const word* rows, word (&median)[rows_per_thread][value_bits]) {
    select_bits(rows, median, std::make_integer_sequence<int, value_bits>{});
}

// ---- tile to image ----------------------------------------------------------------

// Writes the bytes of v, the 16 at out + offset, that lie in [begin, end).
__device__ __forceinline__ void store_chunk_clipped(unsigned char* __restrict__ out, int offset, int begin, int end,
                                                    const word (&v)[chunk_words]) {
    // Bit b: whether byte b is written.
    const int from = max(begin - offset, 0), to = min(end - offset, chunk);
    const unsigned written = (0xFFFFu << from) & (0xFFFFu >> (chunk - to));
#pragma unroll
    for (int b = 0; b < chunk; ++b)
        if (written >> b & 1) out[offset + b] = static_cast<unsigned char>(v[b / 4] >> (8 * (b % 4)));
}

// Where a block's part of one output row lies among the output buffer's
// aligned chunks.
struct tile_row {
    int begin, end;  // the part's bytes: the tile's, inside the image
    int first;       // the aligned chunk holding `begin`
    int full_begin, full_end;  // chunks (from `first`) holding only the part's bytes
    bool end_clipped;          // whether chunk full_end holds some of them, and is not chunk 0
    int from, shift;  // the tile row's word and bit where chunk 0 starts, one chunk on for the lead

    __device__ __forceinline__ tile_row(const unsigned char* out, int row_bytes, int image_row_bytes, int x0, int y) {
        const int row = y * row_bytes;
        begin = row + x0;
        end = min(begin + tile_bytes, row + image_row_bytes);
        const int misalign = static_cast<int>((reinterpret_cast<std::uintptr_t>(out) + begin) % chunk);
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

}  // namespace

__global__ void __launch_bounds__(bitslice_threads, min_blocks_per_sm)
    median_kernel_bitslice(const unsigned char* __restrict__ in, unsigned char* __restrict__ out, int pw, int height) {
    __shared__ __align__(16) word planes[plane_tile_words];
    __shared__ __align__(16) word out_tile[out_tile_words];

    const int row_bytes = pw * channels;
    const int image_row_bytes = (pw - 2 * ApronRadius) * channels;
    const int in_size = (height + 2 * ApronRadius) * row_bytes;
    const int x0 = blockIdx.x * tile_bytes;  // the tile's first byte in a row
    const int y0 = blockIdx.y * tile_rows;
    const int tid = threadIdx.y * threads_x + threadIdx.x;

    // 1. Rows to planes: thread tid < loaders converts plane words
    // (tid % loader_rows + loader_rows * i, tid / loader_rows): neighbouring
    // threads take neighbouring rows, whose plane groups lie in different
    // banks. Rows past the bordered image are left unset: they reach only
    // output rows past the image.
    if (tid < loaders) {
        const int r0 = tid % loader_rows, j = tid / loader_rows;
        const int rows_left = height + 2 * ApronRadius - y0;
        const int offset = (y0 + r0) * row_bytes + x0 + j * lanes;
        // This word's planes are the first half of group j and the second
        // half of group j - 1 (where those groups exist).
        word* lo_dst = planes + r0 * plane_row_words + j * group_words;
        word* hi_dst = planes + r0 * plane_row_words + max(j - 1, 0) * group_words + pair_words / 2;
#pragma unroll
        for (int i = 0; i < rows_per_loader; ++i) {
            if (r0 + loader_rows * i < rows_left) {
                word t[8], plane[value_bits];
                load_bytes(in, in_size, offset + loader_rows * i * row_bytes, t);
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
    __syncthreads();

    // 2. Selection, one 32-byte word of rows_per_thread rows at a time. A
    // warp takes 32 row groups of the same words, so that its reads of a
    // plane row fall in distinct banks.
    {
        const int row = tid % threads_y * rows_per_thread, column = tid / threads_y;
        const int j0 = column * words_per_thread;
        const word* rows = planes + row * plane_row_words + j0 * group_words;
        word* dst = out_tile + row * out_row_words + out_lead_words + column * words_per_thread * (lanes / 4);
        const int x = x0 + column * words_per_thread * lanes;
        // Step 3 reads whole chunks of a row, its lead and the words past
        // the image too (and drops their bytes): they hold zeros, not
        // whatever the shared memory held before the block.
        const uint4 zero = make_uint4(0, 0, 0, 0);
        if (tid < tile_rows) *reinterpret_cast<uint4*>(out_tile + tid * out_row_words) = zero;
        if (tid == 0) *reinterpret_cast<uint4*>(out_tile + tile_rows * out_row_words) = zero;
#pragma unroll selection_unroll
        for (int w = 0; w < words_per_thread; ++w) {
            if (y0 + row < height && x + w * lanes >= image_row_bytes) {
#pragma unroll
                for (int r = 0; r < rows_per_thread; ++r) {
                    word* d = dst + r * out_row_words + w * (lanes / 4);
                    *reinterpret_cast<uint4*>(d) = zero;
                    *reinterpret_cast<uint4*>(d + chunk_words) = zero;
                }
            } else if (y0 + row < height) {
                word median[rows_per_thread][value_bits];
                median_planes(rows + w * group_words, median);
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
    __syncthreads();

    // 3. Tile to image: chunks aligned in the output buffer, each thread
    // taking every threads_x-th chunk of a row, so that a warp stores 64
    // contiguous bytes of each of eight rows at a time.
#pragma unroll
    for (int k = 0; k < rows_per_thread; ++k) {
        const int r = threadIdx.y + threads_y * k;
        if (y0 + r >= height) break;
        const tile_row part(out, row_bytes, image_row_bytes, x0, y0 + r);
        const word* src = out_tile + r * out_row_words + part.from / 4;
#pragma unroll
        for (int i = 0; i < full_chunks_per_thread; ++i) {
            const int c = threadIdx.x + threads_x * i;
            // Every chunk of the row reads inside the tile row: only the store is guarded.
            word v[chunk_words];
            chunk_from_tile(src, c, part.shift, v);
            if (c >= part.full_begin && c < part.full_end)
                *reinterpret_cast<uint4*>(out + part.first + c * chunk) = make_uint4(v[0], v[1], v[2], v[3]);
        }
    }
    // The chunks at the ends of each row's part that also hold other blocks'
    // bytes or the border's, byte by byte, a row per thread.
    if (tid < tile_rows && y0 + tid < height) {
        const tile_row part(out, row_bytes, image_row_bytes, x0, y0 + tid);
        const word* src = out_tile + tid * out_row_words + part.from / 4;
#pragma unroll
        for (int end = 0; end < 2; ++end) {
            const int c = end == 0 ? 0 : part.full_end;
            if (end == 0 ? part.full_begin == 0 : !part.end_clipped) continue;
            word v[chunk_words];
            chunk_from_tile(src, c, part.shift, v);
            store_chunk_clipped(out, part.first + c * chunk, part.begin, part.end, v);
        }
    }
}
