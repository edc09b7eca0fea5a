// Every kernel of the table against the reference function it is held to.
#include "tests/kernel_harness.h"

#include <algorithm>
#include <random>

namespace {

class EveryKernel : public ::testing::TestWithParam<kernel_entry> {};

std::string kernel_name(const ::testing::TestParamInfo<kernel_entry>& info) { return info.param.name; }

void expect_matches_reference(const kernel_entry& kernel, const PaddedImage& input) {
    const auto result = harness::compare_with_reference(kernel, input, harness::run_once(kernel, input));
    EXPECT_EQ(result.wrong_covered, 0) << kernel.name << " on " << input.width << "x" << input.height << ": "
                                       << result.first_difference;
    EXPECT_EQ(result.written_uncovered, 0) << kernel.name << " wrote outside the pixels its grid covers";
}

TEST_P(EveryKernel, MatchesReferenceOnRandomImages) {
    REQUIRE_DEVICE();
    // Sizes that are and are not multiples of the 16, 32, 64 and 128 pixel spans.
    const int sizes[][2] = {{128, 16}, {300, 37}, {271, 19}};
    std::uint32_t seed = 1;
    for (const auto& size : sizes) expect_matches_reference(GetParam(), harness::random_image(size[0], size[1], seed++));
}

TEST_P(EveryKernel, MatchesReferenceOnSharpWindows) {
    REQUIRE_DEVICE();
    std::vector<std::vector<unsigned char>> windows = {
        std::vector<unsigned char>(25, 0),   std::vector<unsigned char>(25, 255), std::vector<unsigned char>(25, 129),
    };
    for (int zeros : {12, 13}) {
        std::vector<unsigned char> w(25, 255);
        std::fill_n(w.begin(), zeros, 0);
        windows.push_back(w);
        std::reverse(w.begin(), w.end());
        windows.push_back(w);
    }
    for (int fifteens : {12, 13}) {  // two adjacent coarse bins
        std::vector<unsigned char> w(25, 16);
        std::fill_n(w.begin(), fifteens, 15);
        windows.push_back(w);
    }
    std::vector<unsigned char> ramp(25);
    for (int i = 0; i < 25; ++i) ramp[i] = static_cast<unsigned char>(i);
    std::mt19937 rng(5);
    for (int i = 0; i < 3; ++i) {
        std::shuffle(ramp.begin(), ramp.end(), rng);
        windows.push_back(ramp);
    }
    const kernel_entry& kernel = GetParam();
    for (const auto& w : windows) {
        const PaddedImage input = harness::make_image(kernel.span_x(), std::max(kernel.span_y(), 8),
                                                      [&](int x, int y, int) -> unsigned char {
                                                          return x < 5 && y < 5 ? w[y * 5 + x] : 0;
                                                      });
        expect_matches_reference(kernel, input);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, EveryKernel, ::testing::ValuesIn(kernel_table()), kernel_name);

}  // namespace
