// Uncompressed BMP, decoded here rather than by DevIL, whose reader refuses
// the V4 and V5 headers every current writer uses and trusts offsets that
// point outside the file.
#include "byte_order.h"
#include "decoders.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr std::size_t file_header_bytes = 14;
constexpr std::uint32_t core_header_bytes = 12;  // OS/2 1.x: 16-bit sides, 3-byte palette entries
constexpr std::uint32_t info_header_bytes = 40;
constexpr std::uint32_t max_header_bytes = 124;  // BITMAPV5HEADER
constexpr std::uint32_t bi_rgb = 0;
constexpr std::uint32_t bi_bitfields = 3;
constexpr std::uint32_t bi_alphabitfields = 6;
constexpr std::uint32_t max_palette_entries = 256;

// Where a channel lies in a 16- or 32-bit pixel.
struct bit_field {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint32_t max = 0;  // the mask shifted down

    explicit bit_field(std::uint32_t m = 0) : mask(m) {
        if (m == 0) return;
        while (!(m & 1)) {
            m >>= 1;
            ++shift;
        }
        max = m;
    }
    unsigned char scaled(std::uint32_t pixel) const {
        if (max == 0) return 0;
        const std::uint64_t v = (pixel & mask) >> shift;
        return static_cast<unsigned char>((v * 255 + max / 2) / max);
    }
};

struct bmp_layout {
    std::int64_t width = 0, height = 0;
    bool top_down = false;
    int bits = 0;
    std::uint32_t compression = bi_rgb;
    bit_field fields[3];                  // red, green, blue
    std::size_t palette_at = 0;           // first palette entry
    int palette_entry_bytes = 4;
    std::uint32_t palette_entries = 0;    // declared, or 2^bits
    std::size_t pixels_at = 0;
    std::size_t after_headers = 0;        // first byte after the headers and masks
};

bool fail(const char* what, std::string& why) {
    why = what;
    return false;
}

bool read_core_header(const unsigned char* info, bmp_layout& l) {
    l.width = little_endian(info + 4, 2);
    l.height = little_endian(info + 6, 2);
    l.bits = static_cast<int>(little_endian(info + 10, 2));
    l.palette_entry_bytes = 3;
    return true;
}

// The 40-byte and later headers; masks follow a 40-byte header, and lie
// inside the later ones.
bool read_info_header(const unsigned char* data, std::size_t size, std::uint32_t header_bytes, bmp_layout& l,
                      std::string& why) {
    const unsigned char* info = data + file_header_bytes;
    const auto height = static_cast<std::int32_t>(little_endian(info + 8, 4));
    l.width = static_cast<std::int32_t>(little_endian(info + 4, 4));
    l.top_down = height < 0;
    l.height = height < 0 ? -std::int64_t{height} : height;
    l.bits = static_cast<int>(little_endian(info + 14, 2));
    l.compression = little_endian(info + 16, 4);
    l.palette_entries = little_endian(info + 32, 4);
    if (l.compression == bi_rgb) {
        const std::uint32_t five_bits = 0x1f;
        if (l.bits == 16) {
            l.fields[0] = bit_field(five_bits << 10);
            l.fields[1] = bit_field(five_bits << 5);
            l.fields[2] = bit_field(five_bits);
        } else if (l.bits == 32) {
            l.fields[0] = bit_field(0xff0000);
            l.fields[1] = bit_field(0xff00);
            l.fields[2] = bit_field(0xff);
        }
        return true;
    }
    if (l.compression != bi_bitfields && l.compression != bi_alphabitfields)
        return fail("unsupported format: it is a compressed BMP image; uncompressed BMP images are read", why);
    if (l.bits != 16 && l.bits != 32) return fail("malformed BMP: bit fields on a pixel that is not 16 or 32 bits", why);
    const std::size_t masks_at = file_header_bytes + info_header_bytes;
    const std::size_t mask_bytes = l.compression == bi_alphabitfields ? 16 : 12;
    if (header_bytes == info_header_bytes) l.after_headers = masks_at + mask_bytes;
    if (size < masks_at + 12) return fail("malformed BMP: it ends inside its colour masks", why);
    for (int c = 0; c < 3; ++c) l.fields[c] = bit_field(little_endian(data + masks_at + 4 * c, 4));
    return true;
}

bool read_layout(const unsigned char* data, std::size_t size, bmp_layout& l, std::string& why) {
    if (size < file_header_bytes + 4) return fail("malformed BMP: a short header", why);
    const std::uint32_t header_bytes = little_endian(data + file_header_bytes, 4);
    if (header_bytes != core_header_bytes && (header_bytes < info_header_bytes || header_bytes > max_header_bytes))
        return fail("malformed BMP: an unknown header size", why);
    if (size < file_header_bytes + header_bytes) return fail("malformed BMP: it ends inside its header", why);
    l.after_headers = file_header_bytes + header_bytes;
    const bool core = header_bytes == core_header_bytes;
    if (core ? !read_core_header(data + file_header_bytes, l) : !read_info_header(data, size, header_bytes, l, why))
        return false;
    if (l.bits != 1 && l.bits != 4 && l.bits != 8 && l.bits != 16 && l.bits != 24 && l.bits != 32)
        return fail("malformed BMP: an unknown pixel layout", why);
    l.palette_at = l.after_headers;
    l.pixels_at = little_endian(data + 10, 4);
    if (l.pixels_at > size) return fail("malformed BMP: its pixel data begins beyond the end of the file", why);
    if (l.pixels_at < l.after_headers)
        return fail("malformed BMP: its pixel data offset points into its header", why);
    if (l.bits <= 8) {
        const std::uint32_t all = 1u << l.bits;
        const std::uint32_t declared = l.palette_entries == 0 || l.palette_entries > all ? all : l.palette_entries;
        // Some writers declare more entries than they store; those present count.
        const std::size_t stored = (l.pixels_at - l.palette_at) / l.palette_entry_bytes;
        l.palette_entries = static_cast<std::uint32_t>(std::min<std::size_t>(declared, stored));
        if (l.palette_entries == 0) return fail("malformed BMP: a palette image without a palette", why);
        l.palette_entries = std::min(l.palette_entries, max_palette_entries);
    }
    return true;
}

// Row `y` of the image (0 at the top), as stored.
const unsigned char* row_at(const unsigned char* data, const bmp_layout& l, std::size_t stride, std::int64_t y) {
    const std::int64_t stored = l.top_down ? y : l.height - 1 - y;
    return data + l.pixels_at + static_cast<std::size_t>(stored) * stride;
}

void decode_row(const unsigned char* row, const unsigned char* palette, const bmp_layout& l, unsigned char* out) {
    for (std::int64_t x = 0; x < l.width; ++x, out += 3) {
        if (l.bits <= 8) {
            const std::int64_t bit = x * l.bits;
            const unsigned shift = 8 - l.bits - static_cast<unsigned>(bit % 8);
            const std::uint32_t index = (row[bit / 8] >> shift) & ((1u << l.bits) - 1);
            // An index past the stored palette reads black, as in other readers.
            const unsigned char* entry = palette + index * l.palette_entry_bytes;
            const bool known = index < l.palette_entries;
            for (int c = 0; c < 3; ++c) out[c] = known ? entry[2 - c] : 0;
        } else if (l.bits == 24) {
            for (int c = 0; c < 3; ++c) out[c] = row[x * 3 + 2 - c];
        } else {
            const int bytes = l.bits / 8;
            const std::uint32_t pixel = little_endian(row + x * bytes, bytes);
            for (int c = 0; c < 3; ++c) out[c] = l.fields[c].scaled(pixel);
        }
    }
}

}  // namespace

bool decode_bmp(const unsigned char* data, std::size_t size, rgb_pixels& image, std::string& why) {
    bmp_layout l;
    if (!read_layout(data, size, l, why)) return false;
    if (l.width <= 0 || l.height <= 0) return fail("malformed BMP: no pixels", why);
    const std::size_t stride = (static_cast<std::size_t>(l.width) * l.bits + 31) / 32 * 4;
    const std::size_t last_row_bytes = (static_cast<std::size_t>(l.width) * l.bits + 7) / 8;
    // Both sides passed the header's size check, so these products cannot overflow.
    if (size - l.pixels_at < stride * static_cast<std::size_t>(l.height - 1) + last_row_bytes)
        return fail("malformed BMP: its pixel data is cut short", why);
    image.width = static_cast<int>(l.width);
    image.height = static_cast<int>(l.height);
    image.bytes.assign(static_cast<std::size_t>(l.width) * l.height * 3, 0);
    for (std::int64_t y = 0; y < l.height; ++y)
        decode_row(row_at(data, l, stride, y), data + l.palette_at, l,
                   image.bytes.data() + static_cast<std::size_t>(y) * l.width * 3);
    return true;
}
