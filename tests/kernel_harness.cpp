#include "kernel_harness.h"

#include <random>
#include <sstream>

namespace harness {

PaddedImage make_image(int width, int height, const pixel_source& source) {
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                pixels[(static_cast<std::size_t>(y) * width + x) * channels + c] = source(x, y, c);
    return border_image(pixels.data(), width, height);
}

PaddedImage random_image(int width, int height, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    return make_image(width, height, [&](int, int, int) { return static_cast<unsigned char>(byte(rng)); });
}

std::vector<unsigned char> run_once(const kernel_entry& kernel, const PaddedImage& input) {
    std::vector<unsigned char> output;
    kernel_timing timing;
    EXPECT_TRUE(run_kernel(kernel, input, 1, poison, output, timing)) << kernel.name;
    return output;
}

std::vector<unsigned char> output_pixel(const kernel_entry& kernel, const PaddedImage& input,
                                        const std::vector<unsigned char>& output, int x, int y) {
    std::vector<unsigned char> px;
    for (int c = 0; c < channels; ++c) px.push_back(output[kernel.output_offset(x, y, input.padded_width(), c)]);
    return px;
}

comparison compare_with_reference(const kernel_entry& kernel, const PaddedImage& input,
                                  const std::vector<unsigned char>& output) {
    comparison result;
    std::vector<bool> covered(output.size(), false);
    const int pw = input.padded_width();
    for (int y = 0; y < kernel.covered_height(input.height); ++y)
        for (int x = 0; x < kernel.covered_width(input.width); ++x) {
            const reference::rgb expected = kernel.reference(input, x, y);
            for (int c = 0; c < channels; ++c) {
                const int offset = kernel.output_offset(x, y, pw, c);
                covered[offset] = true;
                if (output[offset] == expected[c]) continue;
                if (result.wrong_covered++ == 0) {
                    std::ostringstream s;
                    s << "pixel (" << x << "," << y << ") channel " << c << ": got " << int(output[offset])
                      << ", expected " << int(expected[c]);
                    result.first_difference = s.str();
                }
            }
        }
    for (std::size_t i = 0; i < output.size(); ++i) result.written_uncovered += !covered[i] && output[i] != poison;
    return result;
}

std::vector<unsigned char> median_of_window(const kernel_entry& kernel, const std::vector<unsigned char>& window) {
    constexpr int at = 2;  // the window of image pixel (2, 2) lies inside the image
    const int width = kernel.span_x();
    const int height = kernel.span_y() < 8 ? 8 : kernel.span_y();
    const PaddedImage input = make_image(width, height, [&](int x, int y, int) -> unsigned char {
        const int i = y + ApronRadius - at, j = x + ApronRadius - at;
        return i >= 0 && i < window_side && j >= 0 && j < window_side ? window[i * window_side + j] : 0;
    });
    return output_pixel(kernel, input, run_once(kernel, input), at, at);
}

}  // namespace harness
