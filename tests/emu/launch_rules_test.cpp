// Launch rules a GPU enforces, held on both flavours, and the emulation's
// compute capability and alignment check.
#include "device_array.h"
#include "launch_rules_kernels.h"
#include "tests/kernel_harness.h"

#include <cstdint>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define TESTS_UNDER_SANITIZERS 1
#endif

namespace {

int device_attribute(cudaDeviceAttr attribute) {
    int value = -1;
    EXPECT_EQ(cudaDeviceGetAttribute(&value, attribute, 0), cudaSuccess);
    return value;
}

TEST(LaunchRules, DeviceMemoryIs256ByteAligned) {
    REQUIRE_DEVICE();
    for (const std::size_t bytes : {1, 3, 255, 4097}) {
        device_array<unsigned char> a(bytes), b(bytes);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.ptr) % 256, 0u) << bytes << " bytes";
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.ptr) % 256, 0u) << bytes << " bytes";
    }
}

TEST(LaunchRules, BlockAboveTheKernelsLaunchBoundsIsRefused) {
    REQUIRE_DEVICE();
    device_array<int> out(2 * bounded_threads);
    ASSERT_EQ(launch_bounded(bounded_threads, out.ptr), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(out.read()[bounded_threads - 1], bounded_threads - 1);

    EXPECT_EQ(launch_bounded(bounded_threads + 1, out.ptr), cudaErrorLaunchOutOfResources);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess) << "a refused launch is not sticky";

    cudaFuncAttributes attributes{};
    ASSERT_EQ(cudaFuncGetAttributes(&attributes, bounded_kernel_address()), cudaSuccess);
    EXPECT_EQ(attributes.maxThreadsPerBlock, bounded_threads);
}

TEST(LaunchRules, SharedMemoryAbove48KiBNeedsTheOptInUpToTheArchitecturesMaximum) {
    REQUIRE_DEVICE();
    const void* kernel = big_shared_kernel_address();
    cudaFuncAttributes attributes{};
    ASSERT_EQ(cudaFuncGetAttributes(&attributes, kernel), cudaSuccess);
    EXPECT_EQ(attributes.sharedSizeBytes, big_static_shared) << "the static size is the kernel's own";

    const std::size_t default_dynamic = 48 * 1024 - big_static_shared;
    device_array<unsigned char> out(2);
    ASSERT_EQ(launch_big_shared(default_dynamic, out.ptr), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(out.read(), (std::vector<unsigned char>{7, 9}));
    EXPECT_EQ(launch_big_shared(default_dynamic + 1, out.ptr), cudaErrorInvalidValue) << "static plus dynamic";
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);

    const std::size_t optin_dynamic = device_attribute(cudaDevAttrMaxSharedMemoryPerBlockOptin) - big_static_shared;
    const int too_much = static_cast<int>(optin_dynamic + 1);
    EXPECT_EQ(cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, too_much),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    ASSERT_EQ(cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, int(optin_dynamic)),
              cudaSuccess);
    EXPECT_EQ(launch_big_shared(optin_dynamic, out.ptr), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(launch_big_shared(optin_dynamic + 1, out.ptr), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    ASSERT_EQ(cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, int(default_dynamic)),
              cudaSuccess);
}

TEST(LaunchRules, AlignedVectorLoadsReadTheirBytes) {
    REQUIRE_DEVICE();
    std::vector<unsigned char> bytes(64);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i);
    device_array<unsigned char> in(bytes.size());
    in.write(bytes);
    device_array<unsigned int> out(6);
    ASSERT_EQ(launch_vector_loads(in.ptr, 8, 16, out.ptr), cudaSuccess);
    EXPECT_EQ(out.read(), (std::vector<unsigned int>{0x0B0A0908, 0x0F0E0D0C, 0x13121110, 0x17161514, 0x1B1A1918,
                                                     0x1F1E1D1C}));
}

#ifdef MEDIAN_EMULATION

// Run in a child process (a death test), whose emulated device is not made
// yet: exits 0 when the device EMU_COMPUTE_CAPABILITY=cc names has this
// compute capability and opt-in shared memory, and holds a kernel to it.
[[noreturn]] void check_architecture(const char* cc, int major, int minor, int optin) {
    setenv("EMU_COMPUTE_CAPABILITY", cc, 1);
    const void* kernel = big_shared_kernel_address();
    const int dynamic = optin - static_cast<int>(big_static_shared);
    const bool ok = device_attribute(cudaDevAttrComputeCapabilityMajor) == major &&
                    device_attribute(cudaDevAttrComputeCapabilityMinor) == minor &&
                    device_attribute(cudaDevAttrMaxSharedMemoryPerBlockOptin) == optin &&
                    cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, dynamic + 1) ==
                        cudaErrorInvalidValue &&
                    cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, dynamic) == cudaSuccess;
    std::exit(ok ? 0 : 1);
}

[[noreturn]] void check_no_device(const char* cc) {
    setenv("EMU_COMPUTE_CAPABILITY", cc, 1);
    int count = -1;
    void* p = nullptr;
    const bool ok = cudaGetDeviceCount(&count) == cudaErrorNoDevice && count == 0 &&
                    cudaMalloc(&p, 16) == cudaErrorNoDevice;
    std::exit(ok ? 0 : 1);
}

TEST(EmulationLaunchRules, ComputeCapabilityComesFromTheEnvironment) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(check_architecture("9.0", 9, 0, 227 * 1024), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(check_architecture("8.0", 8, 0, 163 * 1024), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(check_architecture("7.5", 7, 5, 64 * 1024), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(check_no_device("5.2"), testing::ExitedWithCode(0), "EMU_COMPUTE_CAPABILITY=5.2 is not one of");
    EXPECT_EXIT(check_no_device("9"), testing::ExitedWithCode(0), "EMU_COMPUTE_CAPABILITY=9 is not one of");
}

TEST(EmulationSanitizer, MisalignedVectorLoadIsReported) {
#ifndef TESTS_UNDER_SANITIZERS
    GTEST_SKIP() << "needs the sanitizer build (UndefinedBehaviorSanitizer alignment check)";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto load = [](int offset2, int offset4) {
        device_array<unsigned char> in(64);
        device_array<unsigned int> out(6);
        launch_vector_loads(in.ptr, offset2, offset4, out.ptr);
    };
    EXPECT_DEATH(load(4, 16), "misaligned address .* 'const struct uint2', which requires 8 byte alignment");
    EXPECT_DEATH(load(8, 8), "misaligned address .* 'const struct uint4', which requires 16 byte alignment");
#endif
}

#endif  // MEDIAN_EMULATION

}  // namespace
