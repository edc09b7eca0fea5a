#include "scheduler.h"

#include <emu_thread_order.h>

#include <boost/context/detail/fcontext.hpp>

#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
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

// The block's dynamic shared memory: the symbol every `extern __shared__`
// array refers to (see cuda_runtime.h). It lies in the section of the static
// shared variables, so one poisoning covers both.
alignas(128) __attribute__((section("emu_shared"))) __thread unsigned char dynamic_shared_memory
    [emu::dynamic_shared_limit] __asm__("emu_dynamic_shared");

// The linker brackets the section with these (its name is a C identifier).
extern "C" unsigned char __start_emu_shared[], __stop_emu_shared[];

namespace emu {
namespace {

namespace ctx = boost::context::detail;

// Kernels keep their working values in locals; sanitizer builds need more.
#ifdef EMU_ASAN
constexpr std::size_t fiber_stack_bytes = 256 * 1024;
#else
constexpr std::size_t fiber_stack_bytes = 64 * 1024;
#endif

constexpr unsigned warp_lanes = 32;
// Shared memory holds this byte at the start of every block, so a read of
// shared memory the block did not write shows (device memory starts as 0xA5).
constexpr unsigned char shared_poison_byte = 0x5A;
// What a shuffle reads from a lane outside its mask (undefined in CUDA).
constexpr std::uint64_t unnamed_lane_bits = 0x5A5A5A5A5A5A5A5Aull;

enum class fiber_state { ready, at_barrier, at_warp_op, exited };

struct place {
    const char* file = nullptr;
    int line = 0;
    bool operator==(const place& o) const {
        return line == o.line && (file == o.file || std::strcmp(file, o.file) == 0);
    }
    std::string text() const { return std::string(file) + ":" + std::to_string(line); }
};

// What a lane brings to a warp meeting.
struct warp_request {
    warp_op op = warp_op::sync;
    unsigned mask = 0;
    std::uint64_t value = 0;  // shuffled bits, or a predicate (also at a block barrier)
    int operand = 0;          // source lane, delta or xor mask
    int width = warpSize;
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
    place site;  // of the barrier or warp operation it waits at
    warp_request request;
    std::uint64_t result = 0;
    unsigned lane = 0;
    unsigned warp = 0;
    uint3 thread_idx{};
#ifdef EMU_ASAN
    void* fake_stack = nullptr;
#endif

    char* stack_bottom() const { return static_cast<char*>(mapping) + page_bytes(); }
    std::size_t stack_bytes() const { return mapping_bytes - page_bytes(); }
    static std::size_t page_bytes() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }
};

thread_local fiber* current_fiber = nullptr;

// Lanes of one warp waiting at the same operation with the same mask.
struct meeting {
    warp_op op;
    unsigned mask;
    unsigned arrived;
    place where;
};

struct warp_state {
    unsigned exited = 0;  // lanes that left the kernel, or that the block does not have
    unsigned at_barrier = 0;
    unsigned at_activemask = 0;
    unsigned runnable = 0;          // lanes queued or running
    std::vector<meeting> meetings;  // with disjoint masks
};

const char* op_name(warp_op op) {
    switch (op) {
    case warp_op::shfl_idx: return "__shfl_sync";
    case warp_op::shfl_up: return "__shfl_up_sync";
    case warp_op::shfl_down: return "__shfl_down_sync";
    case warp_op::shfl_xor: return "__shfl_xor_sync";
    case warp_op::ballot: return "__ballot_sync";
    case warp_op::any: return "__any_sync";
    case warp_op::all: return "__all_sync";
    case warp_op::sync: return "__syncwarp";
    case warp_op::active: return "__activemask";
    }
    return "a warp operation";
}

std::string hex(unsigned bits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", bits);
    return text;
}

bool is_shuffle(warp_op op) {
    return op == warp_op::shfl_idx || op == warp_op::shfl_up || op == warp_op::shfl_down || op == warp_op::shfl_xor;
}

bool valid_width(int width) { return width >= 1 && width <= warpSize && (width & (width - 1)) == 0; }

// The lane a shuffle reads, as the GPU's shfl.sync computes it: within the
// lane's segment of `width` lanes, and the lane itself when out of range.
unsigned shuffle_source(const warp_request& r, unsigned lane) {
    const unsigned width = static_cast<unsigned>(r.width);
    const unsigned first = lane & ~(width - 1);
    const unsigned last = first + width - 1;
    const unsigned b = static_cast<unsigned>(r.operand) & (warp_lanes - 1);
    switch (r.op) {
    case warp_op::shfl_idx: return first | (b & (width - 1));
    case warp_op::shfl_up: return lane >= first + b ? lane - b : lane;
    case warp_op::shfl_down: return lane + b <= last ? lane + b : lane;
    default: return (lane ^ b) <= last ? lane ^ b : lane;
    }
}

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// This worker thread's copy of the emu_shared TLS section.
struct shared_section {
    unsigned char* begin;
    unsigned char* end;
    unsigned char* dynamic;
};

struct tls_search {
    std::uintptr_t image;  // an address in the module's TLS initialisation image
    unsigned char* copy;   // the same offset in the calling thread's TLS block
    std::size_t module;    // else the module's TLS index and the offset, for __tls_get_addr
    std::size_t offset;
};

// The ABI's argument of __tls_get_addr (x86-64, AArch64 and others).
struct tls_index {
    unsigned long module;
    unsigned long offset;
};
extern "C" void* __tls_get_addr(tls_index*);

int find_tls_copy(dl_phdr_info* info, std::size_t, void* data) {
    auto& search = *static_cast<tls_search*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_TLS) continue;
        const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (search.image < start || search.image >= start + segment.p_memsz) continue;
        search.offset = search.image - start;
        if (info->dlpi_tls_data)
            search.copy = static_cast<unsigned char*>(info->dlpi_tls_data) + search.offset;
        search.module = info->dlpi_tls_modid;
        return 1;
    }
    return 0;
}

shared_section this_threads_shared_section() {
    // Taking the address also allocates this thread's block of a dynamically loaded module.
    unsigned char* const dynamic = dynamic_shared_memory;
    tls_search search{reinterpret_cast<std::uintptr_t>(__start_emu_shared), nullptr, 0, 0};
    dl_iterate_phdr(find_tls_copy, &search);
    // glibc reports no dlpi_tls_data for a dlopen()ed module (a Python
    // extension) once a later dlopen has raised the TLS generation; the
    // module's index still finds this thread's block. Asked outside the
    // iteration, which holds the loader's lock.
    if (!search.copy && search.module) {
        tls_index index{search.module, search.offset};
        search.copy = static_cast<unsigned char*>(__tls_get_addr(&index));
    }
    const std::size_t bytes = static_cast<std::size_t>(__stop_emu_shared - __start_emu_shared);
    // The dynamic area the compiler addresses must lie in the copy found.
    if (!search.copy || dynamic < search.copy || dynamic + dynamic_shared_limit > search.copy + bytes) {
        std::fprintf(stderr, "CUDA emulation: cannot locate this thread's shared memory section\n");
        std::abort();
    }
    return {search.copy, search.copy + bytes, dynamic};
}

// One launch as every worker sees it.
struct launch_setup {
    const kernel_call* call = nullptr;
    dim3 block;
    std::size_t dynamic_shared = 0;
    thread_order_setting order;
};

class worker {
public:
    worker() : shared_(this_threads_shared_section()) {}
    worker(const worker&) = delete;
    worker& operator=(const worker&) = delete;
    ~worker() {
        for (auto& f : fibers_) munmap(f->mapping, f->mapping_bytes);
#ifdef EMU_ASAN
        // The TLS block outlives the thread's use of it.
        ASAN_UNPOISON_MEMORY_REGION(shared_.dynamic, dynamic_shared_limit);
#endif
    }

    // Runs one block to completion; false (with `why`) when its threads do
    // not meet at their barriers and warp operations.
    bool run_block(const launch_setup& launch, uint3 block_idx, std::uint64_t block_number, std::string& why);
    // Called on a fiber's stack: hands control back to the block's scheduler.
    void suspend(fiber& f);
    // Threads with a true predicate at the barrier last released.
    std::uint64_t released_votes() const { return released_votes_; }

private:
    friend void fiber_main(ctx::transfer_t from);

    void ensure_fibers(std::size_t count);
    void reset(fiber& f);
    void resume(fiber& f);
    void poison_shared(std::size_t dynamic_bytes);
    void start_warps();
    void queue_all();
    bool settle(fiber& f, std::string& why);
    bool arrive_at_barrier(fiber& f, std::string& why);
    bool join_meeting(fiber& f, std::string& why);
    void complete_activemask(unsigned warp);
    bool unawaited(const fiber& f, std::string& why) const;
    std::string whereabouts(unsigned warp, unsigned lane) const;
    void resolve(unsigned warp, const meeting& m);
    void release(unsigned warp, unsigned mask);
    bool release_barrier(std::string& why);
    void abandon();
    std::uint64_t next_random() { return mix(random_state_++); }
    fiber& lane_fiber(unsigned warp, unsigned lane) { return *fibers_[warp * warp_lanes + lane]; }

    std::vector<std::unique_ptr<fiber>> fibers_;
    const shared_section shared_;
    const kernel_call* call_ = nullptr;
    ctx::fcontext_t scheduler_ = nullptr;
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
        f->lane = static_cast<unsigned>(fibers_.size() % warp_lanes);
        f->warp = static_cast<unsigned>(fibers_.size() / warp_lanes);
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

void worker::poison_shared(std::size_t dynamic_bytes) {
#ifdef EMU_ASAN
    // Past the launch's size is not the block's shared memory.
    ASAN_UNPOISON_MEMORY_REGION(shared_.dynamic, dynamic_bytes);
    ASAN_POISON_MEMORY_REGION(shared_.dynamic + dynamic_bytes, dynamic_shared_limit - dynamic_bytes);
#endif
    unsigned char* const dynamic_end = shared_.dynamic + dynamic_shared_limit;
    std::memset(shared_.begin, shared_poison_byte, static_cast<std::size_t>(shared_.dynamic - shared_.begin));
    std::memset(shared_.dynamic, shared_poison_byte, dynamic_bytes);
    std::memset(dynamic_end, shared_poison_byte, static_cast<std::size_t>(shared_.end - dynamic_end));
}

void worker::start_warps() {
    warps_.resize((count_ + warp_lanes - 1) / warp_lanes);
    for (warp_state& w : warps_) {
        w.exited = 0;
        w.at_barrier = 0;
        w.at_activemask = 0;
        w.meetings.clear();
    }
    if (const std::size_t tail = count_ % warp_lanes) warps_.back().exited = ~0u << tail;
}

// Queues every thread of the block in the launch's order.
void worker::queue_all() {
    ready_.clear();
    for (std::size_t i = 0; i < count_; ++i) {
        fiber& f = *fibers_[order_ == thread_order::reverse ? i : count_ - 1 - i];
        f.state = fiber_state::ready;
        ready_.push_back(&f);
    }
    for (std::size_t warp = 0; warp < warps_.size(); ++warp)
        warps_[warp].runnable = static_cast<unsigned>(std::min<std::size_t>(warp_lanes, count_ - warp * warp_lanes));
    if (order_ != thread_order::shuffle) return;
    for (std::size_t i = count_; i > 1; --i) std::swap(ready_[i - 1], ready_[next_random() % i]);
}

bool worker::run_block(const launch_setup& launch, uint3 block_idx, std::uint64_t block_number, std::string& why) {
    const dim3 block = launch.block;
    count_ = std::size_t{block.x} * block.y * block.z;
    ensure_fibers(count_);
    call_ = launch.call;
    order_ = launch.order.order;
    random_state_ = mix(launch.order.seed ^ mix(block_number));
    blockIdx = block_idx;
    blockDim = block;
    poison_shared(launch.dynamic_shared);
    start_warps();
    for (std::size_t i = 0; i < count_; ++i)
        fibers_[i]->thread_idx = {static_cast<unsigned>(i % block.x), static_cast<unsigned>(i / block.x % block.y),
                                  static_cast<unsigned>(i / (std::size_t{block.x} * block.y))};
    exited_ = 0;
    waiting_ = 0;
    votes_ = 0;
    queue_all();
    for (;;) {
        while (!ready_.empty()) {
            fiber& f = *ready_.back();
            ready_.pop_back();
            resume(f);
            if (!settle(f, why)) {
                abandon();
                return false;
            }
        }
        if (exited_ == count_) return true;
        if (!release_barrier(why)) {
            abandon();
            return false;
        }
    }
}

// Records where a fiber that just suspended waits; false when that breaks a
// barrier or a warp meeting.
bool worker::settle(fiber& f, std::string& why) {
    warp_state& w = warps_[f.warp];
    --w.runnable;
    bool sound = true;
    switch (f.state) {
    case fiber_state::exited:
        ++exited_;
        w.exited |= 1u << f.lane;
        sound = unawaited(f, why);
        break;
    case fiber_state::at_barrier: sound = arrive_at_barrier(f, why); break;
    case fiber_state::at_warp_op:
        if (f.request.op == warp_op::active) {
            w.at_activemask |= 1u << f.lane;
        } else {
            sound = join_meeting(f, why);
        }
        break;
    case fiber_state::ready: break;
    }
    if (sound && w.runnable == 0 && w.at_activemask) complete_activemask(f.warp);
    return sound;
}

// Every lane of the warp has stopped: those at __activemask run on together.
void worker::complete_activemask(unsigned warp) {
    warp_state& w = warps_[warp];
    const unsigned active = w.at_activemask;
    for (unsigned bits = active; bits; bits &= bits - 1)
        lane_fiber(warp, static_cast<unsigned>(__builtin_ctz(bits))).result = active;
    w.at_activemask = 0;
    release(warp, active);
}

bool worker::arrive_at_barrier(fiber& f, std::string& why) {
    if (waiting_ == 0) {
        barrier_site_ = f.site;
    } else if (!(f.site == barrier_site_)) {
        why = "threads wait at different barriers (" + barrier_site_.text() + " and " + f.site.text() + ")";
        return false;
    }
    ++waiting_;
    votes_ += f.request.value;
    warps_[f.warp].at_barrier |= 1u << f.lane;
    return unawaited(f, why);
}

// A lane that exits or waits at the block barrier must not be one its warp waits for.
bool worker::unawaited(const fiber& f, std::string& why) const {
    for (const meeting& m : warps_[f.warp].meetings) {
        if (!(m.mask >> f.lane & 1)) continue;
        why = "lane " + std::to_string(f.lane) + " of warp " + std::to_string(f.warp) + " " +
              whereabouts(f.warp, f.lane) + " while lanes " + hex(m.arrived) + " wait for it at " + op_name(m.op) +
              " at " + m.where.text() + " with mask " + hex(m.mask);
        return false;
    }
    return true;
}

std::string worker::whereabouts(unsigned warp, unsigned lane) const {
    const std::size_t index = std::size_t{warp} * warp_lanes + lane;
    if (index >= count_) return "is not in the block";
    const fiber& f = *fibers_[index];
    switch (f.state) {
    case fiber_state::exited: return "exited";
    case fiber_state::at_barrier: return "waits at the barrier at " + f.site.text();
    case fiber_state::at_warp_op:
        return "waits at " + std::string(op_name(f.request.op)) + " at " + f.site.text() +
               (f.request.op == warp_op::active ? "" : " with mask " + hex(f.request.mask));
    case fiber_state::ready: break;
    }
    return "runs";
}

bool worker::join_meeting(fiber& f, std::string& why) {
    warp_state& w = warps_[f.warp];
    const warp_request& r = f.request;
    const unsigned self = 1u << f.lane;
    const auto caller = [&] {
        return "lane " + std::to_string(f.lane) + " of warp " + std::to_string(f.warp) + " " +
               whereabouts(f.warp, f.lane);
    };
    if (!(r.mask & self)) {
        why = caller() + ", a mask without the calling lane";
        return false;
    }
    if (is_shuffle(r.op) && !valid_width(r.width)) {
        why = caller() + ": width " + std::to_string(r.width) + " is not a power of two from 1 to 32";
        return false;
    }
    if (const unsigned gone = r.mask & (w.exited | w.at_barrier)) {
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(gone));
        why = caller() + ", but lane " + std::to_string(lane) + " " + whereabouts(f.warp, lane);
        return false;
    }
    meeting* m = nullptr;
    for (meeting& pending : w.meetings) {
        if (!(pending.mask & r.mask)) continue;
        if (pending.mask != r.mask || pending.op != r.op) {
            why = caller() + " while lanes " + hex(pending.arrived) + " wait at " + op_name(pending.op) + " at " +
                  pending.where.text() + " with mask " + hex(pending.mask);
            return false;
        }
        m = &pending;
        break;
    }
    if (!m) m = &w.meetings.emplace_back(meeting{r.op, r.mask, 0, f.site});
    m->arrived |= self;
    if (m->arrived != m->mask) return true;
    resolve(f.warp, *m);
    release(f.warp, m->mask);
    *m = w.meetings.back();
    w.meetings.pop_back();
    return true;
}

void worker::resolve(unsigned warp, const meeting& m) {
    if (m.op == warp_op::sync) return;
    if (is_shuffle(m.op)) {
        for (unsigned bits = m.mask; bits; bits &= bits - 1) {
            fiber& f = lane_fiber(warp, static_cast<unsigned>(__builtin_ctz(bits)));
            const unsigned source = shuffle_source(f.request, f.lane);
            f.result = source == f.lane       ? f.request.value
                       : m.mask >> source & 1 ? lane_fiber(warp, source).request.value
                                              : unnamed_lane_bits;
        }
        return;
    }
    unsigned ballot = 0;
    for (unsigned bits = m.mask; bits; bits &= bits - 1) {
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(bits));
        if (lane_fiber(warp, lane).request.value) ballot |= 1u << lane;
    }
    const std::uint64_t result = m.op == warp_op::ballot ? ballot
                                 : m.op == warp_op::any  ? ballot != 0
                                                         : ballot == m.mask;
    for (unsigned bits = m.mask; bits; bits &= bits - 1)
        lane_fiber(warp, static_cast<unsigned>(__builtin_ctz(bits))).result = result;
}

// Queues the lanes of a completed meeting to run next, in the launch's order.
void worker::release(unsigned warp, unsigned mask) {
    const unsigned key = order_ == thread_order::shuffle ? static_cast<unsigned>(next_random() % warp_lanes) : 0;
    warps_[warp].runnable += static_cast<unsigned>(__builtin_popcount(mask));
    for (unsigned i = warp_lanes; i-- > 0;) {
        const unsigned lane = order_ == thread_order::reverse ? warp_lanes - 1 - i : i ^ key;
        if (!(mask >> lane & 1)) continue;
        fiber& f = lane_fiber(warp, lane);
        f.state = fiber_state::ready;
        ready_.push_back(&f);
    }
}

bool worker::release_barrier(std::string& why) {
    for (std::size_t warp = 0; warp < warps_.size(); ++warp) {
        if (warps_[warp].meetings.empty()) continue;
        const meeting& m = warps_[warp].meetings.front();
        why = "lanes " + hex(m.arrived) + " of warp " + std::to_string(warp) + " wait at " + op_name(m.op) + " at " +
              m.where.text() + " with mask " + hex(m.mask) + " for lanes that never come";
        return false;
    }
    if (waiting_ != count_) {
        why = std::to_string(waiting_) + " of " + std::to_string(count_) + " threads wait at the barrier at " +
              barrier_site_.text() + " that the others exited without reaching";
        return false;
    }
    released_votes_ = votes_;
    votes_ = 0;
    waiting_ = 0;
    for (warp_state& w : warps_) w.at_barrier = 0;
    queue_all();
    return true;
}

// Fibers stopped inside the kernel start afresh for the next block.
void worker::abandon() {
    for (std::size_t i = 0; i < count_; ++i)
        if (fibers_[i]->state != fiber_state::exited) reset(*fibers_[i]);
}

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

void wait_at_barrier(const char* file, int line, std::uint64_t vote) {
    fiber& f = *current_fiber;
    f.state = fiber_state::at_barrier;
    f.site = {file, line};
    f.request.value = vote;
    f.owner->suspend(f);
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
    return the_pool().run(grid, launch, diagnostic);
}

unsigned worker_count() { return the_pool().size(); }

void sync_threads(const char* file, int line) { wait_at_barrier(file, line, 0); }

int sync_threads_vote(block_vote vote, int predicate, const char* file, int line) {
    wait_at_barrier(file, line, predicate != 0);
    const std::uint64_t votes = current_fiber->owner->released_votes();
    switch (vote) {
    case block_vote::count: return static_cast<int>(votes);
    case block_vote::all: return votes == std::uint64_t{blockDim.x} * blockDim.y * blockDim.z;
    case block_vote::any: return votes != 0;
    }
    return 0;
}

std::uint64_t warp_meet(warp_op op, unsigned mask, std::uint64_t value, int operand, int width, const char* file,
                        int line) {
    fiber& f = *current_fiber;
    f.state = fiber_state::at_warp_op;
    f.site = {file, line};
    f.request = {op, mask, value, operand, width};
    f.owner->suspend(f);
    return f.result;
}

}  // namespace emu
