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

constexpr tuning_row tuning_table[] = {
    // 5x5, every type and architecture: the shared network (64.25 min/max
    // per output and channel) against selection's key_bits x 25 compares.
    {75, 5, 5, every_element, median_core::method::tiled_network},
    // Every other window: selection, the one path that covers them all.
    {75, 3, 15, every_element, median_core::method::selection},
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
