// Random images for the median filter's tests: any value of the integer
// types, and for floats a mix that ranks every kind of value against every
// other (NaNs of several payloads and both signs, infinities, signed zeros,
// subnormals, the extremes, many ties). Float images are NaN-heavy in their
// lower half, so that windows there often hold a majority of NaNs.
#pragma once

#include "reference/median_filter_reference.h"

#include <cstdint>
#include <cstring>
#include <random>
#include <type_traits>

namespace test_images {

inline float float_of_bits(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

inline std::uint32_t bits_of(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

inline float random_float(std::mt19937& rng, int nan_percent) {
    constexpr std::uint32_t nans[] = {0x7fc00000u, 0xffc00000u, 0x7f800001u, 0xffffffffu, 0x7fa5a5a5u};
    constexpr std::uint32_t specials[] = {0x7f800000u, 0xff800000u, 0x00000000u, 0x80000000u,
                                          0x00000001u, 0x807fffffu, 0x7f7fffffu, 0xff7fffffu};
    if (static_cast<int>(rng() % 100) < nan_percent) return float_of_bits(nans[rng() % std::size(nans)]);
    switch (rng() % 8) {
        case 0: return float_of_bits(specials[rng() % std::size(specials)]);
        case 1: return float_of_bits(static_cast<std::uint32_t>(rng()));
        default: return (static_cast<int>(rng() % 41) - 20) * 0.25f;  // small values, with ties
    }
}

template <class T>
reference::typed_image<T> random_image(int width, int height, int channels, std::uint32_t seed) {
    std::mt19937 rng(seed);
    reference::typed_image<T> img{width, height, channels, {}};
    const std::size_t row = static_cast<std::size_t>(width) * channels;
    img.pixels.resize(row * height);
    for (std::size_t i = 0; i < img.pixels.size(); ++i) {
        if constexpr (std::is_same_v<T, float>)
            img.pixels[i] = random_float(rng, static_cast<int>(i / row) * 2 >= height ? 60 : 5);
        else
            img.pixels[i] = static_cast<T>(rng());
    }
    return img;
}

// Every pixel's bits, to compare float images value for value (NaN == NaN,
// -0 != +0).
template <class T>
std::vector<std::uint32_t> pixel_bits(const reference::typed_image<T>& img) {
    std::vector<std::uint32_t> bits(img.pixels.size());
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if constexpr (std::is_same_v<T, float>)
            bits[i] = bits_of(img.pixels[i]);
        else
            bits[i] = img.pixels[i];
    }
    return bits;
}

}  // namespace test_images
