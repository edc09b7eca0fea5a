// What every median kernel shares: the parameter list, the 32x8 launch
// geometry and the staging of a block's tile into shared memory. The
// bordered image layout is in padded_image.h, the tile types in tile_layout.h.
//
// Kernel parameters, in order: input buffer (bordered image, only read),
// output buffer (same size and stride, only written), bordered width in
// pixels. The result for image pixel (x, y) is written at bordered pixel
// (x, y) of the output, i.e. without the border offset, unless the kernel
// says otherwise. Index arithmetic is signed 32-bit, so a bordered image
// must stay below 2^31 bytes.
#pragma once

#include "tile_layout.h"

__device__ __forceinline__ int linear_thread_index() { return threadIdx.y * blockDim.x + threadIdx.x; }

// Threads 0 .. Tile::width - 1 each copy one tile column, row by row, so
// consecutive loaders read consecutive pixels; the others load nothing.
// Elements are converted from the input byte to T on the way.
template <class Tile, class T>
__device__ __forceinline__ void stage_tile(const unsigned char* in, int pw, int x0, int y0, T* pix_mem) {
    const int loader = linear_thread_index();
    if (loader >= Tile::width) return;
    for (int r = 0; r < Tile::height; ++r) {
        const int g = (y0 + r) * pw + x0 + loader;
        for (int c = 0; c < channels; ++c) pix_mem[Tile::index(loader, r, c)] = T(in[g * channels + c]);
    }
}

// Channel c of the thread's 5x5 window, row-major, from a tile whose
// element (0, 0) is the window of thread (0, 0); converted to V.
template <class Tile, class V, class T>
__device__ __forceinline__ void load_window(const T* pix_mem, int c, V (&w)[window_values]) {
#pragma unroll
    for (int i = 0; i < window_side; ++i)
#pragma unroll
        for (int j = 0; j < window_side; ++j) w[i * window_side + j] = V(pix_mem[Tile::index(threadIdx.x + j, threadIdx.y + i, c)]);
}

// The frame of a one-pixel-per-thread kernel on the 36x12 tile: stage the
// block's tile, meet at the block's one barrier, then write
// channel_result(c) for the thread's pixel, channel 0 first.
template <class Tile, class T, class ChannelResult>
__device__ __forceinline__ void filter_pixel_per_thread(const unsigned char* in, unsigned char* out, int pw, T* pix_mem,
                                                        const ChannelResult& channel_result) {
    const int x0 = blockIdx.x * blockDim.x;
    const int y0 = blockIdx.y * blockDim.y;
    stage_tile<Tile>(in, pw, x0, y0, pix_mem);
    __syncthreads();
    const int x = x0 + threadIdx.x;
    const int y = y0 + threadIdx.y;
#pragma unroll
    for (int c = 0; c < channels; ++c) out[pixel_offset(x, y, pw, c)] = channel_result(c);
}
