// The generated networks, by window (networks/networks.h, written by
// tools/gen_tiled_network.py): tile_network<W> names the network for W x W
// windows, its thread tile and its input area.
#pragma once

#include "networks/networks.h"
