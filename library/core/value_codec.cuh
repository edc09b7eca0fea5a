// How an image value becomes a staged word and comes back: per element
// type, the wire form (tiled_lanes.cuh) the networks run on, the word that
// holds a staged position (two bands of 16-bit lanes, or one float key),
// and the 32-bit key the selection path ranks.
#pragma once

#include "include/median_filter/value_order.h"
#include "tiled_lanes.cuh"

#include <cuda_runtime.h>

#include <type_traits>

template <class T>
struct value_codec;

template <>
struct value_codec<unsigned char> {
    using wire_tag = native_lanes_tag;
    static constexpr int bands = 2;
    static constexpr int key_bits = 8;
    // Each lane holds its byte twice, so min and max of lanes order the bytes.
    static __device__ __forceinline__ unsigned int pack(unsigned char upper, unsigned char lower) {
        return (upper | static_cast<unsigned int>(lower) << 16) * 0x101u;
    }
    static __device__ __forceinline__ unsigned char unpack(unsigned int word, int band) {
        return static_cast<unsigned char>(word >> (16 * band));
    }
    static __device__ __forceinline__ unsigned int key(unsigned char v) { return v; }
    static __device__ __forceinline__ unsigned char value(unsigned int key) { return static_cast<unsigned char>(key); }
};

template <>
struct value_codec<unsigned short> {
    using wire_tag = native_lanes_tag;
    static constexpr int bands = 2;
    static constexpr int key_bits = 16;
    static __device__ __forceinline__ unsigned int pack(unsigned short upper, unsigned short lower) {
        return upper | static_cast<unsigned int>(lower) << 16;
    }
    static __device__ __forceinline__ unsigned short unpack(unsigned int word, int band) {
        return static_cast<unsigned short>(word >> (16 * band));
    }
    static __device__ __forceinline__ unsigned int key(unsigned short v) { return v; }
    static __device__ __forceinline__ unsigned short value(unsigned int key) { return static_cast<unsigned short>(key); }
};

template <>
struct value_codec<float> {
    using wire_tag = key_lanes;
    static constexpr int bands = 1;
    static constexpr int key_bits = 32;
    static __device__ __forceinline__ unsigned int key(float v) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
        // min.NaN with +inf returns v for every number (-0 too) and the
        // GPU's one NaN for every NaN: the key then needs no test for NaN
        // (three instructions a value instead of five).
        float number_or_nan;
        asm("min.NaN.f32 %0, %1, %2;" : "=f"(number_or_nan) : "f"(v), "f"(__uint_as_float(0x7f800000u)));
        return median_filter::ordered_key(__float_as_uint(number_or_nan));
#else
        return median_filter::float_key(__float_as_uint(v));
#endif
    }
    static __device__ __forceinline__ float value(unsigned int key) {
        return __uint_as_float(median_filter::float_bits(key));
    }
    // A key no larger than cap_key (a number's, or the canonical NaN's) needs
    // no min to give its value.
    static constexpr unsigned int cap_key = median_filter::canonical_nan_key;
    static __device__ __forceinline__ float capped_value(unsigned int key) {
        return __uint_as_float(median_filter::capped_float_bits(key));
    }
    static __device__ __forceinline__ unsigned int pack(float upper, float) { return key(upper); }
    static __device__ __forceinline__ float unpack(unsigned int word, int) { return value(word); }
};

// How a staged word holds values: two bands of 16-bit lanes (Keys false,
// 8- and 16-bit images), or one key a word (Keys true: floats always,
// integers where a GPU has no packed min/max and one value a register
// keeps fewer registers live than two).
template <class T, bool Keys>
struct stage_encoding {
    using codec = value_codec<T>;
    using wire_tag = typename codec::wire_tag;
    static constexpr int bands = codec::bands;
    static __device__ __forceinline__ unsigned int pack(T upper, T lower) { return codec::pack(upper, lower); }
    static __device__ __forceinline__ T unpack(unsigned int word, int band) { return codec::unpack(word, band); }
    template <class Wire>
    static __device__ __forceinline__ uncapped network_cap() {
        return {};
    }
};

template <class T>
struct stage_encoding<T, true> {
    using codec = value_codec<T>;
    using wire_tag = key_lanes;
    static constexpr int bands = 1;
    // Float medians come out of the network capped at the canonical NaN's
    // key, an operand of a three-input min that is free there (networks.h),
    // so that their values need no min of their own.
    static constexpr bool capped = std::is_same_v<T, float>;
    static __device__ __forceinline__ unsigned int pack(T upper, T) { return codec::key(upper); }
    static __device__ __forceinline__ T unpack(unsigned int word, int) {
        if constexpr (capped)
            return codec::capped_value(word);
        else
            return codec::value(word);
    }
    template <class Wire>
    static __device__ __forceinline__ auto network_cap() {
        if constexpr (capped)
            return capped_at<Wire>{Wire::from_word(codec::cap_key)};
        else
            return uncapped{};
    }
};
