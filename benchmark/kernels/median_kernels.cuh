// The kernels of the module. All take (input, output, bordered width) as
// described in launch_contract.cuh; kernel_conv_nv5 takes a fourth, unused
// int, and the kernels that cover the whole image take the image height.
// Their launch geometry is in benchmark/table/kernel_table.h.
#pragma once

#include <cuda_runtime.h>

// batcher.cu: sorting network
__global__ void median_kernel_batcher_5x5(unsigned char* in, unsigned char* out, int pw);
__global__ void median_kernel_batcher(unsigned char* in, unsigned char* out, int pw);

// histogram.cu: two-level histograms, packed or byte counters
__global__ void median_kernel_hist_sm(unsigned char* in, unsigned char* out, int pw);
__global__ void median_kernel_hist_r(unsigned char* in, unsigned char* out, int pw);
__global__ void median_kernel_hist_sm_m(unsigned char* in, unsigned char* out, int pw);
__global__ void median_kernel_hist_nbc(unsigned char* in, unsigned char* out, int pw);
__global__ void median_kernel_hist_nbc2(unsigned char* in, unsigned char* out, int pw);
__global__ void median_kernel_hist_nbc_m(unsigned char* in, unsigned char* out, int pw);
__global__ void median_kernel_hist_nbc2_m(unsigned char* in, unsigned char* out, int pw);
__global__ void median_kernel_hist_sm_v0(unsigned char* in, unsigned char* out, int pw);

// forgetful.cu: forgetful selection, two pixels per thread
__global__ void median_kernel_ff(unsigned char* in, unsigned char* out, int pw);

// rank.cu: pairwise rank counting
__global__ void median_kernel_xilinx(unsigned char* in, unsigned char* out, int pw);

// search.cu: bisection of the value range on a float tile
__global__ void median_kernel_search(unsigned char* in, unsigned char* out, int pw);

// search_nvidia.cu: bisection on the interleaved byte tile, and for 16x16 blocks
__global__ void median_kernel_search_nvidia(unsigned char* in, unsigned char* out, int pw);
__global__ void kernel_conv_nv5(unsigned char* in, unsigned char* out, int pw, int unused);

// tiled.cu: pruned sorting network over 4x2 tiles, work shared between a tile's outputs
__global__ void median_kernel_tiled_network(const unsigned char* __restrict__ in, unsigned char* __restrict__ out,
                                            int pw, int height);
// tiled.cu: the same over 8x2 tiles in 16x8-thread blocks
__global__ void median_kernel_tiled_wide(const unsigned char* __restrict__ in, unsigned char* __restrict__ out,
                                         int pw, int height);

// bitslice.cu: bit-sliced majority selection over the whole image
__global__ void median_kernel_bitslice(const unsigned char* __restrict__ in, unsigned char* __restrict__ out, int pw,
                                       int height);
