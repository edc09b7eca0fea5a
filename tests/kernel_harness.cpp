#include "kernel_harness.h"

#include "benchmark/host/output_check.h"

#include <random>
#include <stdexcept>

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

const kernel_entry& kernel_named(const std::string& name) {
    const kernel_entry* kernel = find_kernel(name);
    if (!kernel) throw std::invalid_argument("no kernel named " + name);
    return *kernel;
}

std::vector<unsigned char> run_once(const kernel_entry& kernel, const PaddedImage& input) {
    std::vector<unsigned char> output;
    kernel_timing timing;
    EXPECT_TRUE(run_kernel(kernel, input, 1, poison, output, timing)) << kernel.name;
    // A failed launch (a finding of the check build) leaves nothing: poison
    // of the input's size fails the comparisons instead of indexing past it.
    if (output.size() != input.bytes.size()) output.assign(input.bytes.size(), poison);
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
    const output_check check =
        check_covered_pixels(kernel, input, output, reference::filter(input, kernel.reference));
    comparison result{check.wrong_bytes, 0, check.first_difference};
    const std::vector<bool> covered = covered_bytes(kernel, input);
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
