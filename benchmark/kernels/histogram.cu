// Selection by two-level histograms: count the 25 window values into 16
// coarse bins by their upper 4 bits, find the bin that holds the wanted
// rank, then count only that bin's values into 16 fine bins by their lower
// 4 bits and find the rank inside it. The kernels differ in where a thread
// keeps its 16 counters (a counter storage type below, each with clear,
// increment, decrement and the reads of the search) and in how many pixels
// a thread computes; the counting, searches and sliding are shared.
#include "histogram_layout.h"
#include "launch_contract.cuh"
#include "median_kernels.cuh"

namespace {

constexpr unsigned fine_bits = 4;
constexpr unsigned fine_mask = histogram_bins - 1;
constexpr unsigned coarse_mask = fine_mask << fine_bits;
constexpr unsigned lane_mask = (1u << lane_bits) - 1;

// A search never tests bin 15: when bins 0 .. 14 hold no more than the rank,
// the wanted value is in bin 15 (for the median, testing it would always
// succeed, since all 25 values have been counted by then).
constexpr unsigned last_tested_bin = histogram_bins - 2;

// The luma kernel selects the 12th smallest, one below the median.
constexpr unsigned luma_rank = median_index - 1;

// ---- counter storage --------------------------------------------------------
// `word_reads` storages are read four bins per 32-bit word (word(g) holds
// bins 4g .. 4g + 3, bin 4g in the low byte); the others one bin per byte.

// Packed words in a [4][256] shared array, the thread's column.
struct packed_shared_counters {
    static constexpr bool word_reads = true;
    unsigned int* hist;
    unsigned thread;

    __device__ unsigned int& at(unsigned word) const { return hist[column_layout::offset(thread, word)]; }
    __device__ void clear() const {
#pragma unroll
        for (unsigned g = 0; g < histogram_words; ++g) at(g) = 0;
    }
    __device__ void increment(unsigned bin) const { at(packed_word(bin)) += packed_one(bin); }
    __device__ void decrement(unsigned bin) const { at(packed_word(bin)) -= packed_one(bin); }
    __device__ unsigned word(unsigned g) const { return at(g); }
};

// Packed words in four separate variables rather than an indexed array, so
// that they stay in registers: an update selects its word by comparison.
struct packed_register_counters {
    static constexpr bool word_reads = true;
    unsigned w0 = 0, w1 = 0, w2 = 0, w3 = 0;

    __device__ void clear() { w0 = w1 = w2 = w3 = 0; }
    __device__ void increment(unsigned bin) {
        const unsigned g = packed_word(bin), one = packed_one(bin);
        w0 += g == 0 ? one : 0u;
        w1 += g == 1 ? one : 0u;
        w2 += g == 2 ? one : 0u;
        w3 += g == 3 ? one : 0u;
    }
    __device__ unsigned word(unsigned g) const { return g == 0 ? w0 : g == 1 ? w1 : g == 2 ? w2 : w3; }
};

// One byte per counter, placed by Layout, each accessed on its own.
template <class Layout>
struct byte_counters {
    static constexpr bool word_reads = false;
    unsigned char* hist;
    unsigned thread;

    __device__ unsigned char& at(unsigned bin) const { return hist[Layout::offset(thread, bin)]; }
    __device__ void clear() const {
#pragma unroll
        for (unsigned b = 0; b < histogram_bins; ++b) at(b) = 0;
    }
    __device__ void increment(unsigned bin) const { at(bin) = static_cast<unsigned char>(at(bin) + 1); }
    __device__ void decrement(unsigned bin) const { at(bin) = static_cast<unsigned char>(at(bin) - 1); }
    __device__ unsigned count(unsigned bin) const { return at(bin); }
};

// Byte counters in the word-per-thread layout are the bytes of the packed
// words, so they are cleared and read four at a time but updated as bytes.
struct word_read_byte_counters {
    static constexpr bool word_reads = true;
    packed_shared_counters words;
    byte_counters<word_per_thread_layout> bytes;

    __device__ word_read_byte_counters(unsigned int* hist, unsigned thread)
        : words{hist, thread}, bytes{reinterpret_cast<unsigned char*>(hist), thread} {}
    __device__ void clear() const { words.clear(); }
    __device__ void increment(unsigned bin) const { bytes.increment(bin); }
    __device__ void decrement(unsigned bin) const { bytes.decrement(bin); }
    __device__ unsigned word(unsigned g) const { return words.word(g); }
};

// ---- the two-level search ---------------------------------------------------

struct bin_pick {
    unsigned bin;
    unsigned below;  // values in the bins before it, plus the search's start
};

// The first bin at which the running count, from `start`, exceeds `rank`.
// Packed words are added whole, shifted right to the bin's lane: the
// accumulator's low byte gets exactly that lane's counter, and the higher
// bytes gather partial sums of other lanes, which are ignored. No sum exceeds
// 25, so nothing carries into the low byte: it is the running count.
template <class Counters>
__device__ __forceinline__ bin_pick find_bin(const Counters& h, unsigned start, unsigned rank) {
    unsigned running = start;
    unsigned word = 0;
#pragma unroll
    for (unsigned b = 0; b <= last_tested_bin; ++b) {
        const unsigned below = running & lane_mask;
        if constexpr (Counters::word_reads) {
            if (b % lanes_per_word == 0) word = h.word(b / lanes_per_word);
            running += word >> (b % lanes_per_word * lane_bits);
        } else {
            running += h.count(b);
        }
        if ((running & lane_mask) > rank) return {b, below};
    }
    return {histogram_bins - 1, running & lane_mask};
}

// Channel c of the 5x5 window whose element (0, 0) is tile pixel (col, row).
template <class Tile>
struct channel_window {
    const unsigned char* pix_mem;
    int col, row, c;

    __device__ unsigned value(int i, int j) const { return pix_mem[Tile::index(col + j, row + i, c)]; }
    __device__ unsigned coarse_bin(int i, int j) const { return value(i, j) >> fine_bits; }
};

template <class Counters, class Window>
__device__ __forceinline__ void count_coarse(Counters& h, const Window& w) {
    h.clear();
#pragma unroll
    for (int i = 0; i < window_side; ++i)
#pragma unroll
        for (int j = 0; j < window_side; ++j) h.increment(w.coarse_bin(i, j));
}

// Moves a coarse histogram one column to the right; `w` is the new window.
template <class Counters, class Window>
__device__ __forceinline__ void slide_coarse(Counters& h, const Window& w) {
#pragma unroll
    for (int i = 0; i < window_side; ++i) h.decrement(w.coarse_bin(i, -1));
#pragma unroll
    for (int i = 0; i < window_side; ++i) h.increment(w.coarse_bin(i, window_side - 1));
}

// The value of the given rank (0-based, ascending) in the window, once the
// coarse search has found its bin: counts that bin's values by their fine bin.
template <class Counters, class Window>
__device__ __forceinline__ unsigned select_in_bin(Counters& fine, const Window& w, bin_pick coarse, unsigned rank) {
    const unsigned base = coarse.bin << fine_bits;
    fine.clear();
#pragma unroll
    for (int i = 0; i < window_side; ++i)
#pragma unroll
        for (int j = 0; j < window_side; ++j) {
            const unsigned v = w.value(i, j);
            if ((v & coarse_mask) == base) fine.increment(v & fine_mask);
        }
    return base + find_bin(fine, coarse.below, rank).bin;
}

template <class Coarse, class Fine, class Window>
__device__ __forceinline__ unsigned select_rank(Coarse& coarse, Fine& fine, const Window& w, unsigned rank) {
    count_coarse(coarse, w);
    return select_in_bin(fine, w, find_bin(coarse, 0, rank), rank);
}

// ---- staging and per-thread work --------------------------------------------

// The block's first output pixel is (X0, Y0) = (bx * 32 * PixelsPerThread, by * 8).
template <class Tile, int PixelsPerThread = 1>
__device__ __forceinline__ void stage_block_tile(const unsigned char* in, int pw, unsigned char* pix_mem) {
    stage_tile<Tile>(in, pw, blockIdx.x * blockDim.x * PixelsPerThread, blockIdx.y * blockDim.y, pix_mem);
    __syncthreads();
}

// One pixel per thread. The coarse and fine histograms may be the same
// storage, cleared in between.
template <class Tile, class Coarse, class Fine>
__device__ __forceinline__ void channel_medians(const unsigned char* pix_mem, unsigned char* out, int pw,
                                                Coarse& coarse, Fine& fine) {
    const int tx = threadIdx.x, ty = threadIdx.y;
    const int x = blockIdx.x * blockDim.x + tx;
    const int y = blockIdx.y * blockDim.y + ty;
    for (int c = 0; c < channels; ++c) {
        const channel_window<Tile> w{pix_mem, tx, ty, c};
        out[pixel_offset(x, y, pw, c)] = select_rank(coarse, fine, w, median_index);
    }
}

using sliding::pixels_per_thread;
using sliding::planar_132x12;
using sliding::interleaved_132x12;

// Per channel the coarse histogram is built for the first window and slid
// to the next three; the fine histogram is rebuilt for every pixel.
template <class Tile, class Counters>
__device__ __forceinline__ void four_pixel_medians(const unsigned char* pix_mem, unsigned char* out, int pw,
                                                   Counters& coarse, Counters& fine) {
    const int tx = threadIdx.x, ty = threadIdx.y;
    const int x0 = (blockIdx.x * blockDim.x + tx) * pixels_per_thread;
    const int y = blockIdx.y * blockDim.y + ty;
    for (int c = 0; c < channels; ++c) {
        channel_window<Tile> w{pix_mem, tx * pixels_per_thread, ty, c};
        count_coarse(coarse, w);
        for (int k = 0; k < pixels_per_thread; ++k, ++w.col) {
            if (k > 0) slide_coarse(coarse, w);
            const bin_pick coarse_pick = find_bin(coarse, 0, median_index);
            out[pixel_offset(x0 + k, y, pw, c)] = select_in_bin(fine, w, coarse_pick, median_index);
        }
    }
}

// ---- luma -------------------------------------------------------------------

__device__ __forceinline__ unsigned luma(unsigned b0, unsigned b2) { return (2 * b0 + b2) / 3; }

// Computes each tile pixel's luma and coarse bin once, while staging, rather
// than 25 times in the windows; the colour bytes are not kept.
__device__ __forceinline__ void stage_luma(const unsigned char* in, int pw, unsigned char* luma_full,
                                           unsigned char* luma_ms4b) {
    const int loader = linear_thread_index();
    if (loader >= luma_plane::width) return;
    const int x0 = blockIdx.x * blockDim.x, y0 = blockIdx.y * blockDim.y;
    for (int r = 0; r < luma_plane::height; ++r) {
        const int g = (y0 + r) * pw + x0 + loader;
        const unsigned l = luma(in[g * channels], in[g * channels + 2]);
        luma_full[luma_plane::index(loader, r, 0)] = static_cast<unsigned char>(l);
        luma_ms4b[luma_plane::index(loader, r, 0)] = static_cast<unsigned char>(l >> fine_bits);
    }
}

struct luma_window {
    const unsigned char* luma_full;
    const unsigned char* luma_ms4b;
    int col, row;

    __device__ unsigned value(int i, int j) const { return luma_full[luma_plane::index(col + j, row + i, 0)]; }
    __device__ unsigned coarse_bin(int i, int j) const { return luma_ms4b[luma_plane::index(col + j, row + i, 0)]; }
};

}  // namespace

// ---- packed counters --------------------------------------------------------

__global__ void median_kernel_hist_sm(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[planar_36x12::elements];
    __shared__ unsigned int hist_mem[histogram_words * counter_threads];
    stage_block_tile<planar_36x12>(in, pw, pix_mem);
    const unsigned thread = linear_thread_index();
    packed_shared_counters counters{hist_mem, thread};
    channel_medians<planar_36x12>(pix_mem, out, pw, counters, counters);
}

__global__ void median_kernel_hist_r(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[planar_36x12::elements];
    stage_block_tile<planar_36x12>(in, pw, pix_mem);
    packed_register_counters coarse, fine;
    channel_medians<planar_36x12>(pix_mem, out, pw, coarse, fine);
}

__global__ void median_kernel_hist_sm_m(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[planar_132x12::elements];
    __shared__ unsigned int hist_mem_ms[histogram_words * counter_threads];
    __shared__ unsigned int hist_mem_ls[histogram_words * counter_threads];
    stage_block_tile<planar_132x12, pixels_per_thread>(in, pw, pix_mem);
    const unsigned thread = linear_thread_index();
    packed_shared_counters coarse{hist_mem_ms, thread}, fine{hist_mem_ls, thread};
    four_pixel_medians<planar_132x12>(pix_mem, out, pw, coarse, fine);
}

// ---- byte counters ----------------------------------------------------------

__global__ void median_kernel_hist_nbc(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[interleaved_36x12::elements];
    __shared__ unsigned char hist_mem[counter_bytes];
    stage_block_tile<interleaved_36x12>(in, pw, pix_mem);
    const unsigned thread = linear_thread_index();
    byte_counters<row_per_bin_layout> counters{hist_mem, thread};
    channel_medians<interleaved_36x12>(pix_mem, out, pw, counters, counters);
}

__global__ void median_kernel_hist_nbc2(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[interleaved_36x12::elements];
    __shared__ unsigned char hist_mem[counter_bytes];
    stage_block_tile<interleaved_36x12>(in, pw, pix_mem);
    const unsigned thread = linear_thread_index();
    byte_counters<word_per_thread_layout> counters{hist_mem, thread};
    channel_medians<interleaved_36x12>(pix_mem, out, pw, counters, counters);
}

// Counters declared as words: they are cleared and searched a word at a time.
__global__ void median_kernel_hist_nbc_m(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[planar_132x12::elements];
    __shared__ unsigned int hist_mem_ms[histogram_words * counter_threads];
    __shared__ unsigned int hist_mem_ls[histogram_words * counter_threads];
    stage_block_tile<planar_132x12, pixels_per_thread>(in, pw, pix_mem);
    const unsigned thread = linear_thread_index();
    word_read_byte_counters coarse{hist_mem_ms, thread}, fine{hist_mem_ls, thread};
    four_pixel_medians<planar_132x12>(pix_mem, out, pw, coarse, fine);
}

__global__ void median_kernel_hist_nbc2_m(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[interleaved_132x12::elements];
    __shared__ unsigned char hist_mem_ms[counter_bytes];
    __shared__ unsigned char hist_mem_ls[counter_bytes];
    stage_block_tile<interleaved_132x12, pixels_per_thread>(in, pw, pix_mem);
    const unsigned thread = linear_thread_index();
    byte_counters<row_per_bin_layout> coarse{hist_mem_ms, thread}, fine{hist_mem_ls, thread};
    four_pixel_medians<interleaved_132x12>(pix_mem, out, pw, coarse, fine);
}

// Not a median: the 12th smallest luma of the window, in all three channels.
__global__ void median_kernel_hist_sm_v0(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char luma_full[luma_plane::plane];
    __shared__ unsigned char luma_ms4b[luma_plane::plane];
    __shared__ unsigned char hist_mem[counter_bytes];
    stage_luma(in, pw, luma_full, luma_ms4b);
    __syncthreads();
    const int tx = threadIdx.x, ty = threadIdx.y;
    const unsigned thread = linear_thread_index();
    byte_counters<column_layout> counters{hist_mem, thread};
    const luma_window w{luma_full, luma_ms4b, tx, ty};
    const auto l = static_cast<unsigned char>(select_rank(counters, counters, w, luma_rank));
    const int x = blockIdx.x * blockDim.x + tx;
    const int y = blockIdx.y * blockDim.y + ty;
    for (int c = 0; c < channels; ++c) out[pixel_offset(x, y, pw, c)] = l;
}
