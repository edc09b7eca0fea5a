// Plain CPU definitions of what each kernel computes, written from the
// window definitions alone and shared by the tests, the suite and the host
// fill of pixels a launch does not cover.
#pragma once

#include "image/padded_image.h"
#include "median_filter_reference.h"

#include <array>
#include <vector>

namespace reference {

using rgb = std::array<unsigned char, channels>;

// The result for image pixel (x, y), whose window is bordered pixels
// x .. x + 4 by y .. y + 4.
using pixel_fn = rgb (*)(const PaddedImage& in, int x, int y);

// Per channel, the 13th smallest of the 25 window values.
rgb exact_median(const PaddedImage& in, int x, int y);

// Eight halvings of the value range from lo = 0, hi = 255, mid = 128 end at
// a midpoint about one unit from the exact median m; these give what its
// integer part (truncated) and its nearest integer (rounded) are.
unsigned char truncated_bisection(unsigned char m);  // m for 0 and 129 .. 191, else m - 1
unsigned char rounded_bisection(unsigned char m);    // m, but 1 for 0
// Per channel, the exact median mapped by the functions above.
rgb bisection_truncated(const PaddedImage& in, int x, int y);
rgb bisection_rounded(const PaddedImage& in, int x, int y);

// Luma (2 b0 + b2) / 3, rounded down (b1 does not enter), of every window
// pixel; the 12th smallest of the 25 (index 11, one below the median) in all
// three channels.
rgb luma_12th_smallest(const PaddedImage& in, int x, int y);

// A W x H interleaved RGB image, rows packed.
struct rgb_image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels;

    rgb pixel(int x, int y) const;
};

// Applies `fn` to every image pixel.
rgb_image filter(const PaddedImage& in, pixel_fn fn);

// Applies `fn` to the image pixels with x >= x_from or y >= y_from and
// writes them into `image` (rows packed, 3 bytes per pixel).
void fill_uncovered(const PaddedImage& in, pixel_fn fn, int x_from, int y_from, unsigned char* image);

}  // namespace reference
