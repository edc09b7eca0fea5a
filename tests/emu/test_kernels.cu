// Small kernels that exercise the execution model rather than a median.
#include "test_kernels.h"

#include "kernels/launch_contract.cuh"

namespace {

// Each 32x8 block stages its 36x12 tile behind one barrier, then every
// thread writes the sum (mod 256) of its 5x5 window, per channel.
__global__ void window_sum_kernel(unsigned char* in, unsigned char* out, int pw) {
    __shared__ unsigned char pix_mem[interleaved_36x12::elements];
    stage_tile<interleaved_36x12>(in, pw, blockIdx.x * blockDim.x, blockIdx.y * blockDim.y, pix_mem);
    __syncthreads();
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    for (int c = 0; c < channels; ++c) {
        unsigned int sum = 0;
        for (int i = 0; i < window_side; ++i)
            for (int j = 0; j < window_side; ++j) sum += pix_mem[interleaved_36x12::index(threadIdx.x + j, threadIdx.y + i, c)];
        out[pixel_offset(x, y, pw, c)] = static_cast<unsigned char>(sum);
    }
}

// Thread 0 leaves before the barrier the others wait at.
__global__ void divergent_barrier_kernel(int* out) {
    if (threadIdx.x == 0) return;
    __syncthreads();
    out[threadIdx.x] = 1;
}

// Each thread passes its value on twice through shared memory, a barrier
// before each read: out[t] = in[t + 2 (mod n)].
__global__ void rotate_twice_kernel(int* in, int* out) {
    __shared__ int first[1024];
    __shared__ int second[1024];
    const int t = threadIdx.x, n = blockDim.x;
    first[t] = in[blockIdx.x * n + t];
    __syncthreads();
    second[t] = first[(t + 1) % n];
    __syncthreads();
    out[blockIdx.x * n + t] = second[(t + 1) % n];
}

// Even and odd threads wait at two different barriers.
__global__ void split_barrier_kernel(int* out) {
    if (threadIdx.x % 2 == 0) {
        __syncthreads();
    } else {
        __syncthreads();
    }
    out[threadIdx.x] = 1;
}

// Reads one byte past the end of `in`.
__global__ void read_past_end_kernel(unsigned char* in, unsigned char* out, int size) { out[0] = in[size]; }

// Writes one element past the end of a shared array.
__global__ void shared_overrun_kernel(unsigned char* out, int index) {
    __shared__ unsigned char scratch[32];
    scratch[index] = 1;
    __syncthreads();
    out[0] = scratch[0];
}

}  // namespace

cudaError_t launch_window_sum(dim3 grid, dim3 block, unsigned char* in, unsigned char* out, int pw) {
    void* args[] = {&in, &out, &pw};
    return cudaLaunchKernel(window_sum_kernel, grid, block, args, 0, nullptr);
}

cudaError_t launch_divergent_barrier(int* out) {
    void* args[] = {&out};
    return cudaLaunchKernel(divergent_barrier_kernel, dim3(1), dim3(32), args, 0, nullptr);
}

cudaError_t launch_read_past_end(unsigned char* in, unsigned char* out, int size) {
    void* args[] = {&in, &out, &size};
    return cudaLaunchKernel(read_past_end_kernel, dim3(1), dim3(1), args, 0, nullptr);
}

cudaError_t launch_shared_overrun(unsigned char* out, int index) {
    void* args[] = {&out, &index};
    return cudaLaunchKernel(shared_overrun_kernel, dim3(1), dim3(1), args, 0, nullptr);
}

cudaError_t launch_rotate_twice(int blocks, int threads, int* in, int* out) {
    void* args[] = {&in, &out};
    return cudaLaunchKernel(rotate_twice_kernel, dim3(blocks), dim3(threads), args, 0, nullptr);
}

cudaError_t launch_split_barrier(int* out) {
    void* args[] = {&out};
    return cudaLaunchKernel(split_barrier_kernel, dim3(1), dim3(32), args, 0, nullptr);
}
