#pragma once

#include <cuda_runtime.h>

// Kernels that break a rule of CUDA's memory model, each with a flag that
// makes it the corrected twin. One block of `threads` threads (at most 256).

// Each thread rewrites its shared word, then reads its neighbour's; a barrier
// between the two when `barrier`.
cudaError_t launch_neighbour_after_write(int threads, bool barrier, const int* in, int* out);
// Each thread reads its neighbour's word, then overwrites its own; a barrier
// between the two when `barrier`.
cudaError_t launch_overwrite_after_read(int threads, bool barrier, const int* in, int* out);
// Each thread reads the word of thread t ^ partner, with __syncwarp between
// when `syncwarp`: enough within a warp, not across warps.
cudaError_t launch_warp_exchange(int threads, int partner, bool syncwarp, int* out);
// The block writes `written` shared words, then thread t reads word t + 1.
cudaError_t launch_shared_words_read(int threads, int written, int* out);
// The block zero-fills a shared array of uint4 (a memset to the compiler),
// then thread t reads element t + 1.
cudaError_t launch_zero_filled_read(int threads, int* out);
// out[t] = in[t].
cudaError_t launch_copy(int threads, const int* in, int* out);
