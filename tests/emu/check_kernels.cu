#include "check_kernels.h"

namespace {

constexpr int max_threads = 256;

__global__ void neighbour_after_write_kernel(const int* in, int* out, bool barrier) {
    __shared__ int words[max_threads];
    const int t = threadIdx.x, n = blockDim.x;
    words[t] = 0;
    __syncthreads();
    words[t] = in[t];
    if (barrier) __syncthreads();
    out[t] = words[(t + 1) % n];
}

__global__ void overwrite_after_read_kernel(const int* in, int* out, bool barrier) {
    __shared__ int words[max_threads];
    const int t = threadIdx.x, n = blockDim.x;
    words[t] = in[t];
    __syncthreads();
    const int next = words[(t + 1) % n];
    if (barrier) __syncthreads();
    words[t] = 2 * next;
    __syncthreads();
    out[t] = words[t];
}

__global__ void warp_exchange_kernel(int* out, int partner, bool syncwarp) {
    __shared__ int words[max_threads];
    const int t = threadIdx.x;
    words[t] = 0;
    __syncthreads();
    words[t] = t;
    if (syncwarp) __syncwarp();
    out[t] = words[t ^ partner];
}

__global__ void shared_words_read_kernel(int* out, int written) {
    __shared__ int words[max_threads + 1];
    const int t = threadIdx.x;
    for (int i = t; i < written; i += blockDim.x) words[i] = i;
    __syncthreads();
    out[t] = words[t + 1];
}

__global__ void zero_filled_read_kernel(int* out) {
    __shared__ uint4 quads[max_threads];
    const int t = threadIdx.x, n = blockDim.x;
    quads[t] = make_uint4(0, 0, 0, 0);
    __syncthreads();
    out[t] = static_cast<int>(quads[(t + 1) % n].x);
}

__global__ void copy_kernel(const int* in, int* out) { out[threadIdx.x] = in[threadIdx.x]; }

}  // namespace

cudaError_t launch_neighbour_after_write(int threads, bool barrier, const int* in, int* out) {
    void* args[] = {&in, &out, &barrier};
    return cudaLaunchKernel(neighbour_after_write_kernel, dim3(1), dim3(threads), args, 0, nullptr);
}

cudaError_t launch_overwrite_after_read(int threads, bool barrier, const int* in, int* out) {
    void* args[] = {&in, &out, &barrier};
    return cudaLaunchKernel(overwrite_after_read_kernel, dim3(1), dim3(threads), args, 0, nullptr);
}

cudaError_t launch_warp_exchange(int threads, int partner, bool syncwarp, int* out) {
    void* args[] = {&out, &partner, &syncwarp};
    return cudaLaunchKernel(warp_exchange_kernel, dim3(1), dim3(threads), args, 0, nullptr);
}

cudaError_t launch_shared_words_read(int threads, int written, int* out) {
    void* args[] = {&out, &written};
    return cudaLaunchKernel(shared_words_read_kernel, dim3(1), dim3(threads), args, 0, nullptr);
}

cudaError_t launch_zero_filled_read(int threads, int* out) {
    void* args[] = {&out};
    return cudaLaunchKernel(zero_filled_read_kernel, dim3(1), dim3(threads), args, 0, nullptr);
}

cudaError_t launch_copy(int threads, const int* in, int* out) {
    void* args[] = {&in, &out};
    return cudaLaunchKernel(copy_kernel, dim3(1), dim3(threads), args, 0, nullptr);
}
