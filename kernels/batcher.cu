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

// Channel c of the thread's window through the network.
template <class Tile>
__device__ __forceinline__ unsigned int window_median(const unsigned char* pix_mem, int c) {
    unsigned int w[batcher::wires];
    load_window<Tile>(pix_mem, c, w);
    return network_median(w);
}

}  // namespace

__global__ void median_kernel_batcher_5x5(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[interleaved_36x12::elements];
    filter_pixel_per_thread<interleaved_36x12>(in, out, pw, pix_mem,
                                           [&](int c) { return window_median<interleaved_36x12>(pix_mem, c); });
}

__global__ void median_kernel_batcher(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[planar_36x12::elements];
    filter_pixel_per_thread<planar_36x12>(in, out, pw, pix_mem,
                                           [&](int c) { return window_median<planar_36x12>(pix_mem, c); });
}
