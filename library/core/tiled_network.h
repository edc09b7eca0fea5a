// The 5x5 network of median_kernel_tiled_network, under the name its kernels
// use; the generated networks of every window are in networks/networks.h.
#pragma once

#include "networks/median_5x5_tile_4x2.h"

namespace tiled_network = network_w5_t4x2;
