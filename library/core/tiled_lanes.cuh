// Two independent 8-bit channel values per network wire, one per 16-bit
// lane, each lane holding its byte twice (v * 0x101) so that either byte of
// a lane reads back the result. Both forms give the same results; sm_90 does
// a packed min or max in one instruction, older GPUs expand it into several,
// so they keep each lane in its own register instead.
#pragma once

#include <cuda_runtime.h>

// Both lanes in one register, compared with the SIMD min/max.
struct packed_lanes {
    unsigned int word;

    static __device__ __forceinline__ packed_lanes from_word(unsigned int w) { return {w}; }
    __device__ __forceinline__ unsigned int to_word() const { return word; }
};

__device__ __forceinline__ packed_lanes lane_min(packed_lanes a, packed_lanes b) { return {__vminu2(a.word, b.word)}; }
__device__ __forceinline__ packed_lanes lane_max(packed_lanes a, packed_lanes b) { return {__vmaxu2(a.word, b.word)}; }

// One lane per register, compared with plain 32-bit min/max.
struct split_lanes {
    unsigned int lo;
    unsigned int hi;

    static __device__ __forceinline__ split_lanes from_word(unsigned int w) { return {w & 0xffffu, w >> 16}; }
    __device__ __forceinline__ unsigned int to_word() const { return lo | hi << 16; }
};

__device__ __forceinline__ split_lanes lane_min(split_lanes a, split_lanes b) { return {min(a.lo, b.lo), min(a.hi, b.hi)}; }
__device__ __forceinline__ split_lanes lane_max(split_lanes a, split_lanes b) { return {max(a.lo, b.lo), max(a.hi, b.hi)}; }

#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 900
using native_lanes = split_lanes;
#else
using native_lanes = packed_lanes;
#endif
