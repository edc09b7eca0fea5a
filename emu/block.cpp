#include "block.h"

#include <algorithm>

namespace emu {
namespace {

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void wait_at_barrier(const char* file, int line, std::uint64_t vote) {
    fiber& f = current_fiber();
    f.state = fiber_state::at_barrier;
    f.site = {file, line};
    f.request.value = vote;
    f.host->suspend(f);
}

}  // namespace

worker::worker() : host_(run_kernel), shared_(shared_section::this_thread()) {
    if (check::active().any()) checker_ = std::make_unique<check::block_checker>(shared_);
}

worker::~worker() {
    fibers_.clear();
    shared_.release();
}

void worker::run_kernel(fiber& f) { f.owner->call_->invoke(f.owner->call_->bound); }

std::uint64_t worker::next_random() { return mix(random_state_++); }

void worker::ensure_fibers(std::size_t count) {
    while (fibers_.size() < count) fibers_.push_back(host_.make(this, fibers_.size()));
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
    shared_.poison(launch.dynamic_shared);
    if (checker_) checker_->start_block(*launch.call, block);
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
            run(f);
            if (!settle(f, why)) {
                abandon();
                return false;
            }
        }
        if (exited_ == count_) return !checker_ || checker_->finish_block(why);
        if (!release_barrier(why)) {
            abandon();
            return false;
        }
    }
}

void worker::run(fiber& f) {
    if (!checker_) return host_.resume(f);
    checker_->enter(std::size_t{f.warp} * warp_lanes + f.lane);
    host_.resume(f);
    checker_->leave();
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
    resolve(*m, &fibers_[std::size_t{f.warp} * warp_lanes]);
    if (checker_) checker_->warp_sync(f.warp, m->mask);
    release(f.warp, m->mask);
    *m = w.meetings.back();
    w.meetings.pop_back();
    return true;
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
    if (checker_) checker_->barrier();
    queue_all();
    return true;
}

// Fibers stopped inside the kernel start afresh for the next block.
void worker::abandon() {
    for (std::size_t i = 0; i < count_; ++i)
        if (fibers_[i]->state != fiber_state::exited) host_.reset(*fibers_[i]);
}

void sync_threads(const char* file, int line) { wait_at_barrier(file, line, 0); }

int sync_threads_vote(block_vote vote, int predicate, const char* file, int line) {
    wait_at_barrier(file, line, predicate != 0);
    const std::uint64_t votes = current_fiber().owner->released_votes();
    switch (vote) {
    case block_vote::count: return static_cast<int>(votes);
    case block_vote::all: return votes == std::uint64_t{blockDim.x} * blockDim.y * blockDim.z;
    case block_vote::any: return votes != 0;
    }
    return 0;
}

}  // namespace emu
