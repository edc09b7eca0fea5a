// Warp-level and block-level collective operations of the emulated device.
// The lanes of a warp (32 consecutive linear thread indices of the block) meet
// at each *_sync operation: every lane of its mask must reach an operation of
// the same kind with the same mask, or the launch fails naming the place.
// The place comes from __builtin_FILE/LINE default arguments, so kernels call
// these as in CUDA.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

constexpr int warpSize = 32;

namespace emu {

enum class warp_op { shfl_idx, shfl_up, shfl_down, shfl_xor, ballot, any, all, sync, active };

// Suspends the calling lane until its warp's meeting completes. `value` is
// the lane's shuffled bits or vote predicate; returns the shuffled bits of
// the source lane, or the ballot of the mask's lanes.
std::uint64_t warp_meet(warp_op op, unsigned mask, std::uint64_t value, int operand, int width, const char* file,
                        int line);

enum class block_vote { count, all, any };

// __syncthreads that also counts the threads whose predicate is non-zero.
int sync_threads_vote(block_vote vote, int predicate, const char* file, int line);

// The type a shuffle moves: CUDA's overloads take int for narrower integers.
template <class T>
using shuffled_t = decltype(+std::declval<T>());

template <class T>
shuffled_t<T> shuffle(warp_op op, unsigned mask, T var, int operand, int width, const char* file, int line) {
    using value_t = shuffled_t<T>;
    static_assert(std::is_arithmetic_v<value_t> && (sizeof(value_t) == 4 || sizeof(value_t) == 8),
                  "shuffles move 4- or 8-byte arithmetic values");
    const value_t in = var;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &in, sizeof in);
    bits = warp_meet(op, mask, bits, operand, width, file, line);
    value_t out;
    std::memcpy(&out, &bits, sizeof out);
    return out;
}

}  // namespace emu

template <class T>
inline emu::shuffled_t<T> __shfl_sync(unsigned mask, T var, int srcLane, int width = warpSize,
                                      const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return emu::shuffle(emu::warp_op::shfl_idx, mask, var, srcLane, width, file, line);
}

template <class T>
inline emu::shuffled_t<T> __shfl_up_sync(unsigned mask, T var, unsigned int delta, int width = warpSize,
                                         const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return emu::shuffle(emu::warp_op::shfl_up, mask, var, static_cast<int>(delta), width, file, line);
}

template <class T>
inline emu::shuffled_t<T> __shfl_down_sync(unsigned mask, T var, unsigned int delta, int width = warpSize,
                                           const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return emu::shuffle(emu::warp_op::shfl_down, mask, var, static_cast<int>(delta), width, file, line);
}

template <class T>
inline emu::shuffled_t<T> __shfl_xor_sync(unsigned mask, T var, int laneMask, int width = warpSize,
                                          const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return emu::shuffle(emu::warp_op::shfl_xor, mask, var, laneMask, width, file, line);
}

inline unsigned int __ballot_sync(unsigned mask, int predicate, const char* file = __builtin_FILE(),
                                  int line = __builtin_LINE()) {
    return static_cast<unsigned>(emu::warp_meet(emu::warp_op::ballot, mask, predicate != 0, 0, warpSize, file, line));
}

inline int __any_sync(unsigned mask, int predicate, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return static_cast<int>(emu::warp_meet(emu::warp_op::any, mask, predicate != 0, 0, warpSize, file, line));
}

inline int __all_sync(unsigned mask, int predicate, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return static_cast<int>(emu::warp_meet(emu::warp_op::all, mask, predicate != 0, 0, warpSize, file, line));
}

inline void __syncwarp(unsigned mask = 0xffffffffu, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    emu::warp_meet(emu::warp_op::sync, mask, 0, 0, warpSize, file, line);
}

// The lanes that reach __activemask while the rest of the warp has exited or
// waits elsewhere (at a barrier or warp operation): the lanes that would run
// it together on the GPU.
inline unsigned int __activemask(const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return static_cast<unsigned>(emu::warp_meet(emu::warp_op::active, 0, 0, 0, warpSize, file, line));
}

inline int __syncthreads_count(int predicate, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return emu::sync_threads_vote(emu::block_vote::count, predicate, file, line);
}

inline int __syncthreads_and(int predicate, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return emu::sync_threads_vote(emu::block_vote::all, predicate, file, line);
}

inline int __syncthreads_or(int predicate, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return emu::sync_threads_vote(emu::block_vote::any, predicate, file, line);
}
