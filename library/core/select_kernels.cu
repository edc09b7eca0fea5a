// The library's selection kernels: the windows without a generated network
// (9x9 to 15x15), every element type and channel count.
#include "image_kernels.cuh"
#include "kernel_catalog.h"

namespace median_core {
namespace {

template <class Config, class T>
kernel_info<T> select_info(const char* name, kernel_fn<T> kernel) {
    using G = typename Config::geometry;
    return {name,        kernel,        method::selection,
            G::window,   G::channels,   G::span_cols,
            G::span_rows, static_cast<int>(sizeof(stage_tile<G>) + sizeof(stage_maps<G>))};
}

}  // namespace
}  // namespace median_core

// One resident block is enough: left to aim at more, ptxas held the float
// 15x15 kernel to 48 registers on sm_90 and spilled.
constexpr int select_min_blocks = 1;

#define MEDIAN_SELECT_KERNEL(W, T, type_name, C)                                                          \
    __global__ void __launch_bounds__(median_core::block_threads, select_min_blocks)                       \
        median_select_##type_name##_w##W##_c##C(median_core::image_args<T> a) {                            \
        using config = median_core::select_config<W, T, C>;                                               \
        __shared__ median_core::stage_tile<config::geometry> tile;                                        \
        __shared__ median_core::stage_maps<config::geometry> maps;                                        \
        median_core::select_image<config>(a, tile, maps);                                                 \
    }
#define MEDIAN_SELECT_CHANNELS(W, T, type_name) \
    MEDIAN_SELECT_KERNEL(W, T, type_name, 1)    \
    MEDIAN_SELECT_KERNEL(W, T, type_name, 3)    \
    MEDIAN_SELECT_KERNEL(W, T, type_name, 4)
#define MEDIAN_SELECT_WINDOWS(T, type_name)  \
    MEDIAN_SELECT_CHANNELS(9, T, type_name)  \
    MEDIAN_SELECT_CHANNELS(11, T, type_name) \
    MEDIAN_SELECT_CHANNELS(13, T, type_name) \
    MEDIAN_SELECT_CHANNELS(15, T, type_name)
#define MEDIAN_SELECT_INFO(W, T, type_name, C)                                        \
    median_core::select_info<median_core::select_config<W, T, C>>(                    \
        "median_select_" #type_name "_w" #W "_c" #C, median_select_##type_name##_w##W##_c##C)
#define MEDIAN_SELECT_INFOS(W, T, type_name)                                          \
    MEDIAN_SELECT_INFO(W, T, type_name, 1), MEDIAN_SELECT_INFO(W, T, type_name, 3),   \
        MEDIAN_SELECT_INFO(W, T, type_name, 4)
#define MEDIAN_SELECT_ALL_INFOS(T, type_name)                                                                   \
    MEDIAN_SELECT_INFOS(9, T, type_name), MEDIAN_SELECT_INFOS(11, T, type_name),                                \
        MEDIAN_SELECT_INFOS(13, T, type_name), MEDIAN_SELECT_INFOS(15, T, type_name)

MEDIAN_SELECT_WINDOWS(unsigned char, u8)
MEDIAN_SELECT_WINDOWS(unsigned short, u16)
MEDIAN_SELECT_WINDOWS(float, f32)

namespace median_core {

template <>
void add_select_kernels(std::vector<kernel_info<unsigned char>>& out) {
    out.insert(out.end(), {MEDIAN_SELECT_ALL_INFOS(unsigned char, u8)});
}
template <>
void add_select_kernels(std::vector<kernel_info<unsigned short>>& out) {
    out.insert(out.end(), {MEDIAN_SELECT_ALL_INFOS(unsigned short, u16)});
}
template <>
void add_select_kernels(std::vector<kernel_info<float>>& out) {
    out.insert(out.end(), {MEDIAN_SELECT_ALL_INFOS(float, f32)});
}

}  // namespace median_core
