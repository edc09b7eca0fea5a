// The dispatch layer: the architecture of the current device (asked once
// per device) and the kernel the tuning table picks for it.
#pragma once

#include "library/core/kernel_catalog.h"
#include "library/tuning.h"

#include <cuda_runtime.h>

namespace median_filter::detail {

// Compute capability x 10 of the current device, or 0 after a failed query
// (whose error is in `error`).
int current_architecture(cudaError_t& error);

// The kernel for this architecture, window and channel count; nullptr
// when there is none (a window or channel count the library refuses).
template <class T>
const median_core::kernel_info<T>* choose_kernel(int arch, int window, int channels) {
    return median_core::find_library_kernel<T>(choose_method(arch, window, element_of<T>(), channels), window, channels);
}

}  // namespace median_filter::detail
