// How a network wire holds its values. 8- and 16-bit images put two values
// on a wire, one per 16-bit lane (8-bit values doubled, v * 0x101, so that
// either byte of a lane reads back the result): sm_90 does a packed min or
// max in one instruction, older GPUs expand it into several, so they keep
// each lane in its own register instead. Float images put one 32-bit key
// (value_order.h) on a wire. Every form compares unsigned integers.
#pragma once

#include <cuda_runtime.h>

// Both lanes in one register, compared with the SIMD min/max.
struct packed_lanes {
    static constexpr int bands = 2;
    unsigned int word;

    static __device__ __forceinline__ packed_lanes from_word(unsigned int w) { return {w}; }
    __device__ __forceinline__ unsigned int to_word() const { return word; }
};

__device__ __forceinline__ packed_lanes lane_min(packed_lanes a, packed_lanes b) { return {__vminu2(a.word, b.word)}; }
__device__ __forceinline__ packed_lanes lane_max(packed_lanes a, packed_lanes b) { return {__vmaxu2(a.word, b.word)}; }

// One lane per register, compared with plain 32-bit min/max.
struct split_lanes {
    static constexpr int bands = 2;
    unsigned int lo;
    unsigned int hi;

    static __device__ __forceinline__ split_lanes from_word(unsigned int w) { return {w & 0xffffu, w >> 16}; }
    __device__ __forceinline__ unsigned int to_word() const { return lo | hi << 16; }
};

__device__ __forceinline__ split_lanes lane_min(split_lanes a, split_lanes b) { return {min(a.lo, b.lo), min(a.hi, b.hi)}; }
__device__ __forceinline__ split_lanes lane_max(split_lanes a, split_lanes b) { return {max(a.lo, b.lo), max(a.hi, b.hi)}; }

// One 32-bit key per wire.
struct key_lanes {
    static constexpr int bands = 1;
    unsigned int key;

    static __device__ __forceinline__ key_lanes from_word(unsigned int w) { return {w}; }
    __device__ __forceinline__ unsigned int to_word() const { return key; }
};

__device__ __forceinline__ key_lanes lane_min(key_lanes a, key_lanes b) { return {min(a.key, b.key)}; }
__device__ __forceinline__ key_lanes lane_max(key_lanes a, key_lanes b) { return {max(a.key, b.key)}; }

// A network's cap (networks.h): none, or the least of a wire and a fixed
// value.
struct uncapped {
    template <class Lanes>
    __device__ __forceinline__ Lanes operator()(Lanes w) const {
        return w;
    }
};

template <class Lanes>
struct capped_at {
    Lanes cap;
    __device__ __forceinline__ Lanes operator()(Lanes w) const { return lane_min(w, cap); }
};

#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 900
using native_lanes = split_lanes;
#else
using native_lanes = packed_lanes;
#endif

// Kernels name the lane form by a tag and resolve it in their body: an
// alias that differs between the host and the device compilation must not
// appear in a kernel's template arguments.
struct native_lanes_tag {};
template <class Lanes>
struct resolve_lanes {
    using type = Lanes;
};
template <>
struct resolve_lanes<native_lanes_tag> {
    using type = native_lanes;
};
