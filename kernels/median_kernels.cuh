// The kernels of the module. All take (input, output, bordered width) as
// described in launch_contract.cuh; kernel_conv_nv5 takes a fourth, unused
// int. Their launch geometry is in kernel_table.h.
#pragma once

#include <cuda_runtime.h>

// batcher.cu: sorting network
__global__ void median_kernel_batcher_5x5(unsigned char* in, unsigned char* out, int pw);
__global__ void median_kernel_batcher(unsigned char* in, unsigned char* out, int pw);
