// Blocks and barriers: a worker runs one block at a time, its threads as
// fibers, and holds each fiber at __syncthreads and at warp operations
// until the threads it waits for arrive.
#pragma once

#include "check.h"
#include "fiber.h"
#include "shared_memory.h"
#include "warp.h"

#include <emu_thread_order.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emu {

// One launch as every worker sees it.
struct launch_setup {
    const kernel_call* call = nullptr;
    dim3 block;
    std::size_t dynamic_shared = 0;
    thread_order_setting order;
};

class worker {
public:
    worker();
    worker(const worker&) = delete;
    worker& operator=(const worker&) = delete;
    ~worker();

    // Runs one block to completion; false (with `why`) when its threads do
    // not meet at their barriers and warp operations.
    bool run_block(const launch_setup& launch, uint3 block_idx, std::uint64_t block_number, std::string& why);
    // Threads with a true predicate at the barrier last released.
    std::uint64_t released_votes() const { return released_votes_; }

private:
    static void run_kernel(fiber& f);

    void ensure_fibers(std::size_t count);
    void start_warps();
    void queue_all();
    bool settle(fiber& f, std::string& why);
    bool arrive_at_barrier(fiber& f, std::string& why);
    bool join_meeting(fiber& f, std::string& why);
    void complete_activemask(unsigned warp);
    bool unawaited(const fiber& f, std::string& why) const;
    std::string whereabouts(unsigned warp, unsigned lane) const;
    void release(unsigned warp, unsigned mask);
    bool release_barrier(std::string& why);
    void abandon();
    void run(fiber& f);
    std::uint64_t next_random();
    fiber& lane_fiber(unsigned warp, unsigned lane) { return *fibers_[warp * warp_lanes + lane]; }

    fiber_host host_;
    std::vector<std::unique_ptr<fiber>> fibers_;
    const shared_section shared_;
    std::unique_ptr<check::block_checker> checker_;  // when the checks are on
    const kernel_call* call_ = nullptr;
    thread_order order_ = thread_order::forward;
    std::uint64_t random_state_ = 0;
    std::size_t count_ = 0;
    std::vector<warp_state> warps_;
    std::vector<fiber*> ready_;  // a stack: the next fiber to run is at the back
    std::size_t exited_ = 0;
    std::size_t waiting_ = 0;  // at the block barrier
    place barrier_site_;
    std::uint64_t votes_ = 0;
    std::uint64_t released_votes_ = 0;
};

}  // namespace emu
