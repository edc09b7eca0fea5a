#include "tiled_split_lanes.h"

#include "benchmark/kernels/tiled_bordered.cuh"

namespace {

__global__ void __launch_bounds__(tiled_5x5_geometry::threads)
    tiled_network_split_lanes_kernel(const unsigned char* __restrict__ in, unsigned char* __restrict__ out, int pw,
                                     int height) {
    __shared__ median_core::stage_tile<tiled_5x5_geometry> tile;
    tiled_bordered_5x5<split_lanes>(in, out, pw, height, tile);
}

cudaError_t launch_split_lanes(dim3 grid, dim3 block, const unsigned char* in, unsigned char* out, int pw,
                               int height) {
    void* args[] = {&in, &out, &pw, &height};
    return cudaLaunchKernel(tiled_network_split_lanes_kernel, grid, block, args, 0, nullptr);
}

}  // namespace

kernel_entry tiled_network_split_lanes() {
    kernel_entry entry = *find_kernel("median_kernel_tiled_network");
    entry.name = "median_kernel_tiled_network_split_lanes";
    entry.launch = launch_split_lanes;
    return entry;
}
