#include "python/src/dlpack_view.h"

#include "python/src/dlpack.h"

#include <Python.h>

namespace median_python {
namespace {

std::string dtype_name(const dlpack::data_type& t) {
    std::string name;
    switch (t.code) {
        case dlpack::int_code: name = "int"; break;
        case dlpack::uint_code: name = "uint"; break;
        case dlpack::float_code: name = "float"; break;
        default: name = "dlpack-code-" + std::to_string(t.code) + "-"; break;
    }
    name += std::to_string(t.bits);
    if (t.lanes != 1) name += "x" + std::to_string(t.lanes);
    return name;
}

array_view view_tensor(const dlpack::tensor& t, bool read_only) {
    if (t.ndim < 0) throw nanobind::type_error("a DLPack tensor with a negative number of dimensions");
    array_view v{t.dev.type, t.dev.id, {}, {}, dtype_name(t.dtype),
                 reinterpret_cast<std::uintptr_t>(t.data) + static_cast<std::uintptr_t>(t.byte_offset), read_only};
    v.shape.assign(t.shape, t.shape + t.ndim);
    if (t.strides) {
        v.strides.assign(t.strides, t.strides + t.ndim);
    } else {
        v.strides.resize(t.ndim);
        std::int64_t stride = 1;
        for (int i = t.ndim - 1; i >= 0; --i) {
            v.strides[i] = stride;
            stride *= v.shape[i];
        }
    }
    return v;
}

}  // namespace

array_view view_capsule(nanobind::handle capsule) {
    PyObject* o = capsule.ptr();
    if (PyCapsule_IsValid(o, dlpack::versioned_capsule_name)) {
        const auto* m =
            static_cast<const dlpack::managed_tensor_versioned*>(PyCapsule_GetPointer(o, dlpack::versioned_capsule_name));
        if (m->ver.major != dlpack::major_version)
            throw nanobind::type_error(("DLPack major version " + std::to_string(m->ver.major) +
                                        " (this module reads version 1)").c_str());
        return view_tensor(m->dl_tensor, (m->flags & dlpack::flag_read_only) != 0);
    }
    if (PyCapsule_IsValid(o, dlpack::capsule_name)) {
        const auto* m = static_cast<const dlpack::managed_tensor*>(PyCapsule_GetPointer(o, dlpack::capsule_name));
        return view_tensor(m->dl_tensor, false);
    }
    throw nanobind::type_error("__dlpack__ did not return an unused DLPack capsule");
}

}  // namespace median_python
