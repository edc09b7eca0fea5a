#include "reference/median_reference.h"

#include <gtest/gtest.h>

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
