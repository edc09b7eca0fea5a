#include "image_writers.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <jpeglib.h>
#include <tiffio.h>

namespace {

constexpr std::uint32_t bmp_file_header_bytes = 14;
constexpr std::uint32_t bi_rgb = 0;
constexpr std::uint32_t bi_bitfields = 3;
constexpr std::uint32_t tile_side = 16;
constexpr std::uint32_t rows_per_strip = 3;

void put_le(byte_vector& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

byte_vector contents(std::FILE* f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return {};
    byte_vector bytes(static_cast<std::size_t>(std::ftell(f)));
    std::rewind(f);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    return bytes;
}

void set_page_fields(TIFF* tif, int width, int height, const tiff_layout& layout) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, layout.samples);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, layout.photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, layout.planes ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    if (layout.unassociated_alpha) {
        const std::uint16_t kind = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &kind);
    }
    if (layout.tiled) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, tile_side);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, tile_side);
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    }
}

// One block (a strip or tile) of plane `plane` (or of every sample when
// interleaved) covering columns x0.., rows y0.., `w` x `h` pixels.
byte_vector block(int width, int height, const byte_vector& samples, const tiff_layout& layout, int plane, int x0,
                  int y0, int w, int h) {
    const int per_pixel = layout.planes ? 1 : layout.samples;
    byte_vector out(static_cast<std::size_t>(w) * h * per_pixel, 0);
    for (int y = 0; y < h && y0 + y < height; ++y)
        for (int x = 0; x < w && x0 + x < width; ++x)
            for (int s = 0; s < per_pixel; ++s)
                out[(static_cast<std::size_t>(y) * w + x) * per_pixel + s] =
                    samples[(static_cast<std::size_t>(y0 + y) * width + x0 + x) * layout.samples +
                            (layout.planes ? plane : s)];
    return out;
}

bool write_page(TIFF* tif, int width, int height, const byte_vector& samples, const tiff_layout& layout) {
    set_page_fields(tif, width, height, layout);
    const int planes = layout.planes ? layout.samples : 1;
    const int step_x = layout.tiled ? tile_side : width;
    const int step_y = layout.tiled ? tile_side : rows_per_strip;
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < height; y += step_y)
            for (int x = 0; x < width; x += step_x) {
                const int rows = layout.tiled ? step_y : std::min(step_y, height - y);
                byte_vector b = block(width, height, samples, layout, p, x, y, step_x, rows);
                const auto plane = static_cast<std::uint16_t>(p);
                const tmsize_t n = static_cast<tmsize_t>(b.size());
                const bool ok = layout.tiled ? TIFFWriteEncodedTile(tif, TIFFComputeTile(tif, x, y, 0, plane), b.data(), n) == n
                                             : TIFFWriteEncodedStrip(tif, TIFFComputeStrip(tif, y, plane), b.data(), n) == n;
                if (!ok) return false;
            }
    return TIFFWriteDirectory(tif) != 0;
}

}  // namespace

byte_vector bmp_file(int width, int height, const byte_vector& rgba, std::uint32_t header_bytes, bool bit_fields) {
    const int bits = bit_fields ? 32 : 24;
    const std::uint32_t stride = (static_cast<std::uint32_t>(width) * bits + 31) / 32 * 4;
    // A 40-byte header is followed by its masks; later headers hold them.
    const std::uint32_t mask_bytes = bit_fields && header_bytes == 40 ? 12 : 0;
    const std::uint32_t offset = bmp_file_header_bytes + header_bytes + mask_bytes;
    byte_vector out = {'B', 'M'};
    put_le(out, offset + stride * height, 4);
    put_le(out, 0, 4);
    put_le(out, offset, 4);
    put_le(out, header_bytes, 4);
    put_le(out, static_cast<std::uint32_t>(width), 4);
    put_le(out, static_cast<std::uint32_t>(height), 4);
    put_le(out, 1, 2);
    put_le(out, bits, 2);
    put_le(out, bit_fields ? bi_bitfields : bi_rgb, 4);
    put_le(out, stride * height, 4);
    out.resize(bmp_file_header_bytes + 40, 0);  // resolution and palette counts stay 0
    if (header_bytes > 40 || bit_fields)
        for (std::uint32_t mask : {0xff0000u, 0xff00u, 0xffu, 0xff000000u}) put_le(out, mask, 4);
    out.resize(offset, 0);
    for (int y = height - 1; y >= 0; --y) {
        const std::size_t row_start = out.size();
        for (int x = 0; x < width; ++x) {
            const unsigned char* p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
            out.insert(out.end(), {p[2], p[1], p[0]});
            if (bit_fields) out.push_back(p[3]);
        }
        out.resize(row_start + stride, 0);
    }
    return out;
}

byte_vector tiff_file(int width, int height, const byte_vector& samples, const tiff_layout& layout) {
    std::unique_ptr<std::FILE, file_closer> f(std::tmpfile());
    if (!f) return {};
    const int fd = dup(fileno(f.get()));  // TIFFClose closes it
    TIFF* tif = fd >= 0 ? TIFFFdOpen(fd, "test.tif", "w") : nullptr;
    if (!tif) return {};
    bool ok = write_page(tif, width, height, samples, layout);
    for (const auto& [w, h] : layout.more_pages) {
        const byte_vector blank(static_cast<std::size_t>(w) * h * layout.samples, 0);
        ok = ok && write_page(tif, w, h, blank, layout);
    }
    TIFFClose(tif);
    return ok ? contents(f.get()) : byte_vector{};
}

byte_vector cmyk_jpeg(int width, int height, const byte_vector& inverted_cmyk) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);  // writes the Adobe marker for CMYK
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(&inverted_cmyk[static_cast<std::size_t>(info.next_scanline) * width * 4]);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    byte_vector out(buffer, buffer + size);
    std::free(buffer);
    return out;
}
