// Other libraries' median filters that `median_suite bench` runs, checks and
// times beside the kernels of the table.
#pragma once

#include "suite_bench.h"

#include <vector>

// NPP's nppiFilterMedian_8u_C3R (row npp_filter_median) in a GPU build that
// found NPP; none otherwise.
std::vector<bench_peer> library_peers();
