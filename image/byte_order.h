// Multi-byte numbers in image files, read from bytes the caller has checked
// are there.
#pragma once

#include <cstdint>

inline std::uint32_t big_endian(const unsigned char* p, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

inline std::uint32_t little_endian(const unsigned char* p, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}
