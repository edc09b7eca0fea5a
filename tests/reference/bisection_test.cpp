// What the range-bisection kernels write, as a function of the exact median.
#include "reference/median_reference.h"

#include <gtest/gtest.h>

namespace {

// The search as the kernels run it, in 32-bit floats: eight halvings from
// lo = 0, hi = 255, mid = 128, on a window whose 13th smallest value is m.
float final_midpoint(int m) {
    float window[25];
    for (int k = 0; k < 25; ++k) window[k] = k < 12 ? 0.0f : k == 12 ? float(m) : 255.0f;
    float lo = 0.0f, hi = 255.0f, mid = 128.0f;
    for (int n = 0; n < 8; ++n) {
        float above = 0.0f;
        for (float v : window) above += mid < v ? 1.0f : 0.0f;
        if (above > 12.0f) lo = mid;
        else hi = mid;
        mid = (hi + lo) * 0.5f;
    }
    return mid;
}

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
        const float mid = final_midpoint(m);
        EXPECT_EQ(static_cast<int>(mid), reference::truncated_bisection(m)) << "m = " << m;
        EXPECT_EQ(static_cast<int>(mid + 0.5f), reference::rounded_bisection(m)) << "m = " << m;
    }
}

}  // namespace
