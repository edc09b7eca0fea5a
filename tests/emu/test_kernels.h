#pragma once

#include <cuda_runtime.h>

// The window-sum kernel is meant for 32x8 blocks.
cudaError_t launch_window_sum(dim3 grid, dim3 block, unsigned char* in, unsigned char* out, int pw);
cudaError_t launch_divergent_barrier(int* out);
cudaError_t launch_split_barrier(int* out);
cudaError_t launch_rotate_twice(int blocks, int threads, int* in, int* out);
cudaError_t launch_read_past_end(unsigned char* in, unsigned char* out, int size);
cudaError_t launch_shared_overrun(unsigned char* out, int index);

// Each input triple (a, b, s) gives intrinsic_results values: __popc(a),
// __clz(a), __ffs(a), __brev(a), __byte_perm(a, b, s), __funnelshift_l,
// _lc, _r, _rc (a, b, s), __vminu2, __vmaxu2, __vminu4, __vmaxu4 (a, b).
constexpr int intrinsic_results = 13;
cudaError_t launch_intrinsics(const unsigned int* a, const unsigned int* b, const unsigned int* s, unsigned int* out,
                              int n);
// Fills constant memory the next kernel reads; count values from `offset`.
cudaError_t set_constant_table(const unsigned int* values, std::size_t count, std::size_t offset);
cudaError_t launch_constant_and_vector(const uint4* in, unsigned int* out, int threads);

// Warp and block collectives; see the kernels for what each writes.
constexpr int shuffles_per_lane = 5;
cudaError_t launch_partial_shuffles(int* out, unsigned int shuffle_mask);
cudaError_t launch_warp_sum(float* out);
cudaError_t launch_warp_votes(unsigned int* out);
cudaError_t launch_block_votes(int threads, int* out);
// Warp operations that not every lane of their mask reaches (one warp).
enum class divergent_warp_op { lane_exited, masks_differ, lane_at_barrier };
cudaError_t launch_divergent_warp_op(divergent_warp_op which, int* out);

// Shared memory: only block 0 writes; `threads` dynamic words per block.
cudaError_t launch_unwritten_shared(int blocks, int threads, unsigned int* out);
cudaError_t launch_dynamic_rotate(int threads, std::size_t dynamic_bytes, const int* in, int* out);
cudaError_t launch_dynamic_shared_read(std::size_t dynamic_bytes, int index, unsigned char* out);
// A shared-memory exchange without the barrier it needs (one block).
cudaError_t launch_missing_barrier(int threads, const int* in, int* out);
