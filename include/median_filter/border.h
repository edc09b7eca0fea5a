// Border modes and the one rule that maps a coordinate outside the image to
// the pixel it reads. Plain C++ without CUDA: the library's kernel, the CPU
// reference and the host bordering all call border_index.
#pragma once

namespace median_filter {

// Names as in SciPy's `mode=`; with a 4-pixel image abcd:
enum class border {
    constant,   // kkk|abcd|kkk, k = options::constant_value
    replicate,  // aaa|abcd|ddd   SciPy "nearest", OpenCV BORDER_REPLICATE
    reflect,    // cba|abcd|dcb   SciPy "reflect", OpenCV BORDER_REFLECT
    mirror,     // dcb|abcd|cba   SciPy "mirror", OpenCV BORDER_REFLECT_101
};

constexpr bool is_border_mode(border mode) {
    return mode == border::constant || mode == border::replicate || mode == border::reflect ||
           mode == border::mirror;
}

// The index in 0 .. n - 1 that index i of an axis of n >= 1 pixels reads
// under `mode`, or -1 where it reads the constant value. Reflections repeat,
// as in SciPy, so axes shorter than the window are defined too: reflect has
// period 2n, mirror period 2n - 2 (and a 1-pixel axis reads its one pixel).
constexpr int border_index(int i, int n, border mode) {
    if (i >= 0 && i < n) return i;
    if (mode == border::constant) return -1;
    if (mode == border::replicate) return i < 0 ? 0 : n - 1;
    if (mode == border::mirror && n == 1) return 0;
    // Unsigned 32-bit arithmetic: the period of any int n fits, and a GPU
    // divides it inline.
    const unsigned period = mode == border::reflect ? 2u * n : 2u * n - 2;
    const unsigned m = i >= 0 ? static_cast<unsigned>(i) % period
                              : period - 1 - static_cast<unsigned>(-(i + 1)) % period;
    if (m < static_cast<unsigned>(n)) return static_cast<int>(m);
    return static_cast<int>(mode == border::reflect ? period - 1 - m : period - m);
}

}  // namespace median_filter
