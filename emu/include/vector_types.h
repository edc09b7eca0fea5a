// CUDA's built-in vector types with their sizes and alignments, and the
// make_* functions. The alignment is what lets a kernel load a uint4 as one
// 16-byte access, so it is part of the type, as on the GPU.
#pragma once

#define EMU_VECTOR_1(name, T, align) \
    struct __attribute__((aligned(align))) name { T x; };
#define EMU_VECTOR_2(name, T, align) \
    struct __attribute__((aligned(align))) name { T x, y; };
#define EMU_VECTOR_3(name, T, align) \
    struct __attribute__((aligned(align))) name { T x, y, z; };
#define EMU_VECTOR_4(name, T, align) \
    struct __attribute__((aligned(align))) name { T x, y, z, w; };

// One scalar type's family: alignments of the 1-, 2-, 3- and 4-element forms.
#define EMU_VECTOR_FAMILY(name, T, a1, a2, a3, a4)                                              \
    EMU_VECTOR_1(name##1, T, a1)                                                                \
    EMU_VECTOR_2(name##2, T, a2)                                                                \
    EMU_VECTOR_3(name##3, T, a3)                                                                \
    EMU_VECTOR_4(name##4, T, a4)                                                                \
    inline constexpr name##1 make_##name##1(T x) { return {x}; }                                \
    inline constexpr name##2 make_##name##2(T x, T y) { return {x, y}; }                        \
    inline constexpr name##3 make_##name##3(T x, T y, T z) { return {x, y, z}; }                \
    inline constexpr name##4 make_##name##4(T x, T y, T z, T w) { return {x, y, z, w}; }

EMU_VECTOR_FAMILY(char, signed char, 1, 2, 1, 4)
EMU_VECTOR_FAMILY(uchar, unsigned char, 1, 2, 1, 4)
EMU_VECTOR_FAMILY(short, short, 2, 4, 2, 8)
EMU_VECTOR_FAMILY(ushort, unsigned short, 2, 4, 2, 8)
EMU_VECTOR_FAMILY(int, int, 4, 8, 4, 16)
EMU_VECTOR_FAMILY(uint, unsigned int, 4, 8, 4, 16)
EMU_VECTOR_FAMILY(float, float, 4, 8, 4, 16)

// 64-bit elements: the 4-element forms are left out, as CUDA 13 deprecates them.
#define EMU_VECTOR_FAMILY_64(name, T)                                                           \
    EMU_VECTOR_1(name##1, T, 8)                                                                 \
    EMU_VECTOR_2(name##2, T, 16)                                                                \
    EMU_VECTOR_3(name##3, T, 8)                                                                 \
    inline constexpr name##1 make_##name##1(T x) { return {x}; }                                \
    inline constexpr name##2 make_##name##2(T x, T y) { return {x, y}; }                        \
    inline constexpr name##3 make_##name##3(T x, T y, T z) { return {x, y, z}; }

EMU_VECTOR_FAMILY_64(longlong, long long)
EMU_VECTOR_FAMILY_64(ulonglong, unsigned long long)
EMU_VECTOR_FAMILY_64(double, double)

#undef EMU_VECTOR_FAMILY_64
#undef EMU_VECTOR_FAMILY
#undef EMU_VECTOR_1
#undef EMU_VECTOR_2
#undef EMU_VECTOR_3
#undef EMU_VECTOR_4

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
    constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
    constexpr operator uint3() const { return {x, y, z}; }
};
