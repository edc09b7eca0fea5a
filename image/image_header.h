// What an image file is and how large it claims to be, read from its first
// bytes before any decoder sees it: the codec libraries compute buffer sizes
// in 32 bits and trust the header, so a few hundred crafted bytes can
// otherwise make them wrap and corrupt memory, or allocate gigabytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// PNM is binary greyscale or RGB (P5, P6), decoded here: DevIL's reader
// frees a cut-short image twice.
enum class image_format { jpeg, png, bmp, tiff, pnm, other };

struct image_header {
    image_format format = image_format::other;
    std::string kind;  // what the file is, for messages: "JPEG image", "GIF image", ...
    std::int64_t width = 0;
    std::int64_t height = 0;
    // Bytes the decoder holds for the decoded pixels at the file's own sample
    // size and channel count, before conversion to 8-bit RGB.
    std::int64_t decoded_bytes = 0;
    // PNM only: samples per pixel, their maximum value, and where they start.
    int channels = 0;
    int max_value = 0;
    long data_offset = 0;
};

// Reads the header of the image in `file` (from its start; the position is
// left anywhere). False with `why` (no file name) when the content is not
// one of the formats we decode, or the header is cut short or malformed.
bool read_image_header(std::FILE* file, image_header& header, std::string& why);

// Whether the file is laid out so that its decoder stops at its end: every
// PNG chunk up to the end chunk lies inside it (DevIL's PNG reader ignores
// the end of its input and can loop forever), and every JPEG marker segment
// does (one that runs past the end is a damaged file, refused at once).
// Reads the whole file for these two formats; run it after
// image_size_acceptable. False with `why` (no file name) otherwise.
bool image_structure_sound(std::FILE* file, const image_header& header, std::string& why);

// Images of more pixels are refused before decoding unless the limit is
// raised: a few kilobytes of JPEG can claim 26000x26000 pixels, gigabytes
// and minutes of work. Pillow refuses above the same count.
constexpr std::int64_t default_max_pixels = 178956970;
constexpr const char* max_pixels_variable = "MEDIAN_MAX_PIXELS";

// A pixel limit as given on a command line or in the environment: a whole
// number from 1. False with `why` otherwise.
bool parse_max_pixels(const std::string& text, std::int64_t& max_pixels, std::string& why);

// The limit MEDIAN_MAX_PIXELS sets, else default_max_pixels; false with
// `error` naming the variable when it holds anything but a limit.
bool max_pixels_from_environment(std::int64_t& max_pixels, std::string& error);

// Whether `header`'s image can be decoded and bordered safely: its
// dimensions are not zero, it has at most `max_pixels` pixels, and neither
// the decoded pixels nor the bordered copy reach 2^31 bytes. False with
// `why` (no file name) otherwise.
bool image_size_acceptable(const image_header& header, std::int64_t max_pixels, std::string& why);
