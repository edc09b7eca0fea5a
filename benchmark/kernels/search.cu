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
    load_window<planar_36x12>(pix_mem, c, v);
    median_search search;
#pragma unroll
    for (int n = 0; n < bisection_iterations; ++n) search.step<float>([&](int k) { return v[k]; });
    return search.truncated();
}

}  // namespace

__global__ void median_kernel_search(unsigned char* in, unsigned char* out, int pw) {
    __shared__ float pix_mem[planar_36x12::elements];
    filter_pixel_per_thread<planar_36x12>(in, out, pw, pix_mem, [&](int c) { return search_channel(pix_mem, c); });
}
