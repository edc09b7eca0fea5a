// Kernels that cover the whole image: every pixel of images of any size,
// including sizes below one block, byte for byte against their reference.
#include "tests/kernel_harness.h"
#include "tiled_split_lanes.h"

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// The table's, and the tiled network in the lane form of GPUs before sm_90.
std::vector<kernel_entry> whole_image_kernels() {
    std::vector<kernel_entry> kernels;
    for (const auto& k : kernel_table())
        if (k.coverage == grid_rule::whole_image) kernels.push_back(k);
    kernels.push_back(tiled_network_split_lanes());
    return kernels;
}

struct pattern {
    const char* name;
    harness::pixel_source (*make)(std::uint32_t seed);
};

// Pixel sources whose windows stress selection: ties, extremes, edges.
const pattern patterns[] = {
    {"random", [](std::uint32_t seed) -> harness::pixel_source {
         auto rng = std::make_shared<std::mt19937>(seed);
         return [rng](int, int, int) { return static_cast<unsigned char>((*rng)() & 0xFF); };
     }},
    {"three values", [](std::uint32_t seed) -> harness::pixel_source {
         auto rng = std::make_shared<std::mt19937>(seed);
         return [rng](int, int, int) { return static_cast<unsigned char>(127 + (*rng)() % 3); };
     }},
    {"constant",
     [](std::uint32_t) -> harness::pixel_source { return [](int, int, int) -> unsigned char { return 77; }; }},
    {"0 and 255", [](std::uint32_t seed) -> harness::pixel_source {
         auto rng = std::make_shared<std::mt19937>(seed);
         return [rng](int, int, int) -> unsigned char { return (*rng)() & 1 ? 255 : 0; };
     }},
    {"stripes", [](std::uint32_t) -> harness::pixel_source {
         // Columns, rows and diagonals of different widths per channel.
         return [](int x, int y, int c) -> unsigned char {
             const int band = c == 0 ? x / 2 : c == 1 ? y / 3 : (x + y) / 4;
             return band % 2 ? 255 - c : 128 + c;
         };
     }},
};

class WholeImage : public ::testing::TestWithParam<kernel_entry> {};

void expect_every_pixel(const kernel_entry& kernel, const PaddedImage& input, const std::string& what) {
    const auto result = harness::compare_with_reference(kernel, input, harness::run_once(kernel, input));
    EXPECT_EQ(result.wrong_covered, 0) << what << " " << input.width << "x" << input.height << ": "
                                       << result.first_difference;
    EXPECT_EQ(result.written_uncovered, 0) << what << " " << input.width << "x" << input.height
                                           << ": bytes written outside the image";
}

TEST_P(WholeImage, EveryPixelOfOddSizes) {
    REQUIRE_DEVICE();
    const kernel_entry& kernel = GetParam();
    // 5x1 and 7x1: 8-byte loads of the last row would reach 1 and 3 bytes
    // past the bordered buffer, which the sanitizer build catches.
    const int sizes[][2] = {{1, 1}, {2, 2}, {5, 1}, {7, 1}, {31, 7}, {33, 9}, {257, 130}};
    std::uint32_t seed = 1;
    for (const auto& size : sizes) {
        EXPECT_EQ(kernel.covered_width(size[0]), size[0]);
        EXPECT_EQ(kernel.covered_height(size[1]), size[1]);
        for (const auto& p : patterns)
            expect_every_pixel(kernel, harness::make_image(size[0], size[1], p.make(seed++)), p.name);
    }
}

TEST_P(WholeImage, EveryPixelOfAFullHdImage) {
    REQUIRE_DEVICE();
    expect_every_pixel(GetParam(), harness::random_image(1920, 1080, 3), "random");
}

std::string kernel_name(const ::testing::TestParamInfo<kernel_entry>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Table, WholeImage, ::testing::ValuesIn(whole_image_kernels()), kernel_name);

}  // namespace
