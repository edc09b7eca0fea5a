// Every kernel the library can launch, with what the dispatch and the tools
// need to know of it. Plain C++: the kernels' .cu files fill the lists.
#pragma once

#include "image_args.h"

#include <type_traits>
#include <vector>

namespace median_core {

enum class method {
    tiled_network,  // generated network shared by a tile of windows (networks.h), two values a register
    tiled_keys,     // the same network, one value a register (floats, and GPUs without packed min/max)
    tiled_wide,     // the window's wide tile (twice the outputs a network), two values a register
    tiled_wide_keys,  // the wide tile, one value a register
    selection,      // bitwise selection, one output per thread (select_core.cuh)
    bitslice,       // bit-sliced selection, 32 bytes a logic instruction (bitslice_core.cuh): 8-bit 5x5
};

template <class T>
using kernel_fn = void (*)(image_args<T>);

template <class T>
struct kernel_info {
    const char* name;
    kernel_fn<T> kernel;
    method how;
    int window;
    int channels;
    int span_cols;     // pixels a block covers per block row
    int span_rows;
    int shared_bytes;  // static shared memory per block
    int block_x = block_cols;  // the block's shape
    int block_y = block_rows;
    int min_arch = 75;  // compute capability x 10 it is compiled for from; before it, it traps
};

// The kernels of each method for element type T (the tiled ones of one
// window), appended to `out`.
template <class T, int Window>
void add_tiled_kernels(std::vector<kernel_info<T>>& out);
template <class T, int Window>
void add_wide_tiled_kernels(std::vector<kernel_info<T>>& out);
template <class T>
void add_select_kernels(std::vector<kernel_info<T>>& out);
void add_bitslice_kernels(std::vector<kernel_info<unsigned char>>& out);

// Every library kernel of element type T, built once.
template <class T>
const std::vector<kernel_info<T>>& library_kernels() {
    static const std::vector<kernel_info<T>> list = [] {
        std::vector<kernel_info<T>> all;
        add_tiled_kernels<T, 3>(all);
        add_tiled_kernels<T, 5>(all);
        add_tiled_kernels<T, 7>(all);
        add_wide_tiled_kernels<T, 3>(all);
        add_wide_tiled_kernels<T, 5>(all);
        add_select_kernels(all);
        if constexpr (std::is_same_v<T, unsigned char>) add_bitslice_kernels(all);
        return all;
    }();
    return list;
}

// The kernel of that method, window and channel count, or nullptr.
template <class T>
const kernel_info<T>* find_library_kernel(method how, int window, int channels) {
    for (const auto& k : library_kernels<T>())
        if (k.how == how && k.window == window && k.channels == channels) return &k;
    return nullptr;
}

}  // namespace median_core
