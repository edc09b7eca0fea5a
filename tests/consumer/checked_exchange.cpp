// A kernel of the consumer's own under median_filter_emu_check: without its
// barrier the launch fails with a finding, with it the launch succeeds.
#include <cuda_runtime.h>

#include <cstdio>

namespace {

constexpr int threads = 64;

__global__ void rotate(const int* in, int* out, bool barrier) {
    __shared__ int words[threads];
    words[threadIdx.x] = in[threadIdx.x];
    if (barrier) __syncthreads();
    out[threadIdx.x] = words[(threadIdx.x + 1) % threads];
}

// The launch's result, or the synchronising call's.
cudaError_t run(bool barrier, int* result) {
    int values[threads];
    for (int i = 0; i < threads; ++i) values[i] = i;
    int *in = nullptr, *out = nullptr;
    cudaError_t e = cudaMalloc(&in, sizeof values);
    if (e == cudaSuccess) e = cudaMalloc(&out, sizeof values);
    if (e == cudaSuccess) e = cudaMemcpy(in, values, sizeof values, cudaMemcpyHostToDevice);
    void* args[] = {&in, &out, &barrier};
    if (e == cudaSuccess) e = cudaLaunchKernel(rotate, dim3(1), dim3(threads), args, 0, nullptr);
    if (e == cudaSuccess) e = cudaDeviceSynchronize();
    if (e == cudaSuccess) e = cudaMemcpy(result, out, sizeof(int), cudaMemcpyDeviceToHost);
    cudaFree(in);
    cudaFree(out);
    return e;
}

}  // namespace

int main() {
    int first = -1;
    const cudaError_t racy = run(false, &first);
    if (racy == cudaSuccess) {
        std::fprintf(stderr, "checked_exchange: the missing barrier went unreported\n");
        return 1;
    }
    if (cudaDeviceReset() != cudaSuccess) return 1;
    const cudaError_t sound = run(true, &first);
    if (sound != cudaSuccess || first != 1) {
        std::fprintf(stderr, "checked_exchange: the corrected kernel failed: %s\n", cudaGetErrorString(sound));
        return 1;
    }
    std::printf("checked_exchange: missing barrier reported, corrected kernel passes\n");
    return 0;
}
