// What the range-bisection kernels write, as a function of the exact median.
// The kernels' own search runs here on the host, through the emulated
// runtime's definitions of the device qualifiers and intrinsics.
#include <cuda_runtime.h>

#include "benchmark/kernels/bisection_search.cuh"
#include "reference/median_reference.h"

#include <gtest/gtest.h>

namespace {

// The kernels' search with both counter types, on a window whose 13th
// smallest value is m; both must end at the same midpoint.
median_search search_for(int m) {
    float window[window_values];
    for (int k = 0; k < window_values; ++k) window[k] = k < median_index ? 0.0f : k == median_index ? float(m) : 255.0f;
    median_search by_float, by_count;
    for (int n = 0; n < bisection_iterations; ++n) {
        by_float.step<float>([&](int k) { return window[k]; });
        by_count.step<unsigned int>([&](int k) { return window[k]; });
    }
    EXPECT_EQ(by_float.mid, by_count.mid) << "m = " << m;
    return by_float;
}

float final_midpoint(int m) { return search_for(m).mid; }

TEST(Bisection, MappingAtItsBoundaries) {
    const int m[] = {0, 1, 128, 129, 191, 192, 255};
    const int truncated[] = {0, 0, 127, 129, 191, 191, 254};
    const int rounded[] = {1, 1, 128, 129, 191, 192, 255};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(reference::truncated_bisection(m[i]), truncated[i]) << "m = " << m[i];
        EXPECT_EQ(reference::rounded_bisection(m[i]), rounded[i]) << "m = " << m[i];
    }
    EXPECT_FLOAT_EQ(final_midpoint(129), 129.48828125f);
    EXPECT_FLOAT_EQ(final_midpoint(255), 254.50390625f);
}

TEST(Bisection, FloatSearchAgreesWithTheMappingForEveryMedian) {
    for (int m = 0; m < 256; ++m) {
        const median_search search = search_for(m);
        EXPECT_EQ(static_cast<int>(search.truncated()), reference::truncated_bisection(m)) << "m = " << m;
        EXPECT_EQ(static_cast<int>(search.rounded()), reference::rounded_bisection(m)) << "m = " << m;
    }
}

}  // namespace
