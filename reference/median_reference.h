// Plain CPU definitions of what each kernel computes, written from the
// window definitions alone and shared by the tests, the suite and the host
// fill of pixels a launch does not cover.
#pragma once

#include "../kernels/padded_image.h"

#include <array>
#include <vector>

namespace reference {

using rgb = std::array<unsigned char, channels>;

// The result for image pixel (x, y), whose window is bordered pixels
// x .. x + 4 by y .. y + 4.
using pixel_fn = rgb (*)(const PaddedImage& in, int x, int y);

// Per channel, the 13th smallest of the 25 window values.
rgb exact_median(const PaddedImage& in, int x, int y);

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
