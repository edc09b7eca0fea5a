// Geometry of median_kernel_tiled_network: the library's tiled core with
// the 5x5 network's 4x2 tile, two bands of 16-bit lanes and three 8-bit
// channels. Plain C++, so that the kernel table reads the same values.
#pragma once

#include "library/core/tiled_geometry.h"

using tiled_5x5_geometry = median_core::tiled_geometry<5, 4, 2, 2, 3>;
