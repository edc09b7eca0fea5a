// Geometry of the benchmark's tiled kernels: the library's tiled core with
// two bands of 16-bit lanes and three 8-bit channels, the 5x5 network's
// 4x2 tile in 32x8 threads (median_kernel_tiled_network) or its wide 8x2
// tile in 16x8 (median_kernel_tiled_wide). Plain C++, so that the kernel
// table reads the same values.
#pragma once

#include "library/core/tiled_geometry.h"

using tiled_5x5_geometry = median_core::tiled_geometry<5, 4, 2, 2, 3>;
using tiled_wide_5x5_geometry =
    median_core::tiled_geometry<5, 8, 2, 2, 3, median_core::wide_block_cols, median_core::block_rows>;
