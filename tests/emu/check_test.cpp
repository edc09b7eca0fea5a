// The race and initialisation checks of the check build: each kernel that
// breaks a rule fails its launch with a report naming the threads and the
// places, and its corrected twin passes.
#include "check_kernels.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <regex>
#include <string>
#include <vector>

#include "checks_in_force.h"

namespace {

constexpr const char* off = "off in this build: the check preset runs it";

struct outcome {
    bool failed = false;
    std::string report;
};

using launcher = std::function<cudaError_t(const int* in, int* out)>;

// Runs a launch on fresh buffers of n ints, the first `written` of `in`
// copied from the host, to its end.
outcome run(int n, int written, const launcher& launch) {
    int *in = nullptr, *out = nullptr;
    EXPECT_EQ(cudaMalloc(&in, n * sizeof(int)), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&out, n * sizeof(int)), cudaSuccess);
    std::vector<int> values(static_cast<std::size_t>(n));
    std::iota(values.begin(), values.end(), 0);
    EXPECT_EQ(cudaMemcpy(in, values.data(), written * sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);
    testing::internal::CaptureStderr();
    cudaError_t e = launch(in, out);
    if (e == cudaSuccess) e = cudaDeviceSynchronize();
    const outcome result{e != cudaSuccess, testing::internal::GetCapturedStderr()};
    if (result.failed) {
        EXPECT_EQ(e, cudaErrorLaunchFailure);
        EXPECT_EQ(cudaDeviceReset(), cudaSuccess);
    } else {
        cudaFree(in);
        cudaFree(out);
    }
    return result;
}

outcome run(int n, const launcher& launch) { return run(n, n, launch); }

int places_named(const std::string& report) {
    const std::regex place("check_kernels\\.cu:[0-9]+");
    return static_cast<int>(std::distance(std::sregex_iterator(report.begin(), report.end(), place), {}));
}

TEST(Checks, SharedMemoryRacesAreCaughtAndTheirSynchronisedTwinsPass) {
    if (!race_check()) GTEST_SKIP() << "the race check is " << off;
    struct kernel_case {
        const char* name;
        bool racy;
        launcher launch;
    };
    const kernel_case cases[] = {
        {"read after write, no barrier", true,
         [](auto in, auto out) { return launch_neighbour_after_write(64, false, in, out); }},
        {"read after write, barrier", false,
         [](auto in, auto out) { return launch_neighbour_after_write(64, true, in, out); }},
        {"write after read, no barrier", true,
         [](auto in, auto out) { return launch_overwrite_after_read(64, false, in, out); }},
        {"write after read, barrier", false,
         [](auto in, auto out) { return launch_overwrite_after_read(64, true, in, out); }},
        {"lanes, no __syncwarp", true,
         [](auto, auto out) { return launch_warp_exchange(64, 1, false, out); }},
        {"lanes, __syncwarp", false,
         [](auto, auto out) { return launch_warp_exchange(64, 1, true, out); }},
        {"warps, __syncwarp only", true,
         [](auto, auto out) { return launch_warp_exchange(64, 32, true, out); }},
    };
    for (const kernel_case& c : cases) {
        const outcome o = run(64, c.launch);
        EXPECT_EQ(o.failed, c.racy) << c.name << ": " << o.report;
        if (c.racy) {
            EXPECT_NE(o.report.find("race on static shared memory"), std::string::npos) << c.name << o.report;
        }
    }
}

TEST(Checks, ARaceReportNamesTheKernelBothThreadsAndBothPlaces) {
    if (!race_check()) GTEST_SKIP() << "the race check is " << off;
    const outcome o = run(64, [](auto in, auto out) { return launch_neighbour_after_write(64, false, in, out); });
    ASSERT_TRUE(o.failed);
    EXPECT_NE(o.report.find("neighbour_after_write_kernel"), std::string::npos) << o.report;
    // The first thread reads its neighbour's word before the neighbour rewrites it.
    EXPECT_NE(o.report.find("thread (0,0,0) reads it in"), std::string::npos) << o.report;
    EXPECT_NE(o.report.find("thread (1,0,0) writes it in"), std::string::npos) << o.report;
    EXPECT_EQ(places_named(o.report), 2) << o.report;
}

TEST(Checks, ReadsOfSharedMemoryNoThreadWroteAreCaught) {
    if (!init_check()) GTEST_SKIP() << "the init check is " << off;
    const outcome missing = run(64, [](auto, auto out) { return launch_shared_words_read(64, 64, out); });
    ASSERT_TRUE(missing.failed);
    EXPECT_NE(missing.report.find("uninitialised read of static shared memory"), std::string::npos) << missing.report;
    EXPECT_NE(missing.report.find("thread (63,0,0) reads it in"), std::string::npos) << missing.report;
    EXPECT_EQ(places_named(missing.report), 1) << missing.report;
    const outcome all = run(64, [](auto, auto out) { return launch_shared_words_read(64, 65, out); });
    EXPECT_FALSE(all.failed) << all.report;
    // The instrumentation does not see the fill; the bytes are no longer poison.
    const outcome filled = run(64, [](auto, auto out) { return launch_zero_filled_read(64, out); });
    EXPECT_FALSE(filled.failed) << filled.report;
}

TEST(Checks, ReadsOfDeviceMemoryNothingWroteAreCaught) {
    if (!init_check()) GTEST_SKIP() << "the init check is " << off;
    const auto copy = [](const int* in, int* out) { return launch_copy(64, in, out); };
    const outcome half = run(64, 32, copy);
    ASSERT_TRUE(half.failed);
    EXPECT_NE(half.report.find("uninitialised read of device memory"), std::string::npos) << half.report;
    EXPECT_NE(half.report.find("byte 128 of the 256-byte allocation"), std::string::npos) << half.report;
    EXPECT_FALSE(run(64, copy).failed) << "copied from the host";
    const outcome set = run(64, 0, [](const int* in, int* out) {
        const cudaError_t e = cudaMemset(const_cast<int*>(in), 0, 64 * sizeof(int));
        return e == cudaSuccess ? launch_copy(64, in, out) : e;
    });
    EXPECT_FALSE(set.failed) << set.report;
    const outcome kernel_written = run(64, [](const int* in, int* out) {
        const cudaError_t e = launch_copy(64, in, out);
        return e == cudaSuccess ? launch_copy(64, out, const_cast<int*>(in)) : e;
    });
    EXPECT_FALSE(kernel_written.failed) << kernel_written.report;
}

}  // namespace
