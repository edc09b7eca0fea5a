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

namespace {

// One value per intrinsic for each input triple, in the order of intrinsic_results.
__global__ void __launch_bounds__(64) intrinsics_kernel(const unsigned int* a, const unsigned int* b,
                                                         const unsigned int* s, unsigned int* out, int n) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    const unsigned int x = __ldg(a + i), y = __ldg(b + i), z = __ldg(s + i);
    unsigned int* r = out + i * intrinsic_results;
    r[0] = __popc(x);
    r[1] = __clz(static_cast<int>(x));
    r[2] = __ffs(static_cast<int>(x));
    r[3] = __brev(x);
    r[4] = __byte_perm(x, y, z);
    r[5] = __funnelshift_l(x, y, z);
    r[6] = __funnelshift_lc(x, y, z);
    r[7] = __funnelshift_r(x, y, z);
    r[8] = __funnelshift_rc(x, y, z);
    r[9] = __vminu2(x, y);
    r[10] = __vmaxu2(x, y);
    r[11] = __vminu4(x, y);
    r[12] = __vmaxu4(x, y);
}

__constant__ unsigned int constant_table[4];

// out[t] = constant_table[t % 4], through a 16-byte vector load of the input.
__global__ void constant_and_vector_kernel(const uint4* in, unsigned int* out) {
    const uint4 v = __ldg(in);
    const unsigned int t = threadIdx.x;
    out[t] = constant_table[t % 4] + v.x + v.y + v.z + v.w;
}

}  // namespace

cudaError_t launch_intrinsics(const unsigned int* a, const unsigned int* b, const unsigned int* s, unsigned int* out,
                              int n) {
    void* args[] = {&a, &b, &s, &out, &n};
    return cudaLaunchKernel(intrinsics_kernel, dim3((n + 63) / 64), dim3(64), args, 0, nullptr);
}

cudaError_t set_constant_table(const unsigned int* values, std::size_t count, std::size_t offset) {
    return cudaMemcpyToSymbol(constant_table, values, count * sizeof(unsigned int), offset * sizeof(unsigned int));
}

cudaError_t launch_constant_and_vector(const uint4* in, unsigned int* out, int threads) {
    void* args[] = {&in, &out};
    return cudaLaunchKernel(constant_and_vector_kernel, dim3(1), dim3(threads), args, 0, nullptr);
}
