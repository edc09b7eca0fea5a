#include "output_check.h"

#include <sstream>

namespace {

std::string describe(int x, int y, int c, int got, int expected) {
    std::ostringstream s;
    s << "pixel (" << x << "," << y << ") channel " << c << ": got " << got << ", expected " << expected;
    return s.str();
}

}  // namespace

output_check check_covered_pixels(const kernel_entry& kernel, const PaddedImage& input,
                                  const std::vector<unsigned char>& output, const reference::rgb_image& expected) {
    output_check result;
    const int pw = input.padded_width();
    for (int y = 0; y < kernel.covered_height(input.height); ++y)
        for (int x = 0; x < kernel.covered_width(input.width); ++x) {
            const reference::rgb want = expected.pixel(x, y);
            int wrong_channels = 0;
            for (int c = 0; c < channels; ++c) {
                const unsigned char got = output[kernel.output_offset(x, y, pw, c)];
                if (got == want[c]) continue;
                if (result.wrong_bytes == 0) result.first_difference = describe(x, y, c, got, want[c]);
                ++result.wrong_bytes;
                ++wrong_channels;
            }
            result.wrong_pixels += wrong_channels > 0;
        }
    return result;
}

std::vector<bool> covered_bytes(const kernel_entry& kernel, const PaddedImage& input) {
    std::vector<bool> covered(input.bytes.size(), false);
    const int pw = input.padded_width();
    for (int y = 0; y < kernel.covered_height(input.height); ++y)
        for (int x = 0; x < kernel.covered_width(input.width); ++x)
            for (int c = 0; c < channels; ++c) covered[kernel.output_offset(x, y, pw, c)] = true;
    return covered;
}
