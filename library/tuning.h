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
constexpr unsigned u8_only = 1u << static_cast<int>(element::u8);
constexpr unsigned u16_only = 1u << static_cast<int>(element::u16);
constexpr unsigned floats = 1u << static_cast<int>(element::f32);

// The wide tiles take 128 registers a thread for up to 3 channels; with 4
// they spill (sm_90 5x5: 56 to 72 bytes of stack), so 4 channels keep the
// 4x2 tile.
constexpr int wide_max_channels = 3;

constexpr tuning_row tuning_table[] = {
    // 5x5 8-bit from sm_90: the wide tile (8x2 outputs a network, 16x8-thread
    // blocks) in packed lanes. Modelled sm_90, RGB: 113.0 instructions per
    // pixel (83.1 of them min/max), 121 registers, 16 warps an SM, against
    // 115.2 (89.0), 74 registers, 24 warps for the 4x2 tile. 16-bit 5x5
    // spills with it (128 registers), 8-bit 3x3 loses (49.1 against 48.3).
    {90, 5, 5, u8_only, median_core::method::tiled_wide, wide_max_channels},
    // 3x3 16-bit from sm_90: the wide tile, 50.5 against 56.6 (112
    // registers, 16 warps an SM).
    {90, 3, 3, u16_only, median_core::method::tiled_wide, wide_max_channels},
    // 3x3 to 7x7 integers from sm_90: the shared networks in packed 16-bit
    // lanes, one VIMNMX per two values. Modelled sm_90, 8-bit RGB: 48.3
    // (3x3), 115.2 (5x5), 228.5 (7x7) instructions per pixel, against 86.5,
    // 225.2 and 441 with one key a register; 16-bit 56.6, 124.7, 236.9.
    {90, 3, 7, integers, median_core::method::tiled_network},
    // 3x3 and 5x5 floats from sm_80: the wide tile, one key a register.
    // sm_90 RGB: 98.3 and 222.6 against 111.0 and 248.7 (96 and 123
    // registers, 16 warps an SM); sm_80: 103.2 and 237.4 against 114.5 and
    // 261.3 (95 and 128 registers, no spill).
    {80, 3, 5, floats, median_core::method::tiled_wide_keys, wide_max_channels},
    // 3x3 to 7x7 floats everywhere, and integers before sm_90: the networks,
    // one value a register. sm_90 floats: 111.0, 248.7, 482.5. sm_80 8-bit
    // RGB: 90.2, 237.7, 464.6 against 86.8, 237.6, 483.9 in split lanes,
    // which take up to 215 registers (one block an SM) where keys take 77 to
    // 142.
    {75, 3, 7, every_element, median_core::method::tiled_keys},
    // 9x9 to 15x15: selection, the one path that covers them all (sm_90
    // 8-bit RGB 9x9: 9,495 instructions per pixel; no network of these
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
