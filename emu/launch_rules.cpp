// Launch rules: each kernel's bound and static shared size come from its
// symbols (kernel_symbols.cpp) at its first launch or attribute call; the
// opt-in of more dynamic shared memory is kept per kernel, as a GPU's
// runtime keeps it.
#include "launch_rules.h"

#include "kernel_symbols.h"
#include "scheduler.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>
#include <string>

namespace emu {
namespace {

constexpr unsigned device_max_threads = 1024;

// Opt-in shared memory per block of the architectures the build targets
// (CUDA C++ Programming Guide, technical specifications per compute capability).
constexpr architecture known_architectures[] = {
    {7, 5, 64 * 1024}, {8, 0, 163 * 1024}, {8, 6, 99 * 1024},   {8, 9, 99 * 1024},
    {9, 0, 227 * 1024}, {10, 0, 227 * 1024}, {12, 0, 99 * 1024},
};
constexpr const char* default_compute_capability = "9.0";

constexpr bool fits_shared_memory(const architecture* a, const architecture* end) {
    return a == end || (a->shared_optin <= dynamic_shared_limit && fits_shared_memory(a + 1, end));
}
static_assert(fits_shared_memory(std::begin(known_architectures), std::end(known_architectures)),
              "the emulated dynamic shared memory holds every architecture's opt-in maximum");

const architecture* parse_architecture(const char* text) {
    int major = 0, minor = 0, used = 0;
    if (std::sscanf(text, "%d.%d%n", &major, &minor, &used) != 2 || text[used] != '\0') return nullptr;
    for (const architecture& a : known_architectures)
        if (a.major == major && a.minor == minor) return &a;
    return nullptr;
}

struct kernel_state {
    kernel_symbols symbols;
    std::size_t max_dynamic_shared;  // cudaFuncAttributeMaxDynamicSharedMemorySize
};

class kernel_registry {
public:
    // The kernel's state, read from its symbols the first time.
    kernel_state& state(const void* kernel) {
        auto it = kernels_.find(kernel);
        if (it == kernels_.end()) {
            kernel_state s{read_kernel_symbols(kernel), 0};
            s.max_dynamic_shared = default_shared_limit - std::min(s.symbols.static_shared, default_shared_limit);
            it = kernels_.emplace(kernel, std::move(s)).first;
        }
        return it->second;
    }
    std::mutex mutex;

private:
    std::map<const void*, kernel_state> kernels_;
};

kernel_registry& the_registry() {
    static kernel_registry r;
    return r;
}

std::string kernel_name(const kernel_state& k) {
    if (!k.symbols.found) return "a kernel";
    int status = 0;
    char* plain = abi::__cxa_demangle(k.symbols.name.c_str(), nullptr, nullptr, &status);
    std::string name = status == 0 && plain ? plain : k.symbols.name;
    std::free(plain);
    return name;
}

cudaError_t refuse(cudaError_t e, const kernel_state& k, const std::string& why) {
    std::fprintf(stderr, "CUDA emulation: launch of %s refused (%s): %s\n", kernel_name(k).c_str(),
                 cudaGetErrorString(e), why.c_str());
    return e;
}

}  // namespace

const architecture* emulated_architecture() {
    // Read at every call, so that a program can set it between launches to
    // run code that chooses by architecture for each.
    const char* text = std::getenv("EMU_COMPUTE_CAPABILITY");
    if (!text || !*text) text = default_compute_capability;
    if (const architecture* a = parse_architecture(text)) return a;
    static std::mutex mutex;
    static std::string reported;
    std::lock_guard lock(mutex);
    if (reported != text) {
        reported = text;
        std::string known;
        for (const architecture& k : known_architectures)
            known += (known.empty() ? "" : ", ") + std::to_string(k.major) + "." + std::to_string(k.minor);
        std::fprintf(stderr, "CUDA emulation: EMU_COMPUTE_CAPABILITY=%s is not one of %s; no device\n", text,
                     known.c_str());
    }
    return nullptr;
}

cudaError_t check_launch_rules(const void* kernel, dim3 block, std::size_t dynamic_shared) {
    const architecture* a = emulated_architecture();
    if (!a) return cudaErrorNoDevice;
    kernel_registry& r = the_registry();
    std::lock_guard lock(r.mutex);
    const kernel_state& k = r.state(kernel);
    const std::uint64_t threads = std::uint64_t{block.x} * block.y * block.z;
    // A GPU refuses a block beyond the kernel's thread limit as it refuses
    // one its registers do not fit: the limit is one attribute of the kernel.
    if (k.symbols.max_threads != 0 && threads > k.symbols.max_threads)
        return refuse(cudaErrorLaunchOutOfResources, k,
                      std::to_string(threads) + " threads per block, its __launch_bounds__ allows " +
                          std::to_string(k.symbols.max_threads));
    // nvcc itself refuses such a kernel.
    if (k.symbols.static_shared > default_shared_limit)
        return refuse(cudaErrorInvalidValue, k,
                      std::to_string(k.symbols.static_shared) + " bytes of static shared memory, above 48 KiB");
    // The opt-in was held to the architecture of its time.
    if (dynamic_shared > k.max_dynamic_shared || k.symbols.static_shared + dynamic_shared > a->shared_optin)
        return refuse(cudaErrorInvalidValue, k,
                      std::to_string(dynamic_shared) + " bytes of dynamic shared memory with " +
                          std::to_string(k.symbols.static_shared) + " static; its limit is " +
                          std::to_string(k.max_dynamic_shared) +
                          " (cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, bytes) raises it"
                          " up to the architecture's opt-in maximum less the static size)");
    return cudaSuccess;
}

cudaError_t set_kernel_attribute(const void* kernel, cudaFuncAttribute attribute, int value) {
    const architecture* a = emulated_architecture();
    if (!a) return cudaErrorNoDevice;
    if (!kernel) return cudaErrorInvalidDeviceFunction;
    kernel_registry& r = the_registry();
    std::lock_guard lock(r.mutex);
    kernel_state& k = r.state(kernel);
    switch (attribute) {
    case cudaFuncAttributeMaxDynamicSharedMemorySize:
        if (value < 0 || k.symbols.static_shared + static_cast<std::size_t>(value) > a->shared_optin)
            return cudaErrorInvalidValue;
        k.max_dynamic_shared = static_cast<std::size_t>(value);
        return cudaSuccess;
    case cudaFuncAttributePreferredSharedMemoryCarveout:
        // A hint for the split of L1 and shared memory: percent, or -1 for no preference.
        return value >= -1 && value <= 100 ? cudaSuccess : cudaErrorInvalidValue;
    }
    return cudaErrorInvalidValue;
}

cudaError_t get_kernel_attributes(const void* kernel, cudaFuncAttributes& attributes) {
    if (!kernel) return cudaErrorInvalidDeviceFunction;
    kernel_registry& r = the_registry();
    std::lock_guard lock(r.mutex);
    const kernel_state& k = r.state(kernel);
    attributes = {};
    attributes.sharedSizeBytes = k.symbols.static_shared;
    attributes.maxThreadsPerBlock = static_cast<int>(k.symbols.max_threads ? k.symbols.max_threads : device_max_threads);
    attributes.maxDynamicSharedSizeBytes = static_cast<int>(k.max_dynamic_shared);
    return cudaSuccess;
}

}  // namespace emu
