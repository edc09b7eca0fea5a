// Per-channel 5x5 median by the pruned odd-even merge sort network, on the
// interleaved tile (the kernel the benchmark launches) and on a planar tile.
#include "batcher_network.h"
#include "launch_contract.cuh"
#include "median_kernels.cuh"

#include <utility>

namespace {

template <int Lo, int Hi, bool KeepMin, bool KeepMax>
__device__ __forceinline__ void compare_exchange(unsigned int (&w)[batcher::wires]) {
    const unsigned int a = w[Lo];
    const unsigned int b = w[Hi];
    if constexpr (KeepMin) w[Lo] = min(a, b);
    if constexpr (KeepMax) w[Hi] = max(a, b);
}

template <int... I>
__device__ __forceinline__ void apply(unsigned int (&w)[batcher::wires], std::integer_sequence<int, I...>) {
    (compare_exchange<batcher::median_network[I].lo, batcher::median_network[I].hi, batcher::median_network[I].keep_min,
                      batcher::median_network[I].keep_max>(w),
     ...);
}

// Straight-line min/max sequence with constant wire indices, so the wires
// stay in registers; leaves the median of the 25 wires on wire 12.
__device__ __forceinline__ unsigned int network_median(unsigned int (&w)[batcher::wires]) {
    apply(w, std::make_integer_sequence<int, batcher::median_network_size>{});
    return w[median_index];
}

// Loads channel c of the thread's window in row-major order and runs the
// network on it.
template <class Tile>
__device__ __forceinline__ unsigned int window_median(const unsigned char* pix_mem, int c) {
    unsigned int w[batcher::wires];
#pragma unroll
    for (int i = 0; i < window_side; ++i)
#pragma unroll
        for (int j = 0; j < window_side; ++j)
            w[i * window_side + j] = pix_mem[Tile::index(threadIdx.x + j, threadIdx.y + i, c)];
    return network_median(w);
}

template <class Tile>
__device__ __forceinline__ void batcher_median(unsigned char* in, unsigned char* out, int pw, unsigned char* pix_mem) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    stage_tile<Tile>(in, pw, blockIdx.x * blockDim.x, blockIdx.y * blockDim.y, pix_mem);
    __syncthreads();
#pragma unroll
    for (int c = 0; c < channels; ++c) out[pixel_offset(x, y, pw, c)] = window_median<Tile>(pix_mem, c);
}

}  // namespace

__global__ void median_kernel_batcher_5x5(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[interleaved_36x12::elements];
    batcher_median<interleaved_36x12>(in, out, pw, pix_mem);
}

__global__ void median_kernel_batcher(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[planar_36x12::elements];
    batcher_median<planar_36x12>(in, out, pw, pix_mem);
}
