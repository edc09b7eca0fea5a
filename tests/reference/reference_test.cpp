#include "reference/median_reference.h"
#include "tests/reference/random_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

PaddedImage uniform(int width, int height, unsigned char value) {
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * channels, value);
    return border_image(pixels.data(), width, height);
}

TEST(Reference, BorderZerosPullEdgePixelsTowardBlack) {
    const PaddedImage in = uniform(64, 16, 200);
    // 16 of the corner's 25 values, and 10 of an edge pixel's, are border zeros.
    EXPECT_EQ(reference::exact_median(in, 0, 0), (reference::rgb{0, 0, 0}));
    EXPECT_EQ(reference::exact_median(in, 1, 0), (reference::rgb{0, 0, 0}));
    EXPECT_EQ(reference::exact_median(in, 2, 0), (reference::rgb{200, 200, 200}));
    EXPECT_EQ(reference::exact_median(in, 1, 1), (reference::rgb{200, 200, 200}));
    EXPECT_EQ(reference::exact_median(in, 63, 15), (reference::rgb{0, 0, 0}));
}

TEST(Reference, ChannelsAreFilteredIndependently) {
    // Channel 0 rises to the right, channel 1 falls, channel 2 stays.
    std::vector<unsigned char> pixels;
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 9; ++x)
            pixels.insert(pixels.end(), {static_cast<unsigned char>(10 * x), static_cast<unsigned char>(200 - 10 * x), 7});
    const PaddedImage in = border_image(pixels.data(), 9, 9);
    EXPECT_EQ(reference::exact_median(in, 4, 4), (reference::rgb{40, 160, 7}));
}

TEST(Reference, FillUncoveredLeavesCoveredPixelsAlone) {
    const PaddedImage in = uniform(6, 5, 90);
    std::vector<unsigned char> image(6 * 5 * 3, 1);
    reference::fill_uncovered(in, reference::exact_median, 4, 3, image.data());
    EXPECT_EQ(image[(2 * 6 + 3) * 3], 1) << "(3, 2) is covered";
    EXPECT_EQ(image[(0 * 6 + 5) * 3], 0) << "(5, 0) is filtered: a corner";
    EXPECT_EQ(image[(3 * 6 + 2) * 3], 90) << "(2, 3) is filtered";
}

using median_filter::border;

// What index i of a 4-pixel axis abcd reads, for i = -3 .. 6, as letters
// (k for the constant).
std::string axis_reads(border mode, int n = 4) {
    std::string s;
    for (int i = -3; i < n + 3; ++i) {
        const int j = median_filter::border_index(i, n, mode);
        s += j < 0 ? 'k' : static_cast<char>('a' + j);
    }
    return s;
}

TEST(BorderModes, ReadTheDocumentedPixels) {
    // SciPy ndimage's pictures of its modes.
    EXPECT_EQ(axis_reads(border::constant), "kkkabcdkkk");
    EXPECT_EQ(axis_reads(border::replicate), "aaaabcdddd");
    EXPECT_EQ(axis_reads(border::reflect), "cbaabcddcb");
    EXPECT_EQ(axis_reads(border::mirror), "dcbabcdcba");
    // Axes shorter than the reach repeat the reflection; SciPy gives the same.
    EXPECT_EQ(axis_reads(border::reflect, 2), "bbaabbaa");
    EXPECT_EQ(axis_reads(border::mirror, 2), "babababa");
    EXPECT_EQ(axis_reads(border::mirror, 1), "aaaaaaa");
    EXPECT_EQ(axis_reads(border::reflect, 1), "aaaaaaa");
}

TEST(BorderModes, DirectFilterEqualsTheExactMedianOfTheBorderedCopy) {
    // Two independent routes: the window read through border_index, and the
    // bordered copy that the table's kernels read.
    std::uint32_t seed = 3;
    for (border mode : {border::constant, border::replicate, border::reflect, border::mirror})
        for (const auto& size : {std::pair{1, 1}, std::pair{2, 5}, std::pair{9, 4}}) {
            reference::image img{size.first, size.second, channels, {}};
            for (int i = 0; i < img.width * img.height * channels; ++i)
                img.pixels.push_back(static_cast<unsigned char>((seed = seed * 1103515245u + 12345u) >> 16));
            const auto bordered = border_image(img.pixels.data(), img.width, img.height, mode);
            EXPECT_EQ(reference::median_5x5(img, mode).pixels,
                      reference::filter(bordered, reference::exact_median).pixels)
                << static_cast<int>(mode) << " " << img.width << "x" << img.height;
        }
}

TEST(BorderModes, ConstantValueFillsEveryChannel) {
    const reference::image grey{1, 1, 1, {10}};
    EXPECT_EQ(reference::median_5x5(grey, border::constant, 200).pixels, std::vector<unsigned char>{200});
    EXPECT_EQ(reference::median_5x5(grey, border::replicate, 200).pixels, std::vector<unsigned char>{10});
}

// The general median, against a definition that shares nothing with it but
// border_index: each window read value by value and fully sorted, floats
// ordered by their values (NaNs last, -0 before +0).
template <class T>
bool ranks_below(T a, T b) {
    if constexpr (std::is_same_v<T, float>) {
        if (std::isnan(a) || std::isnan(b)) return !std::isnan(a) && std::isnan(b);
        if (a == b) return std::signbit(a) && !std::signbit(b);
    }
    return a < b;
}

template <class T>
reference::typed_image<T> sorted_window_middles(const reference::typed_image<T>& in, int window, border mode,
                                                T constant) {
    reference::typed_image<T> out = in;
    const int reach = window / 2;
    std::vector<T> values;
    for (int y = 0; y < in.height; ++y)
        for (int x = 0; x < in.width; ++x)
            for (int c = 0; c < in.channels; ++c) {
                values.clear();
                for (int dy = -reach; dy <= reach; ++dy)
                    for (int dx = -reach; dx <= reach; ++dx) {
                        const int bx = median_filter::border_index(x + dx, in.width, mode);
                        const int by = median_filter::border_index(y + dy, in.height, mode);
                        values.push_back(bx < 0 || by < 0 ? constant
                                                          : in.pixels[(by * in.width + bx) * in.channels + c]);
                    }
                std::sort(values.begin(), values.end(), ranks_below<T>);
                T middle = values[values.size() / 2];
                if constexpr (std::is_same_v<T, float>)
                    if (std::isnan(middle)) middle = std::numeric_limits<float>::quiet_NaN();
                out.pixels[(y * in.width + x) * in.channels + c] = middle;
            }
    return out;
}

template <class T>
class MedianReference : public ::testing::Test {};
using pixel_types = ::testing::Types<unsigned char, unsigned short, float>;
TYPED_TEST_SUITE(MedianReference, pixel_types);

TYPED_TEST(MedianReference, EqualsTheMiddleOfEachFullySortedWindow) {
    using T = TypeParam;
    // Sizes below, around and above every window.
    const int sizes[][2] = {{1, 1}, {4, 2}, {9, 6}, {17, 12}};
    std::uint32_t seed = 11;
    for (int window = 3; window <= 15; window += 2)
        for (border mode : {border::constant, border::replicate, border::reflect, border::mirror})
            for (int channels : {1, 3, 4})
                for (const auto& size : sizes) {
                    const auto img = test_images::random_image<T>(size[0], size[1], channels, seed++);
                    const T constant = test_images::random_image<T>(1, 1, 1, seed++).pixels[0];
                    EXPECT_EQ(test_images::pixel_bits(reference::median(img, window, mode, constant)),
                              test_images::pixel_bits(sorted_window_middles(img, window, mode, constant)))
                        << "window " << window << ", mode " << static_cast<int>(mode) << ", " << channels
                        << " channels, " << size[0] << "x" << size[1];
                }
}

// The median of the 3x3 image `values` (the centre's window) in its centre.
std::uint32_t centre_median_bits(const std::vector<std::uint32_t>& values) {
    reference::typed_image<float> img{3, 3, 1, {}};
    for (std::uint32_t bits : values) img.pixels.push_back(test_images::float_of_bits(bits));
    return test_images::bits_of(reference::median(img, 3, border::replicate).pixels[4]);
}

TEST(MedianReferenceFloats, NanOnlyAsTheMajorityAndSignedZerosKept) {
    constexpr std::uint32_t nan = 0x7fc00000u, minus_nan = 0xffc00000u, signalling = 0x7f800001u;
    constexpr std::uint32_t inf = 0x7f800000u, minus_inf = 0xff800000u, zero = 0, minus_zero = 0x80000000u;
    constexpr std::uint32_t one = 0x3f800000u, minus_one = 0xbf800000u;
    // Five NaNs of nine, whatever their payloads and signs: the one quiet NaN.
    EXPECT_EQ(centre_median_bits({minus_nan, one, signalling, inf, 0x7fa5a5a5u, nan, 0xffffffffu, zero, minus_inf}),
              nan);
    // Four NaNs rank above +inf: the largest number is the median.
    EXPECT_EQ(centre_median_bits({minus_nan, one, signalling, inf, 0x7fa5a5a5u, zero, 0xffffffffu, one, minus_inf}),
              inf);
    // -0 ranks just below +0 and each comes back as it went in.
    EXPECT_EQ(centre_median_bits({minus_one, minus_zero, zero, minus_one, one, minus_one, one, minus_one, one}),
              minus_zero);
    EXPECT_EQ(centre_median_bits({minus_one, minus_zero, zero, minus_one, one, one, one, minus_one, one}), zero);
}

TEST(MedianReferenceModes, GiveScipysResults) {
    // scipy.ndimage.median_filter([[1, 5, 2, 8, 3]], size=5, mode=...): on a
    // one-row image the window's rows all read that row, so each result is
    // the median of five values of the row extended as the mode says.
    const reference::image row{5, 1, 1, {1, 5, 2, 8, 3}};
    EXPECT_EQ(reference::median(row, 5, border::replicate).pixels, (std::vector<unsigned char>{1, 2, 3, 3, 3}));
    EXPECT_EQ(reference::median(row, 5, border::reflect).pixels, (std::vector<unsigned char>{2, 2, 3, 3, 3}));
    EXPECT_EQ(reference::median(row, 5, border::mirror).pixels, (std::vector<unsigned char>{2, 5, 3, 5, 3}));
    // median_filter(np.arange(1, 10).reshape(3, 3), size=3, mode="constant"):
    // five of a corner's nine values are the constant.
    const reference::image square{3, 3, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9}};
    EXPECT_EQ(reference::median(square, 3, border::constant).pixels,
              (std::vector<unsigned char>{0, 2, 0, 2, 5, 3, 0, 5, 0}));
    // cval=7
    EXPECT_EQ(reference::median(square, 3, border::constant, static_cast<unsigned char>(7)).pixels,
              (std::vector<unsigned char>{7, 5, 7, 7, 5, 7, 7, 7, 7}));
}

}  // namespace

namespace {

TEST(PaddedImageLayout, SizeLimitIsCheckedWithoutOverflow) {
    // 3 * (W + 4) * (H + 4) must stay below 2^31 for signed 32-bit indexing.
    EXPECT_TRUE(fits_padded(1920, 1080));
    EXPECT_TRUE(fits_padded(26750, 26750));
    EXPECT_FALSE(fits_padded(26752, 26752));
    EXPECT_FALSE(fits_padded(2147483647, 2147483647)) << "64-bit arithmetic, no wrap-around";
    EXPECT_FALSE(fits_padded(0, 10));
    EXPECT_FALSE(fits_padded(10, -1));
}

}  // namespace
