#include "library/dispatch.h"

#include <atomic>

namespace median_filter::detail {
namespace {

// Devices whose architecture is remembered; others are asked every call.
constexpr int cached_devices = 64;

}  // namespace

int current_architecture(cudaError_t& error) {
    int device = 0;
    error = cudaGetDevice(&device);
    if (error != cudaSuccess) return 0;
    // The library's one piece of state: a device's architecture never
    // changes, so the first answer is kept (0 = not asked yet). Racing
    // first calls ask twice and store the same value.
    static std::atomic<int> known[cached_devices] = {};
    if (device >= 0 && device < cached_devices)
        if (const int arch = known[device].load(std::memory_order_relaxed)) return arch;
    int major = 0, minor = 0;
    error = cudaDeviceGetAttribute(&major, cudaDevAttrComputeCapabilityMajor, device);
    if (error == cudaSuccess) error = cudaDeviceGetAttribute(&minor, cudaDevAttrComputeCapabilityMinor, device);
    if (error != cudaSuccess) return 0;
    const int arch = major * 10 + minor;
    if (device >= 0 && device < cached_devices) known[device].store(arch, std::memory_order_relaxed);
    return arch;
}

}  // namespace median_filter::detail
