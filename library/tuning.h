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
};

constexpr unsigned every_element = 0x7;
constexpr unsigned integers = 1u << static_cast<int>(element::u8) | 1u << static_cast<int>(element::u16);
constexpr unsigned bytes = 1u << static_cast<int>(element::u8);

constexpr tuning_row tuning_table[] = {
    // 5x5 8-bit from sm_100: bit-sliced selection, 32 channel values a logic
    // instruction. 8-bit RGB: 113.3 (sm_100) and 113.5 (sm_120) instructions
    // per pixel against 119 and 126.7 for the networks in 16-bit lanes. On
    // sm_90 the two are within 1.5% (113.5 bit-sliced against 115.2): the
    // lanes keep it until a measurement says otherwise, a gap that small
    // being inside what the model leaves out (latency, instruction fetch of
    // the bit-sliced kernel's 58 KiB of code).
    {100, 5, 5, bytes, median_core::method::bitslice},
    // 3x3 to 7x7 integers from sm_90: the shared networks in packed 16-bit
    // lanes, one VIMNMX per two values. Modelled sm_90, 8-bit RGB: 48.3
    // (3x3), 115.2 (5x5), 228.5 (7x7) instructions per pixel, against 86.5,
    // 225.2 and 441 with one key a register; 16-bit 56.6, 124.7, 236.9.
    {90, 3, 7, integers, median_core::method::tiled_network},
    // 5x5 8-bit before sm_90: bit-sliced selection. 8-bit RGB: 113.1
    // (sm_75), 112.8 (sm_80, sm_86, sm_89) against 237.7 for the networks
    // with one key a register.
    {75, 5, 5, bytes, median_core::method::bitslice},
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

// The method for this architecture, window and element; selection when no
// row matches.
constexpr median_core::method choose_method(int arch, int window, element e) {
    for (const tuning_row& row : tuning_table)
        if (arch >= row.min_arch && window >= row.min_window && window <= row.max_window &&
            (row.element_mask >> static_cast<int>(e) & 1u))
            return row.how;
    return median_core::method::selection;
}

}  // namespace median_filter::detail
