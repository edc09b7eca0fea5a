// Per-channel 5x5 median by pairwise rank counting: every pair of window
// values is compared once, the comparison results are summed into ranks, and
// the element of rank 12 is copied from the tile. Straight-line float
// arithmetic, the same for every input.
#include "launch_contract.cuh"
#include "median_kernels.cuh"

namespace {

// Position of each window element in an ascending order that keeps equal
// values in window order, so the 25 ranks are 0 .. 24, each once. Every
// counter starts at its own index, and each of the 300 comparisons moves one
// unit from the later element's counter to the earlier one's.
__device__ __forceinline__ void window_ranks(const float (&v)[window_values], float (&rank)[window_values]) {
#pragma unroll
    for (int k = 0; k < window_values; ++k) rank[k] = float(k);
#pragma unroll
    for (int j = 1; j < window_values; ++j)
#pragma unroll
        for (int i = 0; i < j; ++i) {
            const float t = v[j] < v[i] ? 1.0f : 0.0f;
            rank[j] -= t;
            rank[i] += t;
        }
}

__device__ __forceinline__ unsigned char rank_median(const unsigned char* pix_mem, int c) {
    float v[window_values];
    load_window<planar_36x12>(pix_mem, c, v);
    float rank[window_values];
    window_ranks(v, rank);
    // Exactly one element has the median's rank: accumulate its window
    // position instead of branching to it.
    float row = 0.0f;
    float col = 0.0f;
#pragma unroll
    for (int k = 0; k < window_values; ++k) {
        const float e = rank[k] == float(median_index) ? 1.0f : 0.0f;
        row += e * float(k / window_side);
        col += e * float(k % window_side);
    }
    return pix_mem[planar_36x12::index(threadIdx.x + __float2int_rz(col), threadIdx.y + __float2int_rz(row), c)];
}

}  // namespace

__global__ void median_kernel_xilinx(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[planar_36x12::elements];
    filter_pixel_per_thread<planar_36x12>(in, out, pw, pix_mem, [&](int c) { return rank_median(pix_mem, c); });
}
