// Two more layouts of the range bisection: the three channel searches
// advanced side by side on the interleaved byte tile, and a 16x16-block form
// on a planar 20x20 tile that writes its result centred, as the pixel sits in
// the input.
#include "bisection_search.cuh"
#include "launch_contract.cuh"
#include "median_kernels.cuh"
#include "search_layout.h"

namespace {

// Window value k of channel c, read from the byte tile and converted on
// every call.
template <class Tile, class Byte = const unsigned char>
struct tile_window {
    Byte* pix_mem;
    int wx, wy, c;
    __device__ __forceinline__ float operator()(int k) const {
        return pix_mem[Tile::index(wx + k % window_side, wy + k / window_side, c)];
    }
};

// The 16x16 form.
// 60 loaders share one tile row (20 pixels, all channels) so that
// consecutive loaders read consecutive input bytes and split them into the
// planes on the store; four such groups take every fourth row: 240 loaders.
constexpr int conv_row_bytes = conv_tile::width * channels;
constexpr int conv_row_groups = 4;
constexpr int conv_loaders = conv_row_bytes * conv_row_groups;
constexpr int conv_rows_per_loader = conv_tile::height / conv_row_groups;

// The kernel's own thread numbering: the block's y-size serves as its row
// length, which is the usual numbering only for the square block it needs.
__device__ __forceinline__ int conv_thread_index() { return threadIdx.y * blockDim.y + threadIdx.x; }

__device__ __forceinline__ void stage_conv_tile(const unsigned char* in, int pw, int x0, int y0,
                                                unsigned char* window) {
    const int loader = conv_thread_index();
    if (loader >= conv_loaders) return;
    const int b = loader % conv_row_bytes;
    const int first_row = loader / conv_row_bytes;
#pragma unroll
    for (int n = 0; n < conv_rows_per_loader; ++n) {
        const int row = first_row + n * conv_row_groups;
        window[conv_tile::index(b / channels, row, b % channels)] = in[pixel_offset(x0, y0 + row, pw, 0) + b];
    }
}

}  // namespace

__global__ void median_kernel_search_nvidia(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[interleaved_36x12::elements];
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    stage_tile<interleaved_36x12>(in, pw, blockIdx.x * blockDim.x, blockIdx.y * blockDim.y, pix_mem);
    __syncthreads();
    median_search search[channels];
    // This layout reads the window from the tile again in every round instead
    // of holding 75 values in registers; volatile keeps the compiler from
    // hoisting the reads out of the loop.
    using round_window = tile_window<interleaved_36x12, const volatile unsigned char>;
#pragma unroll 1
    for (int n = 0; n < bisection_iterations; ++n)
#pragma unroll
        for (int c = 0; c < channels; ++c)
            search[c].step<unsigned int>(round_window{pix_mem, int(threadIdx.x), int(threadIdx.y), c});
#pragma unroll
    for (int c = 0; c < channels; ++c) out[pixel_offset(x, y, pw, c)] = search[c].truncated();
}

__global__ void kernel_conv_nv5(unsigned char* in, unsigned char* out, int pw, int /*unused*/) {
    __shared__ unsigned char window[conv_tile::elements];
    const int x0 = blockIdx.x * blockDim.x;
    const int y0 = blockIdx.y * blockDim.y;
    stage_conv_tile(in, pw, x0, y0, window);
    __syncthreads();
    const int self = conv_thread_index();
    const int wx = self % conv_block_side;
    const int wy = self / conv_block_side;
    // Read once, kept for all rounds.
    float v[channels][window_values];
#pragma unroll
    for (int c = 0; c < channels; ++c) {
        const tile_window<conv_tile> w{window, wx, wy, c};
#pragma unroll
        for (int k = 0; k < window_values; ++k) v[c][k] = w(k);
    }
    median_search search[channels];
#pragma unroll
    for (int n = 0; n < bisection_iterations; ++n)
#pragma unroll
        for (int c = 0; c < channels; ++c) search[c].step<unsigned int>([&](int k) { return v[c][k]; });
    const int x = x0 + threadIdx.x + ApronRadius;
    const int y = y0 + threadIdx.y + ApronRadius;
#pragma unroll
    for (int c = 0; c < channels; ++c) out[pixel_offset(x, y, pw, c)] = search[c].rounded();
}
