// Device memory, copies, events and errors of the emulated runtime. Device
// memory is ordinary heap memory, so AddressSanitizer sees a kernel that
// reads past a buffer.
#include <cuda_runtime.h>

#include "launch_rules.h"
#include "check.h"
#include "scheduler.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

struct CUevent_st {
    std::chrono::steady_clock::time_point recorded;
    bool has_time = false;
};

namespace emu {
namespace {

// Fresh allocations hold this byte, so output a kernel never wrote shows.
constexpr unsigned char poison_byte = 0xA5;
// cudaMalloc's alignment on a GPU: offsets a kernel computes from a
// pointer's alignment come out the same, and a misaligned vector access
// stays misaligned here too.
constexpr std::align_val_t allocation_alignment{256};

// CUDA's limits for compute capability 7.5 and newer.
constexpr unsigned max_threads_per_block = 1024;
constexpr unsigned max_block_z = 64;
constexpr unsigned max_grid_yz = 65535;

class device {
public:
    cudaError_t allocate(void** ptr, std::size_t size) {
        if (!emulated_architecture()) return fail(cudaErrorNoDevice);
        auto* bytes = static_cast<unsigned char*>(
            ::operator new[](size == 0 ? 1 : size, allocation_alignment, std::nothrow));
        if (!bytes) return fail(cudaErrorMemoryAllocation);
        std::memset(bytes, poison_byte, size);
        std::lock_guard lock(mutex_);
        allocations_[bytes] = size;
        check::device_allocated(bytes, size, poison_byte);
        *ptr = bytes;
        return cudaSuccess;
    }

    cudaError_t release(void* ptr) {
        if (!ptr) return cudaSuccess;
        std::lock_guard lock(mutex_);
        const auto it = allocations_.find(static_cast<unsigned char*>(ptr));
        if (it == allocations_.end()) return fail_locked(cudaErrorInvalidDevicePointer);
        check::device_released(it->first);
        ::operator delete[](it->first, allocation_alignment);
        allocations_.erase(it);
        return cudaSuccess;
    }

    // True when [ptr, ptr + count) lies inside one allocation.
    bool owns(const void* ptr, std::size_t count) {
        std::lock_guard lock(mutex_);
        const auto* p = static_cast<const unsigned char*>(ptr);
        auto it = allocations_.upper_bound(const_cast<unsigned char*>(p));
        if (it == allocations_.begin()) return false;
        --it;
        const std::size_t offset = static_cast<std::size_t>(p - it->first);
        return offset <= it->second && count <= it->second - offset;
    }

    cudaError_t fail(cudaError_t e) {
        std::lock_guard lock(mutex_);
        return fail_locked(e);
    }

    // A failed kernel poisons the context until reset, as on the GPU.
    void set_sticky(cudaError_t e) {
        std::lock_guard lock(mutex_);
        sticky_ = e;
        last_ = e;
    }

    cudaError_t sticky() {
        std::lock_guard lock(mutex_);
        return sticky_;
    }

    cudaError_t take_last(bool clear) {
        std::lock_guard lock(mutex_);
        const cudaError_t e = sticky_ != cudaSuccess ? sticky_ : last_;
        if (clear) last_ = cudaSuccess;
        return e;
    }

    void reset() {
        std::lock_guard lock(mutex_);
        for (auto& [ptr, size] : allocations_) ::operator delete[](ptr, allocation_alignment);
        allocations_.clear();
        check::device_reset();
        sticky_ = cudaSuccess;
        last_ = cudaSuccess;
    }

private:
    cudaError_t fail_locked(cudaError_t e) {
        last_ = e;
        return e;
    }

    std::mutex mutex_;
    std::map<unsigned char*, std::size_t> allocations_;
    cudaError_t sticky_ = cudaSuccess;
    cudaError_t last_ = cudaSuccess;
};

device& the_device() {
    static device d;
    return d;
}

bool valid_configuration(dim3 grid, dim3 block) {
    const std::uint64_t threads = std::uint64_t{block.x} * block.y * block.z;
    return grid.x && grid.y && grid.z && block.x && block.y && block.z && threads <= max_threads_per_block &&
           block.z <= max_block_z && grid.y <= max_grid_yz && grid.z <= max_grid_yz;
}

}  // namespace

cudaError_t launch(const void* kernel, dim3 grid, dim3 block, size_t dynamic_shared, const kernel_call& call) {
    device& d = the_device();
    if (const cudaError_t e = d.sticky(); e != cudaSuccess) return e;
    if (!valid_configuration(grid, block)) return d.fail(cudaErrorInvalidConfiguration);
    if (const cudaError_t e = check_launch_rules(kernel, block, dynamic_shared); e != cudaSuccess) return d.fail(e);
    std::string diagnostic;
    if (run_grid(grid, block, dynamic_shared, call, diagnostic) != cudaSuccess) {
        std::fprintf(stderr, "CUDA emulation: kernel failed in %s\n", diagnostic.c_str());
        d.set_sticky(cudaErrorLaunchFailure);
    }
    return cudaSuccess;
}

cudaError_t copy_symbol(void* symbol, size_t symbol_size, size_t offset, void* other, size_t count, bool to_symbol) {
    device& d = the_device();
    if (const cudaError_t e = d.sticky(); e != cudaSuccess) return e;
    if (offset > symbol_size || count > symbol_size - offset) return d.fail(cudaErrorInvalidValue);
    char* at = static_cast<char*>(symbol) + offset;
    std::memcpy(to_symbol ? at : other, to_symbol ? other : at, count);
    return cudaSuccess;
}

}  // namespace emu

using emu::the_device;

cudaError_t cudaGetDeviceCount(int* count) {
    if (!emu::emulated_architecture()) {
        *count = 0;
        return the_device().fail(cudaErrorNoDevice);
    }
    *count = 1;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    if (!emu::emulated_architecture()) return the_device().fail(cudaErrorNoDevice);
    *device = 0;
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    if (!emu::emulated_architecture()) return the_device().fail(cudaErrorNoDevice);
    return device == 0 ? cudaSuccess : the_device().fail(cudaErrorInvalidDevice);
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    const emu::architecture* a = emu::emulated_architecture();
    if (!a) return the_device().fail(cudaErrorNoDevice);
    if (device != 0) return the_device().fail(cudaErrorInvalidDevice);
    *prop = {};
    std::snprintf(prop->name, sizeof prop->name, "CPU emulation");
    prop->major = a->major;
    prop->minor = a->minor;
    prop->multiProcessorCount = static_cast<int>(emu::worker_count());
    prop->maxThreadsPerBlock = static_cast<int>(emu::max_threads_per_block);
    prop->sharedMemPerBlock = emu::default_shared_limit;
    prop->sharedMemPerBlockOptin = a->shared_optin;
    return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attribute, int device) {
    const emu::architecture* a = emu::emulated_architecture();
    if (!a) return the_device().fail(cudaErrorNoDevice);
    if (device != 0) return the_device().fail(cudaErrorInvalidDevice);
    switch (attribute) {
    case cudaDevAttrMaxThreadsPerBlock: *value = static_cast<int>(emu::max_threads_per_block); return cudaSuccess;
    case cudaDevAttrMaxSharedMemoryPerBlock: *value = static_cast<int>(emu::default_shared_limit); return cudaSuccess;
    case cudaDevAttrMultiProcessorCount: *value = static_cast<int>(emu::worker_count()); return cudaSuccess;
    case cudaDevAttrComputeCapabilityMajor: *value = a->major; return cudaSuccess;
    case cudaDevAttrComputeCapabilityMinor: *value = a->minor; return cudaSuccess;
    case cudaDevAttrMaxSharedMemoryPerBlockOptin: *value = static_cast<int>(a->shared_optin); return cudaSuccess;
    }
    return the_device().fail(cudaErrorInvalidValue);
}

cudaError_t cudaFuncSetAttribute(const void* kernel, cudaFuncAttribute attribute, int value) {
    const cudaError_t e = emu::set_kernel_attribute(kernel, attribute, value);
    return e == cudaSuccess ? e : the_device().fail(e);
}

cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, const void* kernel) {
    if (!attributes) return the_device().fail(cudaErrorInvalidValue);
    const cudaError_t e = emu::get_kernel_attributes(kernel, *attributes);
    return e == cudaSuccess ? e : the_device().fail(e);
}

cudaError_t cudaMalloc(void** ptr, size_t size) { return the_device().allocate(ptr, size); }

cudaError_t cudaFree(void* ptr) { return the_device().release(ptr); }

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    auto& d = the_device();
    if (const cudaError_t e = d.sticky(); e != cudaSuccess) return e;
    const bool dst_device = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool src_device = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if ((dst_device && !d.owns(dst, count)) || (src_device && !d.owns(src, count)))
        return d.fail(cudaErrorInvalidValue);
    std::memcpy(dst, src, count);
    if (dst_device) emu::check::device_written(dst, count);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* ptr, int value, size_t count) {
    auto& d = the_device();
    if (const cudaError_t e = d.sticky(); e != cudaSuccess) return e;
    if (!d.owns(ptr, count)) return d.fail(cudaErrorInvalidValue);
    std::memset(ptr, value, count);
    emu::check::device_written(ptr, count);
    return cudaSuccess;
}

cudaError_t cudaEventCreate(cudaEvent_t* event) {
    *event = new CUevent_st;
    return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    if (!event) return the_device().fail(cudaErrorInvalidResourceHandle);
    delete event;
    return cudaSuccess;
}

// Launches run to completion before they return, so the time between two
// records is the emulated kernel work between them.
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t) {
    if (!event) return the_device().fail(cudaErrorInvalidResourceHandle);
    event->recorded = std::chrono::steady_clock::now();
    event->has_time = true;
    return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    if (!event) return the_device().fail(cudaErrorInvalidResourceHandle);
    return the_device().sticky();
}

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
    if (!start || !end || !start->has_time || !end->has_time)
        return the_device().fail(cudaErrorInvalidResourceHandle);
    *ms = std::chrono::duration<float, std::milli>(end->recorded - start->recorded).count();
    return cudaSuccess;
}

struct CUstream_st {};

cudaError_t cudaStreamCreate(cudaStream_t* stream) {
    if (!stream) return the_device().fail(cudaErrorInvalidValue);
    *stream = new CUstream_st;
    return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    if (!stream) return the_device().fail(cudaErrorInvalidResourceHandle);
    delete stream;
    return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t) { return the_device().sticky(); }

cudaError_t cudaDeviceSynchronize() { return the_device().sticky(); }

cudaError_t cudaDeviceReset() {
    the_device().reset();
    return cudaSuccess;
}

cudaError_t cudaGetLastError() { return the_device().take_last(true); }

cudaError_t cudaPeekAtLastError() { return the_device().take_last(false); }

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidDevicePointer: return "invalid device pointer";
    case cudaErrorInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
    case cudaErrorInvalidDeviceFunction: return "invalid device function";
    case cudaErrorNoDevice: return "no CUDA-capable device is detected";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    }
    return "unrecognized error code";
}
