#include "checks_in_force.h"
#include "device_array.h"
#include "test_kernels.h"
#include "tests/kernel_harness.h"

#include "benchmark/host/host_stopwatch.h"

#include <cstdio>

#if defined(__SANITIZE_ADDRESS__)
#define TESTS_UNDER_ASAN 1
#endif

namespace {

using device_bytes = device_array<unsigned char>;

std::vector<unsigned char> window_sums_on_host(const PaddedImage& in) {
    std::vector<unsigned char> out(in.bytes.size(), harness::poison);
    for (int y = 0; y < in.height; ++y)
        for (int x = 0; x < in.width; ++x)
            for (int c = 0; c < channels; ++c) {
                unsigned sum = 0;
                for (int i = 0; i < window_side; ++i)
                    for (int j = 0; j < window_side; ++j) sum += in.at(x + j, y + i, c);
                out[pixel_offset(x, y, in.padded_width(), c)] = static_cast<unsigned char>(sum);
            }
    return out;
}

TEST(Execution, BarrierKernelOnFullHdImageMatchesHost) {
    REQUIRE_DEVICE();
    const PaddedImage in = harness::random_image(1920, 1080, 7);
    const std::size_t bytes = in.bytes.size();
    device_bytes d_in(bytes), d_out(bytes);
    ASSERT_EQ(cudaMemcpy(d_in.ptr, in.bytes.data(), bytes, cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaMemset(d_out.ptr, harness::poison, bytes), cudaSuccess);
    HostStopwatch clock;
    ASSERT_EQ(launch_window_sum(dim3(60, 135), dim3(32, 8), d_in.ptr, d_out.ptr, in.padded_width()), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    std::printf("8100 blocks of 256 threads: %.1f ms\n", clock.elapsed_ms());
    std::vector<unsigned char> out(bytes);
    ASSERT_EQ(cudaMemcpy(out.data(), d_out.ptr, bytes, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_TRUE(out == window_sums_on_host(in));
}

TEST(Execution, EveryBarrierWaitsForTheWholeBlock) {
    REQUIRE_DEVICE();
    for (const int threads : {1, 33, 256, 1024}) {
        const int blocks = 3, n = blocks * threads;
        std::vector<int> in(n), out(n);
        for (int i = 0; i < n; ++i) in[i] = i * 7;
        int *d_in = nullptr, *d_out = nullptr;
        ASSERT_EQ(cudaMalloc(&d_in, n * sizeof(int)), cudaSuccess);
        ASSERT_EQ(cudaMalloc(&d_out, n * sizeof(int)), cudaSuccess);
        ASSERT_EQ(cudaMemcpy(d_in, in.data(), n * sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);
        ASSERT_EQ(launch_rotate_twice(blocks, threads, d_in, d_out), cudaSuccess);
        ASSERT_EQ(cudaMemcpy(out.data(), d_out, n * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
        cudaFree(d_in);
        cudaFree(d_out);
        for (int b = 0; b < blocks; ++b)
            for (int t = 0; t < threads; ++t)
                ASSERT_EQ(out[b * threads + t], in[b * threads + (t + 2) % threads]) << threads << " threads";
    }
}

TEST(Execution, InvalidConfigurationsFailLikeCuda) {
    REQUIRE_DEVICE();
    device_bytes in(64), out(64);
    EXPECT_EQ(launch_window_sum(dim3(0, 1), dim3(32, 8), in.ptr, out.ptr, 4), cudaErrorInvalidConfiguration);
    EXPECT_EQ(launch_window_sum(dim3(1, 1), dim3(32, 0), in.ptr, out.ptr, 4), cudaErrorInvalidConfiguration);
    EXPECT_EQ(launch_window_sum(dim3(1, 1), dim3(1025, 1), in.ptr, out.ptr, 4), cudaErrorInvalidConfiguration);
    EXPECT_EQ(launch_window_sum(dim3(1, 1), dim3(64, 32), in.ptr, out.ptr, 4), cudaErrorInvalidConfiguration);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "a configuration error is not sticky";
}

TEST(Execution, EventsMeasureTheWorkBetweenThem) {
    REQUIRE_DEVICE();
    cudaEvent_t start, stop;
    ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&stop), cudaSuccess);
    const PaddedImage in = harness::random_image(256, 256, 1);
    device_bytes d_in(in.bytes.size()), d_out(in.bytes.size());
    ASSERT_EQ(cudaMemcpy(d_in.ptr, in.bytes.data(), in.bytes.size(), cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(start, nullptr), cudaSuccess);
    ASSERT_EQ(launch_window_sum(dim3(8, 32), dim3(32, 8), d_in.ptr, d_out.ptr, in.padded_width()), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(stop, nullptr), cudaSuccess);
    ASSERT_EQ(cudaEventSynchronize(stop), cudaSuccess);
    float ms = -1;
    ASSERT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
    EXPECT_GT(ms, 0.0f);
    cudaEventDestroy(start);
    cudaEventDestroy(stop);
}

TEST(Execution, DynamicSharedMemoryIsOneArrayUnderEveryName) {
    REQUIRE_DEVICE();
    for (const int n : {1, 256, 1024}) {
        std::vector<int> in(n);
        for (int t = 0; t < n; ++t) in[t] = 3 * t + 1;
        device_array<int> d_in(n), d_out(n);
        d_in.write(in);
        ASSERT_EQ(launch_dynamic_rotate(n, n * sizeof(int), d_in.ptr, d_out.ptr), cudaSuccess);
        const std::vector<int> out = d_out.read();
        for (int t = 0; t < n; ++t) ASSERT_EQ(out[t], in[(t + 1) % n]) << n << " threads";
    }
}

#ifdef MEDIAN_EMULATION

TEST(Emulation, FreshDeviceMemoryIsPoisoned) {
    device_bytes buffer(100);
    std::vector<unsigned char> host(100, 0);
    ASSERT_EQ(cudaMemcpy(host.data(), buffer.ptr, 100, cudaMemcpyDeviceToHost), cudaSuccess);
    for (unsigned char b : host) ASSERT_NE(b, 0);
}

TEST(Emulation, CopiesOutsideAnAllocationAreRefused) {
    device_bytes buffer(16);
    unsigned char host[32] = {};
    EXPECT_EQ(cudaMemcpy(buffer.ptr, host, 32, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host, buffer.ptr + 8, 16, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host, host + 16, 16, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    cudaGetLastError();
}

TEST(Emulation, DivergentBarrierIsALaunchFailureNotAHang) {
    int* out = nullptr;
    ASSERT_EQ(cudaMalloc(&out, 32 * sizeof(int)), cudaSuccess);
    EXPECT_EQ(launch_divergent_barrier(out), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaMemcpy(out, out, 4, cudaMemcpyDeviceToDevice), cudaErrorLaunchFailure) << "the failure is sticky";
    ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    // The workers' fibers are usable again after the failed block.
    const PaddedImage in = harness::random_image(64, 16, 3);
    device_bytes d_in(in.bytes.size()), d_out(in.bytes.size());
    ASSERT_EQ(cudaMemcpy(d_in.ptr, in.bytes.data(), in.bytes.size(), cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(launch_window_sum(dim3(2, 2), dim3(32, 8), d_in.ptr, d_out.ptr, in.padded_width()), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

TEST(Emulation, DynamicSharedMemoryUpTo48KiB) {
    device_array<int> in(1), out(1);
    in.write({7});
    EXPECT_EQ(launch_dynamic_rotate(1, 48 * 1024, in.ptr, out.ptr), cudaSuccess);
    EXPECT_EQ(launch_dynamic_rotate(1, 48 * 1024 + 1, in.ptr, out.ptr), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess) << "a refused launch is not sticky";
}

TEST(Emulation, SharedMemoryStartsPoisonedInEveryBlock) {
    const int blocks = 4, n = 64;  // more blocks than workers: a worker runs several
    device_array<unsigned> out(blocks * 2 * n);
    ASSERT_EQ(launch_unwritten_shared(blocks, n, out.ptr), cudaSuccess);
    if (init_check()) {
        // The check build reports the reads instead (check_test.cpp).
        EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
        ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
        return;
    }
    const std::vector<unsigned> got = out.read();
    for (int b = 0; b < blocks; ++b)
        for (int i = 0; i < 2 * n; ++i)
            ASSERT_EQ(got[b * 2 * n + i], b == 0 ? static_cast<unsigned>(i % n) : 0x5A5A5A5Au)
                << "block " << b << (i < n ? ", static" : ", dynamic") << " word " << i % n;
}

#ifdef TESTS_UNDER_ASAN
void read_past_dynamic_shared() {
    device_bytes out(1);
    launch_dynamic_shared_read(16, 16, out.ptr);
}

void read_past_end() {
    device_bytes in(64), out(1);
    launch_read_past_end(in.ptr, out.ptr, 64);
}

void overrun_shared_array() {
    device_bytes out(1);
    launch_shared_overrun(out.ptr, 32);
}
#endif

TEST(Emulation, ThreadsAtDifferentBarriersAreALaunchFailure) {
    int* out = nullptr;
    ASSERT_EQ(cudaMalloc(&out, 32 * sizeof(int)), cudaSuccess);
    EXPECT_EQ(launch_split_barrier(out), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
}

TEST(EmulationSanitizer, OutOfBoundsDeviceReadIsReported) {
#ifndef TESTS_UNDER_ASAN
    GTEST_SKIP() << "needs the sanitizer build (AddressSanitizer)";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(read_past_end(), "heap-buffer-overflow");
#endif
}

TEST(EmulationSanitizer, ReadPastTheLaunchsDynamicSharedMemoryIsReported) {
#ifndef TESTS_UNDER_ASAN
    GTEST_SKIP() << "needs the sanitizer build (AddressSanitizer)";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(read_past_dynamic_shared(), "use-after-poison");
#endif
}

TEST(EmulationSanitizer, SharedArrayOverrunIsReported) {
#ifndef TESTS_UNDER_ASAN
    GTEST_SKIP() << "needs the sanitizer build (UndefinedBehaviorSanitizer bounds check)";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(overrun_shared_array(), "out of bounds");
#endif
}

#endif  // MEDIAN_EMULATION

}  // namespace
