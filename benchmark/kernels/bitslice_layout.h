// The benchmark's bit-sliced kernel's geometry, for the kernel table: the
// library's bit-sliced geometry (library/core/bitslice_geometry.h) for RGB.
#pragma once

#include "image/padded_image.h"
#include "library/core/bitslice_geometry.h"

namespace bitslice {

using rgb_geometry = median_core::bitslice::geometry<channels>;
using median_core::bitslice::rows_per_thread;
using median_core::bitslice::shared_bytes;
using median_core::bitslice::threads_x;
using median_core::bitslice::threads_y;
constexpr int bitslice_threads = median_core::bitslice::threads;
constexpr int pixels_per_thread = rgb_geometry::pixels_per_thread;
static_assert(median_core::bitslice::radius == ApronRadius, "the kernel reads the buffer's whole border");

}  // namespace bitslice
