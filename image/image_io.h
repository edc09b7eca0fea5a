// Loading and saving photographs, always as 8-bit interleaved RGB with the
// first row at the top: decoded by our own readers (decoders.h), encoded
// through DevIL.
#pragma once

#include "atomic_file.h"
#include "padded_image.h"
#include "rgb_pixels.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// JPEG, PNG, BMP, TIFF or binary PGM/PPM, told by content, not by the file
// name; other pixel formats (grey, RGBA, palette, CMYK, 16-bit) are
// converted, alpha dropped. The header is checked before decoding: an image
// that image_size_acceptable refuses, or of more than `max_pixels` pixels
// (negative: the limit MEDIAN_MAX_PIXELS sets, else default_max_pixels), is
// never decoded. EXIF orientation is not applied; a TIFF gives its first
// page. Returns false with `error` naming the file and the cause.
bool load_rgb(const std::string& path, rgb_pixels& image, std::string& error, std::int64_t max_pixels = -1);

// The same for a whole file already in memory; `name` is used in messages.
bool decode_rgb(const unsigned char* data, std::size_t size, const std::string& name, rgb_pixels& image,
                std::string& error, std::int64_t max_pixels = -1);

// An image file to be written, in the format of its name's extension (.bmp,
// .png, .tga, .ppm, .pnm, .tif, .tiff, .jpg, .jpeg). Opened before the work
// that produces the image, so that an output that cannot be written is
// found first; the old file, if any, stays untouched unless the new one is
// complete.
class image_output {
public:
    // False with `error` for an unknown extension or a path that cannot be written.
    bool open(const std::string& path, std::string& error);
    // Whether the format can hold an image of that size (JPEG and TGA limit
    // the sides); false with `error` otherwise.
    bool holds(int width, int height, std::string& error) const;
    // Encodes and commits; false with `error` when anything failed.
    bool save(const rgb_pixels& image, std::string& error);

private:
    atomic_file file_;
    unsigned type_ = 0;
};

// Encodes `image` into `out` in the format that `format_path`'s extension
// names; false with `error` when the encoder or a write failed.
bool encode_rgb(std::FILE* out, const std::string& format_path, const rgb_pixels& image, std::string& error);

// Saves the image bound in DevIL as `type` (an ILenum) into `out`; false
// when the encoder failed (DevIL's error is left to read). Write errors
// show in ferror(out).
bool save_bound_image(unsigned type, std::FILE* out);

// Opens an image_output and saves into it.
bool save_rgb(const std::string& path, const rgb_pixels& image, std::string& error);

// Borders a loaded image (black, or by `mode`); false with `error` when its
// bordered copy would reach 2^31 bytes, which the kernels' 32-bit indexing
// cannot address.
bool border_loaded(const std::string& path, const rgb_pixels& image, PaddedImage& bordered, std::string& error,
                   median_filter::border mode = median_filter::border::constant);
