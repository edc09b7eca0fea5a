// The worker pool: OS threads that live for the whole process and share a
// grid's blocks, and the launch-wide thread order.
#include "scheduler.h"

#include "block.h"
#include "check.h"

#include <emu_thread_order.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace emu {
namespace {

thread_order_setting order_from_environment() {
    const char* text = std::getenv("EMU_THREAD_ORDER");
    if (!text || !*text) return {};
    const std::string value = text;
    const std::string name = value.substr(0, value.find(':'));
    thread_order_setting setting;
    bool valid = true;
    if (name == "forward") {
        setting.order = thread_order::forward;
    } else if (name == "reverse") {
        setting.order = thread_order::reverse;
    } else if (name == "shuffle") {
        setting.order = thread_order::shuffle;
    } else {
        valid = false;
    }
    if (valid && name.size() < value.size()) {
        const std::string seed = value.substr(name.size() + 1);
        char* end = nullptr;
        setting.seed = std::strtoull(seed.c_str(), &end, 10);
        valid = setting.order == thread_order::shuffle && !seed.empty() && seed[0] != '-' && *end == '\0';
    }
    if (!valid) {
        // A mistyped order would quietly test nothing.
        std::fprintf(stderr,
                     "CUDA emulation: EMU_THREAD_ORDER=%s: expected forward, reverse, shuffle or shuffle:SEED\n", text);
        std::exit(EXIT_FAILURE);
    }
    return setting;
}

struct order_store {
    std::mutex mutex;
    thread_order_setting setting = order_from_environment();
};

order_store& the_order() {
    static order_store store;
    return store;
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

    // Host threads may launch at once (as CUDA allows): their grids run one
    // after the other.
    cudaError_t run(dim3 grid, const launch_setup& launch, std::string& diagnostic) {
        const std::lock_guard one_grid(launch_mutex_);
        std::unique_lock lock(mutex_);
        grid_ = grid;
        launch_ = launch;
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
            if (w.run_block(launch_, idx, b, why)) continue;
            std::lock_guard lock(mutex_);
            if (!failed_.exchange(true))
                diagnostic_ = "block (" + std::to_string(idx.x) + "," + std::to_string(idx.y) + "," +
                              std::to_string(idx.z) + "): " + why;
        }
    }

    std::vector<std::thread> threads_;
    std::mutex launch_mutex_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    bool stopping_ = false;
    std::uint64_t generation_ = 0;
    unsigned busy_ = 0;
    dim3 grid_;
    launch_setup launch_;
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

void set_thread_order(thread_order_setting setting) {
    order_store& store = the_order();
    std::lock_guard lock(store.mutex);
    store.setting = setting;
}

thread_order_setting current_thread_order() {
    order_store& store = the_order();
    std::lock_guard lock(store.mutex);
    return store.setting;
}

cudaError_t run_grid(dim3 grid, dim3 block, std::size_t dynamic_shared, const kernel_call& call,
                     std::string& diagnostic) {
    const launch_setup launch{&call, block, dynamic_shared, current_thread_order()};
    const check::launch_scope checked;
    return the_pool().run(grid, launch, diagnostic);
}

unsigned worker_count() { return the_pool().size(); }

}  // namespace emu
