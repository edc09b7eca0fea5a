// Per-channel 5x5 median by a tiled, pruned sorting network: work shared by
// the outputs of a tile is done once; see tiled_filter.cuh.
#include "median_kernels.cuh"
#include "library/core/tiled_filter.cuh"

__global__ void __launch_bounds__(tiled::threads)
    median_kernel_tiled_network(const unsigned char* __restrict__ in, unsigned char* __restrict__ out, int pw,
                                int height) {
    __shared__ tiled::stage_tile tile;
    tiled::filter<native_lanes>(in, out, pw, height, tile);
}
