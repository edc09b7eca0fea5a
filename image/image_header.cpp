#include "image_header.h"

#include "byte_order.h"
#include "padded_image.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// Longer than any image that fits_padded accepts (its other side is at least
// 1), and short enough that sizes in bytes cannot overflow.
constexpr std::int64_t max_side = std::int64_t{1} << 28;
// A JPEG's frame header normally follows a few metadata segments; searching
// further only lets a crafted file of tiny segments keep us busy.
constexpr long max_jpeg_header_search = 16L << 20;
constexpr int max_tiff_entries = 4096;
constexpr std::uint32_t bmp_uncompressed = 0;
constexpr std::uint32_t bmp_bit_fields = 3;
constexpr std::uint32_t bmp_alpha_bit_fields = 6;
constexpr std::uint32_t max_bmp_palette = 256;
constexpr long png_max_chunk_length = 0x7fffffffL;
// Far more than a 2 GiB file of 8 KiB data chunks needs.
constexpr long max_png_chunks = 1L << 20;
// Bytes a decoder holds per pixel, at most, before conversion to RGB: BMP
// is decoded straight to RGB, TIFF through 32-bit RGBA where libtiff
// converts it, else as stored (up to 16 bits a sample).
constexpr std::int64_t rgb_bytes = 3;
constexpr std::int64_t rgba_bytes = 4;
constexpr std::int64_t tiff_sample_bytes = 2;
// Far more samples a pixel than any photograph has (colour, alpha, a few
// extra channels); keeps the byte counts of the size check small.
constexpr std::int64_t max_tiff_samples = 64;
// Digits of a PNM number beyond which it is certainly absurd.
constexpr int max_pnm_digits = 12;

bool read_at(std::FILE* f, long offset, void* out, std::size_t n) {
    return offset >= 0 && std::fseek(f, offset, SEEK_SET) == 0 && std::fread(out, 1, n, f) == n;
}

bool starts_with(const unsigned char* bytes, std::size_t size, const char* magic, std::size_t magic_size) {
    return size >= magic_size && std::memcmp(bytes, magic, magic_size) == 0;
}

// What a file we do not decode is, from its first bytes.
std::string kind_of_other(const unsigned char* b, std::size_t n) {
    struct signature {
        std::size_t offset;
        const char* bytes;
        std::size_t size;
        const char* kind;
    };
    static const signature signatures[] = {
        {0, "GIF8", 4, "a GIF image"},
        {8, "WEBP", 4, "a WebP image"},
        {0, "\x00\x00\x00\x0cjP  ", 8, "a JPEG 2000 image"},
        {0, "\xff\x4f\xff\x51", 4, "a JPEG 2000 codestream"},
        {4, "ftyp", 4, "an ISO media file (HEIF, AVIF or video)"},
        {0, "II+\x00", 4, "a BigTIFF image"},
        {0, "MM\x00+", 4, "a BigTIFF image"},
        {0, "8BPS", 4, "a Photoshop document"},
        {0, "%PDF", 4, "a PDF document"},
        {0, "DDS ", 4, "a DDS texture"},
        {0, "\x76\x2f\x31\x01", 4, "an OpenEXR image"},
        {0, "#?RADIANCE", 10, "a Radiance HDR image"},
        {0, "qoif", 4, "a QOI image"},
        {0, "P7", 2, "a PAM image"},
        {0, "P1", 2, "a plain-text PNM image"},
        {0, "P2", 2, "a plain-text PNM image"},
        {0, "P3", 2, "a plain-text PNM image"},
        {0, "P4", 2, "a PBM bitmap"},
        {0, "\x00\x00\x01\x00", 4, "a Windows icon"},
        {0, "PK\x03\x04", 4, "a ZIP archive"},
        {0, "\x1f\x8b", 2, "gzip data"},
    };
    if (n == 0) return "an empty file";
    for (const signature& s : signatures)
        if (n >= s.offset && starts_with(b + s.offset, n - s.offset, s.bytes, s.size)) return s.kind;
    std::string first = "data of an unknown kind (first bytes";
    for (std::size_t i = 0; i < n && i < 4; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", b[i]);
        first += hex;
    }
    return first + ")";
}

bool malformed(const char* what, std::string& why) {
    why = std::string("malformed ") + what;
    return false;
}

bool set_size(image_header& h, std::int64_t width, std::int64_t height, std::int64_t bytes_per_pixel,
              std::string& why) {
    if (width < 0 || height < 0 || width > max_side || height > max_side) {
        why = h.kind + " with absurd dimensions " + std::to_string(width) + "x" + std::to_string(height);
        return false;
    }
    h.width = width;
    h.height = height;
    h.decoded_bytes = width * height * bytes_per_pixel;
    return true;
}

bool jpeg_frame_marker(int m) {
    return m >= 0xc0 && m <= 0xcf && m != 0xc4 && m != 0xc8 && m != 0xcc;
}

bool read_jpeg(std::FILE* f, image_header& h, std::string& why) {
    long at = 2;
    while (at < max_jpeg_header_search) {
        unsigned char b[2];
        if (!read_at(f, at, b, 1)) return malformed("JPEG: it ends before its frame header", why);
        if (b[0] != 0xff) return malformed("JPEG: a segment does not start with a marker", why);
        int marker = 0xff;
        while (marker == 0xff) {
            if (std::fread(b, 1, 1, f) != 1) return malformed("JPEG: it ends before its frame header", why);
            marker = b[0];
            ++at;
        }
        ++at;
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) continue;
        if (marker == 0xd9 || marker == 0xda || marker == 0xd8 || marker == 0x00)
            return malformed("JPEG: no frame header before its image data", why);
        unsigned char seg[8];
        if (!read_at(f, at, seg, 2)) return malformed("JPEG: it ends inside a segment", why);
        const long length = big_endian(seg, 2);
        if (length < 2) return malformed("JPEG: a segment length below 2", why);
        if (jpeg_frame_marker(marker)) {
            if (length < 8 || !read_at(f, at, seg, 8)) return malformed("JPEG: a short frame header", why);
            const int components = seg[7];
            if (components == 0) return malformed("JPEG: a frame of no components", why);
            const int sample_bytes = seg[2] > 8 ? 2 : 1;
            return set_size(h, big_endian(seg + 5, 2), big_endian(seg + 3, 2), components * sample_bytes, why);
        }
        at += length;
    }
    return malformed("JPEG: no frame header in its first 16 MiB", why);
}

// DevIL's PNG reader ignores the end of its input and feeds libpng stale
// bytes, on which libpng can loop forever; only a file whose chunks all lie
// inside it, up to the end chunk, reaches it.
bool png_chunks_complete(std::FILE* f, long size, std::string& why) {
    long at = 8;
    for (long chunks = 0; chunks < max_png_chunks; ++chunks) {
        unsigned char b[8];
        if (!read_at(f, at, b, sizeof b)) return malformed("PNG: it is cut short before its end chunk", why);
        const long length = big_endian(b, 4);
        if (length > png_max_chunk_length) return malformed("PNG: a chunk length beyond 2^31", why);
        if (length + 12 > size - at) return malformed("PNG: it is cut short inside a chunk", why);
        if (std::memcmp(b + 4, "IEND", 4) == 0) return true;
        at += length + 12;
    }
    return malformed("PNG: too many chunks", why);
}

// Every marker segment must lie inside the file: one that runs past the
// end is a damaged file (and once made DevIL's JPEG source skip forever).
// Image data cut short is harmless (libjpeg fills the rest), and so are
// stray bytes between segments, which it skips.
bool jpeg_segments_complete(std::FILE* f, long size, std::string& why) {
    if (std::fseek(f, 2, SEEK_SET) != 0) return malformed("JPEG: it cannot be read through", why);
    for (int c = std::getc(f); c != EOF; c = std::getc(f)) {
        if (c != 0xff) continue;
        int marker = std::getc(f);
        while (marker == 0xff) marker = std::getc(f);
        const bool standalone = marker == 0x00 || marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7);
        if (marker == EOF || marker == 0xd9) return true;
        if (standalone) continue;
        const int high = std::getc(f), low = std::getc(f);
        if (high == EOF || low == EOF) return malformed("JPEG: a segment runs past the end of the file", why);
        const long length = high << 8 | low;
        if (length < 2 || length - 2 > size - std::ftell(f))
            return malformed("JPEG: a segment runs past the end of the file", why);
        if (std::fseek(f, length - 2, SEEK_CUR) != 0) return malformed("JPEG: it cannot be read through", why);
    }
    return true;
}

bool read_png(std::FILE* f, image_header& h, std::string& why) {
    unsigned char b[26];
    if (!read_at(f, 8, b, sizeof b) || big_endian(b, 4) != 13 || std::memcmp(b + 4, "IHDR", 4) != 0)
        return malformed("PNG: it does not begin with its header chunk", why);
    const int depth = b[16];
    int channels = 0;
    switch (b[17]) {
        case 0: channels = 1; break;
        case 2: channels = 3; break;
        case 3: channels = 4; break;  // palette entries may expand to RGBA
        case 4: channels = 2; break;
        case 6: channels = 4; break;
        default: return malformed("PNG: an unknown colour type", why);
    }
    return set_size(h, big_endian(b + 8, 4), big_endian(b + 12, 4), channels * (depth > 8 ? 2 : 1), why);
}

// DevIL's BMP reader trusts the palette size and the pixel layout fields:
// only uncompressed files (or bit fields) with sane values reach it.
bool read_bmp(std::FILE* f, image_header& h, std::string& why) {
    unsigned char b[36];
    if (!read_at(f, 14, b, 16)) return malformed("BMP: a short header", why);
    const std::uint32_t info_size = little_endian(b, 4);
    if (info_size == 12) {
        const std::uint32_t bits = little_endian(b + 10, 2);
        if (little_endian(b + 8, 2) != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 24))
            return malformed("BMP: an unknown pixel layout", why);
        return set_size(h, little_endian(b + 4, 2), little_endian(b + 6, 2), rgb_bytes, why);
    }
    if (info_size < 40 || info_size > 124 || !read_at(f, 14, b, sizeof b))
        return malformed("BMP: an unknown header size", why);
    const std::uint32_t planes = little_endian(b + 12, 2), bits = little_endian(b + 14, 2);
    const std::uint32_t compression = little_endian(b + 16, 4), palette_entries = little_endian(b + 32, 4);
    if (planes != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
        return malformed("BMP: an unknown pixel layout", why);
    if (compression != bmp_uncompressed && compression != bmp_bit_fields && compression != bmp_alpha_bit_fields) {
        why = "unsupported format: it is a compressed BMP image; uncompressed BMP images are read";
        return false;
    }
    if (palette_entries > max_bmp_palette) return malformed("BMP: a palette of more than 256 colours", why);
    const auto width = static_cast<std::int32_t>(little_endian(b + 4, 4));
    const auto height = static_cast<std::int32_t>(little_endian(b + 8, 4));
    // A negative height stores the rows top-down.
    const std::int64_t rows = height < 0 ? -std::int64_t{height} : height;
    return set_size(h, width, rows, rgb_bytes, why);
}

// The first page's size: the only page decoded, as other readers do.
bool read_tiff(std::FILE* f, image_header& h, std::string& why) {
    unsigned char b[12];
    if (!read_at(f, 0, b, 8)) return malformed("TIFF: a short header", why);
    const bool little = b[0] == 'I';
    const auto number = [&](const unsigned char* p, int n) { return little ? little_endian(p, n) : big_endian(p, n); };
    const long ifd = number(b + 4, 4);
    if (!read_at(f, ifd, b, 2)) return malformed("TIFF: a directory beyond its end", why);
    const int entries = static_cast<int>(number(b, 2));
    if (entries > max_tiff_entries) return malformed("TIFF: a directory of too many entries", why);
    std::int64_t width = -1, height = -1, samples = 1;
    for (int e = 0; e < entries; ++e) {
        if (!read_at(f, ifd + 2 + 12L * e, b, 12)) return malformed("TIFF: a directory beyond its end", why);
        const std::uint32_t tag = number(b, 2), type = number(b + 2, 2);
        const std::int64_t value = type == 3 ? number(b + 8, 2) : type == 4 ? number(b + 8, 4) : -1;
        if (tag == 256) width = value;
        if (tag == 257) height = value;
        if (tag == 277) samples = value;
    }
    if (width <= 0 || height <= 0) return malformed("TIFF: a page without pixels", why);
    if (samples < 1 || samples > max_tiff_samples) {
        why = "malformed TIFF: " + std::to_string(samples) + " samples a pixel (1 to " +
              std::to_string(max_tiff_samples) + " are read)";
        return false;
    }
    return set_size(h, width, height, std::max(rgba_bytes, samples * tiff_sample_bytes), why);
}

// A whole number after whitespace and comments; -1 when there is none, -2
// when it has more than max_pnm_digits digits.
std::int64_t pnm_number(std::FILE* f) {
    int c = std::fgetc(f);
    while (c == '#' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
        if (c == '#')
            while (c != '\n' && c != '\r' && c != EOF) c = std::fgetc(f);
        c = std::fgetc(f);
    }
    if (c < '0' || c > '9') return -1;
    std::int64_t v = 0;
    int digits = 0;
    for (; c >= '0' && c <= '9'; c = std::fgetc(f)) {
        digits += v > 0 || c != '0';  // leading zeros do not count
        if (digits <= max_pnm_digits) v = v * 10 + (c - '0');
    }
    return digits > max_pnm_digits ? -2 : v;
}

// The header ends with one whitespace character after the maximum value,
// which pnm_number has read.
bool read_pnm(std::FILE* f, int variant, image_header& h, std::string& why) {
    if (std::fseek(f, 2, SEEK_SET) != 0) return malformed("PNM: a short header", why);
    const std::int64_t width = pnm_number(f), height = pnm_number(f), max_value = pnm_number(f);
    if (width == -2 || height == -2 || max_value == -2)
        return malformed(("PNM: a number of more than " + std::to_string(max_pnm_digits) + " digits in its header").c_str(),
                         why);
    if (width < 0 || height < 0 || max_value < 1 || max_value > 65535)
        return malformed("PNM: its header lacks a size or maximum value", why);
    h.channels = variant == '6' ? 3 : 1;
    h.max_value = static_cast<int>(max_value);
    h.data_offset = std::ftell(f);
    return set_size(h, width, height, h.channels * (max_value > 255 ? 2 : 1), why);
}

}  // namespace

bool read_image_header(std::FILE* file, image_header& header, std::string& why) {
    header = image_header{};
    unsigned char b[16] = {};
    std::rewind(file);
    const std::size_t n = std::fread(b, 1, sizeof b, file);
    const auto is = [&](const char* magic, std::size_t size) { return starts_with(b, n, magic, size); };
    if (is("\xff\xd8\xff", 3)) {
        header = {image_format::jpeg, "a JPEG image"};
        return read_jpeg(file, header, why);
    }
    if (is("\x89PNG\r\n\x1a\n", 8)) {
        header = {image_format::png, "a PNG image"};
        return read_png(file, header, why);
    }
    if (is("BM", 2)) {
        header = {image_format::bmp, "a BMP image"};
        return read_bmp(file, header, why);
    }
    if (is("II*\x00", 4) || is("MM\x00*", 4)) {
        header = {image_format::tiff, "a TIFF image"};
        return read_tiff(file, header, why);
    }
    if (n >= 3 && b[0] == 'P' && (b[1] == '5' || b[1] == '6') && std::isspace(b[2])) {
        header = {image_format::pnm, b[1] == '5' ? "a PGM image" : "a PPM image"};
        return read_pnm(file, b[1], header, why);
    }
    header.kind = kind_of_other(b, n);
    why = "unsupported format: it is " + header.kind + "; JPEG, PNG, BMP, TIFF and binary PGM/PPM images are read";
    return false;
}

bool image_structure_sound(std::FILE* file, const image_header& header, std::string& why) {
    if (header.format != image_format::jpeg && header.format != image_format::png) return true;
    if (std::fseek(file, 0, SEEK_END) != 0) return malformed("file: its size is unknown", why);
    const long size = std::ftell(file);
    return header.format == image_format::jpeg ? jpeg_segments_complete(file, size, why)
                                               : png_chunks_complete(file, size, why);
}

bool parse_max_pixels(const std::string& text, std::int64_t& max_pixels, std::string& why) {
    constexpr std::size_t max_digits = 18;  // stays inside std::int64_t
    const bool digits = !text.empty() && text.size() <= max_digits &&
                        std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
    if (!digits || std::stoll(text) < 1) {
        why = "'" + text + "' is not a pixel count (a whole number from 1)";
        return false;
    }
    max_pixels = std::stoll(text);
    return true;
}

bool max_pixels_from_environment(std::int64_t& max_pixels, std::string& error) {
    max_pixels = default_max_pixels;
    const char* value = std::getenv(max_pixels_variable);
    if (!value) return true;
    std::string why;
    if (parse_max_pixels(value, max_pixels, why)) return true;
    error = std::string(max_pixels_variable) + ": " + why;
    return false;
}

bool image_size_acceptable(const image_header& header, std::int64_t max_pixels, std::string& why) {
    const std::string size = std::to_string(header.width) + "x" + std::to_string(header.height);
    if (header.width == 0 || header.height == 0) {
        why = header.kind + " of size " + size + ": no pixels";
        return false;
    }
    if (!fits_padded(header.width, header.height)) {
        why = "too large: " + size + ", whose bordered copy must stay below 2^31 bytes";
        return false;
    }
    if (header.decoded_bytes >= max_padded_bytes) {
        why = "too large: " + size + " in this pixel format decodes to 2^31 bytes or more";
        return false;
    }
    if (header.width * header.height > max_pixels) {
        why = "too large: " + size + " is " + std::to_string(header.width * header.height) +
              " pixels, more than the limit of " + std::to_string(max_pixels) + " (set " + max_pixels_variable +
              "=N, or median_suite's --max-pixels N, to allow more)";
        return false;
    }
    return true;
}
