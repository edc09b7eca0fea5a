// The bodies of the library's kernels: a block steps down the image by
// gridDim.y block rows, staging each block's area from the caller's image
// with the border mode applied, then computing its outputs by the tiled
// networks or by selection.
#pragma once

#include "image_args.h"
#include "networks.h"
#include "select_core.cuh"
#include "stage_mapped.cuh"
#include "tiled_core.cuh"
#include "value_codec.cuh"

#include <cuda_runtime.h>

namespace median_core {

// Keys: one value a register (stage_encoding), else two in 16-bit lanes.
// Wide: the window's wide tile (tile_network<W, 1, true>) in a block of
// wide_block_cols columns.
template <int Window, class T, int Channels, bool Keys, bool Wide = false>
struct tiled_config {
    static constexpr bool keys = Keys;
    static constexpr bool wide = Wide;
    using network = tile_network<Window, 1, Wide>;
    using encoding = stage_encoding<T, Keys>;
    using geometry = tiled_geometry<Window, network::tile_cols, network::tile_rows, encoding::bands, Channels,
                                    Wide ? wide_block_cols : block_cols, block_rows>;
};

template <int Window, class T, int Channels>
struct select_config {
    using geometry = select_geometry<Window, Channels>;
};

__device__ __forceinline__ int block_row_count(int height, int span_rows) {
    return height / span_rows + (height % span_rows != 0);
}

// A block steps down the image by gridDim.y block rows: for each, `stage`
// fills the shared area, the block meets, and `outputs` computes and writes
// the thread's pixels. The kernels declare the block's shared memory in
// their own (non-template) bodies and pass it in: the emulator finds a
// kernel's shared variables there, and GCC would drop their section
// attribute in a template.
template <class G, class T, class Stage, class Outputs>
__device__ __forceinline__ void for_each_block_row(const image_args<T>& a, const Stage& stage, const Outputs& outputs) {
    const int x0 = blockIdx.x * G::span_cols;
    const int rows = block_row_count(a.height, G::span_rows);
    for (int by = blockIdx.y; by < rows; by += gridDim.y) {
        const int y0 = by * G::span_rows;
        stage(x0, y0);
        __syncthreads();
        outputs(x0, y0);
        // The next block row overwrites the staged area and the maps (the
        // condition is the same for the whole block).
        if (by + static_cast<int>(gridDim.y) < rows) __syncthreads();
    }
}

// Before sm_90 the dispatch runs no wide tile but the 3x3 one in keys: in
// lanes one lane a register doubles their registers, and the 5x5 keys
// spill there too (tuning.h). Those kernels trap there instead of being
// compiled; the catalog records from which architecture each is compiled,
// so that the dispatch's test and the tools know.
template <class Config>
constexpr int tiled_min_arch() {
    return Config::wide && !(Config::keys && Config::geometry::window == 3) ? 90 : 75;
}

template <class Config>
constexpr bool compiled_here() {
#if defined(__CUDA_ARCH__)
    return __CUDA_ARCH__ / 10 >= tiled_min_arch<Config>();
#else
    return true;
#endif
}

template <class Config, class T>
__device__ __forceinline__ void tiled_image(const image_args<T>& a, stage_tile<typename Config::geometry>& tile,
                                            stage_maps<typename Config::geometry>& maps) {
    using G = typename Config::geometry;
    if constexpr (!compiled_here<Config>()) {
#if defined(__CUDA_ARCH__)
        __trap();
#endif
    } else {
        for_each_block_row<G>(
            a, [&](int x0, int y0) { stage_mapped<G, T, Config::keys>(a, x0, y0, tile, maps); },
            [&](int x0, int y0) {
                tile_outputs<typename Config::network, G, typename Config::encoding>(tile, a.dst, a.dst_pitch,
                                                                                     a.width, a.height, x0, y0);
            });
    }
}

template <class Config, class T>
__device__ __forceinline__ void select_image(const image_args<T>& a, stage_tile<typename Config::geometry>& tile,
                                             stage_maps<typename Config::geometry>& maps) {
    using G = typename Config::geometry;
    for_each_block_row<G>(
        a, [&](int x0, int y0) { stage_mapped<G, T, /*Keys=*/true>(a, x0, y0, tile, maps); },
        [&](int x0, int y0) { select_outputs<G>(tile, a.dst, a.dst_pitch, a.width, a.height, x0, y0); });
}

}  // namespace median_core
