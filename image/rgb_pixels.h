#pragma once

#include <vector>

// A decoded image: 8-bit interleaved RGB, the first row at the top.
struct rgb_pixels {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> bytes;  // rows packed, 3 bytes per pixel
};
