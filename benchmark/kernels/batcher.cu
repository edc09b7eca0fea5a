// Per-channel 5x5 median by the pruned odd-even merge sort network, on the
// interleaved tile (the kernel the benchmark launches) and on a planar tile.
#include "batcher_median.cuh"
#include "median_kernels.cuh"

__global__ void median_kernel_batcher_5x5(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[interleaved_36x12::elements];
    filter_pixel_per_thread<interleaved_36x12>(
        in, out, pw, pix_mem, [&](int c) { return batcher::window_median<interleaved_36x12>(pix_mem, c); });
}

__global__ void median_kernel_batcher(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[planar_36x12::elements];
    filter_pixel_per_thread<planar_36x12>(in, out, pw, pix_mem,
                                          [&](int c) { return batcher::window_median<planar_36x12>(pix_mem, c); });
}
