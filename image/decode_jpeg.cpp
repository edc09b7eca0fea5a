// JPEG through libjpeg directly: DevIL lets libjpeg convert CMYK as if it
// had three channels, dropping black, and refuses data whose end marker is
// missing.
#include "decoders.h"

#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace {

// libjpeg reports a fatal error by calling error_exit, which must not
// return: it jumps back to decode_jpeg with the message kept.
struct jpeg_failure {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = {};
};

[[noreturn]] void jump_back(j_common_ptr info) {
    auto* failure = reinterpret_cast<jpeg_failure*>(info->err);
    (*info->err->format_message)(info, failure->message);
    std::longjmp(failure->jump, 1);
}

// Warnings (corrupt or missing data, which libjpeg fills) are not errors:
// what can be decoded is, as other readers do.
void ignore_message(j_common_ptr, int) {}

bool four_channels(J_COLOR_SPACE space) { return space == JCS_CMYK || space == JCS_YCCK; }

// The scanlines of a started decompression into `image`; CMYK converted
// from its four channels.
void read_rows(jpeg_decompress_struct& info, std::vector<unsigned char>& row, rgb_pixels& image) {
    const bool cmyk = info.out_color_space == JCS_CMYK;
    while (info.output_scanline < info.output_height) {
        unsigned char* out = image.bytes.data() + static_cast<std::size_t>(info.output_scanline) * image.width * 3;
        JSAMPROW target = cmyk ? row.data() : out;
        if (jpeg_read_scanlines(&info, &target, 1) != 1) break;
        if (!cmyk) continue;
        for (int x = 0; x < image.width; ++x) inverted_cmyk_to_rgb(&row[x * 4u], out + x * 3);
    }
}

}  // namespace

bool decode_jpeg(const unsigned char* data, std::size_t size, rgb_pixels& image, std::string& why) {
    jpeg_decompress_struct info{};
    jpeg_failure failure;
    info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = jump_back;
    failure.manager.emit_message = ignore_message;
    // Everything that outlives a jump is declared before it.
    std::vector<unsigned char> row;
    if (setjmp(failure.jump)) {
        jpeg_destroy_decompress(&info);
        why = failure.message;
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    // libjpeg converts every three-channel space to RGB; four channels come
    // as CMYK (YCCK converted to it), black applied here.
    info.out_color_space = four_channels(info.jpeg_color_space) ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&info);
    image.width = static_cast<int>(info.output_width);
    image.height = static_cast<int>(info.output_height);
    image.bytes.assign(static_cast<std::size_t>(image.width) * image.height * 3, 0);
    row.resize(static_cast<std::size_t>(image.width) * info.output_components);
    read_rows(info, row, image);
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}
