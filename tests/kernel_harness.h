// Runs kernels of the table on bordered images in this build's backend (the
// CPU emulation, or the GPU) and compares them with their reference.
#pragma once

#include "benchmark/host/filter_runner.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Skips the current test, with the reason, when no device can run kernels.
#define REQUIRE_DEVICE()                                                   \
    do {                                                                   \
        std::string why_no_device;                                         \
        if (!device_available(why_no_device))                              \
            GTEST_SKIP() << "no CUDA device to run on: " << why_no_device; \
    } while (0)

namespace harness {

// Every byte of the output buffer that a kernel does not write keeps this.
constexpr unsigned char poison = 0xA5;

using pixel_source = std::function<unsigned char(int x, int y, int c)>;

// A W x H image with the given image pixels, bordered with black.
PaddedImage make_image(int width, int height, const pixel_source& source);
PaddedImage random_image(int width, int height, std::uint32_t seed);

// The table entry of that name; throws (failing the test) when there is none.
const kernel_entry& kernel_named(const std::string& name);

// One launch of `kernel` over its grid; the output buffer starts as `poison`.
std::vector<unsigned char> run_once(const kernel_entry& kernel, const PaddedImage& input);

// Result of checking an output buffer against the kernel's reference.
struct comparison {
    long wrong_covered = 0;      // covered pixel bytes that differ from the reference
    long written_uncovered = 0;  // bytes outside the covered pixels that are not `poison`
    std::string first_difference;
};
comparison compare_with_reference(const kernel_entry& kernel, const PaddedImage& input,
                                  const std::vector<unsigned char>& output);

// The kernel's three channel results for image pixel (x, y).
std::vector<unsigned char> output_pixel(const kernel_entry& kernel, const PaddedImage& input,
                                        const std::vector<unsigned char>& output, int x, int y);

// A 32x8 image (one block) whose window at image pixel (2, 2) holds
// `window` (25 values, row-major) in every channel; returns that pixel's
// result from `kernel`.
std::vector<unsigned char> median_of_window(const kernel_entry& kernel, const std::vector<unsigned char>& window);

}  // namespace harness

// Names a table entry in test output instead of dumping its bytes.
inline void PrintTo(const kernel_entry& kernel, std::ostream* os) { *os << kernel.name; }
