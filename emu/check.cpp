#include "check.h"

#include "scheduler.h"
#include "shared_memory.h"
#include "warp.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace emu::check {
namespace {

selection& settings() {
    static selection s;
    return s;
}

selection parse(const char* text) {
    if (!text) return {true, true};
    selection s;
    const std::string value = text;
    bool valid = !value.empty();
    for (std::size_t begin = 0; valid && begin <= value.size();) {
        const std::size_t end = std::min(value.find(',', begin), value.size());
        const std::string word = value.substr(begin, end - begin);
        if (word == "race") {
            s.race = true;
        } else if (word == "init") {
            s.init = true;
        } else if (word != "none") {
            valid = false;
        }
        begin = end + 1;
    }
    if (!valid) {
        // A mistyped check would quietly check nothing.
        std::fprintf(stderr, "CUDA emulation: EMU_CHECK=%s: expected race, init, race,init or none\n", text);
        std::exit(EXIT_FAILURE);
    }
    return s;
}

// ---- device memory ------------------------------------------------------

struct allocation {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    unsigned char poison = 0;
    std::shared_ptr<unsigned char[]> written;  // one flag per byte
};

class device_memory {
public:
    void add(const void* ptr, std::size_t size, unsigned char poison) {
        const auto begin = reinterpret_cast<std::uintptr_t>(ptr);
        std::shared_ptr<unsigned char[]> written(new unsigned char[size == 0 ? 1 : size]());
        std::lock_guard lock(mutex_);
        allocations_[begin] = {begin, begin + size, poison, std::move(written)};
    }

    void remove(const void* ptr) {
        std::lock_guard lock(mutex_);
        allocations_.erase(reinterpret_cast<std::uintptr_t>(ptr));
    }

    void fill(const void* ptr, std::size_t size) {
        const auto at = reinterpret_cast<std::uintptr_t>(ptr);
        std::lock_guard lock(mutex_);
        auto it = allocations_.upper_bound(at);
        if (it == allocations_.begin()) return;
        const allocation& a = (--it)->second;
        if (at + size > a.end) return;
        std::fill_n(a.written.get() + (at - a.begin), size, static_cast<unsigned char>(1));
    }

    void clear() {
        std::lock_guard lock(mutex_);
        allocations_.clear();
    }

    std::vector<allocation> snapshot() {
        std::lock_guard lock(mutex_);
        std::vector<allocation> all;
        all.reserve(allocations_.size());
        for (const auto& entry : allocations_) all.push_back(entry.second);
        return all;
    }

private:
    std::mutex mutex_;
    std::map<std::uintptr_t, allocation> allocations_;
};

device_memory& the_device_memory() {
    static device_memory d;
    return d;
}

// The allocations a launch sees, sorted by address; set while it runs.
struct launch_view {
    std::vector<allocation> allocations;
    std::atomic<bool> instrumented{false};  // some block made a checked access
};

std::unique_ptr<launch_view>& current_launch() {
    static std::unique_ptr<launch_view> view;
    return view;
}

const allocation* find_allocation(const launch_view& view, std::uintptr_t at) {
    const auto& all = view.allocations;
    auto it = std::upper_bound(all.begin(), all.end(), at,
                               [](std::uintptr_t a, const allocation& b) { return a < b.begin; });
    if (it == all.begin()) return nullptr;
    --it;
    return at < it->end ? &*it : nullptr;
}

// ---- source places ------------------------------------------------------

// A function's name without its namespace noise and parameter list.
std::string short_name(std::string name) {
    const std::string anonymous = "(anonymous namespace)::";
    for (std::size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
    if (const std::size_t paren = name.find('('); paren != std::string::npos && paren > 0) name.erase(paren);
    return name;
}

// The function and the source place of a code address, from the module's
// debug information; best effort, for reports only.
std::pair<std::string, std::string> code_place(const void* address) {
    Dl_info info{};
    if (!address || !dladdr(address, &info) || !info.dli_fname) return {"??", ""};
    auto at = reinterpret_cast<std::uintptr_t>(address);
    const auto* header = static_cast<const ElfW(Ehdr)*>(info.dli_fbase);
    if (header->e_type != ET_EXEC) at -= reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    char command[4096];
    std::snprintf(command, sizeof command, "addr2line -C -f -e '%s' 0x%zx 2>/dev/null", info.dli_fname,
                  static_cast<std::size_t>(at));
    std::string function, line;
    if (FILE* pipe = popen(command, "r")) {
        char text[4096];
        if (std::fgets(text, sizeof text, pipe)) function = text;
        if (std::fgets(text, sizeof text, pipe)) line = text;
        pclose(pipe);
    }
    const auto trim = [](std::string& s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    };
    trim(function);
    trim(line);
    if (function.empty() || function == "??") function = info.dli_sname ? info.dli_sname : "??";
    if (line.rfind("??", 0) == 0) line.clear();
    // The discriminator says nothing to a reader.
    if (const std::size_t d = line.find(" (discriminator"); d != std::string::npos) line.erase(d);
    return {short_name(function), line};
}

// The instrumentation's return address is just past the call.
std::string describe_access(const void* pc) {
    const auto [function, line] = code_place(static_cast<const char*>(pc) - 1);
    return line.empty() ? function : function + " at " + line;
}

std::string kernel_name(const kernel_call& call) {
    // A bound kernel (cuda_runtime.h) starts with the kernel's address.
    const void* kernel = *static_cast<void* const*>(call.bound);
    return code_place(kernel).first;
}

}  // namespace

void activate() { settings() = parse(std::getenv("EMU_CHECK")); }

selection active() { return settings(); }

void device_allocated(const void* ptr, std::size_t size, unsigned char poison) {
    if (settings().init) the_device_memory().add(ptr, size, poison);
}

void device_released(const void* ptr) {
    if (settings().init) the_device_memory().remove(ptr);
}

void device_written(const void* ptr, std::size_t size) {
    if (settings().init) the_device_memory().fill(ptr, size);
}

void device_reset() {
    if (settings().init) the_device_memory().clear();
}

launch_scope::launch_scope() {
    if (!settings().init) return;
    current_launch() = std::make_unique<launch_view>();
    current_launch()->allocations = the_device_memory().snapshot();
}

launch_scope::~launch_scope() {
    const std::unique_ptr<launch_view> view = std::move(current_launch());
    if (!view) return;
    // A kernel built without the checks' instrumentation says nothing of
    // what it wrote: take it to have written everything.
    if (view->instrumented.load()) return;
    for (const allocation& a : view->allocations) std::fill_n(a.written.get(), a.end - a.begin, 1);
}

// ---- one block ------------------------------------------------------------

namespace {

constexpr std::size_t no_thread = ~std::size_t{0};
// The writer of a byte the instrumentation did not see written.
constexpr std::uint16_t unseen_writer = 0xFFFF;

struct access_record {
    const void* pc = nullptr;
    std::uint32_t epoch = 0;  // 0: never
    std::uint32_t clock = 0;
    std::uint16_t thread = 0;
};

struct byte_shadow {
    access_record write;
    access_record read;
};

enum class finding_kind { race, shared_init, device_init };

struct finding {
    finding_kind kind;
    std::uintptr_t address;
    access_record earlier;  // of the race's other thread
    bool earlier_write;
    std::uint16_t thread;
    bool write;
    const void* pc;
    std::uintptr_t allocation_begin = 0;
    std::size_t allocation_bytes = 0;
};

thread_local block_checker* checking = nullptr;

}  // namespace

struct block_checker::state {
    shared_section shared;
    selection checks;
    std::vector<byte_shadow> shadow;  // one per byte of the shared section
    // Barrier intervals, counted over every block this worker runs.
    std::uint32_t epoch = 0;
    std::uint32_t block_start = 0;
    // Warp order: each thread's own clock, and the clocks of its warp's
    // lanes as of the last warp operation it took part in with them.
    std::vector<std::uint32_t> clock;
    std::vector<std::array<std::uint32_t, warp_lanes>> known;
    std::size_t thread = no_thread;
    const kernel_call* call = nullptr;
    dim3 block;
    bool accessed = false;
    bool found = false;
    finding first{};
    std::size_t more = 0;

    explicit state(const shared_section& s)
        : shared(s), checks(settings()), shadow(static_cast<std::size_t>(s.end - s.begin)) {}

    // True when the recorded access may run at the same time as one by the current thread.
    bool unordered(const access_record& r) const {
        if (r.epoch != epoch || r.thread == thread || r.thread == unseen_writer) return false;
        if (r.thread / warp_lanes != thread / warp_lanes) return true;
        return r.clock > known[thread][r.thread % warp_lanes];
    }

    void report(const finding& f) {
        if (found) {
            ++more;
            return;
        }
        found = true;
        first = f;
    }

    void shared_access(std::size_t offset, std::size_t size, bool write, const void* pc) {
        const access_record now{pc, epoch, clock[thread], static_cast<std::uint16_t>(thread)};
        const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(shared.begin);
        bool reported = false;
        for (std::size_t i = offset; i < offset + size; ++i) {
            byte_shadow& b = shadow[i];
            if (!reported) {
                const access_record* other = nullptr;
                if (!write && b.write.epoch < block_start && shared.begin[i] != shared_poison_byte)
                    b.write = {nullptr, block_start, 0, unseen_writer};
                if (!write && checks.init && b.write.epoch < block_start) {
                    report({finding_kind::shared_init, base + i, {}, false, now.thread, false, pc});
                    reported = true;
                } else if (checks.race && unordered(b.write)) {
                    other = &b.write;
                } else if (checks.race && write && unordered(b.read)) {
                    other = &b.read;
                }
                if (other) {
                    report({finding_kind::race, base + i, *other, other == &b.write, now.thread, write, pc});
                    reported = true;
                }
            }
            if (write) {
                b.write = now;
            } else if (checks.race) {
                b.read = now;
            }
        }
    }

    void device_access(std::uintptr_t at, std::size_t size, bool write, const void* pc) {
        const launch_view* view = current_launch().get();
        if (!view) return;
        const allocation* a = find_allocation(*view, at);
        if (!a || at + size > a->end) return;
        unsigned char* flags = a->written.get() + (at - a->begin);
        for (std::size_t i = 0; i < size; ++i) {
            if (write) {
                __atomic_store_n(flags + i, 1, __ATOMIC_RELAXED);
            } else if (!__atomic_load_n(flags + i, __ATOMIC_RELAXED) &&
                       reinterpret_cast<const unsigned char*>(at)[i] == a->poison) {
                report({finding_kind::device_init, at + i, {}, false, static_cast<std::uint16_t>(thread), false, pc,
                        a->begin, a->end - a->begin});
                return;
            }
        }
    }

    std::string thread_text(std::size_t linear) const {
        const std::size_t x = linear % block.x, y = linear / block.x % block.y,
                          z = linear / (std::size_t{block.x} * block.y);
        return "thread (" + std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(z) + ")";
    }

    std::string shared_place(std::uintptr_t address) const {
        const auto* at = reinterpret_cast<const unsigned char*>(address);
        if (at >= shared.dynamic && at < shared.dynamic + dynamic_shared_limit)
            return "dynamic shared memory offset " + std::to_string(at - shared.dynamic);
        return "static shared memory offset " + std::to_string(at - shared.begin) + " of the shared section";
    }

    std::string describe(const finding& f) const {
        const auto verb = [](bool w) { return w ? "writes" : "reads"; };
        std::string text = kernel_name(*call) + ": ";
        switch (f.kind) {
        case finding_kind::race:
            text += "race on " + shared_place(f.address) + ": " + thread_text(f.earlier.thread) + " " +
                    verb(f.earlier_write) + " it in " + describe_access(f.earlier.pc) + ", then " +
                    thread_text(f.thread) + " " + verb(f.write) + " it in " + describe_access(f.pc) +
                    ", with no barrier or warp synchronisation between";
            break;
        case finding_kind::shared_init:
            text += "uninitialised read of " + shared_place(f.address) + ": " + thread_text(f.thread) +
                    " reads it in " + describe_access(f.pc) + ", and no thread of the block wrote it";
            break;
        case finding_kind::device_init: {
            char at[96];
            std::snprintf(at, sizeof at, "%#zx (byte %zu of the %zu-byte allocation at %#zx)",
                          static_cast<std::size_t>(f.address), static_cast<std::size_t>(f.address - f.allocation_begin),
                          f.allocation_bytes, static_cast<std::size_t>(f.allocation_begin));
            text += "uninitialised read of device memory at " + std::string(at) + ": " + thread_text(f.thread) +
                    " reads it in " + describe_access(f.pc) + ", and no copy, memset or kernel wrote it";
            break;
        }
        }
        if (more) text += " (and " + std::to_string(more) + " more findings in this block)";
        return text;
    }
};

block_checker::block_checker(const shared_section& shared) : s_(std::make_unique<state>(shared)) {}

block_checker::~block_checker() = default;

void block_checker::start_block(const kernel_call& call, dim3 block) {
    state& s = *s_;
    const std::size_t count = std::size_t{block.x} * block.y * block.z;
    s.call = &call;
    s.block = block;
    s.clock.assign(count, 1);
    s.known.assign(count, {});
    s.block_start = ++s.epoch;
    s.accessed = false;
    s.found = false;
    s.more = 0;
}

void block_checker::enter(std::size_t thread) {
    s_->thread = thread;
    checking = this;
}

void block_checker::leave() {
    checking = nullptr;
    s_->thread = no_thread;
}

void block_checker::barrier() { ++s_->epoch; }

void block_checker::warp_sync(unsigned warp, unsigned mask) {
    state& s = *s_;
    const std::size_t first = std::size_t{warp} * warp_lanes;
    std::array<std::uint32_t, warp_lanes> merged{};
    for (unsigned bits = mask; bits; bits &= bits - 1) {
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(bits));
        const auto& k = s.known[first + lane];
        for (unsigned l = 0; l < warp_lanes; ++l) merged[l] = std::max(merged[l], k[l]);
        merged[lane] = std::max(merged[lane], s.clock[first + lane]);
    }
    for (unsigned bits = mask; bits; bits &= bits - 1) {
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(bits));
        s.known[first + lane] = merged;
        ++s.clock[first + lane];
    }
}

bool block_checker::finish_block(std::string& why) {
    state& s = *s_;
    leave();
    if (s.accessed)
        if (launch_view* view = current_launch().get()) view->instrumented.store(true, std::memory_order_relaxed);
    if (!s.found) return true;
    why = s.describe(s.first);
    return false;
}

void block_checker::access(const void* address, std::size_t size, bool write, const void* pc) {
    state& s = *s_;
    s.accessed = true;
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const auto begin = reinterpret_cast<std::uintptr_t>(s.shared.begin);
    const auto end = reinterpret_cast<std::uintptr_t>(s.shared.end);
    if (at >= begin && at + size <= end) {
        s.shared_access(at - begin, size, write, pc);
    } else if (s.checks.init) {
        s.device_access(at, size, write, pc);
    }
}

void on_access(const void* address, std::size_t size, bool write, const void* pc) {
    if (block_checker* c = checking) c->access(address, size, write, pc);
}

}  // namespace emu::check
