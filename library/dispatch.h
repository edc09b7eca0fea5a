// The dispatch layer: the architecture of the current device (asked once
// per device) and the kernel the tuning table picks for it.
#pragma once

#include "library/core/bitslice_geometry.h"
#include "library/core/kernel_catalog.h"
#include "library/tuning.h"

#include <cuda_runtime.h>

namespace median_filter::detail {

// Compute capability x 10 of the current device, or 0 after a failed query
// (whose error is in `error`).
int current_architecture(cudaError_t& error);

// The kernel for this architecture, window, channel count and image width
// (0: a width the bit-sliced kernels take); nullptr when there is none (a
// window or channel count the library refuses).
template <class T>
const median_core::kernel_info<T>* choose_kernel(int arch, int window, int channels, int width = 0) {
    const median_core::method how = choose_method(arch, window, element_of<T>(), channels);
    // The bit-sliced kernels address a row's bytes with int offsets: longer
    // rows go to the networks with one key a register.
    if (how == median_core::method::bitslice &&
        static_cast<long long>(width) * channels > median_core::bitslice::max_row_bytes)
        return median_core::find_library_kernel<T>(median_core::method::tiled_keys, window, channels);
    return median_core::find_library_kernel<T>(how, window, channels);
}

}  // namespace median_filter::detail
