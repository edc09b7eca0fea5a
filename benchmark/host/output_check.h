// Checks a kernel's output buffer against the reference function of its
// table entry. Shared by the suite and the tests.
#pragma once

#include "benchmark/table/kernel_table.h"

#include <string>
#include <vector>

struct output_check {
    long wrong_pixels = 0;  // covered pixels with at least one wrong channel
    long wrong_bytes = 0;   // covered channel bytes that differ
    std::string first_difference;

    bool passed() const { return wrong_bytes == 0; }
};

// Compares every pixel the kernel's grid covers with `expected`, the
// reference image of `input` (reference::filter with kernel.reference).
output_check check_covered_pixels(const kernel_entry& kernel, const PaddedImage& input,
                                  const std::vector<unsigned char>& output, const reference::rgb_image& expected);

// For every byte of the output buffer, whether it holds a result of a covered pixel.
std::vector<bool> covered_bytes(const kernel_entry& kernel, const PaddedImage& input);
