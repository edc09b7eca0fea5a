// Integer, bit and SIMD intrinsics of the CUDA device library, written from
// their documented definitions. On the GPU most are one instruction; here
// they are plain functions, so kernels using them build unchanged.
#pragma once

#include <cstdint>
#include <cstring>

// ---- bit counting -----------------------------------------------------------

inline int __popc(unsigned int x) { return __builtin_popcount(x); }
inline int __popcll(unsigned long long x) { return __builtin_popcountll(x); }
// Leading zeros; 32 (64) for zero.
inline int __clz(int x) { return x == 0 ? 32 : __builtin_clz(static_cast<unsigned>(x)); }
inline int __clzll(long long x) { return x == 0 ? 64 : __builtin_clzll(static_cast<unsigned long long>(x)); }
// Position of the lowest set bit counting from 1; 0 for zero.
inline int __ffs(int x) { return __builtin_ffs(x); }
inline int __ffsll(long long x) { return __builtin_ffsll(x); }

inline unsigned int __brev(unsigned int x) {
    x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
    return __builtin_bswap32(x);
}
inline unsigned long long __brevll(unsigned long long x) {
    return (static_cast<unsigned long long>(__brev(static_cast<unsigned>(x))) << 32) | __brev(static_cast<unsigned>(x >> 32));
}

// ---- byte permute and funnel shifts ----------------------------------------

// Byte n of the result is byte (s >> 4n) & 7 of the eight bytes y:x, x lowest.
inline unsigned int __byte_perm(unsigned int x, unsigned int y, unsigned int s) {
    const unsigned long long bytes = (static_cast<unsigned long long>(y) << 32) | x;
    unsigned int r = 0;
    for (int n = 0; n < 4; ++n) r |= static_cast<unsigned>((bytes >> (8 * ((s >> (4 * n)) & 7))) & 0xFF) << (8 * n);
    return r;
}

// hi:lo shifted left by shift mod 32 (the c forms: by min(shift, 32)); the high word.
inline unsigned int __funnelshift_l(unsigned int lo, unsigned int hi, unsigned int shift) {
    const unsigned long long v = (static_cast<unsigned long long>(hi) << 32) | lo;
    return static_cast<unsigned>((v << (shift & 31)) >> 32);
}
inline unsigned int __funnelshift_lc(unsigned int lo, unsigned int hi, unsigned int shift) {
    const unsigned long long v = (static_cast<unsigned long long>(hi) << 32) | lo;
    return static_cast<unsigned>((v << (shift < 32 ? shift : 32)) >> 32);
}
// hi:lo shifted right by shift mod 32 (the c forms: by min(shift, 32)); the low word.
inline unsigned int __funnelshift_r(unsigned int lo, unsigned int hi, unsigned int shift) {
    const unsigned long long v = (static_cast<unsigned long long>(hi) << 32) | lo;
    return static_cast<unsigned>(v >> (shift & 31));
}
inline unsigned int __funnelshift_rc(unsigned int lo, unsigned int hi, unsigned int shift) {
    const unsigned long long v = (static_cast<unsigned long long>(hi) << 32) | lo;
    return static_cast<unsigned>(v >> (shift < 32 ? shift : 32));
}

// ---- reinterpreting float bits ------------------------------------------------

inline unsigned int __float_as_uint(float x) {
    unsigned int u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}
inline float __uint_as_float(unsigned int u) {
    float x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

// ---- SIMD in a word: unsigned halfwords and bytes ------------------------------

namespace emu {
// Applies op to each Bits-wide unsigned lane of a and b.
template <int Bits, class Op>
inline unsigned int per_lane(unsigned int a, unsigned int b, Op op) {
    constexpr unsigned int mask = (1u << Bits) - 1;
    unsigned int r = 0;
    for (int shift = 0; shift < 32; shift += Bits)
        r |= (op((a >> shift) & mask, (b >> shift) & mask) & mask) << shift;
    return r;
}
inline unsigned int lane_min(unsigned int a, unsigned int b) { return a < b ? a : b; }
inline unsigned int lane_max(unsigned int a, unsigned int b) { return a < b ? b : a; }
}  // namespace emu

inline unsigned int __vminu2(unsigned int a, unsigned int b) { return emu::per_lane<16>(a, b, emu::lane_min); }
inline unsigned int __vmaxu2(unsigned int a, unsigned int b) { return emu::per_lane<16>(a, b, emu::lane_max); }
inline unsigned int __vminu4(unsigned int a, unsigned int b) { return emu::per_lane<8>(a, b, emu::lane_min); }
inline unsigned int __vmaxu4(unsigned int a, unsigned int b) { return emu::per_lane<8>(a, b, emu::lane_max); }

// ---- loads through the read-only cache ---------------------------------------------

template <class T>
inline T __ldg(const T* ptr) { return *ptr; }
