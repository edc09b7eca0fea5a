// Per-channel 5x5 median by bisection of the value range, on a tile of
// floats: the result is the integer part of the final midpoint, which is the
// median or one less (see reference::bisection_truncated).
#include "bisection_search.cuh"
#include "launch_contract.cuh"
#include "median_kernels.cuh"

namespace {

// Converts each byte once at staging instead of in every count.
__device__ __forceinline__ unsigned int search_channel(const float* pix_mem, int c) {
    float v[window_values];
#pragma unroll
    for (int i = 0; i < window_side; ++i)
#pragma unroll
        for (int j = 0; j < window_side; ++j)
            v[i * window_side + j] = pix_mem[planar_36x12::index(threadIdx.x + j, threadIdx.y + i, c)];
    median_search search;
#pragma unroll
    for (int n = 0; n < bisection_iterations; ++n) search.step<float>([&](int k) { return v[k]; });
    return search.truncated();
}

}  // namespace

__global__ void median_kernel_search(unsigned char* in, unsigned char* out, int pw) {
    __shared__ float pix_mem[planar_36x12::elements];
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    stage_tile<planar_36x12>(in, pw, blockIdx.x * blockDim.x, blockIdx.y * blockDim.y, pix_mem);
    __syncthreads();
#pragma unroll
    for (int c = 0; c < channels; ++c) out[pixel_offset(x, y, pw, c)] = search_channel(pix_mem, c);
}
