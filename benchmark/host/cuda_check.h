#pragma once

#include <cuda_runtime.h>

#include <cstdio>

// Checks one CUDA call: on failure prints which call failed and why on
// stderr and returns false.
inline bool cuda_ok(cudaError_t result, const char* call) {
    if (result == cudaSuccess) return true;
    std::fprintf(stderr, "%s failed: %s\n", call, cudaGetErrorString(result));
    return false;
}

#define CUDA_OK(call) cuda_ok((call), #call)
