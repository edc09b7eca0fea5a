// Per-channel 5x5 median by forgetful selection, two horizontally adjacent
// pixels per thread. The working list drops its maximum and minimum, which
// can no longer be the median, each time it takes in a new value. The two
// windows share their four middle columns, so those 20 values are reduced
// once for both pixels and only each pixel's own column is reduced apart.
#include "forgetful_layout.h"
#include "launch_contract.cuh"
#include "median_kernels.cuh"

namespace {

using forgetful::pixels_per_thread;
using ff_tile = forgetful::tile;

// One more than the median's position (13th): the largest of 14 values has
// 13 below it and the smallest 13 above it, so neither can be the median.
constexpr int first_list = median_index + 2;
// Window values outside a pixel's own column, which both windows share.
constexpr int shared_values = window_values - window_side;
// What is left of the list once every shared value has been taken in.
constexpr int common_list = first_list - 2 - (shared_values - first_list);

// The list lives in registers: every index below is a compile-time constant.
using working_list = unsigned int[first_list];

// The forward pass from position From on: carries the running maximum, so
// that r[From - 1 .. To - 2] receive the smaller values, in order.
template <int From, int To>
__device__ __forceinline__ void forward_pass(working_list& r, unsigned int& carry) {
#pragma unroll
    for (int i = From; i < To; ++i) {
        const unsigned int v = r[i];
        r[i - 1] = min(carry, v);
        carry = max(carry, v);
    }
}

// Carries the running minimum down r[0 .. Size - 1] and drops it; the
// other values stay in r[0 .. Size - 2].
template <int Size>
__device__ __forceinline__ void backward_pass(working_list& r) {
    unsigned int carry = r[Size - 1];
#pragma unroll
    for (int i = Size - 2; i >= 0; --i) {
        const unsigned int v = r[i];
        r[i] = max(v, carry);
        carry = min(v, carry);
    }
}

// Drops the maximum and the minimum of r[0 .. Size - 1].
template <int Size>
__device__ __forceinline__ void reduce(working_list& r) {
    unsigned int carry = r[0];
    forward_pass<1, Size>(r, carry);
    backward_pass<Size - 1>(r);
}

// Appends values First .. Last - 1 of `next` to a list of Size values, one
// reduction step after each.
template <int Size, int First, int Last, class Next>
__device__ __forceinline__ void take_in(working_list& r, const Next& next) {
    if constexpr (First < Last) {
        r[Size] = next(First);
        reduce<Size + 1>(r);
        take_in<Size - 1, First + 1, Last>(r, next);
    }
}

// The thread's two windows in one channel: tile columns k = 0 .. 5 from the
// left pixel's window origin; the left pixel owns column 0, the right one
// column 5.
struct window_pair {
    const unsigned char* pix_mem;
    int c;
    __device__ __forceinline__ unsigned int at(int i, int k) const {
        return pix_mem[ff_tile::index(pixels_per_thread * threadIdx.x + k, threadIdx.y + i, c)];
    }
    // The 20 shared values, row by row.
    __device__ __forceinline__ unsigned int shared(int n) const {
        return at(n / (window_side - 1), 1 + n % (window_side - 1));
    }
};

// Finishes one pixel from the common list, whose forward pass over its six
// values is already done (`carry` is their maximum): the pass ends with the
// pixel's own first value, then the remaining own values are taken in.
template <class Own>
__device__ __forceinline__ unsigned int finish_pixel(const working_list& common, unsigned int carry, const Own& own) {
    working_list r;
#pragma unroll
    for (int i = 0; i < common_list - 1; ++i) r[i] = common[i];
    r[common_list - 1] = min(carry, own(0));
    backward_pass<common_list>(r);
    take_in<common_list - 1, 1, window_side>(r, own);
    return r[0];
}

// Medians of the left and the right pixel in channel c.
__device__ __forceinline__ void forgetful_pair(const unsigned char* pix_mem, int c, unsigned int& left,
                                               unsigned int& right) {
    const window_pair t{pix_mem, c};
    const auto shared = [&](int n) { return t.shared(n); };
    working_list r;
#pragma unroll
    for (int n = 0; n < first_list; ++n) r[n] = shared(n);
    reduce<first_list>(r);
    take_in<first_list - 2, first_list, shared_values>(r, shared);
    unsigned int carry = r[0];
    forward_pass<1, common_list>(r, carry);
    left = finish_pixel(r, carry, [&](int i) { return t.at(i, 0); });
    right = finish_pixel(r, carry, [&](int i) { return t.at(i, window_side); });
}

}  // namespace

__global__ void median_kernel_ff(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[ff_tile::elements];
    const int x0 = pixels_per_thread * blockIdx.x * blockDim.x;
    const int y0 = blockIdx.y * blockDim.y;
    stage_tile<ff_tile>(in, pw, x0, y0, pix_mem);
    __syncthreads();
    // Channels 0 .. 2 of the left pixel, then of the right pixel.
    unsigned int result[pixels_per_thread * channels];
#pragma unroll
    for (int c = 0; c < channels; ++c) forgetful_pair(pix_mem, c, result[c], result[channels + c]);
    const int x = x0 + pixels_per_thread * threadIdx.x;
    const int y = y0 + threadIdx.y;
#pragma unroll
    for (int b = 0; b < pixels_per_thread * channels; ++b) out[pixel_offset(x, y, pw, 0) + b] = result[b];
}
