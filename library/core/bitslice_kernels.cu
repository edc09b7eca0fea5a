// The library's bit-sliced 5x5 kernels for 8-bit images of 1, 3 and 4
// channels (bitslice_core.cuh), reading the caller's image with the border
// mode applied while staging.
#include "bitslice_core.cuh"
#include "image_kernels.cuh"
#include "kernel_catalog.h"

namespace median_core::bitslice {
namespace {

// The caller's image as the source of a block's staged rows: staged row r,
// byte b is byte b - radius * C of image row y0 - radius + r, both mapped by
// the border mode. 32 bytes that lie inside the image row (and whose aligned
// span does) come in word loads; the others, at the image's left and right
// ends, byte by byte through the column map.
template <int Channels>
struct mapped_source {
    const image_args<unsigned char>& a;
    int first;  // the block's first staged byte in a row (may be negative)
    int y0;     // the block's first output row

    __device__ __forceinline__ int staged_rows() const { return input_rows; }

    // Byte `at` (>= -radius * C) of a row read through the column map.
    __device__ __forceinline__ unsigned char mapped_byte(const unsigned char* row, int at) const {
        // Offset by the border so that the division rounds down.
        const int pixel = (at + radius * Channels) / Channels - radius;
        const int channel = at - pixel * Channels;
        const int x = median_filter::border_index(pixel, a.width, a.mode);
        return x < 0 ? a.constant_value : __ldg(row + x * Channels + channel);
    }

    __device__ __forceinline__ void bytes(int r, int b, word (&t)[8]) const {
        const int y = median_filter::border_index(y0 - radius + r, a.height, a.mode);
        const int row_len = a.width * Channels;
        const int at = first + b;
        if (y < 0) {
            const word k = a.constant_value * 0x01010101u;
#pragma unroll
            for (int i = 0; i < 8; ++i) t[i] = k;
            return;
        }
        const unsigned char* row = a.src + static_cast<std::size_t>(y) * a.src_pitch;
        if (aligned_span_inside(row, at, row_len)) {
            load_aligned_span(row + at, t);
            return;
        }
        // One byte at a time into the last word, moving the words down: a
        // loop the compiler keeps rolled, with one copy of the map.
#pragma unroll
        for (int i = 0; i < 8; ++i) t[i] = 0;
#pragma unroll 1
        for (int i = 0; i < lanes; ++i) {
            const word v = mapped_byte(row, at + i);
#pragma unroll
            for (int k = 0; k < 7; ++k) t[k] = __funnelshift_r(t[k], t[k + 1], 8);
            t[7] = __funnelshift_r(t[7], v, 8);
        }
    }
};

// The source of a block whose staged area, with the aligned spans of its
// loads, lies inside the image (all but the edge blocks of a large image):
// no map, no check.
template <int Channels>
struct inside_source {
    const image_args<unsigned char>& a;
    int first;
    int y0;

    __device__ __forceinline__ int staged_rows() const { return input_rows; }

    __device__ __forceinline__ void bytes(int r, int b, word (&t)[8]) const {
        load_aligned_span(a.src + static_cast<std::size_t>(y0 - radius + r) * a.src_pitch + first + b, t);
    }
};

// Whether inside_source serves the block whose first staged byte of a row is
// `first` and first output row y0: every aligned span of its staged rows
// lies inside the image.
template <int Channels>
__device__ __forceinline__ bool staged_area_inside(const image_args<unsigned char>& a, int first, int y0) {
    // The columns as one unsigned range test (false where the image is
    // narrower than the area), every test evaluated: with four comparisons
    // and short cuts, ptxas kept some of the predicates in a register's bits
    // across the block-row loop, which the machine-code profile cannot follow.
    const int from = load_size, to = a.width * Channels - input_words * lanes - load_size;
    return (to >= from) & (unsigned(first - from) <= unsigned(to - from)) & (y0 >= radius) &
           (y0 - radius + input_rows <= a.height);
}

template <int Channels>
__device__ __forceinline__ void bitslice_image(const image_args<unsigned char>& a, word* planes, word* out_tile) {
    using G = geometry<Channels>;
    const int tid = thread_rank();
    const output_image out{a.dst, a.dst_pitch, a.width * Channels, a.height};
    for_each_block_row<G>(
        a,
        [&](int x0, int y0) {
            const int first = (x0 - radius) * Channels;
            // The same for the whole block.
            if (staged_area_inside<Channels>(a, first, y0))
                stage_planes(inside_source<Channels>{a, first, y0}, tid, planes);
            else
                stage_planes(mapped_source<Channels>{a, first, y0}, tid, planes);
        },
        [&](int x0, int y0) { select_and_store<Channels>(planes, out_tile, out, x0 * Channels, y0, tid); });
}

template <int Channels>
kernel_info<unsigned char> bitslice_info(const char* name, kernel_fn<unsigned char> kernel) {
    using G = geometry<Channels>;
    return {name, kernel, method::bitslice, 2 * radius + 1, Channels, G::span_cols, G::span_rows, shared_bytes,
            threads_x, threads_y};
}

}  // namespace
}  // namespace median_core::bitslice

// 128 threads of up to 128 registers (bitslice_geometry.h says why).
#define MEDIAN_BITSLICE_KERNEL(C)                                                                             \
    __global__ void __launch_bounds__(median_core::bitslice::threads, median_core::bitslice::min_blocks_per_sm) \
        median_bitslice_u8_w5_c##C(median_core::image_args<unsigned char> a) {                                \
        __shared__ __align__(16) median_core::bitslice::word planes[median_core::bitslice::plane_tile_words];  \
        __shared__ __align__(16) median_core::bitslice::word out_tile[median_core::bitslice::out_tile_words];  \
        median_core::bitslice::bitslice_image<C>(a, planes, out_tile);                                       \
    }

MEDIAN_BITSLICE_KERNEL(1)
MEDIAN_BITSLICE_KERNEL(3)
MEDIAN_BITSLICE_KERNEL(4)

namespace median_core {

void add_bitslice_kernels(std::vector<kernel_info<unsigned char>>& out) {
    out.insert(out.end(), {bitslice::bitslice_info<1>("median_bitslice_u8_w5_c1", median_bitslice_u8_w5_c1),
                           bitslice::bitslice_info<3>("median_bitslice_u8_w5_c3", median_bitslice_u8_w5_c3),
                           bitslice::bitslice_info<4>("median_bitslice_u8_w5_c4", median_bitslice_u8_w5_c4)});
}

}  // namespace median_core
