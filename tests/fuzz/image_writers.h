// Image files in layouts DevIL does not write, made byte by byte or with
// libtiff and libjpeg: BMP with V4 and V5 headers, TIFF of any sample
// layout, CMYK JPEG. For the fuzzers' seeds and the decoding tests.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

using byte_vector = std::vector<unsigned char>;

// An uncompressed BMP of `rgba` (4 bytes a pixel, rows top to bottom) with
// a header of `header_bytes` (40, 108 or 124): 24-bit pixels, or 32-bit
// BGRA with bit-field masks when `bit_fields`; rows stored bottom-up.
byte_vector bmp_file(int width, int height, const byte_vector& rgba, std::uint32_t header_bytes, bool bit_fields);

// How tiff_file lays out its samples.
struct tiff_layout {
    int samples = 3;                 // per pixel, colour channels first
    std::uint16_t photometric = 2;   // PHOTOMETRIC_RGB
    bool unassociated_alpha = false; // the last sample is alpha, not multiplied in
    bool tiled = false;              // 16x16 tiles, else strips of 3 rows
    bool planes = false;             // one plane per sample, else interleaved
    // Further pages after the first, each width x height, zero samples.
    std::vector<std::pair<int, int>> more_pages;
};

// A TIFF of 8-bit `samples` (interleaved, layout.samples a pixel, rows top
// to bottom), written by libtiff; empty on failure.
byte_vector tiff_file(int width, int height, const byte_vector& samples, const tiff_layout& layout);

// A CMYK JPEG of `inverted_cmyk` (4 bytes a pixel, 255 meaning no ink, as
// Adobe's files store it), quality 100, written by libjpeg with its Adobe
// marker; empty on failure.
byte_vector cmyk_jpeg(int width, int height, const byte_vector& inverted_cmyk);
