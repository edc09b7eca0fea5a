// The warps of a block: which lanes wait at which warp operation, and what
// a completed operation hands each lane.
#pragma once

#include <warp_functions.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emu {

constexpr unsigned warp_lanes = 32;

// A place in kernel source: of a barrier or a warp operation.
struct place {
    const char* file = nullptr;
    int line = 0;
    bool operator==(const place& o) const;
    std::string text() const;
};

// What a lane brings to a warp meeting.
struct warp_request {
    warp_op op = warp_op::sync;
    unsigned mask = 0;
    std::uint64_t value = 0;  // shuffled bits, or a predicate (also at a block barrier)
    int operand = 0;          // source lane, delta or xor mask
    int width = warpSize;
};

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

struct fiber;

const char* op_name(warp_op op);
std::string hex(unsigned bits);
bool is_shuffle(warp_op op);
bool valid_width(int width);

// Sets the result of every lane of a completed meeting; `lanes` are the
// warp's 32 fibers.
void resolve(const meeting& m, const std::unique_ptr<fiber>* lanes);

}  // namespace emu
