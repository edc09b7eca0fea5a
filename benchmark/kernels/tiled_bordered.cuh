// The library's tiled core on the benchmark's bordered buffer: a block
// stages its area straight from the buffer (no coordinate mapping, the
// border is already there) and writes image pixel (x, y) at bordered pixel
// (x, y), top-left.
#pragma once

#include "library/core/networks.h"
#include "library/core/stage_bordered.cuh"
#include "library/core/tiled_core.cuh"
#include "tiled_layout.h"

// The 8-bit lane encoding with the lane form named by WireTag.
template <class WireTag>
struct lane_encoding : stage_encoding<unsigned char, false> {
    using wire_tag = WireTag;
};

// Net: the 5x5 network of G's tile; WireTag: native_lanes_tag, or
// split_lanes to run the pre-sm_90 form anywhere.
template <class Net, class WireTag, class G>
__device__ __forceinline__ void tiled_bordered(const unsigned char* in, unsigned char* out, int pw, int height,
                                               median_core::stage_tile<G>& tile) {
    const median_core::bordered_source<G> source{in, pw, height + 2 * G::radius};
    const int x0 = blockIdx.x * G::span_cols;
    const int y0 = blockIdx.y * G::span_rows;
    source.stage(x0, y0, tile);
    __syncthreads();
    const std::size_t pitch = static_cast<std::size_t>(pw) * G::channels;
    median_core::tile_outputs<Net, G, lane_encoding<WireTag>>(
        tile, out, pitch, pw - 2 * G::radius, height, x0, y0);
}

template <class WireTag>
__device__ __forceinline__ void tiled_bordered_5x5(const unsigned char* in, unsigned char* out, int pw, int height,
                                                   median_core::stage_tile<tiled_5x5_geometry>& tile) {
    tiled_bordered<median_core::tile_network<5>, WireTag>(in, out, pw, height, tile);
}
