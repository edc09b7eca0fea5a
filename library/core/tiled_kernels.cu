// The library's tiled-network kernels: one per window with a generated
// network, element type and channel count.
#include "image_kernels.cuh"
#include "kernel_catalog.h"

namespace median_core {
namespace {

template <class Config, class T>
kernel_info<T> tiled_info(const char* name, kernel_fn<T> kernel) {
    using G = typename Config::geometry;
    return {name,        kernel,        method::tiled_network,
            G::window,   G::channels,   G::span_cols,
            G::span_rows, static_cast<int>(sizeof(stage_tile<G>) + sizeof(stage_maps<G>))};
}

}  // namespace
}  // namespace median_core

#define MEDIAN_TILED_KERNEL(W, T, type_name, C)                                                           \
    __global__ void __launch_bounds__(median_core::block_threads)                                          \
        median_tiled_##type_name##_w##W##_c##C(median_core::image_args<T> a) {                             \
        median_core::tiled_image<median_core::tiled_config<W, T, C>>(a);                                   \
    }
#define MEDIAN_TILED_CHANNELS(W, T, type_name) \
    MEDIAN_TILED_KERNEL(W, T, type_name, 1)    \
    MEDIAN_TILED_KERNEL(W, T, type_name, 3)    \
    MEDIAN_TILED_KERNEL(W, T, type_name, 4)
#define MEDIAN_TILED_INFO(W, T, type_name, C)                                         \
    median_core::tiled_info<median_core::tiled_config<W, T, C>>(                      \
        "median_tiled_" #type_name "_w" #W "_c" #C, median_tiled_##type_name##_w##W##_c##C)
#define MEDIAN_TILED_INFOS(W, T, type_name) \
    MEDIAN_TILED_INFO(W, T, type_name, 1), MEDIAN_TILED_INFO(W, T, type_name, 3), MEDIAN_TILED_INFO(W, T, type_name, 4)

MEDIAN_TILED_CHANNELS(5, unsigned char, u8)
MEDIAN_TILED_CHANNELS(5, unsigned short, u16)
MEDIAN_TILED_CHANNELS(5, float, f32)

namespace median_core {

template <>
void add_tiled_kernels(std::vector<kernel_info<unsigned char>>& out) {
    out.insert(out.end(), {MEDIAN_TILED_INFOS(5, unsigned char, u8)});
}
template <>
void add_tiled_kernels(std::vector<kernel_info<unsigned short>>& out) {
    out.insert(out.end(), {MEDIAN_TILED_INFOS(5, unsigned short, u16)});
}
template <>
void add_tiled_kernels(std::vector<kernel_info<float>>& out) {
    out.insert(out.end(), {MEDIAN_TILED_INFOS(5, float, f32)});
}

}  // namespace median_core
