#include "decoders.h"

#include <algorithm>

bool decode_pnm(const unsigned char* data, std::size_t size, const image_header& header, rgb_pixels& image,
                std::string& why) {
    const int sample_bytes = header.max_value > 255 ? 2 : 1;
    const std::size_t pixels = static_cast<std::size_t>(header.width) * header.height;
    const std::size_t needed = pixels * header.channels * sample_bytes;
    if (header.data_offset < 0 || size - std::min<std::size_t>(size, header.data_offset) < needed) {
        why = "it is cut short";
        return false;
    }
    const unsigned char* sample = data + header.data_offset;
    const auto next = [&] {
        unsigned value = sample_bytes == 2 ? sample[0] << 8 | sample[1] : sample[0];
        sample += sample_bytes;
        value = std::min<unsigned>(value, header.max_value);
        return static_cast<unsigned char>((value * 255 + header.max_value / 2) / header.max_value);
    };
    image.width = static_cast<int>(header.width);
    image.height = static_cast<int>(header.height);
    image.bytes.resize(pixels * 3);
    for (std::size_t p = 0; p < pixels; ++p)
        for (int c = 0; c < 3; ++c)
            image.bytes[p * 3 + c] = header.channels == 1 && c > 0 ? image.bytes[p * 3] : next();
    return true;
}
