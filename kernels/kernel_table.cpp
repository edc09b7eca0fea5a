#include "kernel_table.h"

#include "median_kernels.cuh"

namespace {

using kernel3 = void (*)(unsigned char*, unsigned char*, int);

template <kernel3 Kernel>
cudaError_t launch(dim3 grid, dim3 block, const unsigned char* in, unsigned char* out, int pw) {
    // Kernels take a mutable input pointer for their signature; they only read it.
    auto* input = const_cast<unsigned char*>(in);
    void* args[] = {&input, &out, &pw};
    return cudaLaunchKernel(Kernel, grid, block, args, 0, nullptr);
}

const dim3 block_32x8(32, 8);

}  // namespace

dim3 kernel_entry::grid(int width, int height) const {
    return dim3(static_cast<unsigned>(width / span_x()), static_cast<unsigned>(height / span_y()));
}

int kernel_entry::output_offset(int x, int y, int pw, int c) const {
    const int shift = placement == output_placement::centred ? ApronRadius : 0;
    return pixel_offset(x + shift, y + shift, pw, c);
}

const std::vector<kernel_entry>& kernel_table() {
    static const std::vector<kernel_entry> table = {
        {"median_kernel_batcher_5x5", launch<median_kernel_batcher_5x5>, block_32x8, 1, output_placement::top_left,
         reference::exact_median, "exact median", 1296,
         "odd-even merge sort network, 202 min/max per channel, interleaved tile"},
        {"median_kernel_batcher", launch<median_kernel_batcher>, block_32x8, 1, output_placement::top_left,
         reference::exact_median, "exact median", 1296, "odd-even merge sort network on a planar tile"},
    };
    return table;
}

const kernel_entry* find_kernel(std::string_view name) {
    for (const auto& k : kernel_table())
        if (name == k.name) return &k;
    return nullptr;
}

const kernel_entry& benchmark_kernel() { return *find_kernel("median_kernel_batcher_5x5"); }
