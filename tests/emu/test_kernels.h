#pragma once

#include <cuda_runtime.h>

// The window-sum kernel is meant for 32x8 blocks.
cudaError_t launch_window_sum(dim3 grid, dim3 block, unsigned char* in, unsigned char* out, int pw);
cudaError_t launch_divergent_barrier(int* out);
cudaError_t launch_split_barrier(int* out);
cudaError_t launch_rotate_twice(int blocks, int threads, int* in, int* out);
cudaError_t launch_read_past_end(unsigned char* in, unsigned char* out, int size);
cudaError_t launch_shared_overrun(unsigned char* out, int index);
