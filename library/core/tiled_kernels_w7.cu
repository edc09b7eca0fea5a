// The library's tiled-network kernels for 7x7 windows.
#include "tiled_kernels.cuh"

#define MEDIAN_TILED_KERNEL(form, keys, wide, W, T, type_name, C)                                            \
    __global__ void __launch_bounds__(MEDIAN_TILED_THREADS(wide), MEDIAN_TILED_MIN_BLOCKS(keys, wide, W, C))   \
        MEDIAN_TILED_NAME(form, type_name, W, C)(median_core::image_args<T> a) {                                \
        MEDIAN_TILED_BODY(keys, wide, W, T, C)                                                                  \
    }

MEDIAN_TILED_WINDOW(7)
