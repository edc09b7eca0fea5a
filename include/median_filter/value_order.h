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
// Written as one xor with a mask made from the sign, which compiles to a
// shift and one logic instruction on a GPU.
constexpr std::uint32_t float_key(std::uint32_t bits) {
    if (is_nan_bits(bits)) bits = canonical_nan_bits;
    const std::uint32_t sign_fill = static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31);
    return bits ^ (sign_fill | 0x80000000u);
}

// The bits of the float whose key this is.
constexpr std::uint32_t float_bits(std::uint32_t key) {
    const std::uint32_t sign_fill = static_cast<std::uint32_t>(static_cast<std::int32_t>(key) >> 31);
    return key ^ (~sign_fill | 0x80000000u);
}

}  // namespace median_filter
