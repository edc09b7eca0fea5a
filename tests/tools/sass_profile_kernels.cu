// Kernels whose instruction counts are known by construction, for
// tests/tools/sass_profile_test.py. The constants are repeated there.
constexpr int straight_minmax = 24;
constexpr int loop_trips = 37;
constexpr int stride = 4096;

// straight_minmax dependent integer min/max, alternating so that none folds.
__global__ void straight_line(const int* in, int* out) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    int x = in[i];
#pragma unroll
    for (int k = 0; k < straight_minmax; ++k) {
        const int v = in[i + (k + 1) * stride];
        x = k % 2 ? max(x, v) : min(x, v);
    }
    out[i] = x;
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
// its longer side, so the count is one number.
__global__ void loader_branch(const int* in, int* out) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    int x = in[i];
    if (threadIdx.x < 7) x = min(x, in[i + stride]);
    out[i] = x;
}
