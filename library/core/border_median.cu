// The library's kernel: stages the block's area as lane words, reading
// outside pixels as the border mode says, then takes each channel's medians
// with the tiled sorting network, two 4x2 tiles per thread.
#include "border_median.cuh"

#include "tiled_filter.cuh"

namespace border_median {
namespace {

using tiled::band_rows;
using tiled::stage_cols;
using tiled::stage_rows;
using tiled::thread_cols;
using tiled::thread_rows;

static_assert(tiled::threads == block_width * block_height);
static_assert(sizeof(stage_tile<1>) == sizeof(tiled::stage_plane), "a channel's plane as the network reads it");

// Channel c of image pixel (x, y), which may lie outside the image.
template <int Channels, bool Inside>
__device__ __forceinline__ unsigned int read(const image_args& a, int x, int y, int c) {
    if (!Inside) {
        x = median_filter::border_index(x, a.width, a.mode);
        y = median_filter::border_index(y, a.height, a.mode);
        if (x < 0 || y < 0) return a.constant_value;
    }
    return a.src[y * a.src_pitch + std::size_t(x) * Channels + c];
}

// Every thread copies staged values in row order, so a warp reads
// consecutive bytes of an image row. Inside: the whole staged area lies in
// the image, so no coordinate needs mapping.
template <int Channels, bool Inside>
__device__ __forceinline__ void stage(const image_args& a, int x0, int y0, stage_tile<Channels>& tile) {
    constexpr int row_elements = stage_cols * Channels;
    for (int e = linear_thread_index(); e < stage_rows * row_elements; e += tiled::threads) {
        const int r = e / row_elements;
        const int col = e % row_elements / Channels;
        const int c = e % Channels;
        const int x = x0 - ApronRadius + col;
        const int y = y0 - ApronRadius + r;
        const unsigned int upper = read<Channels, Inside>(a, x, y, c);
        const unsigned int lower = read<Channels, Inside>(a, x, y + band_rows, c);
        // Each lane holds its byte twice.
        tile.words[c][r][col] = (upper | lower << 16) * 0x101u;
    }
}

__device__ __forceinline__ bool area_inside(const image_args& a, int x0, int y0) {
    return x0 >= ApronRadius && y0 >= ApronRadius && x0 - ApronRadius + stage_cols <= a.width &&
           y0 - ApronRadius + band_rows + stage_rows <= a.height;
}

template <int Channels>
__device__ __forceinline__ void filter_block_row(const image_args& a, int x0, int y0, stage_tile<Channels>& tile) {
    if (area_inside(a, x0, y0))
        stage<Channels, true>(a, x0, y0, tile);
    else
        stage<Channels, false>(a, x0, y0, tile);
    __syncthreads();
    const int col = threadIdx.x * thread_cols;
    const int row = threadIdx.y * thread_rows;
#pragma unroll 1
    for (int c = 0; c < Channels; ++c) {
        // The seam for a faster median: the thread's two tiles of channel c,
        // one lane word per pixel, lane l's median in byte 2l.
        tiled::tile_words medians;
        tiled::channel_medians<native_lanes>(tile.words[c], row, col, medians);
#pragma unroll
        for (int lane = 0; lane < tiled::lanes; ++lane)
#pragma unroll
            for (int k = 0; k < thread_rows; ++k) {
                const int y = y0 + lane * band_rows + row + k;
                if (y >= a.height) continue;
                unsigned char* out = a.dst + y * a.dst_pitch + c;
                const unsigned int shift = 16 * lane;
#pragma unroll
                for (int i = 0; i < thread_cols; ++i) {
                    const int x = x0 + col + i;
                    if (x < a.width)
                        out[std::size_t(x) * Channels] = static_cast<unsigned char>(medians[k][i] >> shift);
                }
            }
    }
}

template <int Channels>
__device__ __forceinline__ void filter_image(const image_args& a, stage_tile<Channels>& tile) {
    const int x0 = blockIdx.x * span_x;
    const int block_rows = a.height / span_y + (a.height % span_y != 0);
    for (int by = blockIdx.y; by < block_rows; by += gridDim.y) {
        filter_block_row(a, x0, by * span_y, tile);
        // The next block row, if any, overwrites the staged area (the
        // condition is the same for the whole block).
        if (by + static_cast<int>(gridDim.y) < block_rows) __syncthreads();
    }
}

// With only the block size bounded, ptxas held these kernels to 80
// registers on sm_90 and spilled; a minimum of one resident block lets it
// take the 83 they need.
constexpr int min_resident_blocks = 1;

}  // namespace
}  // namespace border_median

__global__ void __launch_bounds__(tiled::threads, border_median::min_resident_blocks)
    median_kernel_border_c1(border_median::image_args args) {
    __shared__ border_median::stage_tile<1> tile;
    border_median::filter_image(args, tile);
}

__global__ void __launch_bounds__(tiled::threads, border_median::min_resident_blocks)
    median_kernel_border_c3(border_median::image_args args) {
    __shared__ border_median::stage_tile<3> tile;
    border_median::filter_image(args, tile);
}

__global__ void __launch_bounds__(tiled::threads, border_median::min_resident_blocks)
    median_kernel_border_c4(border_median::image_args args) {
    __shared__ border_median::stage_tile<4> tile;
    border_median::filter_image(args, tile);
}
