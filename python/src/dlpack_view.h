// What a DLPack capsule describes, read without taking it over: the caller
// keeps the capsule (and so the producer's memory) alive while it uses the
// view.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

namespace median_python {

struct array_view {
    std::int32_t device_type;
    std::int32_t device_id;
    std::vector<std::int64_t> shape;
    std::vector<std::int64_t> strides;  // in elements, filled in for compact arrays
    std::string dtype;                  // NumPy's name: "uint8", "float32", "int64", ...
    std::uintptr_t data;                // the first element (byte_offset applied)
    bool read_only;
};

// Raises TypeError for an object that is not a DLPack capsule, or one
// already consumed.
array_view view_capsule(nanobind::handle capsule);

}  // namespace median_python
