#include "median_reference.h"

#include "row_threads.h"

#include <algorithm>

namespace reference {
namespace {

unsigned char kth_smallest(std::array<unsigned char, window_values> values, int k) {
    std::nth_element(values.begin(), values.begin() + k, values.end());
    return values[k];
}

std::array<unsigned char, window_values> window(const PaddedImage& in, int x, int y, int c) {
    std::array<unsigned char, window_values> values{};
    for (int i = 0; i < window_side; ++i)
        for (int j = 0; j < window_side; ++j) values[i * window_side + j] = in.at(x + j, y + i, c);
    return values;
}

void put(unsigned char* image, int width, int x, int y, const rgb& value) {
    std::copy(value.begin(), value.end(), image + (static_cast<std::size_t>(y) * width + x) * channels);
}

}  // namespace

rgb exact_median(const PaddedImage& in, int x, int y) {
    rgb out{};
    for (int c = 0; c < channels; ++c) out[c] = kth_smallest(window(in, x, y, c), median_index);
    return out;
}

unsigned char truncated_bisection(unsigned char m) {
    // Up to 128 the last interval is (m - 1, m] and its midpoint m - 0.5
    // truncates to m - 1 (m = 0 ends at 0.5, as m = 1 does). Above 128 the
    // intervals are 127/128 wide and the final midpoint drifts down relative
    // to m: it lies in [m, m + 1) up to 191 and below m from 192 on.
    return m == 0 || (m >= 129 && m <= 191) ? m : static_cast<unsigned char>(m - 1);
}

unsigned char rounded_bisection(unsigned char m) { return m == 0 ? 1 : m; }

rgb bisection_truncated(const PaddedImage& in, int x, int y) {
    rgb out = exact_median(in, x, y);
    for (auto& v : out) v = truncated_bisection(v);
    return out;
}

rgb bisection_rounded(const PaddedImage& in, int x, int y) {
    rgb out = exact_median(in, x, y);
    for (auto& v : out) v = rounded_bisection(v);
    return out;
}

rgb luma_12th_smallest(const PaddedImage& in, int x, int y) {
    std::array<unsigned char, window_values> lumas{};
    for (int i = 0; i < window_side; ++i)
        for (int j = 0; j < window_side; ++j) {
            const int b0 = in.at(x + j, y + i, 0), b2 = in.at(x + j, y + i, 2);
            lumas[i * window_side + j] = static_cast<unsigned char>((2 * b0 + b2) / 3);
        }
    const unsigned char l = kth_smallest(lumas, median_index - 1);
    return {l, l, l};
}

rgb rgb_image::pixel(int x, int y) const {
    const auto* p = &pixels[(static_cast<std::size_t>(y) * width + x) * channels];
    return {p[0], p[1], p[2]};
}

rgb_image filter(const PaddedImage& in, pixel_fn fn) {
    rgb_image out{in.width, in.height,
                  std::vector<unsigned char>(static_cast<std::size_t>(in.width) * in.height * channels)};
    for_each_row(in.height, [&](int y) {
        for (int x = 0; x < in.width; ++x) put(out.pixels.data(), in.width, x, y, fn(in, x, y));
    });
    return out;
}

void fill_uncovered(const PaddedImage& in, pixel_fn fn, int x_from, int y_from, unsigned char* image) {
    for (int y = 0; y < in.height; ++y)
        for (int x = y < y_from ? x_from : 0; x < in.width; ++x) put(image, in.width, x, y, fn(in, x, y));
}

}  // namespace reference
