#include "python/src/device_array.h"

#include "python/src/cuda_check.h"
#include "python/src/dlpack.h"

#include <cuda_runtime.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdio>
#include <utility>

namespace nb = nanobind;

namespace median_python {

struct device_allocation {
    void* ptr = nullptr;
    ~device_allocation() {
        // A destructor cannot raise; a failed free (a device error from
        // earlier work) is reported and the memory given up.
        if (const cudaError_t e = cudaFree(ptr); e != cudaSuccess)
            std::fprintf(stderr, "median_filter: cudaFree failed: %s\n", cudaGetErrorString(e));
    }
};

namespace {

struct dtype_entry {
    const char* name;
    dlpack::data_type dl;
};
constexpr dtype_entry dtypes[] = {
    {"uint8", {dlpack::uint_code, 8, 1}},
    {"uint16", {dlpack::uint_code, 16, 1}},
    {"float32", {dlpack::float_code, 32, 1}},
};

const dtype_entry& find_dtype(const std::string& name) {
    for (const auto& d : dtypes)
        if (name == d.name) return d;
    throw nb::type_error(("device_array: dtype " + name + " (uint8, uint16 or float32)").c_str());
}

template <class Dtype>
std::string host_dtype_name(const Dtype& t) {
    for (const auto& d : dtypes)
        if (t.code == d.dl.code && t.bits == d.dl.bits && t.lanes == d.dl.lanes) return d.name;
    return "another dtype";
}

// One exported view: the DLPack structure, the shape and strides it points
// to, and a share of the memory, freed together by the consumer's deleter.
template <class Managed>
struct exported {
    Managed managed{};
    std::shared_ptr<device_allocation> memory;
    std::vector<std::int64_t> shape, strides;

    static void deleter(Managed* m) { delete static_cast<exported*>(m->manager_ctx); }
    static void capsule_destructor(PyObject* capsule);
};

template <class Managed>
constexpr const char* capsule_name_of =
    std::is_same_v<Managed, dlpack::managed_tensor_versioned> ? dlpack::versioned_capsule_name : dlpack::capsule_name;

// A capsule nobody consumed still owns its tensor; a consumer renames it
// ("used_..."), taking over the deleter.
template <class Managed>
void exported<Managed>::capsule_destructor(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, capsule_name_of<Managed>)) return;
    auto* m = static_cast<Managed*>(PyCapsule_GetPointer(capsule, capsule_name_of<Managed>));
    m->deleter(m);
}

template <class Managed>
nb::object export_capsule(const std::shared_ptr<device_allocation>& memory, const std::vector<std::int64_t>& shape,
                          const std::vector<std::int64_t>& strides, dlpack::data_type dtype, int device) {
    auto* e = new exported<Managed>{{}, memory, shape, strides};
    e->managed.manager_ctx = e;
    e->managed.deleter = &exported<Managed>::deleter;
    if constexpr (std::is_same_v<Managed, dlpack::managed_tensor_versioned>) e->managed.ver = {1, 0};
    dlpack::tensor& t = e->managed.dl_tensor;
    t.data = memory->ptr;
    t.dev = {dlpack::cuda, device};
    t.ndim = static_cast<std::int32_t>(e->shape.size());
    t.dtype = dtype;
    t.shape = e->shape.data();
    t.strides = e->strides.data();
    t.byte_offset = 0;
    PyObject* capsule = PyCapsule_New(&e->managed, capsule_name_of<Managed>, &exported<Managed>::capsule_destructor);
    if (!capsule) {
        delete e;
        throw nb::python_error();
    }
    return nb::steal(capsule);
}

}  // namespace

device_array::device_array(std::vector<std::int64_t> shape, const std::string& dtype, int device,
                           std::int64_t row_pitch)
    : memory_(std::make_shared<device_allocation>()), shape_(std::move(shape)), dtype_(dtype), device_(device) {
    const dtype_entry& d = find_dtype(dtype);
    item_bytes_ = d.dl.bits / 8;
    if (shape_.size() != 2 && shape_.size() != 3) throw nb::value_error("device_array: shape (H, W) or (H, W, C)");
    for (const auto extent : shape_)
        if (extent < 0 || extent > (1 << 30)) throw nb::value_error("device_array: extents from 0 to 2^30");
    const std::int64_t row_elements = shape_[1] * (shape_.size() == 3 ? shape_[2] : 1);
    if (row_pitch != 0 && row_pitch < row_elements) throw nb::value_error("device_array: row_pitch shorter than a row");
    strides_ = {row_pitch ? row_pitch : row_elements, shape_.size() == 3 ? shape_[2] : 1};
    if (shape_.size() == 3) strides_.push_back(1);
    const device_scope scope(device_);
    // An empty array still gets an address of its own.
    const std::size_t bytes = rows() == 0 || row_bytes() == 0 ? 1 : pitch_bytes() * (rows() - 1) + row_bytes();
    check_cuda(cudaMalloc(&memory_->ptr, bytes), "cudaMalloc");
}

std::size_t device_array::row_bytes() const {
    return static_cast<std::size_t>(shape_[1] * (shape_.size() == 3 ? shape_[2] : 1)) * item_bytes_;
}

std::size_t device_array::pitch_bytes() const { return static_cast<std::size_t>(strides_[0]) * item_bytes_; }

std::uintptr_t device_array::ptr() const { return reinterpret_cast<std::uintptr_t>(memory_->ptr); }

nb::object device_array::dlpack(nb::object stream, nb::object max_version, nb::object dl_device, nb::object copy) {
    streams_seen_.append(stream);
    if (!dl_device.is_none() && !dlpack_device().equal(dl_device))
        throw nb::buffer_error("device_array: cannot export to another device");
    if (!copy.is_none() && nb::cast<bool>(copy)) throw nb::buffer_error("device_array: does not export copies");
    const dlpack::data_type dl = find_dtype(dtype_).dl;
    const bool versioned = !max_version.is_none() && nb::cast<int>(max_version[0]) >= 1;
    if (versioned) return export_capsule<dlpack::managed_tensor_versioned>(memory_, shape_, strides_, dl, device_);
    return export_capsule<dlpack::managed_tensor>(memory_, shape_, strides_, dl, device_);
}

nb::tuple device_array::dlpack_device() const { return nb::make_tuple(static_cast<int>(dlpack::cuda), device_); }

template <class Host>
void device_array::check_host(const Host& host) const {
    bool same = host.ndim() == shape_.size() && host_dtype_name(host.dtype()) == dtype_;
    for (std::size_t i = 0; same && i < shape_.size(); ++i) same = static_cast<std::int64_t>(host.shape(i)) == shape_[i];
    if (!same) throw nb::value_error("device_array: the host array differs in shape or dtype");
}

void device_array::upload(host_source host) {
    check_host(host);
    const auto* src = static_cast<const unsigned char*>(host.data());
    auto* dst = static_cast<unsigned char*>(memory_->ptr);
    const nb::gil_scoped_release unlocked;
    const device_scope scope(device_);
    for (std::size_t y = 0; y < rows(); ++y)
        check_cuda(cudaMemcpy(dst + y * pitch_bytes(), src + y * row_bytes(), row_bytes(), cudaMemcpyHostToDevice),
                   "cudaMemcpy to the device");
}

void device_array::download(host_target host) const {
    check_host(host);
    auto* dst = static_cast<unsigned char*>(host.data());
    const auto* src = static_cast<const unsigned char*>(memory_->ptr);
    const nb::gil_scoped_release unlocked;
    const device_scope scope(device_);
    for (std::size_t y = 0; y < rows(); ++y)
        check_cuda(cudaMemcpy(dst + y * row_bytes(), src + y * pitch_bytes(), row_bytes(), cudaMemcpyDeviceToHost),
                   "cudaMemcpy to the host");
}

void bind_device_array(nb::module_& m) {
    nb::class_<device_array>(m, "device_array")
        .def(nb::init<std::vector<std::int64_t>, const std::string&, int, std::int64_t>(), nb::arg("shape"),
             nb::arg("dtype"), nb::arg("device") = 0, nb::arg("row_pitch") = 0)
        .def("__dlpack__", &device_array::dlpack, nb::kw_only(), nb::arg("stream") = nb::none(),
             nb::arg("max_version") = nb::none(), nb::arg("dl_device") = nb::none(), nb::arg("copy") = nb::none())
        .def("__dlpack_device__", &device_array::dlpack_device)
        .def("upload", &device_array::upload, nb::arg("host").noconvert())
        .def("download", &device_array::download, nb::arg("host").noconvert())
        .def_prop_ro("ptr", &device_array::ptr)
        .def_prop_ro("shape", [](const device_array& a) { return nb::tuple(nb::cast(a.shape())); })
        .def_prop_ro("strides", [](const device_array& a) { return nb::tuple(nb::cast(a.strides())); })
        .def_prop_ro("dtype", &device_array::dtype)
        .def_prop_ro("device", &device_array::device)
        .def_prop_ro("streams_seen", &device_array::streams_seen,
                     "the stream argument of every __dlpack__ call, in order");
}

}  // namespace median_python
