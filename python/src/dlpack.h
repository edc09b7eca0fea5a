// The DLPack exchange structures (ABI version 1.0), as the array libraries
// lay them out: the extension both reads capsules (inputs, outputs handed
// in) and writes them (the arrays it allocates).
#pragma once

#include <cstdint>

namespace dlpack {

enum device_type : std::int32_t {
    cpu = 1,
    cuda = 2,
    cuda_host = 3,  // pinned host memory
    cuda_managed = 13,
};

enum type_code : std::uint8_t {
    int_code = 0,
    uint_code = 1,
    float_code = 2,
};

struct device {
    std::int32_t type;
    std::int32_t id;
};

struct data_type {
    std::uint8_t code;
    std::uint8_t bits;
    std::uint16_t lanes;
};

struct tensor {
    void* data;
    device dev;
    std::int32_t ndim;
    data_type dtype;
    std::int64_t* shape;
    std::int64_t* strides;  // in elements; null: compact row-major
    std::uint64_t byte_offset;
};

// Capsule "dltensor": the unversioned form, from producers before DLPack 1.0.
struct managed_tensor {
    tensor dl_tensor;
    void* manager_ctx;
    void (*deleter)(managed_tensor*);
};

struct version {
    std::uint32_t major;
    std::uint32_t minor;
};

constexpr std::uint64_t flag_read_only = 1u << 0;

// Capsule "dltensor_versioned".
struct managed_tensor_versioned {
    version ver;
    void* manager_ctx;
    void (*deleter)(managed_tensor_versioned*);
    std::uint64_t flags;
    tensor dl_tensor;
};

constexpr const char* capsule_name = "dltensor";
constexpr const char* versioned_capsule_name = "dltensor_versioned";
constexpr std::uint32_t major_version = 1;

}  // namespace dlpack
