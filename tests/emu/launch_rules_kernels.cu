#include "launch_rules_kernels.h"

namespace {

__global__ void __launch_bounds__(bounded_threads) bounded_kernel(int* out) {
    const int t = threadIdx.x + blockDim.x * threadIdx.y;
    out[t] = t;
}

// Reads at an index the compiler cannot know, so that the whole tile stays.
__global__ void big_shared_kernel(unsigned char* out, int index) {
    __shared__ unsigned char tile[big_static_shared];
    extern __shared__ unsigned char dynamic_bytes[];
    for (int i = threadIdx.x; i < int(big_static_shared); i += blockDim.x) tile[i] = static_cast<unsigned char>(i);
    dynamic_bytes[0] = 9;
    __syncthreads();
    out[0] = tile[index];
    out[1] = dynamic_bytes[0];
}

__global__ void vector_loads_kernel(const unsigned char* in, int offset2, int offset4, unsigned int* out) {
    const uint2 a = __ldg(reinterpret_cast<const uint2*>(in + offset2));
    const uint4 b = *reinterpret_cast<const uint4*>(in + offset4);
    out[0] = a.x;
    out[1] = a.y;
    out[2] = b.x;
    out[3] = b.y;
    out[4] = b.z;
    out[5] = b.w;
}

}  // namespace

cudaError_t launch_bounded(int threads, int* out) {
    void* args[] = {&out};
    return cudaLaunchKernel(bounded_kernel, dim3(1), dim3(threads), args, 0, nullptr);
}

const void* bounded_kernel_address() { return reinterpret_cast<const void*>(bounded_kernel); }

cudaError_t launch_big_shared(std::size_t dynamic_bytes, unsigned char* out) {
    int index = 7;
    void* args[] = {&out, &index};
    return cudaLaunchKernel(big_shared_kernel, dim3(1), dim3(1), args, dynamic_bytes, nullptr);
}

const void* big_shared_kernel_address() { return reinterpret_cast<const void*>(big_shared_kernel); }

cudaError_t launch_vector_loads(const unsigned char* in, int offset2, int offset4, unsigned int* out) {
    void* args[] = {&in, &offset2, &offset4, &out};
    return cudaLaunchKernel(vector_loads_kernel, dim3(1), dim3(1), args, 0, nullptr);
}
