// What the selection and search kernels do beyond matching their reference.
#include "benchmark/kernels/median_kernels.cuh"
#include "tests/kernel_harness.h"

#include <algorithm>

namespace {

TEST(ForgetfulSelection, TheTwoPixelsOfAThreadDiffer) {
    REQUIRE_DEVICE();
    // Thread (1, 2) computes pixels (2, 2) and (3, 2), whose windows are
    // image columns 0 .. 4 and 1 .. 5 of rows 0 .. 4: its own column of the
    // left pixel is all 255, of the right pixel all 0, and the 20 shared
    // values are ten 0s and ten 255s.
    const kernel_entry& ff = harness::kernel_named("median_kernel_ff");
    const PaddedImage input = harness::make_image(64, 8, [](int x, int y, int) -> unsigned char {
        if (y > 4 || x > 5) return 0;
        if (x == 0) return 255;
        if (x == 5) return 0;
        return y * 4 + x - 1 < 10 ? 0 : 255;
    });
    const auto output = harness::run_once(ff, input);
    EXPECT_EQ(harness::output_pixel(ff, input, output, 2, 2), (std::vector<unsigned char>{255, 255, 255}));
    EXPECT_EQ(harness::output_pixel(ff, input, output, 3, 2), (std::vector<unsigned char>{0, 0, 0}));
}

TEST(RankCounting, ManyEqualValues) {
    REQUIRE_DEVICE();
    const kernel_entry& xilinx = harness::kernel_named("median_kernel_xilinx");
    // Ties everywhere: three values only.
    std::uint32_t state = 7;
    const PaddedImage few = harness::make_image(96, 24, [&](int, int, int) -> unsigned char {
        state = state * 1664525u + 1013904223u;
        return static_cast<unsigned char>(100 + (state >> 30) % 3);
    });
    const auto result = harness::compare_with_reference(xilinx, few, harness::run_once(xilinx, few));
    EXPECT_EQ(result.wrong_covered, 0) << result.first_difference;
    // All equal: the centre has rank 12. The top-left element as the median
    // leaves the accumulated position at (0, 0).
    EXPECT_EQ(harness::median_of_window(xilinx, std::vector<unsigned char>(25, 77)),
              (std::vector<unsigned char>{77, 77, 77}));
    std::vector<unsigned char> top_left(25, 200);
    top_left[0] = 100;
    std::fill_n(top_left.begin() + 1, 12, 50);
    EXPECT_EQ(harness::median_of_window(xilinx, top_left), (std::vector<unsigned char>{100, 100, 100}));
}

TEST(BisectionSearch, FloatTileAndInterleavedTileAgree) {
    REQUIRE_DEVICE();
    const PaddedImage input = harness::random_image(96, 24, 11);
    EXPECT_EQ(harness::run_once(harness::kernel_named("median_kernel_search"), input),
              harness::run_once(harness::kernel_named("median_kernel_search_nvidia"), input));
}

// A fourth argument of pw - Shrink: a row length or height the kernel would
// get wrong pixels from (still in bounds) if it read the parameter.
template <int Shrink>
cudaError_t launch_conv_with_fourth_argument(dim3 grid, dim3 block, const unsigned char* in, unsigned char* out,
                                              int pw, int) {
    auto* input = const_cast<unsigned char*>(in);
    int fourth = pw - Shrink;
    void* args[] = {&input, &out, &pw, &fourth};
    return cudaLaunchKernel(kernel_conv_nv5, grid, block, args, 0, nullptr);
}

TEST(CentredBisection, LeavesTheFrameAloneAndIgnoresItsFourthParameter) {
    REQUIRE_DEVICE();
    const kernel_entry& conv = harness::kernel_named("kernel_conv_nv5");
    // 32 x 32 is covered whole, so the frame is all that stays unwritten.
    const PaddedImage input = harness::random_image(32, 32, 3);
    const auto output = harness::run_once(conv, input);
    for (const auto launch : {launch_conv_with_fourth_argument<1>, launch_conv_with_fourth_argument<20>}) {
        kernel_entry other = conv;
        other.launch = launch;
        EXPECT_EQ(harness::run_once(other, input), output);
    }
    const int pw = input.padded_width(), ph = input.padded_height();
    long frame_written = 0;
    for (int y = 0; y < ph; ++y)
        for (int x = 0; x < pw; ++x) {
            const bool frame = x < ApronRadius || y < ApronRadius || x >= pw - ApronRadius || y >= ph - ApronRadius;
            for (int c = 0; c < channels; ++c) frame_written += frame && output[pixel_offset(x, y, pw, c)] != harness::poison;
        }
    EXPECT_EQ(frame_written, 0);
    EXPECT_NE(output[pixel_offset(ApronRadius, ApronRadius, pw, 0)], harness::poison);
}

}  // namespace
