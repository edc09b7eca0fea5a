// The 16x16-block bisection kernel's block and tile, shared with the kernel
// table.
#pragma once

#include "tile_layout.h"

constexpr int conv_block_side = 16;
// A 20x20 tile in three planes.
using conv_tile = planar_tile<conv_block_side + 2 * ApronRadius, conv_block_side + 2 * ApronRadius>;
