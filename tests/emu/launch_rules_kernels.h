// Kernels that a GPU's launch rules refuse or that fault on a GPU, each
// with the launch or the access that is correct.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>

// __launch_bounds__(bounded_threads): out[t] = t for each thread.
constexpr int bounded_threads = 128;
cudaError_t launch_bounded(int threads, int* out);
const void* bounded_kernel_address();

// big_static_shared bytes of static shared memory and `dynamic_bytes` of
// dynamic, one thread: out[0] = 7 and out[1] = 9 read back a byte of each.
constexpr std::size_t big_static_shared = 40 * 1024;
cudaError_t launch_big_shared(std::size_t dynamic_bytes, unsigned char* out);
const void* big_shared_kernel_address();

// out[0..1] = the uint2 at in + offset2, out[2..5] = the uint4 at in + offset4.
cudaError_t launch_vector_loads(const unsigned char* in, int offset2, int offset4, unsigned int* out);
