#include "warp.h"

#include "fiber.h"

#include <cstdio>
#include <cstring>

namespace emu {
namespace {

// What a shuffle reads from a lane outside its mask (undefined in CUDA).
constexpr std::uint64_t unnamed_lane_bits = 0x5A5A5A5A5A5A5A5Aull;

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

}  // namespace

bool place::operator==(const place& o) const {
    return line == o.line && (file == o.file || std::strcmp(file, o.file) == 0);
}

std::string place::text() const { return std::string(file) + ":" + std::to_string(line); }

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

void resolve(const meeting& m, const std::unique_ptr<fiber>* lanes) {
    if (m.op == warp_op::sync) return;
    if (is_shuffle(m.op)) {
        for (unsigned bits = m.mask; bits; bits &= bits - 1) {
            fiber& f = *lanes[__builtin_ctz(bits)];
            const unsigned source = shuffle_source(f.request, f.lane);
            f.result = source == f.lane       ? f.request.value
                       : m.mask >> source & 1 ? lanes[source]->request.value
                                              : unnamed_lane_bits;
        }
        return;
    }
    unsigned ballot = 0;
    for (unsigned bits = m.mask; bits; bits &= bits - 1) {
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(bits));
        if (lanes[lane]->request.value) ballot |= 1u << lane;
    }
    const std::uint64_t result = m.op == warp_op::ballot ? ballot
                                 : m.op == warp_op::any  ? ballot != 0
                                                         : ballot == m.mask;
    for (unsigned bits = m.mask; bits; bits &= bits - 1) lanes[__builtin_ctz(bits)]->result = result;
}

}  // namespace emu

namespace emu {

std::uint64_t warp_meet(warp_op op, unsigned mask, std::uint64_t value, int operand, int width, const char* file,
                        int line) {
    fiber& f = current_fiber();
    f.state = fiber_state::at_warp_op;
    f.site = {file, line};
    f.request = {op, mask, value, operand, width};
    f.host->suspend(f);
    return f.result;
}

}  // namespace emu
