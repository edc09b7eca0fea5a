// The range bisection shared by the search kernels: instead of ordering the
// window, halve an interval of candidate medians, each time counting the
// window values above its midpoint.
#pragma once

#include "image/padded_image.h"

// Eight halvings take the interval 0 .. 255 down to about one unit.
constexpr int bisection_iterations = 8;

struct median_search {
    float lo = 0.0f;
    float hi = 255.0f;
    // Not 127.5, the midpoint of the start interval: the kernels' results
    // are defined by this start.
    float mid = 128.0f;

    // One halving. `value(k)` is window value k as a float; the count of
    // values above mid is kept as Count (float or unsigned), and the median
    // lies above mid exactly when more than median_index values do. The
    // interval update is a select, so the threads of a warp never diverge.
    template <class Count, class Values>
    __device__ __forceinline__ void step(const Values& value) {
        Count above = 0;
#pragma unroll
        for (int k = 0; k < window_values; ++k) above += Count(mid < value(k));
        const bool median_above = above > Count(median_index);
        lo = median_above ? mid : lo;
        hi = median_above ? hi : mid;
        mid = (hi + lo) * 0.5f;
    }

    // The integer part of the final midpoint.
    __device__ __forceinline__ unsigned int truncated() const { return __float2uint_rz(mid); }
    // The integer nearest to the final midpoint.
    __device__ __forceinline__ unsigned int rounded() const { return __float2uint_rz(mid + 0.5f); }
};
