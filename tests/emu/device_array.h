// A device buffer released at the end of a test, also on failure.
#pragma once

#include <cuda_runtime.h>

#include <gtest/gtest.h>

#include <vector>

template <class T>
struct device_array {
    T* ptr = nullptr;
    std::size_t count;

    explicit device_array(std::size_t n) : count(n) { EXPECT_EQ(cudaMalloc(&ptr, n * sizeof(T)), cudaSuccess); }
    ~device_array() { cudaFree(ptr); }
    device_array(const device_array&) = delete;
    device_array& operator=(const device_array&) = delete;

    std::vector<T> read() const {
        std::vector<T> host(count);
        EXPECT_EQ(cudaMemcpy(host.data(), ptr, count * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
        return host;
    }
    void write(const std::vector<T>& host) {
        ASSERT_EQ(host.size(), count);
        ASSERT_EQ(cudaMemcpy(ptr, host.data(), count * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    }
};
