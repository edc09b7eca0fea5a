// median_filter._core: the library's filter<T> for Python. The package's
// Python code checks the arguments and names the one at fault; this module
// reads DLPack capsules, launches on raw device pointers, and owns the
// device arrays the package allocates.
#include "include/median_filter/median_filter.h"
#include "python/src/cuda_check.h"
#include "python/src/device_array.h"
#include "python/src/dlpack_view.h"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace nb = nanobind;

namespace median_python {
namespace {

// One image in device memory, by address, as the Python side has checked it.
struct launch_args {
    std::uintptr_t src;
    std::size_t src_pitch;  // bytes
    std::uintptr_t dst;
    std::size_t dst_pitch;
    int height, width, channels;
    std::string dtype;
    int window;
    int mode;  // median_filter::border
    double cval;
    std::uintptr_t stream;  // cudaStream_t
    int device;             // -1: the current one
};

template <class T>
cudaError_t launch_typed(const launch_args& a) {
    const median_filter::image<const T> src{reinterpret_cast<const T*>(a.src), a.src_pitch, a.width, a.height,
                                            a.channels};
    const median_filter::image<T> dst{reinterpret_cast<T*>(a.dst), a.dst_pitch, a.width, a.height, a.channels};
    median_filter::options opts;
    opts.mode = static_cast<median_filter::border>(a.mode);
    opts.constant_value = a.cval;
    return median_filter::filter<T>(src, dst, a.window, opts, reinterpret_cast<cudaStream_t>(a.stream));
}

cudaError_t launch(const launch_args& a) {
    if (a.dtype == "uint8") return launch_typed<unsigned char>(a);
    if (a.dtype == "uint16") return launch_typed<unsigned short>(a);
    if (a.dtype == "float32") return launch_typed<float>(a);
    throw nb::type_error(("filter: dtype " + a.dtype).c_str());
}

void filter(const launch_args& a) {
    const nb::gil_scoped_release unlocked;
    const device_scope scope(a.device);
    check_cuda(launch(a), "median_filter::filter");
}

// Seconds for `repeats` calls of filter<T> straight from C++, the work
// finished: what the binding's own overhead is measured against.
double time_filter(const launch_args& a, int repeats) {
    const nb::gil_scoped_release unlocked;
    const device_scope scope(a.device);
    check_cuda(cudaStreamSynchronize(reinterpret_cast<cudaStream_t>(a.stream)), "cudaStreamSynchronize");
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repeats; ++i) check_cuda(launch(a), "median_filter::filter");
    check_cuda(cudaStreamSynchronize(reinterpret_cast<cudaStream_t>(a.stream)), "cudaStreamSynchronize");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

nb::dict view(nb::handle capsule) {
    const array_view v = view_capsule(capsule);
    nb::dict d;
    d["device_type"] = v.device_type;
    d["device_id"] = v.device_id;
    d["shape"] = nb::tuple(nb::cast(v.shape));
    d["strides"] = nb::tuple(nb::cast(v.strides));
    d["dtype"] = v.dtype;
    d["ptr"] = v.data;
    d["read_only"] = v.read_only;
    return d;
}

std::uintptr_t stream_create() {
    cudaStream_t s = nullptr;
    check_cuda(cudaStreamCreate(&s), "cudaStreamCreate");
    return reinterpret_cast<std::uintptr_t>(s);
}

void stream_destroy(std::uintptr_t s) {
    check_cuda(cudaStreamDestroy(reinterpret_cast<cudaStream_t>(s)), "cudaStreamDestroy");
}

void stream_synchronize(std::uintptr_t s) {
    const nb::gil_scoped_release unlocked;
    check_cuda(cudaStreamSynchronize(reinterpret_cast<cudaStream_t>(s)), "cudaStreamSynchronize");
}

std::string device_name() {
    int device = 0;
    check_cuda(cudaGetDevice(&device), "cudaGetDevice");
    cudaDeviceProp properties{};
    check_cuda(cudaGetDeviceProperties(&properties, device), "cudaGetDeviceProperties");
    return properties.name;
}

int current_device() {
    int device = 0;
    check_cuda(cudaGetDevice(&device), "cudaGetDevice");
    return device;
}

}  // namespace
}  // namespace median_python

NB_MODULE(_core, m) {
    using namespace median_python;
    m.attr("backend") = MEDIAN_PYTHON_BACKEND_NAME;
    m.attr("min_window") = median_filter::min_window;
    m.attr("max_window") = median_filter::max_window;
    m.attr("max_extent") = median_filter::max_extent;
    m.def("view", &view, nb::arg("capsule"), "what a DLPack capsule describes (it stays unconsumed)");
    nb::class_<launch_args>(m, "launch_args")
        .def("__init__",
             [](launch_args* a, std::uintptr_t src, std::size_t src_pitch, std::uintptr_t dst, std::size_t dst_pitch,
                int height, int width, int channels, std::string dtype, int window, int mode, double cval,
                std::uintptr_t stream, int device) {
                 new (a) launch_args{src,   src_pitch, dst,    dst_pitch, height, width, channels, std::move(dtype),
                                     window, mode,     cval,   stream,    device};
             },
             nb::kw_only(), nb::arg("src"), nb::arg("src_pitch"), nb::arg("dst"), nb::arg("dst_pitch"),
             nb::arg("height"), nb::arg("width"), nb::arg("channels"), nb::arg("dtype"), nb::arg("window"),
             nb::arg("mode"), nb::arg("cval"), nb::arg("stream"), nb::arg("device"));
    m.def("filter", &filter, nb::arg("args"), "launches filter<T> on the stream and returns at once");
    m.def("time_filter", &time_filter, nb::arg("args"), nb::arg("repeats"),
          "seconds for `repeats` calls straight from C++, the work finished");
    m.def("stream_create", &stream_create);
    m.def("stream_destroy", &stream_destroy, nb::arg("stream"));
    m.def("stream_synchronize", &stream_synchronize, nb::arg("stream"));
    m.def("current_device", &current_device);
    m.def("device_name", &device_name, "the current device's name (\"CPU emulation\" on the emulation)");
    bind_device_array(m);
}
