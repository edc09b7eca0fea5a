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

// The key of the float with these bits: positive floats get the sign bit
// set, negative ones every bit flipped, so keys ascend with the values.
constexpr std::uint32_t float_key(std::uint32_t bits) {
    if (is_nan_bits(bits)) bits = canonical_nan_bits;
    return bits & 0x80000000u ? ~bits : bits | 0x80000000u;
}

// The bits of the float whose key this is.
constexpr std::uint32_t float_bits(std::uint32_t key) { return key & 0x80000000u ? key & 0x7fffffffu : ~key; }

}  // namespace median_filter
