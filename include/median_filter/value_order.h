// The order in which the filter ranks values. Integers rank as numbers.
// Floats rank by an unsigned 32-bit key, so that integer min/max orders
// them: every NaN becomes one quiet NaN that ranks above +inf (where
// NumPy's sort puts NaNs), and -0 ranks just below +0. A window's median is
// therefore a NaN exactly when more than half of its values are NaNs, and
// -0 and +0 come back as they went in. Plain C++: the kernels, the
// reference and the tests call the same functions.
#pragma once

#include <cstdint>

namespace median_filter {

// The one NaN the filter writes: the positive quiet NaN.
constexpr std::uint32_t canonical_nan_bits = 0x7fc00000u;

constexpr bool is_nan_bits(std::uint32_t bits) { return (bits & 0x7fffffffu) > 0x7f800000u; }

// The NaN a GPU's float instructions return for any NaN input: every NaN
// ranks as this one, whose key is the largest of all.
constexpr std::uint32_t any_nan_bits = 0x7fffffffu;

// The key of a float that is not a NaN, or of any_nan_bits: positive floats
// get the sign bit set, negative ones every bit flipped, so keys ascend with
// the values. One xor with a mask made from the sign: a shift and one logic
// instruction on a GPU.
constexpr std::uint32_t ordered_key(std::uint32_t bits) {
    const std::uint32_t sign_fill = static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31);
    return bits ^ (sign_fill | 0x80000000u);
}

// The key of the float with these bits. The kernels reach the same key
// without the test for NaN where the GPU has a NaN-propagating min
// (value_codec.cuh).
constexpr std::uint32_t float_key(std::uint32_t bits) {
    return ordered_key(is_nan_bits(bits) ? any_nan_bits : bits);
}

// The key of the canonical NaN, above every number's: float_key gives every
// NaN the largest key, so the least of a key and this one is a number's key
// or the canonical NaN's.
constexpr std::uint32_t canonical_nan_key = 0xffc00000u;
static_assert(canonical_nan_key == ordered_key(canonical_nan_bits));

// The bits of the float whose key this is, for a key of a number or of the
// canonical NaN (at most canonical_nan_key).
constexpr std::uint32_t capped_float_bits(std::uint32_t key) {
    // All ones for a negative float's key (top bit clear): one LEA.HI on a GPU.
    const std::uint32_t negative_fill = (key >> 31) - 1u;
    return key ^ (negative_fill | 0x80000000u);
}

// The bits of the float whose key this is; a NaN's key gives the canonical
// NaN.
constexpr std::uint32_t float_bits(std::uint32_t key) {
    return capped_float_bits(key < canonical_nan_key ? key : canonical_nan_key);
}

}  // namespace median_filter
