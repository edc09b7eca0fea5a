#include "seed_images.h"

#include "image_writers.h"
#include "image/image_io.h"

#include <IL/il.h>

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <utility>
#include <cstring>
#include <memory>

namespace {

// Large enough for one 32x8 block of every kernel, small enough to filter fast.
constexpr int seed_width = 40;
constexpr int seed_height = 18;

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// The currently bound DevIL image encoded as `type`; empty on failure.
std::vector<unsigned char> encode_bound(ILenum type) {
    std::unique_ptr<std::FILE, file_closer> f(std::tmpfile());
    if (!f || !save_bound_image(type, f.get()) || std::fseek(f.get(), 0, SEEK_END) != 0) return {};
    std::vector<unsigned char> bytes(static_cast<std::size_t>(std::ftell(f.get())));
    std::rewind(f.get());
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f.get()));
    return bytes;
}

// A gradient with `components` samples of `sample_bytes` each per pixel,
// optionally reduced to a palette, encoded as `type`.
std::vector<unsigned char> make_image(ILenum type, int components, int sample_bytes, bool palette) {
    std::vector<unsigned char> samples(static_cast<std::size_t>(seed_width) * seed_height * components * sample_bytes);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<unsigned char>(i * 7 + i / 97);
    const ILenum format = components == 1 ? IL_LUMINANCE : components == 4 ? IL_RGBA : IL_RGB;
    ILuint name = 0;
    ilInit();
    ilGenImages(1, &name);
    ilBindImage(name);
    std::vector<unsigned char> bytes;
    if (ilTexImage(seed_width, seed_height, 1, static_cast<ILubyte>(components), format,
                   sample_bytes == 2 ? IL_UNSIGNED_SHORT : IL_UNSIGNED_BYTE, samples.data()) &&
        (!palette || ilConvertImage(IL_COLOUR_INDEX, IL_UNSIGNED_BYTE)))
        bytes = encode_bound(type);
    ilDeleteImages(1, &name);
    return bytes;
}

void put_le(std::vector<unsigned char>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// DevIL writes grey TIFFs that claim RGB; this one is written by hand:
// uncompressed, one strip.
std::vector<unsigned char> grey_tiff() {
    const std::uint32_t pixels = seed_width * seed_height;
    const std::pair<std::uint16_t, std::uint32_t> entries[] = {
        {256, seed_width}, {257, seed_height}, {258, 8}, {259, 1}, {262, 1},
        {273, 0},  // strip offset, set below
        {277, 1}, {278, seed_height}, {279, pixels}};
    const std::uint32_t ifd_bytes = 2 + 12 * std::size(entries) + 4;
    std::vector<unsigned char> out = {'I', 'I', 42, 0};
    put_le(out, 8, 4);
    put_le(out, std::size(entries), 2);
    for (const auto& [tag, value] : entries) {
        put_le(out, tag, 2);
        put_le(out, 4, 2);  // LONG
        put_le(out, 1, 4);
        put_le(out, tag == 273 ? 8 + ifd_bytes : value, 4);
    }
    put_le(out, 0, 4);
    for (std::uint32_t i = 0; i < pixels; ++i) out.push_back(static_cast<unsigned char>(i * 3));
    return out;
}

// DevIL writes grey images as PPM; the PGM header is written here.
std::vector<unsigned char> grey_pgm() {
    const std::string header = "P5\n# a comment\n" + std::to_string(seed_width) + " " + std::to_string(seed_height) + "\n255\n";
    std::vector<unsigned char> bytes(header.begin(), header.end());
    for (int i = 0; i < seed_width * seed_height; ++i) bytes.push_back(static_cast<unsigned char>(i * 5));
    return bytes;
}

// Samples of no particular structure, `per_pixel` a pixel.
byte_vector pattern(int per_pixel) {
    byte_vector samples(static_cast<std::size_t>(seed_width) * seed_height * per_pixel);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<unsigned char>(i * 13 + i / 41);
    return samples;
}

std::vector<unsigned char> first_half(const std::vector<unsigned char>& bytes) {
    return std::vector<unsigned char>(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() / 2));
}

}  // namespace

std::vector<unsigned char> jpeg_claiming(int width, int height) {
    std::vector<unsigned char> jpeg = make_image(IL_JPG, 1, 1, false);
    for (std::size_t i = 0; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xff && jpeg[i + 1] == 0xc0) {
            const unsigned char size[4] = {static_cast<unsigned char>(height >> 8), static_cast<unsigned char>(height),
                                           static_cast<unsigned char>(width >> 8), static_cast<unsigned char>(width)};
            std::memcpy(&jpeg[i + 5], size, sizeof size);
            break;
        }
    return jpeg;
}

std::vector<seed_image> seed_images() {
    std::vector<seed_image> seeds = {
        {"rgb.jpg", make_image(IL_JPG, 3, 1, false)},
        {"grey.jpg", make_image(IL_JPG, 1, 1, false)},
        {"rgb.png", make_image(IL_PNG, 3, 1, false)},
        {"grey.png", make_image(IL_PNG, 1, 1, false)},
        {"rgba.png", make_image(IL_PNG, 4, 1, false)},
        {"palette.png", make_image(IL_PNG, 3, 1, true)},
        {"rgb16.png", make_image(IL_PNG, 3, 2, false)},
        {"rgb.bmp", make_image(IL_BMP, 3, 1, false)},
        {"palette.bmp", make_image(IL_BMP, 3, 1, true)},
        {"rgb.tif", make_image(IL_TIF, 3, 1, false)},
        {"grey.tif", grey_tiff()},
        {"rgb.ppm", make_image(IL_PNM, 3, 1, false)},
        {"grey.pgm", grey_pgm()},
        {"oversized.jpg", jpeg_claiming(40000, 40000)},
        // Layouts our own decoders read, which DevIL cannot write.
        {"v5-bitfields.bmp", bmp_file(seed_width, seed_height, pattern(4), 124, true)},
        {"v4.bmp", bmp_file(seed_width, seed_height, pattern(4), 108, false)},
        {"cmyk.jpg", cmyk_jpeg(seed_width, seed_height, pattern(4))},
        {"rgba.tif", tiff_file(seed_width, seed_height, pattern(4), {4, 2, true, false, false, {}})},
        {"tiled-planes.tif", tiff_file(seed_width, seed_height, pattern(3), {3, 2, false, true, true, {}})},
        {"grey-two-pages.tif", tiff_file(seed_width, seed_height, pattern(1), {1, 1, false, false, false, {{8, 8}}})},
    };
    for (const char* cut : {"rgb.jpg", "rgb.png", "rgb.bmp", "rgb.tif", "v5-bitfields.bmp", "tiled-planes.tif"})
        for (const seed_image& s : std::vector<seed_image>(seeds))
            if (s.name == cut) seeds.push_back({"truncated-" + s.name, first_half(s.bytes)});
    return seeds;
}
