// libFuzzer target: the header reader alone, which runs on every file before
// any decoder; fast, so it explores the format parsers in depth.
#include "image/image_header.h"
#include "image/padded_image.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (!f) return 0;
    image_header header;
    std::string why;
    if (read_image_header(f, header, why) && image_size_acceptable(header, default_max_pixels, why)) {
        if (!fits_padded(header.width, header.height) || header.decoded_bytes >= max_padded_bytes) __builtin_trap();
        image_structure_sound(f, header, why);
    }
    std::fclose(f);
    return 0;
}
