// Small kernels that exercise the execution model rather than a median.
#include "test_kernels.h"

#include "benchmark/kernels/launch_contract.cuh"

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

namespace {

// Lanes of shuffle_mask shuffle 100 + lane five ways into out[lane * 5 + k]
// (idx 3, up 2, down 2 and xor 1 in segments of 8, xor 8 across the warp);
// the other lanes write -1.
__global__ void partial_shuffles_kernel(int* out, unsigned int shuffle_mask) {
    const unsigned int lane = threadIdx.x;
    const int v = 100 + static_cast<int>(lane);
    int* row = out + lane * shuffles_per_lane;
    if (!(shuffle_mask >> lane & 1)) {
        for (int k = 0; k < shuffles_per_lane; ++k) row[k] = -1;
        return;
    }
    row[0] = __shfl_sync(shuffle_mask, v, 3, 8);
    row[1] = __shfl_up_sync(shuffle_mask, v, 2, 8);
    row[2] = __shfl_down_sync(shuffle_mask, v, 2, 8);
    row[3] = __shfl_xor_sync(shuffle_mask, v, 1, 8);
    row[4] = __shfl_xor_sync(shuffle_mask, v, 8);
}

// A warp sum of lane / 2 by shuffling down, then its broadcast from lane 0.
__global__ void warp_sum_kernel(float* out) {
    float sum = threadIdx.x * 0.5f;
    for (int offset = warpSize / 2; offset > 0; offset /= 2) sum += __shfl_down_sync(0xffffffffu, sum, offset);
    out[threadIdx.x] = __shfl_sync(0xffffffffu, sum, 0);
}

// Per thread t: ballot of t % 3 == 0, any of t == 40, all of t < 48, then
// the active mask once lane 31 has left (0 from lane 31).
__global__ void warp_votes_kernel(unsigned int* out) {
    const unsigned int t = threadIdx.x;
    unsigned int* row = out + t * 4;
    row[0] = __ballot_sync(0xffffffffu, t % 3 == 0);
    row[1] = __any_sync(0xffffffffu, t == 40);
    row[2] = __all_sync(0xffffffffu, t < 48);
    __syncwarp();
    if (t % 32 == 31) {
        row[3] = 0;
        return;
    }
    row[3] = __activemask();
}

// Per thread t of n: count of t % 3 == 0, and of t < n, and of t != n - 1, or of t == n - 1, or of 0.
__global__ void block_votes_kernel(int* out) {
    const int t = threadIdx.x, n = blockDim.x;
    int* row = out + t * 5;
    row[0] = __syncthreads_count(t % 3 == 0);
    row[1] = __syncthreads_and(t < n);
    row[2] = __syncthreads_and(t != n - 1);
    row[3] = __syncthreads_or(t == n - 1);
    row[4] = __syncthreads_or(0);
}

// Lane 5 leaves; the rest shuffle with all 32 lanes named.
__global__ void shuffle_after_exit_kernel(int* out) {
    if (threadIdx.x == 5) return;
    out[threadIdx.x] = __shfl_sync(0xffffffffu, static_cast<int>(threadIdx.x), 0);
}

// Even lanes name the whole warp, odd lanes only the odd lanes.
__global__ void mismatched_masks_kernel(int* out) {
    const unsigned int mask = threadIdx.x % 2 ? 0xaaaaaaaau : 0xffffffffu;
    out[threadIdx.x] = __shfl_sync(mask, static_cast<int>(threadIdx.x), 1);
}

// Lane 0 waits at the block barrier while the others wait for it at __syncwarp.
__global__ void warp_sync_against_barrier_kernel(int* out) {
    if (threadIdx.x == 0) {
        __syncthreads();
    } else {
        __syncwarp();
    }
    out[threadIdx.x] = 1;
}

// Only block 0 writes shared memory; every block reads its static and
// dynamic shared words into out[block * 2n + t] and out[block * 2n + n + t].
__global__ void unwritten_shared_kernel(unsigned int* out) {
    __shared__ unsigned int static_words[64];
    extern __shared__ unsigned int dynamic_words[];
    const unsigned int t = threadIdx.x, n = blockDim.x;
    if (blockIdx.x == 0) {
        static_words[t] = t;
        dynamic_words[t] = t;
    }
    __syncthreads();
    out[blockIdx.x * 2 * n + t] = static_words[t];
    out[blockIdx.x * 2 * n + n + t] = dynamic_words[t];
}

// out[t] = in[t + 1 (mod n)] through dynamic shared memory, which a second
// declaration names too; 1000000 added when the two names differ.
__global__ void dynamic_rotate_kernel(const int* in, int* out) {
    extern __shared__ int dynamic_ints[];
    extern __shared__ unsigned char dynamic_bytes[];
    const int t = threadIdx.x, n = blockDim.x;
    dynamic_ints[t] = in[t];
    __syncthreads();
    const bool aliased = static_cast<void*>(dynamic_ints) == static_cast<void*>(dynamic_bytes);
    out[t] = dynamic_ints[(t + 1) % n] + (aliased ? 0 : 1000000);
}

// Reads dynamic shared memory at `index`.
__global__ void dynamic_shared_read_kernel(unsigned char* out, int index) {
    extern __shared__ unsigned char dynamic_bytes[];
    out[0] = dynamic_bytes[index];
}

// rotate_twice's first step without its barrier: thread t reads the value
// of thread t + 1 (mod n) whether or not that thread has written it yet.
__global__ void missing_barrier_kernel(const int* in, int* out) {
    __shared__ int values[1024];
    const int t = threadIdx.x, n = blockDim.x;
    values[t] = in[t];
    out[t] = values[(t + 1) % n];
}

}  // namespace

cudaError_t launch_partial_shuffles(int* out, unsigned int shuffle_mask) {
    void* args[] = {&out, &shuffle_mask};
    return cudaLaunchKernel(partial_shuffles_kernel, dim3(1), dim3(32), args, 0, nullptr);
}

cudaError_t launch_warp_sum(float* out) {
    void* args[] = {&out};
    return cudaLaunchKernel(warp_sum_kernel, dim3(1), dim3(32), args, 0, nullptr);
}

cudaError_t launch_warp_votes(unsigned int* out) {
    void* args[] = {&out};
    return cudaLaunchKernel(warp_votes_kernel, dim3(1), dim3(64), args, 0, nullptr);
}

cudaError_t launch_block_votes(int threads, int* out) {
    void* args[] = {&out};
    return cudaLaunchKernel(block_votes_kernel, dim3(1), dim3(threads), args, 0, nullptr);
}

cudaError_t launch_divergent_warp_op(divergent_warp_op which, int* out) {
    void* args[] = {&out};
    switch (which) {
    case divergent_warp_op::lane_exited:
        return cudaLaunchKernel(shuffle_after_exit_kernel, dim3(1), dim3(32), args, 0, nullptr);
    case divergent_warp_op::masks_differ:
        return cudaLaunchKernel(mismatched_masks_kernel, dim3(1), dim3(32), args, 0, nullptr);
    case divergent_warp_op::lane_at_barrier:
        return cudaLaunchKernel(warp_sync_against_barrier_kernel, dim3(1), dim3(32), args, 0, nullptr);
    }
    return cudaErrorInvalidValue;
}

cudaError_t launch_unwritten_shared(int blocks, int threads, unsigned int* out) {
    void* args[] = {&out};
    return cudaLaunchKernel(unwritten_shared_kernel, dim3(blocks), dim3(threads), args, threads * sizeof(unsigned int),
                            nullptr);
}

cudaError_t launch_dynamic_rotate(int threads, std::size_t dynamic_bytes, const int* in, int* out) {
    void* args[] = {&in, &out};
    return cudaLaunchKernel(dynamic_rotate_kernel, dim3(1), dim3(threads), args, dynamic_bytes, nullptr);
}

cudaError_t launch_dynamic_shared_read(std::size_t dynamic_bytes, int index, unsigned char* out) {
    void* args[] = {&out, &index};
    return cudaLaunchKernel(dynamic_shared_read_kernel, dim3(1), dim3(1), args, dynamic_bytes, nullptr);
}

cudaError_t launch_missing_barrier(int threads, const int* in, int* out) {
    void* args[] = {&in, &out};
    return cudaLaunchKernel(missing_barrier_kernel, dim3(1), dim3(threads), args, 0, nullptr);
}
