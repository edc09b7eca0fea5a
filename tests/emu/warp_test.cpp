// Warp shuffles and votes, and the block barriers that reduce a predicate,
// held to CUDA's documented results; on a GPU the same tests hold the
// hardware to them. How the emulation reports a warp operation that cannot
// complete is checked on the emulation only.
#include "device_array.h"
#include "test_kernels.h"
#include "tests/kernel_harness.h"

namespace {

TEST(Warp, ShufflesWithAPartialMaskReadTheirSegment) {
    REQUIRE_DEVICE();
    const unsigned mask = 0x0F0F0F0Fu;  // lanes 0-3 of each segment of 8
    device_array<int> out(32 * shuffles_per_lane);
    ASSERT_EQ(launch_partial_shuffles(out.ptr, mask), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const std::vector<int> got = out.read();
    for (int lane = 0; lane < 32; ++lane) {
        const int* row = &got[lane * shuffles_per_lane];
        const int first = lane & ~7, i = lane & 7;
        if (!(mask >> lane & 1)) {
            EXPECT_EQ(row[0], -1) << "lane " << lane << " is not in the mask";
            continue;
        }
        EXPECT_EQ(row[0], 100 + first + 3) << "idx, lane " << lane;
        EXPECT_EQ(row[1], 100 + (i >= 2 ? lane - 2 : lane)) << "up, lane " << lane;
        if (i < 2) {
            EXPECT_EQ(row[2], 100 + lane + 2) << "down, lane " << lane;
        } else {
#ifdef MEDIAN_EMULATION
            // Lanes 2 and 3 read lanes 4 and 5, outside the mask: undefined in CUDA.
            EXPECT_EQ(static_cast<unsigned>(row[2]), 0x5A5A5A5Au) << "down from outside the mask, lane " << lane;
#endif
        }
        EXPECT_EQ(row[3], 100 + (lane ^ 1)) << "xor 1, lane " << lane;
        EXPECT_EQ(row[4], 100 + (lane ^ 8)) << "xor 8, lane " << lane;
    }
}

TEST(Warp, FloatShuffleReduction) {
    REQUIRE_DEVICE();
    device_array<float> out(32);
    ASSERT_EQ(launch_warp_sum(out.ptr), cudaSuccess);
    for (float sum : out.read()) EXPECT_EQ(sum, 31 * 32 / 4.0f);
}

TEST(Warp, VotesCoverTheirOwnWarp) {
    REQUIRE_DEVICE();
    device_array<unsigned> out(64 * 4);
    ASSERT_EQ(launch_warp_votes(out.ptr), cudaSuccess);
    const std::vector<unsigned> got = out.read();
    for (unsigned t = 0; t < 64; ++t) {
        const unsigned warp = t / 32;
        unsigned ballot = 0;
        for (unsigned lane = 0; lane < 32; ++lane) ballot |= ((warp * 32 + lane) % 3 == 0 ? 1u : 0u) << lane;
        EXPECT_EQ(got[t * 4 + 0], ballot) << "thread " << t;
        EXPECT_EQ(got[t * 4 + 1], warp == 1 ? 1u : 0u) << "any, thread " << t;
        EXPECT_EQ(got[t * 4 + 2], warp == 0 ? 1u : 0u) << "all, thread " << t;
        const unsigned active = got[t * 4 + 3], lane = t % 32;
        if (lane == 31) continue;
        EXPECT_TRUE((active >> lane & 1) && !(active >> 31)) << "active mask " << active << ", thread " << t;
#ifdef MEDIAN_EMULATION
        EXPECT_EQ(active, 0x7FFFFFFFu) << "the lanes that reach it together, thread " << t;
#endif
    }
}

TEST(Warp, BlockBarriersReduceAPredicate) {
    REQUIRE_DEVICE();
    for (const int n : {33, 1024}) {
        device_array<int> out(static_cast<std::size_t>(n) * 5);
        ASSERT_EQ(launch_block_votes(n, out.ptr), cudaSuccess);
        const std::vector<int> got = out.read();
        const int expected[5] = {(n + 2) / 3, 1, 0, 1, 0};
        for (int t = 0; t < n; ++t)
            for (int k = 0; k < 5; ++k)
                ASSERT_EQ(got[t * 5 + k], expected[k]) << n << " threads, thread " << t << ", vote " << k;
    }
}

#ifdef MEDIAN_EMULATION

// The launch fails, and its report names the warp operation, its place and
// what keeps it from completing (in any thread order).
void expect_reported(divergent_warp_op which, std::initializer_list<const char*> fragments) {
    device_array<int> out(32);
    testing::internal::CaptureStderr();
    EXPECT_EQ(launch_divergent_warp_op(which, out.ptr), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    const std::string report = testing::internal::GetCapturedStderr();
    for (const char* fragment : fragments) EXPECT_NE(report.find(fragment), std::string::npos) << report;
    ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
}

TEST(EmulationWarp, WarpOperationsThatCannotCompleteAreLaunchFailures) {
    expect_reported(divergent_warp_op::lane_exited, {"lane 5 ", "exited", "__shfl_sync at ", "test_kernels.cu:"});
    expect_reported(divergent_warp_op::masks_differ,
                    {"with mask 0xaaaaaaaa", "with mask 0xffffffff", "test_kernels.cu:"});
    expect_reported(divergent_warp_op::lane_at_barrier,
                    {"waits at the barrier at ", "__syncwarp at ", "test_kernels.cu:"});
    // The workers' fibers run the next kernel from the start.
    device_array<float> out(32);
    ASSERT_EQ(launch_warp_sum(out.ptr), cudaSuccess);
    EXPECT_EQ(out.read()[0], 31 * 32 / 4.0f);
}

#endif  // MEDIAN_EMULATION

}  // namespace
