// The library's tiled-network kernels of one window, element type and
// channel count, in 16-bit lanes (two values a register: 8- and 16-bit
// images) and with one key a register (every type). Each window's kernels
// are one source file (tiled_kernels_wN.cu), so that the build compiles
// them side by side.
#pragma once

#include "image_kernels.cuh"
#include "kernel_catalog.h"

namespace median_core {
namespace {

template <class Config, class T>
kernel_info<T> tiled_info(const char* name, kernel_fn<T> kernel) {
    using G = typename Config::geometry;
    constexpr method how = Config::wide ? (Config::keys ? method::tiled_wide_keys : method::tiled_wide)
                                        : (Config::keys ? method::tiled_keys : method::tiled_network);
    return {name,         kernel,       how,
            G::window,    G::channels,  G::span_cols,
            G::span_rows, static_cast<int>(sizeof(stage_tile<G>) + sizeof(stage_maps<G>)),
            G::block_cols, G::block_rows, tiled_min_arch<Config>()};
}

}  // namespace
}  // namespace median_core

// Resident blocks the kernels ask ptxas to fit. From sm_90 the 3x3 and 5x5
// lane kernels of up to 3 channels fit three blocks (80 registers: 24 warps
// an SM) without spilling (7x7 spills there); 4 channels, and the forms that are not dispatched
// before sm_90, get one block, since with ptxas's own aim of three the
// 4-channel 8-bit lane kernel spilled on sm_100 and with two (128
// registers) the split-lane kernels spilled on sm_80. The wide tiles'
// blocks of 128 threads ask for four: 128 registers, 16 warps an SM, which
// the wide networks' 72 inputs need (at 80 registers they would spill).
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 900
#define MEDIAN_TILED_MIN_BLOCKS(keys, wide, W, C) ((wide) ? 4 : (!(keys) && (W) <= 5 && (C) <= 3) ? 3 : 1)
#else
#define MEDIAN_TILED_MIN_BLOCKS(keys, wide, W, C) ((wide) ? 4 : 1)
#endif
#define MEDIAN_TILED_THREADS(wide) ((wide) ? median_core::wide_block_threads : median_core::block_threads)

// The body of the kernel of that form (lanes or keys, 4x2 or wide tile),
// window, type and channel count. Each window's source defines
// MEDIAN_TILED_KERNEL, the kernel's declaration around this body, itself:
// the emulation's build finds a kernel's __launch_bounds__ in its source
// file.
#define MEDIAN_TILED_BODY(keys, wide, W, T, C)                         \
    using config = median_core::tiled_config<W, T, C, keys, wide>;     \
    __shared__ median_core::stage_tile<config::geometry> tile;         \
    __shared__ median_core::stage_maps<config::geometry> maps;         \
    median_core::tiled_image<config>(a, tile, maps);
#define MEDIAN_TILED_NAME(form, type_name, W, C) median_tiled_##form##_##type_name##_w##W##_c##C

#define MEDIAN_TILED_CHANNELS(form, keys, wide, W, T, type_name) \
    MEDIAN_TILED_KERNEL(form, keys, wide, W, T, type_name, 1)    \
    MEDIAN_TILED_KERNEL(form, keys, wide, W, T, type_name, 3)    \
    MEDIAN_TILED_KERNEL(form, keys, wide, W, T, type_name, 4)
#define MEDIAN_TILED_INFO(form, keys, wide, W, T, type_name, C)                              \
    median_core::tiled_info<median_core::tiled_config<W, T, C, keys, wide>>(                 \
        "median_tiled_" #form "_" #type_name "_w" #W "_c" #C, MEDIAN_TILED_NAME(form, type_name, W, C))
#define MEDIAN_TILED_INFOS(form, keys, wide, W, T, type_name)                                                  \
    MEDIAN_TILED_INFO(form, keys, wide, W, T, type_name, 1), MEDIAN_TILED_INFO(form, keys, wide, W, T, type_name, 3), \
        MEDIAN_TILED_INFO(form, keys, wide, W, T, type_name, 4)

// Every kernel of window W, and the catalog's lists of them.
#define MEDIAN_TILED_WINDOW(W)                                                                  \
    MEDIAN_TILED_CHANNELS(lanes, false, false, W, unsigned char, u8)                            \
    MEDIAN_TILED_CHANNELS(lanes, false, false, W, unsigned short, u16)                          \
    MEDIAN_TILED_CHANNELS(keys, true, false, W, unsigned char, u8)                              \
    MEDIAN_TILED_CHANNELS(keys, true, false, W, unsigned short, u16)                            \
    MEDIAN_TILED_CHANNELS(keys, true, false, W, float, f32)                                     \
    namespace median_core {                                                                     \
    template <>                                                                                 \
    void add_tiled_kernels<unsigned char, W>(std::vector<kernel_info<unsigned char>> & out) {   \
        out.insert(out.end(), {MEDIAN_TILED_INFOS(lanes, false, false, W, unsigned char, u8),   \
                               MEDIAN_TILED_INFOS(keys, true, false, W, unsigned char, u8)});   \
    }                                                                                           \
    template <>                                                                                 \
    void add_tiled_kernels<unsigned short, W>(std::vector<kernel_info<unsigned short>> & out) { \
        out.insert(out.end(), {MEDIAN_TILED_INFOS(lanes, false, false, W, unsigned short, u16), \
                               MEDIAN_TILED_INFOS(keys, true, false, W, unsigned short, u16)}); \
    }                                                                                           \
    template <>                                                                                 \
    void add_tiled_kernels<float, W>(std::vector<kernel_info<float>> & out) {                   \
        out.insert(out.end(), {MEDIAN_TILED_INFOS(keys, true, false, W, float, f32)});          \
    }                                                                                           \
    }

// The wide-tile kernels of window W and up to 3 channels (with 4 they
// spill): lanes for 8- and 16-bit images (the packed min/max of sm_90 on),
// keys for floats (every GPU); the integers' keys before sm_90 keep the
// 4x2 tile, whose inputs fit fewer registers.
#define MEDIAN_TILED_WIDE_CHANNELS(form, keys, W, T, type_name) \
    MEDIAN_TILED_KERNEL(form, keys, true, W, T, type_name, 1)   \
    MEDIAN_TILED_KERNEL(form, keys, true, W, T, type_name, 3)
#define MEDIAN_TILED_WIDE_INFOS(form, keys, W, T, type_name) \
    MEDIAN_TILED_INFO(form, keys, true, W, T, type_name, 1), MEDIAN_TILED_INFO(form, keys, true, W, T, type_name, 3)
#define MEDIAN_TILED_WIDE_WINDOW(W)                                                                   \
    MEDIAN_TILED_WIDE_CHANNELS(wide_lanes, false, W, unsigned char, u8)                               \
    MEDIAN_TILED_WIDE_CHANNELS(wide_lanes, false, W, unsigned short, u16)                             \
    MEDIAN_TILED_WIDE_CHANNELS(wide_keys, true, W, float, f32)                                        \
    namespace median_core {                                                                           \
    template <>                                                                                       \
    void add_wide_tiled_kernels<unsigned char, W>(std::vector<kernel_info<unsigned char>> & out) {    \
        out.insert(out.end(), {MEDIAN_TILED_WIDE_INFOS(wide_lanes, false, W, unsigned char, u8)});    \
    }                                                                                                 \
    template <>                                                                                       \
    void add_wide_tiled_kernels<unsigned short, W>(std::vector<kernel_info<unsigned short>> & out) {  \
        out.insert(out.end(), {MEDIAN_TILED_WIDE_INFOS(wide_lanes, false, W, unsigned short, u16)});  \
    }                                                                                                 \
    template <>                                                                                       \
    void add_wide_tiled_kernels<float, W>(std::vector<kernel_info<float>> & out) {                    \
        out.insert(out.end(), {MEDIAN_TILED_WIDE_INFOS(wide_keys, true, W, float, f32)});             \
    }                                                                                                 \
    }
