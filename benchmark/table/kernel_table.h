// The one list of the module's kernels: how to launch each and what its
// output must equal. The driver, the suite and the tests all read it.
#pragma once

#include "reference/median_reference.h"

#include <cuda_runtime.h>

#include <string_view>
#include <vector>

enum class output_placement {
    top_left,  // result for image pixel (x, y) at bordered pixel (x, y)
    centred,   // at bordered pixel (x + 2, y + 2), as the pixel sits in the input
};

// Which pixels a launch computes.
enum class grid_rule {
    full_blocks,  // floor(W / span_x) x floor(H / span_y) blocks; the host fills the rest
    whole_image,  // ceil(W / span_x) x ceil(H / span_y) blocks; the kernel guards the last ones
};

// Launches a kernel on a bordered image of `height` image rows; kernels that
// cover the whole image take the height as their fourth parameter.
using launch_fn = cudaError_t (*)(dim3 grid, dim3 block, const unsigned char* in, unsigned char* out, int pw,
                                  int height);

struct kernel_entry {
    const char* name;
    launch_fn launch;
    dim3 block;
    int pixels_per_thread;  // horizontally adjacent output pixels per thread
    int rows_per_thread;    // vertically adjacent output rows per thread
    grid_rule coverage;
    output_placement placement;
    reference::pixel_fn reference;  // what every covered output pixel equals
    const char* computes;           // the reference, in words
    int shared_bytes;               // static shared memory per block
    const char* method;

    // Pixels one block covers; the grid follows from them and the coverage rule.
    int span_x() const { return static_cast<int>(block.x) * pixels_per_thread; }
    int span_y() const { return static_cast<int>(block.y) * rows_per_thread; }
    dim3 grid(int width, int height) const;
    // The image pixels the grid covers: x < covered_width, y < covered_height.
    int covered_width(int width) const { return covered_extent(width, span_x()); }
    int covered_height(int height) const { return covered_extent(height, span_y()); }
    // Byte offset in the output buffer of channel c of image pixel (x, y).
    int output_offset(int x, int y, int pw, int c) const;

private:
    int covered_extent(int extent, int span) const {
        return coverage == grid_rule::whole_image ? extent : extent / span * span;
    }
};

const std::vector<kernel_entry>& kernel_table();

// The entry of that name, or nullptr.
const kernel_entry* find_kernel(std::string_view name);

// The kernel the benchmark program launches.
const kernel_entry& benchmark_kernel();

// The library call median_filter::filter5x5 (3 channels), which borders the
// image itself: in the table it reads the image inside the bordered buffer.
const kernel_entry& library_kernel();
