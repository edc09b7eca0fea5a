// The library's kernel: stages the block's tile, reading outside pixels as
// the border mode says, then takes each channel's median with the pruned
// sorting network.
#include "border_median.cuh"

#include "batcher_median.cuh"

namespace border_median {
namespace {

static_assert(tile<1>::width == block_width + 2 * ApronRadius && tile<1>::height == block_height + 2 * ApronRadius,
              "the tile is the block's pixels and the window's reach around them");

// Every thread copies tile bytes in row order, so a warp reads consecutive
// bytes of an image row; coordinates outside the image go through
// border_index, which leaves those inside untouched.
template <int Channels>
__device__ __forceinline__ void stage_tile(const image_args& a, int x0, int y0, unsigned char* pix_mem) {
    using Tile = tile<Channels>;
    constexpr int row_elements = Tile::width * Channels;
    for (int e = linear_thread_index(); e < Tile::height * row_elements; e += block_threads) {
        const int r = e / row_elements;
        const int col = e % row_elements / Channels;
        const int c = e % Channels;
        const int gy = median_filter::border_index(y0 - ApronRadius + r, a.height, a.mode);
        const int gx = median_filter::border_index(x0 - ApronRadius + col, a.width, a.mode);
        pix_mem[Tile::index(col, r, c)] = gx < 0 || gy < 0 ? a.constant_value
                                                           : a.src[gy * a.src_pitch + std::size_t(gx) * Channels + c];
    }
}

// The seam for a faster median: channel c of the thread's pixel from the
// staged tile.
template <int Channels>
__device__ __forceinline__ unsigned char channel_median(const unsigned char* pix_mem, int c) {
    return static_cast<unsigned char>(batcher::window_median<tile<Channels>>(pix_mem, c));
}

template <int Channels>
__device__ __forceinline__ void filter_image(const image_args& a, unsigned char* pix_mem) {
    const int x0 = blockIdx.x * block_width;
    const int block_rows = a.height / block_height + (a.height % block_height != 0);
    for (int by = blockIdx.y; by < block_rows; by += gridDim.y) {
        const int y0 = by * block_height;
        stage_tile<Channels>(a, x0, y0, pix_mem);
        __syncthreads();
        const int x = x0 + threadIdx.x;
        const int y = y0 + threadIdx.y;
        if (x < a.width && y < a.height) {
            unsigned char* out = a.dst + y * a.dst_pitch + std::size_t(x) * Channels;
#pragma unroll
            for (int c = 0; c < Channels; ++c) out[c] = channel_median<Channels>(pix_mem, c);
        }
        // The next block row, if any, overwrites the tile (the condition is
        // the same for the whole block).
        if (by + static_cast<int>(gridDim.y) < block_rows) __syncthreads();
    }
}

}  // namespace
}  // namespace border_median

__global__ void median_kernel_border_c1(border_median::image_args args) {
    __shared__ unsigned char pix_mem[border_median::tile<1>::elements];
    border_median::filter_image<1>(args, pix_mem);
}

__global__ void median_kernel_border_c3(border_median::image_args args) {
    __shared__ unsigned char pix_mem[border_median::tile<3>::elements];
    border_median::filter_image<3>(args, pix_mem);
}

__global__ void median_kernel_border_c4(border_median::image_args args) {
    __shared__ unsigned char pix_mem[border_median::tile<4>::elements];
    border_median::filter_image<4>(args, pix_mem);
}
