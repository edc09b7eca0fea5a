// CPU emulation of the part of the CUDA runtime and device model that this
// project uses. Host code includes <cuda_runtime.h> in both flavours; in the
// emulation flavour this header is found first, and kernel sources get it
// force-included, so the same sources build with nvcc and with a plain C++
// compiler. Each CUDA thread runs as a fiber; see emu/scheduler.cpp.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

// ---- kernel language ------------------------------------------------------

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))
#define __align__(n) __attribute__((aligned(n)))
// One worker thread runs one block at a time, so per-OS-thread storage is
// exactly per-block storage. Shared variables share one TLS section, which
// the scheduler finds in each worker and poisons before every block.
// __thread, not thread_local: shared variables have no dynamic initialiser,
// and an extern one is then a plain TLS symbol with no C++ wrapper function.
#define __shared__ static __attribute__((section("emu_shared"))) __thread
// The build rewrites `extern __shared__ T name[];` in kernel sources to
// `extern __emu_extern_shared__ T name[] __emu_extern_shared_symbol__;`:
// every such array is the block's dynamic shared memory, as in CUDA.
#define __emu_extern_shared__ __thread
#define __emu_extern_shared_symbol__ __asm__("emu_dynamic_shared")
// Constant memory is ordinary memory that kernels only read.
#define __constant__
// Occupancy hints for the GPU's register allocator. The build puts
// `__emu_launch_bounds_record__(ARGS)` at the top of the body of each kernel
// declared with `__launch_bounds__(ARGS)`: a constant named after the kernel,
// which the emulator finds in the symbol table and launches check the block
// against, as a GPU does.
#define __launch_bounds__(...)
#define __emu_launch_bounds_record__(...) \
    __attribute__((used)) static constexpr unsigned int emu_launch_bounds[] = {__VA_ARGS__};
#define __syncthreads() ::emu::sync_threads(__FILE__, __LINE__)

#include "vector_types.h"
#include "device_functions.h"
#include "warp_functions.h"

// Written by the scheduler before it resumes a fiber; constant-initialised
// so that a kernel's read is a plain thread-local load.
inline thread_local uint3 threadIdx{};
inline thread_local uint3 blockIdx{};
inline thread_local dim3 blockDim{};
inline thread_local dim3 gridDim{};

// Device intrinsics used by the kernels.
__device__ inline unsigned int min(unsigned int a, unsigned int b) { return a < b ? a : b; }
__device__ inline unsigned int max(unsigned int a, unsigned int b) { return a < b ? b : a; }
__device__ inline int min(int a, int b) { return a < b ? a : b; }
__device__ inline int max(int a, int b) { return a < b ? b : a; }
__device__ inline float min(float a, float b) { return fminf(a, b); }
__device__ inline float max(float a, float b) { return fmaxf(a, b); }
// Conversions toward zero, as the GPU's .rz forms; the kernels only pass
// values inside the target range.
__device__ inline unsigned int __float2uint_rz(float f) { return static_cast<unsigned int>(f); }
__device__ inline int __float2int_rz(float f) { return static_cast<int>(f); }
__device__ inline float __uint2float_rn(unsigned int u) { return static_cast<float>(u); }

// ---- runtime API ----------------------------------------------------------

enum cudaError_t {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInsufficientDriver = 35,
    cudaErrorInvalidDeviceFunction = 98,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorLaunchOutOfResources = 701,
    cudaErrorLaunchFailure = 719,
};

enum cudaFuncAttribute {
    cudaFuncAttributeMaxDynamicSharedMemorySize = 8,
    cudaFuncAttributePreferredSharedMemoryCarveout = 9,
};

enum cudaDeviceAttr {
    cudaDevAttrMaxThreadsPerBlock = 1,
    cudaDevAttrMaxSharedMemoryPerBlock = 8,
    cudaDevAttrMultiProcessorCount = 16,
    cudaDevAttrComputeCapabilityMajor = 75,
    cudaDevAttrComputeCapabilityMinor = 76,
    cudaDevAttrMaxSharedMemoryPerBlockOptin = 97,
};

struct cudaFuncAttributes {
    size_t sharedSizeBytes;  // static shared memory
    int maxThreadsPerBlock;  // the __launch_bounds__ maximum, else the device's
    int maxDynamicSharedSizeBytes;
};

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
};

struct CUstream_st;
struct CUevent_st;
using cudaStream_t = CUstream_st*;
using cudaEvent_t = CUevent_st*;

// The compute capability is EMU_COMPUTE_CAPABILITY's ("9.0" when unset),
// and so are the shared memory limits launches are held to.
struct cudaDeviceProp {
    char name[256];
    int major;
    int minor;
    int multiProcessorCount;
    int maxThreadsPerBlock;
    size_t sharedMemPerBlock;
    size_t sharedMemPerBlockOptin;
};

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaGetDevice(int* device);
// One device, number 0.
cudaError_t cudaSetDevice(int device);
cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attribute, int device);
cudaError_t cudaFuncSetAttribute(const void* kernel, cudaFuncAttribute attribute, int value);
cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, const void* kernel);
cudaError_t cudaMalloc(void** ptr, size_t size);
cudaError_t cudaFree(void* ptr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemset(void* ptr, int value, size_t count);
cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventDestroy(cudaEvent_t event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end);
// Streams: launches run to completion before they return, so a stream only
// has to exist; the default stream is the null handle.
cudaError_t cudaStreamCreate(cudaStream_t* stream);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaDeviceReset();
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);

template <class T>
cudaError_t cudaMalloc(T** ptr, size_t size) {
    return cudaMalloc(reinterpret_cast<void**>(ptr), size);
}

template <class... P>
cudaError_t cudaFuncSetAttribute(void (*kernel)(P...), cudaFuncAttribute attribute, int value) {
    return cudaFuncSetAttribute(reinterpret_cast<const void*>(kernel), attribute, value);
}

template <class... P>
cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, void (*kernel)(P...)) {
    return cudaFuncGetAttributes(attributes, reinterpret_cast<const void*>(kernel));
}

namespace emu {
// Copies count bytes between a __constant__ or __device__ variable of
// symbol_size bytes, at offset, and other memory; cudaErrorInvalidValue
// past the variable's end.
cudaError_t copy_symbol(void* symbol, size_t symbol_size, size_t offset, void* other, size_t count, bool to_symbol);
}  // namespace emu

template <class T>
cudaError_t cudaMemcpyToSymbol(const T& symbol, const void* src, size_t count, size_t offset = 0,
                               cudaMemcpyKind = cudaMemcpyHostToDevice) {
    return emu::copy_symbol(const_cast<T*>(&symbol), sizeof(T), offset, const_cast<void*>(src), count, true);
}

template <class T>
cudaError_t cudaMemcpyFromSymbol(void* dst, const T& symbol, size_t count, size_t offset = 0,
                                 cudaMemcpyKind = cudaMemcpyDeviceToHost) {
    return emu::copy_symbol(const_cast<T*>(&symbol), sizeof(T), offset, dst, count, false);
}

namespace emu {

// A kernel call bound to its arguments, run once per emulated thread.
struct kernel_call {
    void (*invoke)(const void* bound);
    const void* bound;
};

// Checks the launch as a GPU's runtime does, then runs it to completion.
cudaError_t launch(const void* kernel, dim3 grid, dim3 block, size_t dynamic_shared, const kernel_call& call);
void sync_threads(const char* file, int line);

template <class... P>
struct bound_kernel {
    void (*kernel)(P...);
    std::tuple<std::decay_t<P>...> args;

    static void invoke(const void* self) {
        const auto& k = *static_cast<const bound_kernel*>(self);
        std::apply(k.kernel, k.args);
    }
};

template <class... P, std::size_t... I>
bound_kernel<P...> bind(void (*kernel)(P...), void** args, std::index_sequence<I...>) {
    return {kernel, {*static_cast<std::decay_t<P>*>(args[I])...}};
}

}  // namespace emu

// The typed overload of the real runtime: argument i is read from args[i]
// as the kernel's i-th parameter type.
template <class... P>
cudaError_t cudaLaunchKernel(void (*kernel)(P...), dim3 grid, dim3 block, void** args, size_t shared_mem = 0,
                             cudaStream_t stream = nullptr) {
    (void)stream;
    const auto bound = emu::bind(kernel, args, std::index_sequence_for<P...>{});
    return emu::launch(reinterpret_cast<const void*>(kernel), grid, block, shared_mem,
                       {&emu::bound_kernel<P...>::invoke, &bound});
}
