// Everything that touches the GPU for one run: device buffers, launches
// between events, the copy back and the device reset.
#pragma once

#include "benchmark/table/kernel_table.h"

#include <functional>
#include <vector>

struct kernel_timing {
    std::vector<float> launch_ms;  // elapsed time of each launch, in order
    float best_ms = 0.0f;          // the shortest of them; 0 before the first

    // Records one launch's time.
    void add(float ms) {
        best_ms = launch_ms.empty() || ms < best_ms ? ms : best_ms;
        launch_ms.push_back(ms);
    }
};

// Launches `kernel` `repeats` times on the bordered image with the grid of
// its table entry, each launch between two events, and copies the device
// output buffer (same size as the input; untouched bytes keep `fill`) into
// `output`. Every CUDA call is checked: on failure the call and the reason
// are printed on stderr and false is returned, with no timing.
bool run_kernel(const kernel_entry& kernel, const PaddedImage& input, int repeats, unsigned char fill,
                std::vector<unsigned char>& output, kernel_timing& timing);

// What a run launches between its two events, on the device copies of the
// bordered input and output (row length in pixels).
using device_launch = std::function<cudaError_t(const unsigned char* in, unsigned char* out, int pw)>;

// As run_kernel, launching `launch` instead of `kernel.launch`; `kernel`
// names the run. Device memory the caller allocated for `launch` is
// released by the device reset that ends the run.
bool run_launches(const kernel_entry& kernel, const PaddedImage& input, int repeats, unsigned char fill,
                  const device_launch& launch, std::vector<unsigned char>& output, kernel_timing& timing);

// The benchmark: 200 timed launches of the benchmark kernel, then the time
// and throughput lines on stdout. `output` receives the output buffer.
bool FilterRunner(const PaddedImage& input, std::vector<unsigned char>& output);

// Whether a CUDA device (or the emulation) can run kernels; `why` says why
// not, and that the _emu programs run on the CPU instead.
bool device_available(std::string& why);

// Whether this build runs kernels on the CPU emulation.
constexpr bool emulated_device() {
#ifdef MEDIAN_EMULATION
    return true;
#else
    return false;
#endif
}

// One call of the library (median_filter::filter5x5) on a W x H RGB image,
// rows packed, in `mode`; the result replaces `image`. False after a message
// on failure.
bool run_library(int width, int height, median_filter::border mode, std::vector<unsigned char>& image);

// Copies the covered pixels of `kernel`'s output buffer into `image` (rows
// packed) and fills the others with its reference function.
void assemble_image(const kernel_entry& kernel, const PaddedImage& input, const std::vector<unsigned char>& output,
                    unsigned char* image);
