// Per-channel 5x5 median by a tiled, pruned sorting network: work shared by
// the outputs of a tile is done once. The library's tiled core
// (library/core/tiled_core.cuh) on the bordered buffer.
#include "median_kernels.cuh"
#include "tiled_bordered.cuh"

__global__ void __launch_bounds__(tiled_5x5_geometry::threads)
    median_kernel_tiled_network(const unsigned char* __restrict__ in, unsigned char* __restrict__ out, int pw,
                                int height) {
    __shared__ median_core::stage_tile<tiled_5x5_geometry> tile;
    tiled_bordered_5x5<native_lanes_tag>(in, out, pw, height, tile);
}

// The same core with the 5x5 network's wide tile: 8x2 outputs a thread,
// 16x8 threads a block. From sm_90 four blocks (16 warps) an SM: 128
// registers, which the network's 72 inputs in packed lanes take. Before,
// each lane takes a register of its own and at 128 the kernel spilled, so
// it asks for one block (up to 255 registers).
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 900
#define TILED_WIDE_MIN_BLOCKS 1
#else
#define TILED_WIDE_MIN_BLOCKS 4
#endif
__global__ void __launch_bounds__(tiled_wide_5x5_geometry::threads, TILED_WIDE_MIN_BLOCKS)
    median_kernel_tiled_wide(const unsigned char* __restrict__ in, unsigned char* __restrict__ out, int pw,
                             int height) {
    __shared__ median_core::stage_tile<tiled_wide_5x5_geometry> tile;
    tiled_bordered<median_core::tile_network<5, 1, true>, native_lanes_tag>(in, out, pw, height, tile);
}
