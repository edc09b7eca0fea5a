// The forgetful-selection kernel's tile and pixels per thread, shared with
// the kernel table.
#pragma once

#include "tile_layout.h"

namespace forgetful {

constexpr int pixels_per_thread = 2;
constexpr int span = pixels_per_thread * block_width;
using tile = planar_tile<span + 2 * ApronRadius, tile_height>;

}  // namespace forgetful
