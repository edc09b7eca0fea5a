// Fibers: one emulated CUDA thread each, a stack below a guard page and the
// context to resume it at. Fibers loop, so one fiber serves a thread of
// every block a worker runs.
#pragma once

#include "warp.h"

#include <cuda_runtime.h>

#include <boost/context/detail/fcontext.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>

#if defined(__SANITIZE_ADDRESS__)
#define EMU_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EMU_ASAN 1
#endif
#endif

namespace emu {

enum class fiber_state { ready, at_barrier, at_warp_op, exited };

class fiber_host;
class worker;

struct fiber {
    fiber() = default;
    fiber(const fiber&) = delete;
    fiber& operator=(const fiber&) = delete;
    ~fiber();

    fiber_host* host = nullptr;
    worker* owner = nullptr;
    void* mapping = nullptr;
    std::size_t mapping_bytes = 0;
    boost::context::detail::fcontext_t context = nullptr;
    fiber_state state = fiber_state::exited;
    place site;  // of the barrier or warp operation it waits at
    warp_request request;
    std::uint64_t result = 0;
    unsigned lane = 0;
    unsigned warp = 0;
    uint3 thread_idx{};
#ifdef EMU_ASAN
    void* fake_stack = nullptr;
#endif

    char* stack_bottom() const;
    std::size_t stack_bytes() const;
};

// Switches between one OS thread's stack and its fibers.
class fiber_host {
public:
    // What every fiber runs, once per block.
    using body_fn = void (*)(fiber& f);

    explicit fiber_host(body_fn body) : body_(body) {}
    fiber_host(const fiber_host&) = delete;
    fiber_host& operator=(const fiber_host&) = delete;

    // A fiber for linear thread `index` of a block, ready to start `body`.
    std::unique_ptr<fiber> make(worker* owner, std::size_t index);
    // Starts the fiber afresh, dropping whatever it was doing.
    void reset(fiber& f);
    // Runs the fiber until it suspends.
    void resume(fiber& f);
    // Called on a fiber's stack: hands control back to the thread's own stack.
    void suspend(fiber& f);

private:
    friend void fiber_main(boost::context::detail::transfer_t from);

    body_fn body_;
    boost::context::detail::fcontext_t scheduler_ = nullptr;
#ifdef EMU_ASAN
    const void* scheduler_stack_bottom_ = nullptr;
    std::size_t scheduler_stack_bytes_ = 0;
#endif
};

// The fiber this OS thread runs now.
fiber& current_fiber();

}  // namespace emu
