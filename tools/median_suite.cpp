// Runs any kernel of the module by name.
//   median_suite list
//   median_suite run KERNEL INPUT OUTPUT
#include "host/filter_runner.h"
#include "host/image_io.h"

#include <cstdio>
#include <string>

namespace {

constexpr int usage_error = 2;

int usage() {
    std::fprintf(stderr,
                 "usage: median_suite list\n"
                 "       median_suite run KERNEL INPUT OUTPUT\n");
    return usage_error;
}

int unknown_kernel(const std::string& name) {
    std::fprintf(stderr, "median_suite: unknown kernel '%s'; the kernels are:\n", name.c_str());
    for (const auto& k : kernel_table()) std::fprintf(stderr, "  %s\n", k.name);
    return usage_error;
}

int list() {
    for (const auto& k : kernel_table()) {
        const std::string grid = "floor(W/" + std::to_string(k.span_x()) + ") x floor(H/" + std::to_string(k.span_y()) + ")";
        std::printf("%-27s block %2ux%-2u  %d px/thread  grid %-26s %-8s  %-24s %s\n", k.name, k.block.x, k.block.y,
                    k.pixels_per_thread, grid.c_str(), k.placement == output_placement::centred ? "centred" : "top-left",
                    k.computes, k.method);
    }
    return 0;
}

int run(const std::string& name, const std::string& input_path, const std::string& output_path) {
    const kernel_entry* kernel = find_kernel(name);
    if (!kernel) return unknown_kernel(name);
    rgb_pixels image;
    std::string error;
    if (!load_rgb(input_path, image, error)) {
        std::fprintf(stderr, "median_suite: %s\n", error.c_str());
        return 1;
    }
    if (!fits_padded(image.width, image.height)) {
        std::fprintf(stderr, "median_suite: %s is too large: its bordered copy must stay below 2^31 bytes\n",
                     input_path.c_str());
        return 1;
    }
    const PaddedImage input = border_image(image.bytes.data(), image.width, image.height);
    std::vector<unsigned char> output(input.bytes.size(), 0);
    if (kernel->covered_width(image.width) > 0 && kernel->covered_height(image.height) > 0) {
        kernel_timing timing;
        if (!run_kernel(*kernel, input, 1, 0, output, timing)) return 1;
    }
    assemble_image(*kernel, input, output, image.bytes.data());
    if (!save_rgb(output_path, image, error)) {
        std::fprintf(stderr, "median_suite: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "list" && argc == 2) return list();
    if (command == "run" && argc == 5) return run(argv[2], argv[3], argv[4]);
    return usage();
}
