// The bordered image layout shared by the host, the reference and the
// kernels. Plain C++: constexpr functions here are called from device code.
#pragma once

#include "include/median_filter/border.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// Border on every side of the image; every 5x5 window lies inside it.
constexpr int ApronRadius = 2;
constexpr int window_side = 2 * ApronRadius + 1;
constexpr int window_values = window_side * window_side;
// The median of 25 values is the 13th smallest, index 12 in ascending order.
constexpr int median_index = window_values / 2;
constexpr int channels = 3;

// Kernels index with signed 32-bit arithmetic.
constexpr std::int64_t max_padded_bytes = std::int64_t{1} << 31;

constexpr std::int64_t padded_extent(std::int64_t image_extent) { return image_extent + 2 * ApronRadius; }

// Byte offset of channel c of pixel (x, y) in a buffer with row length pw pixels.
constexpr int pixel_offset(int x, int y, int pw, int c) { return (y * pw + x) * channels + c; }

// A bordered image in host memory: W x H pixels of interleaved 8-bit RGB
// surrounded by ApronRadius black pixels on every side.
struct PaddedImage {
    int width = 0;   // image width W, without the border
    int height = 0;  // image height H, without the border
    std::vector<unsigned char> bytes;

    int padded_width() const { return static_cast<int>(padded_extent(width)); }
    int padded_height() const { return static_cast<int>(padded_extent(height)); }
    unsigned char& at(int px, int py, int c) { return bytes[pixel_offset(px, py, padded_width(), c)]; }
    unsigned char at(int px, int py, int c) const { return bytes[pixel_offset(px, py, padded_width(), c)]; }
};


// Bytes of the bordered image of a W x H image; meaningful when fits_padded.
constexpr std::int64_t padded_bytes(std::int64_t width, std::int64_t height) {
    return padded_extent(width) * padded_extent(height) * channels;
}

// Whether a W x H image can be bordered and indexed with signed 32-bit
// arithmetic; decided without overflow for any int sizes.
constexpr bool fits_padded(std::int64_t width, std::int64_t height) {
    if (width <= 0 || height <= 0) return false;
    const std::int64_t row_bytes = padded_extent(width) * channels;
    return row_bytes < max_padded_bytes && padded_extent(height) <= (max_padded_bytes - 1) / row_bytes;
}

// Borders W x H interleaved RGB pixels (rows packed) with black, or with
// the pixels `mode` reads there; the caller has checked fits_padded.
inline PaddedImage border_image(const unsigned char* pixels, int width, int height,
                                median_filter::border mode = median_filter::border::constant) {
    PaddedImage img{width, height, std::vector<unsigned char>(static_cast<std::size_t>(padded_bytes(width, height)), 0)};
    const std::size_t row_bytes = static_cast<std::size_t>(width) * channels;
    for (int py = 0; py < img.padded_height(); ++py) {
        const int y = median_filter::border_index(py - ApronRadius, height, mode);
        if (y < 0) continue;
        const unsigned char* row = pixels + y * row_bytes;
        std::memcpy(&img.at(ApronRadius, py, 0), row, row_bytes);
        for (int px : {0, 1, width + ApronRadius, width + ApronRadius + 1}) {
            const int x = median_filter::border_index(px - ApronRadius, width, mode);
            if (x >= 0) std::memcpy(&img.at(px, py, 0), row + x * channels, channels);
        }
    }
    return img;
}
