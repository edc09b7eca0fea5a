// The first page of a TIFF, read through libtiff's strip and tile reads.
// libtiff's RGBA conversion (which DevIL uses) multiplies unassociated alpha
// into the colours and cannot read some tiled files; the samples as stored
// are what other readers show.
#include "decoders.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <tiffio.h>

namespace {

// Above anything a page that passed the header check needs in one piece.
constexpr tmsize_t max_single_allocation = tmsize_t{1} << 31;

// The file in memory, read through libtiff's client procedures.
struct memory_file {
    const unsigned char* data;
    toff_t size;
    toff_t at = 0;
};

tmsize_t read_proc(thandle_t h, void* out, tmsize_t n) {
    auto* f = static_cast<memory_file*>(h);
    const toff_t count = std::min<toff_t>(static_cast<toff_t>(n), f->at < f->size ? f->size - f->at : 0);
    if (count == 0) return 0;
    std::memcpy(out, f->data + f->at, count);
    f->at += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t write_proc(thandle_t, void*, tmsize_t) { return 0; }

toff_t seek_proc(thandle_t h, toff_t offset, int whence) {
    auto* f = static_cast<memory_file*>(h);
    const toff_t base = whence == SEEK_CUR ? f->at : whence == SEEK_END ? f->size : 0;
    f->at = base + offset;
    return f->at;
}

int close_proc(thandle_t) { return 0; }
toff_t size_proc(thandle_t h) { return static_cast<memory_file*>(h)->size; }

// The first error libtiff reports, for the message; warnings are dropped.
int keep_error(TIFF*, void* user, const char* module, const char* format, va_list args) {
    auto* error = static_cast<std::string*>(user);
    if (!error->empty()) return 1;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    *error = std::string(module ? module : "libtiff") + ": " + text;
    return 1;
}

int drop_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct tiff_closer {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using tiff_ptr = std::unique_ptr<TIFF, tiff_closer>;

struct options_free {
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};

tiff_ptr open_tiff(memory_file& file, std::string& error) {
    std::unique_ptr<TIFFOpenOptions, options_free> options(TIFFOpenOptionsAlloc());
    if (!options) return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), max_single_allocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), keep_error, &error);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), drop_warning, nullptr);
    // "m": no memory mapping, every read goes through read_proc's bounds.
    return tiff_ptr(TIFFClientOpenExt("TIFF", "rm", &file, read_proc, write_proc, seek_proc, close_proc, size_proc,
                                      nullptr, nullptr, options.get()));
}

enum class colours { grey, inverted_grey, palette, rgb, cmyk, other };

struct page_layout {
    std::uint32_t width = 0, height = 0;
    std::uint16_t bits = 1, samples = 1, planar = PLANARCONFIG_CONTIG;
    colours kind = colours::other;
    int channels = 1;  // samples used: 1, 3 or 4
};

colours colours_of(TIFF* tif, std::uint16_t photometric, int colour_samples) {
    std::uint16_t ink_set = INKSET_CMYK, compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &ink_set);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    switch (photometric) {
        case PHOTOMETRIC_MINISBLACK: return colours::grey;
        case PHOTOMETRIC_MINISWHITE: return colours::inverted_grey;
        case PHOTOMETRIC_PALETTE: return colours::palette;
        case PHOTOMETRIC_RGB: return colour_samples >= 3 ? colours::rgb : colours::other;
        case PHOTOMETRIC_SEPARATED:
            return ink_set == INKSET_CMYK && colour_samples >= 4 ? colours::cmyk : colours::other;
        case PHOTOMETRIC_YCBCR:
            // JPEG-compressed YCbCr is converted to RGB by libjpeg on read.
            if (compression != COMPRESSION_JPEG || !TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB))
                return colours::other;
            return colours::rgb;
        default: return colours::other;
    }
}

page_layout read_layout(TIFF* tif) {
    page_layout l;
    std::uint16_t photometric = PHOTOMETRIC_MINISBLACK, format = SAMPLEFORMAT_UINT, extra = 0;
    std::uint16_t* extra_kinds = nullptr;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &l.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &l.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &l.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &l.samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &l.planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra, &extra_kinds);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    const bool plain_samples = format == SAMPLEFORMAT_UINT &&
                               (l.bits == 1 || l.bits == 2 || l.bits == 4 || l.bits == 8 || l.bits == 16);
    l.kind = plain_samples ? colours_of(tif, photometric, l.samples - extra) : colours::other;
    if (l.kind == colours::palette && l.bits > 8) l.kind = colours::other;
    l.channels = l.kind == colours::rgb ? 3 : l.kind == colours::cmyk ? 4 : 1;
    if (l.samples < l.channels) l.kind = colours::other;
    return l;
}

// The page's samples as stored: one buffer of interleaved samples, or one
// per plane used, each `row_bytes` a row.
struct stored_samples {
    std::vector<std::vector<unsigned char>> planes;
    std::size_t row_bytes = 0;
    int per_pixel = 1;  // samples a pixel has in one plane
};

bool read_strips(TIFF* tif, const page_layout& l, stored_samples& s, std::string& why) {
    std::uint32_t rows_per_strip = l.height;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    rows_per_strip = std::clamp<std::uint32_t>(rows_per_strip, 1, l.height);
    for (std::size_t p = 0; p < s.planes.size(); ++p)
        for (std::uint32_t row = 0; row < l.height; row += rows_per_strip) {
            const std::uint32_t rows = std::min(rows_per_strip, l.height - row);
            const tmsize_t wanted = static_cast<tmsize_t>(rows * s.row_bytes);
            const std::uint32_t strip = TIFFComputeStrip(tif, row, static_cast<std::uint16_t>(p));
            if (TIFFReadEncodedStrip(tif, strip, s.planes[p].data() + row * s.row_bytes, wanted) != wanted) {
                why = "strip " + std::to_string(strip) + " is missing or cut short";
                return false;
            }
        }
    return true;
}

bool read_tiles(TIFF* tif, const page_layout& l, stored_samples& s, std::string& why) {
    std::uint32_t tile_width = 0, tile_height = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tile_width);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &tile_height);
    const tmsize_t tile_bytes = TIFFTileSize(tif), tile_row = TIFFTileRowSize(tif);
    if (tile_width == 0 || tile_height == 0 || tile_bytes <= 0 || tile_row <= 0 ||
        tile_row * static_cast<tmsize_t>(tile_height) > tile_bytes) {
        why = "malformed TIFF: a tile layout without tiles";
        return false;
    }
    const std::size_t bits_per_pixel = static_cast<std::size_t>(l.bits) * s.per_pixel;
    std::vector<unsigned char> tile(static_cast<std::size_t>(tile_bytes));
    for (std::size_t p = 0; p < s.planes.size(); ++p)
        for (std::uint32_t y = 0; y < l.height; y += tile_height)
            for (std::uint32_t x = 0; x < l.width; x += tile_width) {
                const std::uint32_t index = TIFFComputeTile(tif, x, y, 0, static_cast<std::uint16_t>(p));
                if (TIFFReadEncodedTile(tif, index, tile.data(), tile_bytes) != tile_bytes) {
                    why = "tile " + std::to_string(index) + " is missing or cut short";
                    return false;
                }
                // Tile widths are multiples of 16, so every tile starts on a byte.
                const std::size_t offset = x * bits_per_pixel / 8;
                const std::size_t bytes = std::min<std::size_t>(tile_row, s.row_bytes - offset);
                for (std::uint32_t r = 0; r < tile_height && y + r < l.height; ++r)
                    std::memcpy(s.planes[p].data() + (y + r) * s.row_bytes + offset, tile.data() + r * tile_row,
                                bytes);
            }
    return true;
}

bool read_samples(TIFF* tif, const page_layout& l, stored_samples& s, std::string& why) {
    const bool planes = l.planar == PLANARCONFIG_SEPARATE && l.samples > 1;
    s.per_pixel = planes ? 1 : l.samples;
    s.row_bytes = (static_cast<std::size_t>(l.width) * l.bits * s.per_pixel + 7) / 8;
    s.planes.assign(planes ? l.channels : 1, std::vector<unsigned char>(s.row_bytes * l.height));
    return TIFFIsTiled(tif) ? read_tiles(tif, l, s, why) : read_strips(tif, l, s, why);
}

// Sample `i` of a row as stored; libtiff has put 16-bit samples in host order.
unsigned stored_sample(const unsigned char* row, std::size_t i, int bits) {
    if (bits == 8) return row[i];
    if (bits == 16) {
        std::uint16_t v;
        std::memcpy(&v, row + 2 * i, 2);
        return v;
    }
    const std::size_t bit = i * bits;
    return (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
}

// A stored sample scaled to 8 bits: 16-bit samples keep their high byte,
// as other readers do; fewer bits spread over 0..255.
unsigned char eight_bits(unsigned v, int bits) {
    if (bits == 16) return static_cast<unsigned char>(v >> 8);
    return static_cast<unsigned char>(v * 255 / ((1u << bits) - 1));
}

// A palette's 16-bit entries scaled to 8 bits; entries all below 256 are
// taken as 8-bit, as libtiff's own conversion does.
bool palette_of(TIFF* tif, int bits, std::vector<unsigned char>& rgb) {
    std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b)) return false;
    const std::size_t n = std::size_t{1} << bits;
    bool eight_bit = true;
    for (std::size_t i = 0; i < n; ++i) eight_bit = eight_bit && r[i] < 256 && g[i] < 256 && b[i] < 256;
    rgb.resize(n * 3);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint16_t entry[3] = {r[i], g[i], b[i]};
        for (int c = 0; c < 3; ++c) rgb[i * 3 + c] = static_cast<unsigned char>(eight_bit ? entry[c] : entry[c] >> 8);
    }
    return true;
}

void convert_samples(const page_layout& l, const stored_samples& s, const std::vector<unsigned char>& palette,
                     rgb_pixels& image) {
    for (std::uint32_t y = 0; y < l.height; ++y)
        for (std::uint32_t x = 0; x < l.width; ++x) {
            unsigned stored[4];
            unsigned char v[4];
            for (int c = 0; c < l.channels; ++c) {
                const bool planes = s.planes.size() > 1;
                const unsigned char* row = s.planes[planes ? c : 0].data() + y * s.row_bytes;
                stored[c] = stored_sample(row, planes ? x : static_cast<std::size_t>(x) * s.per_pixel + c, l.bits);
                v[c] = eight_bits(stored[c], l.bits);
            }
            unsigned char* out = &image.bytes[(static_cast<std::size_t>(y) * l.width + x) * 3];
            if (l.kind == colours::palette) {
                std::memcpy(out, &palette[stored[0] * 3], 3);
            } else if (l.kind == colours::cmyk) {
                for (unsigned char& ink : v) ink = static_cast<unsigned char>(255 - ink);
                inverted_cmyk_to_rgb(v, out);
            } else if (l.kind == colours::rgb) {
                std::memcpy(out, v, 3);
            } else {
                out[0] = out[1] = out[2] = l.kind == colours::inverted_grey ? 255 - v[0] : v[0];
            }
        }
}

// Layouts the stored-sample path does not cover (YCbCr that is not JPEG,
// CIE L*a*b*, floating-point samples...), through libtiff's RGBA conversion.
bool read_through_rgba(TIFF* tif, const page_layout& l, rgb_pixels& image, std::string& why) {
    char message[1024] = {};
    if (!TIFFRGBAImageOK(tif, message)) {
        why = std::string("unsupported TIFF layout: ") + message;
        return false;
    }
    std::vector<std::uint32_t> raster(static_cast<std::size_t>(l.width) * l.height);
    if (!TIFFReadRGBAImageOriented(tif, l.width, l.height, raster.data(), ORIENTATION_TOPLEFT, 1)) {
        why = "its pixel data cannot be decoded";
        return false;
    }
    for (std::size_t i = 0; i < raster.size(); ++i) {
        image.bytes[i * 3] = static_cast<unsigned char>(TIFFGetR(raster[i]));
        image.bytes[i * 3 + 1] = static_cast<unsigned char>(TIFFGetG(raster[i]));
        image.bytes[i * 3 + 2] = static_cast<unsigned char>(TIFFGetB(raster[i]));
    }
    return true;
}

bool decode_page(TIFF* tif, rgb_pixels& image, std::string& why) {
    const page_layout l = read_layout(tif);
    if (l.width == 0 || l.height == 0) {
        why = "malformed TIFF: a page without pixels";
        return false;
    }
    image.width = static_cast<int>(l.width);
    image.height = static_cast<int>(l.height);
    image.bytes.assign(static_cast<std::size_t>(l.width) * l.height * 3, 0);
    if (l.kind == colours::other) return read_through_rgba(tif, l, image, why);
    std::vector<unsigned char> palette;
    if (l.kind == colours::palette && !palette_of(tif, l.bits, palette)) {
        why = "malformed TIFF: a palette image without a palette";
        return false;
    }
    stored_samples samples;
    if (!read_samples(tif, l, samples, why)) return false;
    convert_samples(l, samples, palette, image);
    return true;
}

}  // namespace

bool decode_tiff(const unsigned char* data, std::size_t size, rgb_pixels& image, std::string& why) {
    memory_file file{data, size};
    std::string library_error;
    const tiff_ptr tif = open_tiff(file, library_error);
    const bool ok = tif && decode_page(tif.get(), image, why);
    // libtiff's own words name the cause best where it found one.
    if (!library_error.empty() && !ok) why = library_error + (why.empty() ? "" : " (" + why + ")");
    if (!tif && library_error.empty()) why = "libtiff cannot open it";
    return ok;
}
