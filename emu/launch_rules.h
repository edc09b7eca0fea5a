// The limits a GPU's runtime checks before it starts a kernel, for the
// architecture the emulation stands for (EMU_COMPUTE_CAPABILITY).
#pragma once

#include <cuda_runtime.h>

#include <cstddef>

namespace emu {

// CUDA's shared memory per block without the opt-in attribute.
constexpr std::size_t default_shared_limit = 48 * 1024;

struct architecture {
    int major, minor;
    std::size_t shared_optin;  // the most shared memory a block may have, with the opt-in
};

// The architecture EMU_COMPUTE_CAPABILITY names now ("9.0" when unset), or
// nullptr, said on stderr, when it names none the emulation knows: then
// there is no device.
const architecture* emulated_architecture();

// cudaSuccess, or the error a GPU's runtime returns for a launch of `kernel`
// (cudaErrorNoDevice without an architecture)
// with this block and dynamic shared memory (said on stderr): a block larger
// than the kernel's __launch_bounds__, or shared memory past its limit.
cudaError_t check_launch_rules(const void* kernel, dim3 block, std::size_t dynamic_shared);

cudaError_t set_kernel_attribute(const void* kernel, cudaFuncAttribute attribute, int value);
cudaError_t get_kernel_attributes(const void* kernel, cudaFuncAttributes& attributes);

}  // namespace emu
