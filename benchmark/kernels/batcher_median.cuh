// The pruned odd-even merge sort network as device code: the median of a
// thread's 25 window values, shared by the sorting-network kernels and the
// library's kernel.
#pragma once

#include "batcher_network.h"
#include "launch_contract.cuh"

#include <utility>

namespace batcher {

template <int Lo, int Hi, bool KeepMin, bool KeepMax>
__device__ __forceinline__ void compare_exchange(unsigned int (&w)[wires]) {
    const unsigned int a = w[Lo];
    const unsigned int b = w[Hi];
    if constexpr (KeepMin) w[Lo] = min(a, b);
    if constexpr (KeepMax) w[Hi] = max(a, b);
}

template <int... I>
__device__ __forceinline__ void apply(unsigned int (&w)[wires], std::integer_sequence<int, I...>) {
    (compare_exchange<median_network[I].lo, median_network[I].hi, median_network[I].keep_min,
                      median_network[I].keep_max>(w),
     ...);
}

// Straight-line min/max sequence with constant wire indices, so the wires
// stay in registers; leaves the median of the 25 wires on wire 12.
__device__ __forceinline__ unsigned int network_median(unsigned int (&w)[wires]) {
    apply(w, std::make_integer_sequence<int, median_network_size>{});
    return w[median_index];
}

// Channel c of the thread's window through the network.
template <class Tile>
__device__ __forceinline__ unsigned int window_median(const unsigned char* pix_mem, int c) {
    unsigned int w[wires];
    load_window<Tile>(pix_mem, c, w);
    return network_median(w);
}

}  // namespace batcher
