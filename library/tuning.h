// Which method the library runs, per GPU architecture, window and element
// type: the first row that matches wins. Each row gives the modelled
// figures that justify it (tools/sass_profile.py, instructions per output
// pixel of an interior block, RGB); on a GPU that contradicts them, change
// the row, not the code.
#pragma once

#include "library/core/kernel_catalog.h"

namespace median_filter::detail {

enum class element { u8, u16, f32 };

template <class T>
constexpr element element_of();
template <>
constexpr element element_of<unsigned char>() { return element::u8; }
template <>
constexpr element element_of<unsigned short>() { return element::u16; }
template <>
constexpr element element_of<float>() { return element::f32; }

struct tuning_row {
    int min_arch;  // compute capability x 10: this row holds from it on
    int min_window;
    int max_window;
    unsigned element_mask;  // bit e for element e
    median_core::method how;
    int max_channels = 4;  // the row holds for images of up to this many channels
};

constexpr unsigned every_element = 0x7;
constexpr unsigned integers = 1u << static_cast<int>(element::u8) | 1u << static_cast<int>(element::u16);
constexpr unsigned bytes = 1u << static_cast<int>(element::u8);
constexpr unsigned shorts = 1u << static_cast<int>(element::u16);
constexpr unsigned floats = 1u << static_cast<int>(element::f32);

// The wide tiles fit 128 registers a thread for up to 3 channels; with 4
// the 5x5 ones spilled (sm_90: 56 to 72 bytes of stack), so 4 channels keep
// the 4x2 tile and have no wide kernels.
constexpr int wide_max_channels = 3;

constexpr tuning_row tuning_table[] = {
    // 5x5 8-bit from sm_120: bit-sliced selection, 32 channel values a logic
    // instruction. Modelled sm_120 RGB: 113.5 instructions per pixel against
    // 119.1 for the 4x2 tile in 16-bit lanes.
    {120, 5, 5, bytes, median_core::method::bitslice},
    // From sm_120 (100 KiB of shared memory an SM) the wide tiles' 128-thread
    // blocks of 30 to 33 KiB fit three to an SM: 12 warps, against 24 for
    // the 4x2 tile's 256-thread blocks, for little: modelled sm_120 RGB
    // 8-bit 3x3 52.9 against 52.6, 5x5 115.5 against 119.5, float 5x5 226.0
    // against 248.8. The 4x2 tile stays there.
    {120, 3, 7, integers, median_core::method::tiled_network},
    {120, 3, 7, floats, median_core::method::tiled_keys},
    // 3x3 and 5x5 integers from sm_90: the wide tiles (8x2 outputs a
    // network, 16x8-thread blocks) in packed lanes. Modelled sm_90, RGB,
    // instructions per pixel: 8-bit 38.8 (3x3) and 102.1 (5x5, 83.1 of them
    // min/max), 16-bit 42.1 and 105.3, against 46.8, 113.2, 49.4 and 116.5
    // for the 4x2 tile and 113.5 for the bit-sliced 8-bit 5x5; 87 to 120
    // registers and 16 to 20 warps an SM, against 61 to 74 and 24 to 32:
    // fewer warps, each issuing a tenth less, none spilling. sm_100: 38.4
    // and 101.3 against 44.5, 111.6 and 113.3 (bit-sliced).
    {90, 3, 5, integers, median_core::method::tiled_wide, wide_max_channels},
    // 4-channel 8-bit 5x5 from sm_100, which the wide tiles do not take: the
    // bit-sliced kernel, as before sm_90.
    {100, 5, 5, bytes, median_core::method::bitslice},
    // 3x3 to 7x7 integers from sm_90: the shared networks in packed 16-bit
    // lanes, one VIMNMX per two values. Modelled sm_90, 8-bit RGB: 46.8
    // (3x3), 113.2 (5x5), 224.9 (7x7) instructions per pixel, against 85.2,
    // 223.8 and 439.8 with one key a register; 16-bit 49.4, 116.5, 232.0.
    {90, 3, 7, integers, median_core::method::tiled_network},
    // 5x5 8-bit before sm_90: bit-sliced selection. 8-bit RGB: 113.1
    // (sm_75), 112.8 (sm_80, sm_86, sm_89) against 236.1 for the networks
    // with one key a register.
    {75, 5, 5, bytes, median_core::method::bitslice},
    // 3x3 and 5x5 floats: the wide tile, one key a register, where it fits
    // without spilling. sm_90 RGB: 80.4 and 203.9 against 92.7 and 225.2
    // (100 and 127 registers); sm_80 3x3: 85.0 against 96.0 (95 registers;
    // its 5x5 spills 4 bytes, so 5x5 keeps the 4x2 tile there: 240.5).
    {90, 3, 5, floats, median_core::method::tiled_wide_keys, wide_max_channels},
    {80, 3, 3, floats, median_core::method::tiled_wide_keys, wide_max_channels},
    // 3x3 8-bit before sm_90, and 16-bit of one channel: the 4x2 tile in
    // split lanes (one lane a register, two-input min/max), whose output
    // words take two permutes for two outputs of both lanes. Modelled sm_80
    // (sm_86 and sm_89 the same, sm_75 within 0.5): 8-bit 37.8, 84.5 and
    // 107.2 for 1, 3 and 4 channels, against 44.6, 88.4 and 109.9 with one
    // key a register (79 to 84 registers, 16 to 24 warps an SM); 16-bit one
    // channel 40.0 against 43.0. 16-bit RGB is even (87.9 and 87.3) and
    // 4 channels worse (112.2 and 108.1), so they keep the keys.
    {75, 3, 3, bytes, median_core::method::tiled_network},
    {75, 3, 3, shorts, median_core::method::tiled_network, 1},
    // 3x3 to 7x7 floats everywhere, and integers before sm_90 (but the 3x3
    // rows above): the networks, one value a register. sm_90 float 7x7:
    // 454.9. sm_80 8-bit RGB: 236.1 (5x5, which the bit-sliced row takes)
    // and 463.1 (7x7) against 236.8 and 478.1 in split lanes, which take up
    // to 228 registers (one block an SM) where keys take 55 to 154.
    {75, 3, 7, every_element, median_core::method::tiled_keys},
    // 9x9 to 15x15: selection, the one path that covers them all (sm_90
    // 8-bit RGB 9x9: 7,536 instructions per pixel; no network of these
    // windows fits in registers).
    {75, 9, 15, every_element, median_core::method::selection},
};

// The method for this architecture, window, element and channel count;
// selection when no row matches.
constexpr median_core::method choose_method(int arch, int window, element e, int channels) {
    for (const tuning_row& row : tuning_table)
        if (arch >= row.min_arch && window >= row.min_window && window <= row.max_window &&
            (row.element_mask >> static_cast<int>(e) & 1u) && channels <= row.max_channels)
            return row.how;
    return median_core::method::selection;
}

}  // namespace median_filter::detail
