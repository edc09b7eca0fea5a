// Loading and saving photographs through DevIL, always as 8-bit interleaved
// RGB with the first row at the top.
#pragma once

#include "../kernels/padded_image.h"

#include <string>
#include <vector>

struct rgb_pixels {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> bytes;  // rows packed, 3 bytes per pixel
};

// Any format DevIL reads; other pixel formats (grey, RGBA, palette, 16-bit)
// are converted. Returns false with `error` naming the file and the cause.
bool load_rgb(const std::string& path, rgb_pixels& image, std::string& error);

// Format from the file name's extension. The old file, if any, stays
// untouched unless the new one is complete.
bool save_rgb(const std::string& path, const rgb_pixels& image, std::string& error);

// Borders a loaded image (black, or by `mode`); false with `error` when its
// bordered copy would reach 2^31 bytes, which the kernels' 32-bit indexing
// cannot address.
bool border_loaded(const std::string& path, const rgb_pixels& image, PaddedImage& bordered, std::string& error,
                   median_filter::border mode = median_filter::border::constant);
