#include "fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

#ifdef EMU_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace emu {

namespace ctx = boost::context::detail;

namespace {

// Kernels keep their working values in locals; sanitizer builds need more.
#ifdef EMU_ASAN
constexpr std::size_t fiber_stack_bytes = 256 * 1024;
#else
constexpr std::size_t fiber_stack_bytes = 64 * 1024;
#endif

thread_local fiber* running = nullptr;

std::size_t page_bytes() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

}  // namespace

fiber::~fiber() {
    if (mapping) munmap(mapping, mapping_bytes);
}

char* fiber::stack_bottom() const { return static_cast<char*>(mapping) + page_bytes(); }

std::size_t fiber::stack_bytes() const { return mapping_bytes - page_bytes(); }

fiber& current_fiber() { return *running; }

void fiber_main(ctx::transfer_t from) {
    auto* f = static_cast<fiber*>(from.data);
    fiber_host& host = *f->host;
    host.scheduler_ = from.fctx;
#ifdef EMU_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &host.scheduler_stack_bottom_, &host.scheduler_stack_bytes_);
#endif
    for (;;) {
        host.body_(*f);
        f->state = fiber_state::exited;
        host.suspend(*f);
    }
}

std::unique_ptr<fiber> fiber_host::make(worker* owner, std::size_t index) {
    auto f = std::make_unique<fiber>();
    f->host = this;
    f->owner = owner;
    f->lane = static_cast<unsigned>(index % warp_lanes);
    f->warp = static_cast<unsigned>(index / warp_lanes);
    f->mapping_bytes = fiber_stack_bytes + page_bytes();
    void* mapping = mmap(nullptr, f->mapping_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    f->mapping = mapping;
    // A stack overflow faults on the guard page instead of corrupting a neighbour.
    mprotect(f->mapping, page_bytes(), PROT_NONE);
    reset(*f);
    return f;
}

void fiber_host::reset(fiber& f) {
#ifdef EMU_ASAN
    // Frames abandoned on this stack leave their redzones poisoned.
    ASAN_UNPOISON_MEMORY_REGION(f.stack_bottom(), f.stack_bytes());
#endif
    f.context = ctx::make_fcontext(f.stack_bottom() + f.stack_bytes(), f.stack_bytes(), fiber_main);
    f.state = fiber_state::exited;
}

void fiber_host::resume(fiber& f) {
    running = &f;
    threadIdx = f.thread_idx;
#ifdef EMU_ASAN
    void* fake = nullptr;
    __sanitizer_start_switch_fiber(&fake, f.stack_bottom(), f.stack_bytes());
#endif
    ctx::transfer_t back = ctx::jump_fcontext(f.context, &f);
#ifdef EMU_ASAN
    __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
    f.context = back.fctx;
    running = nullptr;
}

void fiber_host::suspend([[maybe_unused]] fiber& f) {
#ifdef EMU_ASAN
    __sanitizer_start_switch_fiber(&f.fake_stack, scheduler_stack_bottom_, scheduler_stack_bytes_);
#endif
    ctx::transfer_t back = ctx::jump_fcontext(scheduler_, nullptr);
    scheduler_ = back.fctx;
#ifdef EMU_ASAN
    __sanitizer_finish_switch_fiber(f.fake_stack, &scheduler_stack_bottom_, &scheduler_stack_bytes_);
#endif
}

}  // namespace emu
