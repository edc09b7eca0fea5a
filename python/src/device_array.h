// An array in device memory (cudaMalloc) that any array library can take
// through DLPack as a CUDA array: the memory of the arrays the filter
// returns for CUDA inputs, and, with a row pitch, a producer whose rows are
// padded (the tests and the speed check use it where no CuPy is installed).
// The memory lives until the object and every consumer have let it go.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace median_python {

struct device_allocation;

class device_array {
  public:
    // shape (H, W) or (H, W, C); dtype "uint8", "uint16" or "float32";
    // row_pitch: elements from one row to the next, 0 for packed rows.
    device_array(std::vector<std::int64_t> shape, const std::string& dtype, int device, std::int64_t row_pitch);

    // The DLPack protocol. `stream` is recorded (streams_seen) and otherwise
    // needs no action: work on this memory is ordered by its users.
    nanobind::object dlpack(nanobind::object stream, nanobind::object max_version, nanobind::object dl_device,
                            nanobind::object copy);
    nanobind::tuple dlpack_device() const;

    // Copies between this array and a C-contiguous host array of the same
    // shape and dtype; synchronous.
    using host_source = nanobind::ndarray<nanobind::ro, nanobind::c_contig, nanobind::device::cpu>;
    using host_target = nanobind::ndarray<nanobind::c_contig, nanobind::device::cpu>;
    void upload(host_source host);
    void download(host_target host) const;

    std::uintptr_t ptr() const;
    const std::vector<std::int64_t>& shape() const { return shape_; }
    const std::vector<std::int64_t>& strides() const { return strides_; }
    const std::string& dtype() const { return dtype_; }
    int device() const { return device_; }
    nanobind::list streams_seen() const { return streams_seen_; }

  private:
    std::size_t row_bytes() const;
    std::size_t rows() const { return static_cast<std::size_t>(shape_[0]); }
    std::size_t pitch_bytes() const;
    template <class Host>
    void check_host(const Host& host) const;

    std::shared_ptr<device_allocation> memory_;
    std::vector<std::int64_t> shape_, strides_;
    std::string dtype_;
    int item_bytes_;
    int device_;
    nanobind::list streams_seen_;
};

void bind_device_array(nanobind::module_& m);

}  // namespace median_python
