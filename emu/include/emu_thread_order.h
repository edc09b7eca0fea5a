// The order in which the emulator runs a block's threads between two
// barriers. A kernel that is correct on the GPU gives the same bytes in every
// order; one that misses a barrier or __syncwarp usually does not.
#pragma once

#include <cstdint>

namespace emu {

enum class thread_order {
    forward,  // linear thread index 0, 1, 2, ...
    reverse,  // the last thread first
    shuffle,  // a permutation drawn from the seed, the block and the barrier
};

struct thread_order_setting {
    thread_order order = thread_order::forward;
    std::uint64_t seed = 0;
};

// Applies to launches that start after the call. The initial setting comes
// from the environment: EMU_THREAD_ORDER=forward|reverse|shuffle[:SEED].
void set_thread_order(thread_order_setting setting);
thread_order_setting current_thread_order();

}  // namespace emu
