// Race and initialisation checks of shared and device memory, as
// compute-sanitizer's racecheck and initcheck make them on a GPU. Kernels
// built with the median_emu_check target's options report every load and
// store (clang's -fsanitize-coverage=trace-loads,trace-stores); these
// functions keep a shadow of the memory and judge each access.
//
//   race: a shared byte written by one thread and read or written by
//         another thread of the block with no barrier, or warp operation
//         that both took part in, between the two accesses;
//   init: a read of a shared byte no thread of the block has written since
//         the block began, or of device memory that no copy, memset or
//         kernel has written since it was allocated.
//
// The compiler turns some copies and constant fills into memcpy and memset,
// which the instrumentation does not report. So that such a write is not
// taken for a missing one, a byte the shadow says is unwritten is reported
// only while it still holds the poison it started with.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace emu {

struct shared_section;

namespace check {

struct selection {
    bool race = false;
    bool init = false;
    bool any() const { return race || init; }
};

// Turns the checks on, as EMU_CHECK selects them (race, init, race,init or
// none; all when unset); median_emu_check's instrumentation calls it once.
void activate();
// The checks in force; none unless activated.
selection active();

// Device memory as the runtime hands it out, filled with `poison`, and fills it.
void device_allocated(const void* ptr, std::size_t size, unsigned char poison);
void device_released(const void* ptr);
void device_written(const void* ptr, std::size_t size);
void device_reset();

// Holds the device memory's shadow for one launch and settles it after.
class launch_scope {
public:
    launch_scope();
    ~launch_scope();
    launch_scope(const launch_scope&) = delete;
    launch_scope& operator=(const launch_scope&) = delete;
};

// One worker's view: the shadow of its shared memory, the block's threads
// and what orders their accesses.
class block_checker {
public:
    explicit block_checker(const shared_section& shared);
    ~block_checker();
    block_checker(const block_checker&) = delete;
    block_checker& operator=(const block_checker&) = delete;

    void start_block(const kernel_call& call, dim3 block);
    // Accesses from now on are linear thread `thread`'s.
    void enter(std::size_t thread);
    void leave();
    // Every thread of the block met at __syncthreads.
    void barrier();
    // The lanes of `mask` in warp `warp` met at a warp operation.
    void warp_sync(unsigned warp, unsigned mask);
    // False, saying what the block did wrong, after a finding.
    bool finish_block(std::string& why);

    void access(const void* address, std::size_t size, bool write, const void* pc);

private:
    struct state;
    std::unique_ptr<state> s_;
};

// Called by the instrumentation for every load and store of checked code.
void on_access(const void* address, std::size_t size, bool write, const void* pc);

}  // namespace check
}  // namespace emu
