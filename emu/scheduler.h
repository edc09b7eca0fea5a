// Execution model of the emulator: blocks spread over worker threads, the
// threads of a block as fibers on one worker.
#pragma once

#include <cuda_runtime.h>

#include <string>

namespace emu {

// The most dynamic shared memory a block can have: the largest opt-in of
// any architecture (sm_90, sm_100). Each launch is held to its own kernel's
// and architecture's limit before it runs (launch_rules.cpp).
constexpr std::size_t dynamic_shared_limit = 227 * 1024;

// Runs every block of the grid; returns cudaSuccess or cudaErrorLaunchFailure
// (then `diagnostic` says which block failed and why).
cudaError_t run_grid(dim3 grid, dim3 block, std::size_t dynamic_shared, const kernel_call& call,
                     std::string& diagnostic);

// Number of OS worker threads that run blocks.
unsigned worker_count();

}  // namespace emu
