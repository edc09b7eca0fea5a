// The benchmark: filters "input.jpg" with the 5x5 median kernel, times the
// best of 200 launches and writes "output.bmp".
#include "filter_runner.h"
#include "image/image_io.h"
#include "image/standard_output.h"

#include <cstdio>
#include <string>

namespace {

constexpr const char* input_path = "input.jpg";
constexpr const char* output_path = "output.bmp";

int fail(const std::string& message) {
    std::fprintf(stderr, "median_bench: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main() {
    std::string error;
    if (!standard_output_open(error)) return fail(error);
    image_output saved;
    if (!saved.open(output_path, error)) return fail(error);
    rgb_pixels image;
    if (!load_rgb(input_path, image, error)) return fail(error);
    std::printf("Input resolution: %4dx%4d\n", image.width, image.height);
    std::fflush(stdout);
    PaddedImage input;
    if (!border_loaded(input_path, image, input, error)) return fail(error);

    const kernel_entry& kernel = benchmark_kernel();
    std::vector<unsigned char> output(input.bytes.size(), 0);
    if (kernel.covered_width(image.width) == 0 || kernel.covered_height(image.height) == 0) {
        std::fprintf(stderr, "median_bench: image smaller than one %ux%u block: filtered on the host, no GPU time measured\n",
                     kernel.block.x, kernel.block.y);
    } else {
        if (!device_available(error)) return fail("no GPU to run on: " + error + "; no output written");
        if (emulated_device())
            std::fprintf(stderr, "median_bench: times are CPU-emulation times, not GPU times\n");
        if (!FilterRunner(input, output)) return fail("GPU run failed; no output written");
    }
    assemble_image(kernel, input, output, image.bytes.data());
    // The report first: a run whose report is lost leaves the old output as it was.
    if (!standard_output_flushed(error)) return fail(error + "; no output written");
    if (!saved.save(image, error)) return fail(error);
    return 0;
}
