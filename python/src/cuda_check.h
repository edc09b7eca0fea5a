// CUDA results turned into Python exceptions: a refused argument is a
// ValueError, anything else a RuntimeError naming the call and the error.
#pragma once

#include <cuda_runtime.h>

#include <nanobind/nanobind.h>

#include <string>

namespace median_python {

inline void check_cuda(cudaError_t e, const char* what) {
    if (e == cudaSuccess) return;
    const std::string message = std::string(what) + ": CUDA error " + std::to_string(static_cast<int>(e)) + " (" +
                                cudaGetErrorString(e) + ")";
    if (e == cudaErrorInvalidValue) throw nanobind::value_error(message.c_str());
    throw std::runtime_error(message);
}

// Makes `device` current for the life of the object and restores the one
// before; device < 0 keeps the current one.
class device_scope {
  public:
    explicit device_scope(int device) {
        check_cuda(cudaGetDevice(&previous_), "cudaGetDevice");
        if (device >= 0 && device != previous_) {
            check_cuda(cudaSetDevice(device), "cudaSetDevice");
            switched_ = true;
        }
    }
    ~device_scope() {
        // Restoring cannot fail where setting succeeded; nothing to report from a destructor.
        if (switched_) static_cast<void>(cudaSetDevice(previous_));
    }
    device_scope(const device_scope&) = delete;
    device_scope& operator=(const device_scope&) = delete;

  private:
    int previous_ = 0;
    bool switched_ = false;
};

}  // namespace median_python
