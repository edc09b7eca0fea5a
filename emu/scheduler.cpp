#include "scheduler.h"

#include <boost/context/detail/fcontext.hpp>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define EMU_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EMU_ASAN 1
#endif
#endif

#ifdef EMU_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace emu {
namespace {

namespace ctx = boost::context::detail;

// Kernels keep their working values in locals; sanitizer builds need more.
#ifdef EMU_ASAN
constexpr std::size_t fiber_stack_bytes = 256 * 1024;
#else
constexpr std::size_t fiber_stack_bytes = 64 * 1024;
#endif

enum class fiber_state { ready, at_barrier, exited };

struct barrier_site {
    const char* file = nullptr;
    int line = 0;
    bool operator==(const barrier_site& o) const { return line == o.line && (file == o.file || std::strcmp(file, o.file) == 0); }
};

class worker;

// One emulated CUDA thread: a stack below a guard page, and the context to
// resume it at. Fibers loop, so one fiber serves a thread of every block.
struct fiber {
    worker* owner = nullptr;
    void* mapping = nullptr;
    std::size_t mapping_bytes = 0;
    ctx::fcontext_t context = nullptr;
    fiber_state state = fiber_state::exited;
    barrier_site site;
    uint3 thread_idx{};
#ifdef EMU_ASAN
    void* fake_stack = nullptr;
#endif

    char* stack_bottom() const { return static_cast<char*>(mapping) + page_bytes(); }
    std::size_t stack_bytes() const { return mapping_bytes - page_bytes(); }
    static std::size_t page_bytes() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }
};

thread_local fiber* current_fiber = nullptr;

class worker {
public:
    worker() = default;
    worker(const worker&) = delete;
    worker& operator=(const worker&) = delete;
    ~worker() {
        for (auto& f : fibers_) munmap(f->mapping, f->mapping_bytes);
    }

    // Runs one block to completion; false (with `why`) when its threads do
    // not meet at their barriers.
    bool run_block(const kernel_call& call, uint3 block_idx, dim3 block, std::string& why);
    // Called on a fiber's stack: hands control back to the block's scheduler.
    void suspend(fiber& f);

private:
    friend void fiber_main(ctx::transfer_t from);

    void ensure_fibers(std::size_t count);
    void reset(fiber& f);
    void resume(fiber& f);
    bool release_barrier(std::size_t count, std::string& why);
    void abandon(std::size_t count);

    std::vector<std::unique_ptr<fiber>> fibers_;
    const kernel_call* call_ = nullptr;
    ctx::fcontext_t scheduler_ = nullptr;
#ifdef EMU_ASAN
    const void* scheduler_stack_bottom_ = nullptr;
    std::size_t scheduler_stack_bytes_ = 0;
#endif
};

void fiber_main(ctx::transfer_t from) {
    auto* f = static_cast<fiber*>(from.data);
    worker& w = *f->owner;
    w.scheduler_ = from.fctx;
#ifdef EMU_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &w.scheduler_stack_bottom_, &w.scheduler_stack_bytes_);
#endif
    for (;;) {
        w.call_->invoke(w.call_->bound);
        f->state = fiber_state::exited;
        w.suspend(*f);
    }
}

void worker::ensure_fibers(std::size_t count) {
    while (fibers_.size() < count) {
        auto f = std::make_unique<fiber>();
        f->owner = this;
        f->mapping_bytes = fiber_stack_bytes + fiber::page_bytes();
        f->mapping = mmap(nullptr, f->mapping_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (f->mapping == MAP_FAILED) throw std::bad_alloc();
        // A stack overflow faults on the guard page instead of corrupting a neighbour.
        mprotect(f->mapping, fiber::page_bytes(), PROT_NONE);
        reset(*f);
        fibers_.push_back(std::move(f));
    }
}

void worker::reset(fiber& f) {
#ifdef EMU_ASAN
    // Frames abandoned on this stack leave their redzones poisoned.
    ASAN_UNPOISON_MEMORY_REGION(f.stack_bottom(), f.stack_bytes());
#endif
    f.context = ctx::make_fcontext(f.stack_bottom() + f.stack_bytes(), f.stack_bytes(), fiber_main);
    f.state = fiber_state::exited;
}

void worker::resume(fiber& f) {
    current_fiber = &f;
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
    current_fiber = nullptr;
}

void worker::suspend([[maybe_unused]] fiber& f) {
#ifdef EMU_ASAN
    __sanitizer_start_switch_fiber(&f.fake_stack, scheduler_stack_bottom_, scheduler_stack_bytes_);
#endif
    ctx::transfer_t back = ctx::jump_fcontext(scheduler_, nullptr);
    scheduler_ = back.fctx;
#ifdef EMU_ASAN
    __sanitizer_finish_switch_fiber(f.fake_stack, &scheduler_stack_bottom_, &scheduler_stack_bytes_);
#endif
}

bool worker::release_barrier(std::size_t count, std::string& why) {
    std::size_t waiting = 0;
    const fiber* first = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const fiber& f = *fibers_[i];
        if (f.state != fiber_state::at_barrier) continue;
        ++waiting;
        if (!first) {
            first = &f;
        } else if (!(f.site == first->site)) {
            why = "threads wait at different barriers (" + std::string(first->site.file) + ":" +
                  std::to_string(first->site.line) + " and " + f.site.file + ":" + std::to_string(f.site.line) + ")";
            return false;
        }
    }
    if (waiting != 0 && waiting != count) {
        why = std::to_string(waiting) + " of " + std::to_string(count) + " threads wait at the barrier at " +
              first->site.file + ":" + std::to_string(first->site.line) + " that the others exited without reaching";
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) fibers_[i]->state = fiber_state::ready;
    return true;
}

void worker::abandon(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (fibers_[i]->state == fiber_state::at_barrier) reset(*fibers_[i]);
}

bool worker::run_block(const kernel_call& call, uint3 block_idx, dim3 block, std::string& why) {
    const std::size_t count = std::size_t{block.x} * block.y * block.z;
    ensure_fibers(count);
    call_ = &call;
    blockIdx = block_idx;
    blockDim = block;
    for (std::size_t i = 0; i < count; ++i) {
        fiber& f = *fibers_[i];
        f.thread_idx = {static_cast<unsigned>(i % block.x), static_cast<unsigned>(i / block.x % block.y),
                        static_cast<unsigned>(i / (std::size_t{block.x} * block.y))};
        f.state = fiber_state::ready;
    }
    for (;;) {
        bool any_waiting = false;
        for (std::size_t i = 0; i < count; ++i) {
            fiber& f = *fibers_[i];
            if (f.state != fiber_state::ready) continue;
            resume(f);
            any_waiting |= f.state == fiber_state::at_barrier;
        }
        if (!any_waiting) return true;
        if (!release_barrier(count, why)) {
            abandon(count);
            return false;
        }
    }
}

// Workers live for the whole process and wait for grids between launches.
class pool {
public:
    pool() {
        const unsigned n = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < n; ++i) threads_.emplace_back([this] { serve(); });
    }
    ~pool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_) t.join();
    }

    unsigned size() const { return static_cast<unsigned>(threads_.size()); }

    cudaError_t run(dim3 grid, dim3 block, const kernel_call& call, std::string& diagnostic) {
        std::unique_lock lock(mutex_);
        grid_ = grid;
        block_ = block;
        call_ = &call;
        total_ = std::uint64_t{grid.x} * grid.y * grid.z;
        next_.store(0);
        failed_.store(false);
        diagnostic_.clear();
        busy_ = size();
        ++generation_;
        wake_.notify_all();
        done_.wait(lock, [this] { return busy_ == 0; });
        diagnostic = diagnostic_;
        return failed_.load() ? cudaErrorLaunchFailure : cudaSuccess;
    }

private:
    void serve() {
        worker w;
        std::uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
                if (stopping_) return;
                seen = generation_;
            }
            gridDim = grid_;
            run_blocks(w);
            std::lock_guard lock(mutex_);
            if (--busy_ == 0) done_.notify_one();
        }
    }

    void run_blocks(worker& w) {
        std::string why;
        for (std::uint64_t b = next_.fetch_add(1); b < total_ && !failed_.load(); b = next_.fetch_add(1)) {
            const uint3 idx{static_cast<unsigned>(b % grid_.x), static_cast<unsigned>(b / grid_.x % grid_.y),
                            static_cast<unsigned>(b / (std::uint64_t{grid_.x} * grid_.y))};
            if (w.run_block(*call_, idx, block_, why)) continue;
            std::lock_guard lock(mutex_);
            if (!failed_.exchange(true))
                diagnostic_ = "block (" + std::to_string(idx.x) + "," + std::to_string(idx.y) + "," +
                              std::to_string(idx.z) + "): " + why;
        }
    }

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    bool stopping_ = false;
    std::uint64_t generation_ = 0;
    unsigned busy_ = 0;
    dim3 grid_;
    dim3 block_;
    const kernel_call* call_ = nullptr;
    std::uint64_t total_ = 0;
    std::atomic<std::uint64_t> next_{0};
    std::atomic<bool> failed_{false};
    std::string diagnostic_;
};

pool& the_pool() {
    static pool p;
    return p;
}

}  // namespace

cudaError_t run_grid(dim3 grid, dim3 block, const kernel_call& call, std::string& diagnostic) {
    return the_pool().run(grid, block, call, diagnostic);
}

unsigned worker_count() { return the_pool().size(); }

void sync_threads(const char* file, int line) {
    fiber& f = *current_fiber;
    f.state = fiber_state::at_barrier;
    f.site = {file, line};
    f.owner->suspend(f);
}

}  // namespace emu
