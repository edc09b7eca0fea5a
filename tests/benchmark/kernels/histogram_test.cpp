// What the shared kernel tests do not reach: the byte-counter layouts, the
// coarse histogram carried across a thread's four windows, and the luma
// kernel's selection.
#include "benchmark/kernels/histogram_layout.h"
#include "tests/kernel_harness.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

template <class Layout>
class ByteCounterLayout : public ::testing::Test {};
using byte_counter_layouts = ::testing::Types<row_per_bin_layout, word_per_thread_layout>;
TYPED_TEST_SUITE(ByteCounterLayout, byte_counter_layouts);

TYPED_TEST(ByteCounterLayout, GivesEachThreadSixteenOwnBytesInItsOwnBank) {
    constexpr unsigned banks = 32, bank_bytes = 4;
    std::vector<int> owners(counter_bytes, 0);
    for (unsigned thread = 0; thread < counter_threads; ++thread)
        for (unsigned bin = 0; bin < histogram_bins; ++bin) {
            const unsigned offset = TypeParam::offset(thread, bin);
            ASSERT_LT(offset, counter_bytes) << "thread " << thread << " bin " << bin;
            ++owners[offset];
            EXPECT_EQ(offset / bank_bytes % banks, thread % banks) << "thread " << thread << " bin " << bin;
        }
    EXPECT_EQ(std::count(owners.begin(), owners.end(), 1), static_cast<long>(counter_bytes))
        << "every byte of the 4096 is the counter of exactly one thread and bin";
}

class SlidingKernel : public ::testing::TestWithParam<const char*> {};

// Columns change from one value to the other at image column `step`. The
// window of pixel x holds columns x - 2 .. x + 2, so its median changes at
// x = step, the first window with three columns of the new value: steps at
// the second, third and fourth pixel of a thread are found only through the
// slid coarse histogram, rising (bin 0 to 15) and falling (15 to 0).
TEST_P(SlidingKernel, FindsAStepInsideOneThreadsWindows) {
    REQUIRE_DEVICE();
    const kernel_entry& kernel = harness::kernel_named(GetParam());
    constexpr int first = 5 * 4;  // the pixels of thread 5
    constexpr int row = 4;        // a row whose windows hold no border
    for (const bool rising : {true, false})
        for (int step = first + 1; step < first + kernel.pixels_per_thread; ++step) {
            const unsigned char before = rising ? 0 : 255, after = rising ? 255 : 0;
            const PaddedImage input = harness::make_image(
                kernel.span_x(), kernel.span_y(), [&](int x, int, int) { return x < step ? before : after; });
            const auto output = harness::run_once(kernel, input);
            for (int x = first; x < first + kernel.pixels_per_thread; ++x)
                EXPECT_EQ(harness::output_pixel(kernel, input, output, x, row),
                          std::vector<unsigned char>(channels, x < step ? before : after))
                    << "step at " << step << (rising ? " rising" : " falling") << ", pixel " << x;
        }
}

INSTANTIATE_TEST_SUITE_P(FourPixelsPerThread, SlidingKernel,
                         ::testing::Values("median_kernel_hist_sm_m", "median_kernel_hist_nbc_m",
                                           "median_kernel_hist_nbc2_m"),
                         [](const auto& info) { return std::string(info.param); });

TEST(LumaKernel, WritesTheTwelfthSmallestLumaIntoAllThreeChannels) {
    REQUIRE_DEVICE();
    const kernel_entry& kernel = harness::kernel_named("median_kernel_hist_sm_v0");
    // Lumas (2 b0 + b2) / 3; b1 does not enter.
    const reference::rgb luma_50{30, 255, 90}, luma_100{120, 7, 60}, luma_200{250, 9, 100};
    struct example {
        int low_pixels;  // the first ones of the window in row-major order
        reference::rgb low, high;
        unsigned char expected;
    };
    const example examples[] = {
        {25, luma_50, luma_50, 50}, {12, luma_100, luma_200, 100}, {11, luma_100, luma_200, 200}};
    for (const auto& e : examples) {
        constexpr int at = 2;  // the window of image pixel (2, 2) is image pixels 0 .. 4 by 0 .. 4
        const PaddedImage input =
            harness::make_image(kernel.span_x(), kernel.span_y(), [&](int x, int y, int c) -> unsigned char {
                if (x >= window_side || y >= window_side) return 0;
                return (y * window_side + x < e.low_pixels ? e.low : e.high)[c];
            });
        const std::vector<unsigned char> expected(channels, e.expected);
        EXPECT_EQ(harness::output_pixel(kernel, input, harness::run_once(kernel, input), at, at), expected)
            << e.low_pixels << " low pixels";
        const reference::rgb from_reference = reference::luma_12th_smallest(input, at, at);
        EXPECT_EQ(std::vector<unsigned char>(from_reference.begin(), from_reference.end()), expected);
    }
}

}  // namespace
