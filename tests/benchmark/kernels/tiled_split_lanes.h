// median_kernel_tiled_network with each lane in its own register, the form
// GPUs before sm_90 run, as a table entry for the tests.
#pragma once

#include "benchmark/table/kernel_table.h"

kernel_entry tiled_network_split_lanes();
