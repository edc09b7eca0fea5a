// Kernels whose instruction counts are known by construction, for
// tests/tools/sass_profile_test.py. The constants are repeated there.
constexpr int straight_minmax = 24;
constexpr int loop_trips = 37;
constexpr int stride = 4096;

// straight_minmax dependent integer min/max, alternating so that none folds.
__device__ __forceinline__ int minmax_chain(const int* in, int i, int x) {
#pragma unroll
    for (int k = 0; k < straight_minmax; ++k) {
        const int v = in[i + (k + 1) * stride];
        x = k % 2 ? max(x, v) : min(x, v);
    }
    return x;
}

__global__ void straight_line(const int* in, int* out) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    out[i] = minmax_chain(in, i, in[i]);
}

// Two min/max per trip, loop_trips trips.
__global__ void fixed_loop(const int* in, int* out) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    int x = in[i];
    int y = in[i + stride];
#pragma unroll 1
    for (int k = 0; k < loop_trips; ++k) {
        x = min(x ^ k, y);
        y = max(y + k, x);
    }
    out[i] = x + y;
}

// As many trips as the loaded value says.
__global__ void data_loop(const int* in, int* out) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    int x = in[i];
    const int n = in[i + stride];
#pragma unroll 1
    for (int k = 0; k < n; ++k) x = min(x * 3 + k, 1000 + k);
    out[i] = x;
}

// A branch on the thread's position only, as loader threads take: it counts
// its longer side, so the count is one number; loaders of each row of a
// block take the longer one.
constexpr int loaders = 7;
__global__ void loader_branch(const int* in, int* out) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    int x = in[i];
    if (threadIdx.x < loaders) x = min(x, in[i + stride]);
    out[i] = x;
}

// A thread-strided loop, as loaders stage a tile: it starts at the thread's
// column of a row and steps by the row, so its count depends on the thread:
// ceil((strided_span - start) / strided_step) for starts 0..strided_step - 1.
constexpr int strided_span = 100;
constexpr int strided_step = 8;
__global__ void strided_loop(const int* in, int* out) {
    int x = 0;
#pragma unroll 1
    for (int k = threadIdx.x % strided_step; k < strided_span; k += strided_step) x = min(x + in[k], 1000 + k);
    out[threadIdx.x] = x;
}

// As loader_branch, with a side long enough to be a branch rather than
// predicated: straight_minmax min/max on loaders threads of each row.
__global__ void loader_block(const int* in, int* out) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    int x = in[i];
    if (threadIdx.x < loaders) {
        x = minmax_chain(in, i, x);
    }
    out[i] = x;
}

// A tile staged as the tiled kernel does: staging_loaders threads, each a
// column of chunk staging_columns wide, rows from its index / that, stepped
// by the rows all loaders cover at once (a division by a constant and a
// guard on the linear thread index on the way to the count).
constexpr int staging_columns = 33;
constexpr int staging_rows = 20;
constexpr int staging_loaders = 231;
__global__ void staging_loop(const int* in, int* out) {
    const int loader = threadIdx.y * blockDim.x + threadIdx.x;
    int x = 0;
    if (loader < staging_loaders) {
#pragma unroll 1
        for (int r = loader / staging_columns; r < staging_rows; r += staging_loaders / staging_columns)
            x = min(x + in[r * staging_columns + loader % staging_columns], 1000 + r);
    }
    out[loader] = x;
}

// A branch on a 64-bit product of the thread's index, as the tiled kernel's
// test of whether its block reads past the image: a compare of two words.
// Threads with threadIdx.x >= wide_first take the min/max.
constexpr long long wide_unit = 1000000007LL;
constexpr int wide_first = 9;
__global__ void wide_branch(const int* in, int* out) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    int x = in[i];
    if (static_cast<long long>(threadIdx.x) * wide_unit >= wide_first * wide_unit) {
        x = minmax_chain(in, i, x);
    }
    out[i] = x;
}

// As loader_block, on whole warps: the first uniform_rows rows of a 32-wide
// block take the min/max, so no warp splits and the warps issue what the
// threads do: straight_minmax * uniform_rows / blockDim.y per thread.
constexpr int uniform_rows = 3;
__global__ void warp_uniform_block(const int* in, int* out) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x + threadIdx.y * 4096;
    int x = in[i];
    if (threadIdx.y < uniform_rows) {
        x = minmax_chain(in, i, x);
    }
    out[i] = x;
}

// A thread-strided loop as the library's staging of an inside block runs:
// fewer elements than two block strides, so ptxas unrolls it by two and
// peels the odd element in front. The unrolled loop's counter then starts
// at the thread's index or one stride past it (two definitions), and the
// profile bounds the count from both.
constexpr int peeled_span = 264;
constexpr int peeled_step = 256;
constexpr int peeled_columns = 12;
__global__ void peeled_loop(const int* in, int* out) {
    __shared__ int tile[peeled_span];
    const int t = threadIdx.y * blockDim.x + threadIdx.x;
#pragma unroll 2
    for (int k = t; k < peeled_span; k += peeled_step) {
        const int r = k / peeled_columns;
        tile[k] = in[r * 4096 + k - r * peeled_columns];
    }
    __syncthreads();
    out[t] = tile[(t * 7) % peeled_span];
}

// A branch after a loop of several trips a thread, on a value with two
// definitions (a block-stride loop's counter: its start and its step, which
// the nominal launch takes once), as the library's kernels test their
// output rows after staging: each thread's way steps over the inner loop's
// later trips, so the branch is decided thread by thread. Rows from
// after_loop_rows of the block take the min/max: none in the middle block.
constexpr int after_loop_rows = 8;
constexpr int after_loop_block_rows = 270;  // 2160 / 8: one trip of the outer loop for the nominal launch
__global__ void branch_after_loop(const int* in, int* out) {
    int x = 0;
    for (int by = blockIdx.y; by < after_loop_block_rows; by += gridDim.y) {
#pragma unroll 1
        for (int k = threadIdx.x % strided_step; k < strided_span; k += strided_step) x = min(x + in[k], 1000 + k);
        if (by * static_cast<int>(blockDim.y) + static_cast<int>(threadIdx.y) < after_loop_rows)
            x = minmax_chain(in, threadIdx.x, x);
    }
    out[threadIdx.x] = x;
}
