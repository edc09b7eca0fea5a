// Kernels whose machine code has, or lacks, what tests/tools/sass_claims_test.py
// looks for: each detector must find it in the first of a pair and not in
// the second.

// A local array indexed by a value only known at run time lives in local
// memory; indexed by constants, it stays in registers.
__global__ void local_array(int* out, int i) {
    int a[64];
    for (int k = 0; k < 64; ++k) a[(k * i) & 63] = out[k];
    out[0] = a[i & 63];
}

__global__ void register_array(int* out) {
    int a[4];
    for (int k = 0; k < 4; ++k) a[k] = out[k] * k;
    out[0] = a[1] + a[3];
}

// Packed 16-bit minimum, and the same on whole words.
__global__ void packed_min(unsigned int* out) { out[0] = __vminu2(out[1], out[2]); }

__global__ void word_min(unsigned int* out) { out[0] = min(out[1], out[2]); }

// 16-byte loads and stores, and byte ones.
__global__ void wide_copy(const uint4* in, uint4* out) { out[threadIdx.x] = in[threadIdx.x]; }

__global__ void byte_copy(const unsigned char* in, unsigned char* out) { out[threadIdx.x] = in[threadIdx.x]; }
