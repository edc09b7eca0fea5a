// Launch geometry of median_kernel_tiled_network: every tuning constant of
// the kernel, in plain C++ so that the kernel table reads the same values.
#pragma once

#include "image/padded_image.h"

namespace tiled {

// A thread's tile per lane (the generated network's tile), the block shape
// and the lanes per network wire.
constexpr int thread_cols = 4;
constexpr int thread_rows = 2;
constexpr int block_cols = 32;
constexpr int block_rows = 8;
constexpr int lanes = 2;

constexpr int threads = block_cols * block_rows;
constexpr int band_rows = block_rows * thread_rows;  // output rows of one lane
constexpr int span_cols = block_cols * thread_cols;
constexpr int span_rows = band_rows * lanes;
constexpr int stage_cols = span_cols + 2 * ApronRadius;
constexpr int stage_rows = band_rows + 2 * ApronRadius;
// One 32-bit lane word per channel, row and column of the staged area.
constexpr int stage_bytes = channels * stage_rows * stage_cols * 4;

}  // namespace tiled
