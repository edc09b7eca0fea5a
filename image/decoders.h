// The decoders behind decode_rgb, one per format. Each reads the samples the
// file stores and converts them to 8-bit RGB the way other programs
// (Pillow, OpenCV) show them: colour channels as stored, alpha dropped
// rather than multiplied in, CMYK through its black channel. Each is called
// after read_image_header accepted the file, and reads only inside `data`.
// False with `why` (no file name) when the file cannot be decoded.
#pragma once

#include "image_header.h"
#include "rgb_pixels.h"

#include <cstddef>
#include <string>

// Uncompressed BMP: every header version (12 to 124 bytes), 1, 4, 8 bits
// through a palette, 16 and 32 bits through bit fields (or their default
// layout), 24 bits; rows bottom-up or top-down.
bool decode_bmp(const unsigned char* data, std::size_t size, rgb_pixels& image, std::string& why);

// Baseline, progressive and arithmetic JPEG through libjpeg: grey, YCbCr,
// RGB, and CMYK or YCCK in Adobe's inverted form. Data cut short decodes,
// its missing part grey, as libjpeg fills it.
bool decode_jpeg(const unsigned char* data, std::size_t size, rgb_pixels& image, std::string& why);

// The first page of a TIFF through libtiff's own strip and tile reads:
// grey, palette, RGB and CMYK of 1 to 16 bits per sample, interleaved or in
// planes, in strips or tiles, any compression libtiff decodes; other
// photometric interpretations through libtiff's RGBA conversion.
bool decode_tiff(const unsigned char* data, std::size_t size, rgb_pixels& image, std::string& why);

// Binary PGM and PPM (P5, P6) of 8 or 16 bits, as `header` describes them.
bool decode_pnm(const unsigned char* data, std::size_t size, const image_header& header, rgb_pixels& image,
                std::string& why);

// An RGB pixel from inverted CMYK samples (255 means no ink), as Adobe's
// JPEGs store them: each colour is its inverted ink scaled by the inverted
// black, rounded.
inline void inverted_cmyk_to_rgb(const unsigned char* cmyk, unsigned char* rgb) {
    for (int c = 0; c < 3; ++c) rgb[c] = static_cast<unsigned char>((cmyk[c] * cmyk[3] + 127) / 255);
}
