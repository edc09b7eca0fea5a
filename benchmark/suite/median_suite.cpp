// Runs, checks and times any kernel of the module by name.
//   median_suite list [--json]
//   median_suite run KERNEL INPUT OUTPUT [--border MODE]
//   median_suite bench [options]
//   median_suite reference INPUT OUTPUT [--border MODE]
#include "benchmark/host/filter_runner.h"
#include "image/image_io.h"
#include "image/standard_output.h"
#include "library_bench.h"
#include "library_listing.h"
#include "library_peers.h"
#include "suite_bench.h"
#include "suite_report.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int usage_error = 2;

int usage() {
    std::fprintf(stderr,
                 "usage: median_suite list [--json]\n"
                 "       median_suite run KERNEL INPUT OUTPUT [--border MODE]\n"
                 "       median_suite bench [--input FILE] [--size WxH]... [--kernels A,B,...] [--repeat N]\n"
                 "                          [--json FILE] [--csv FILE] [--window K] [--type u8|u16|f32] [--channels C]\n"
                 "       median_suite reference INPUT OUTPUT [--border MODE]   (the exact 5x5 median, on the CPU)\n"
                 "MODE is how pixels outside the image read: constant (black, the default), replicate,\n"
                 "reflect or mirror, as SciPy's mode= names them.\n"
                 "bench checks every kernel (or those named), and NVIDIA's NPP median where the build\n"
                 "found NPP, against its reference and times --repeat\n"
                 "launches of each (default %d here) on the photograph (default %s)\n"
                 "and on random images of the given sizes. With --window, --type or --channels it\n"
                 "benches the library's choice for them (default 5, u8, 3) beside NPP's median instead.\n",
                 default_repeats(), "samples/dandelions-1920x1080.jpg");
    return usage_error;
}

int unknown_kernel(const std::string& name) {
    std::fprintf(stderr, "median_suite: unknown kernel '%s'; the kernels are:\n", name.c_str());
    for (const auto& k : kernel_table()) std::fprintf(stderr, "  %s\n", k.name);
    return usage_error;
}

int list() {
    for (const auto& k : kernel_table()) {
        const char* round = k.coverage == grid_rule::whole_image ? "ceil" : "floor";
        const std::string grid = std::string(round) + "(W/" + std::to_string(k.span_x()) + ") x " + round + "(H/" +
                                 std::to_string(k.span_y()) + ")";
        std::printf("%-27s block %2ux%-2u  %2dx%d px/thread  grid %-26s %-8s  smem %5d B  %-28s %s\n", k.name,
                    k.block.x, k.block.y, k.pixels_per_thread, k.rows_per_thread, grid.c_str(),
                    k.placement == output_placement::centred ? "centred" : "top-left", k.shared_bytes, k.computes,
                    k.method);
    }
    return 0;
}

// The launch geometry of every kernel, for scripts (tools/sass_profile.py):
// the table's, then every kernel the library can launch (the table's
// library row is one of those, listed there).
int list_json() {
    std::printf("{\"kernels\": [");
    const char* separator = "\n  ";
    for (const auto& k : kernel_table()) {
        if (&k == &library_kernel()) continue;
        const int threads = static_cast<int>(k.block.x * k.block.y);
        std::printf("%s{\"name\": %s, \"block\": [%u, %u], \"threads\": %d, \"span\": [%d, %d], "
                    "\"outputs_per_thread\": %d, \"shared_bytes\": %d}",
                    separator, json_string(k.name).c_str(), k.block.x, k.block.y, threads, k.span_x(), k.span_y(),
                    k.span_x() * k.span_y() / threads, k.shared_bytes);
        separator = ",\n  ";
    }
    print_library_kernels_json(separator);
    std::printf("\n]}\n");
    return 0;
}

// The border mode named by the optional "--border MODE" in `args`; false
// for anything else.
bool parse_border(const std::vector<std::string>& args, median_filter::border& mode) {
    mode = median_filter::border::constant;
    if (args.empty()) return true;
    if (args.size() != 2 || args[0] != "--border") return false;
    const std::pair<const char*, median_filter::border> names[] = {{"constant", median_filter::border::constant},
                                                                   {"replicate", median_filter::border::replicate},
                                                                   {"reflect", median_filter::border::reflect},
                                                                   {"mirror", median_filter::border::mirror}};
    for (const auto& [name, m] : names)
        if (args[1] == name) {
            mode = m;
            return true;
        }
    return false;
}

// Loads INPUT and borders it by `mode`; false after a message on failure.
bool load_padded(const std::string& path, median_filter::border mode, rgb_pixels& image, PaddedImage& padded) {
    std::string error;
    if (!load_rgb(path, image, error)) {
        std::fprintf(stderr, "median_suite: %s\n", error.c_str());
        return false;
    }
    if (border_loaded(path, image, padded, error, mode)) return true;
    std::fprintf(stderr, "median_suite: %s\n", error.c_str());
    return false;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "median_suite: %s\n", message.c_str());
    return 1;
}

// The table's kernels read the image bordered by `mode`; the library call
// borders it itself.
int run(const std::string& name, const std::string& input_path, const std::string& output_path,
        median_filter::border mode) {
    const kernel_entry* kernel = find_kernel(name);
    if (!kernel) return unknown_kernel(name);
    std::string error;
    image_output saved;
    if (!saved.open(output_path, error)) return fail(error);
    rgb_pixels image;
    PaddedImage input;
    if (!load_padded(input_path, mode, image, input)) return 1;
    if (!saved.holds(image.width, image.height, error)) return fail(error);
    if (kernel == &library_kernel()) {
        if (!run_library(image.width, image.height, mode, image.bytes)) return 1;
        return saved.save(image, error) ? 0 : fail(error);
    }
    std::vector<unsigned char> output(input.bytes.size(), 0);
    if (kernel->covered_width(image.width) > 0 && kernel->covered_height(image.height) > 0) {
        kernel_timing timing;
        if (!run_kernel(*kernel, input, 1, 0, output, timing)) return 1;
    }
    assemble_image(*kernel, input, output, image.bytes.data());
    return saved.save(image, error) ? 0 : fail(error);
}

int write_reference(const std::string& input_path, const std::string& output_path, median_filter::border mode) {
    std::string error;
    image_output saved;
    if (!saved.open(output_path, error)) return fail(error);
    rgb_pixels image;
    PaddedImage input;
    if (!load_padded(input_path, mode, image, input)) return 1;
    if (!saved.holds(image.width, image.height, error)) return fail(error);
    image.bytes = reference::filter(input, reference::exact_median).pixels;
    return saved.save(image, error) ? 0 : fail(error);
}

int bench(int argc, char** argv) {
    bench_options options;
    std::string error;
    if (!parse_bench_args(std::vector<std::string>(argv + 2, argv + argc), options, error)) {
        std::fprintf(stderr, "median_suite bench: %s\n", error.c_str());
        usage();
        return usage_error;
    }
    if (options.library_choice) return run_library_bench(options);
    return run_bench(options, kernel_table(), library_peers());
}

int dispatch(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "list" && argc == 2) return list();
    if (command == "list" && argc == 3 && std::string(argv[2]) == "--json") return list_json();
    const auto options_from = [&](int first) {
        return std::vector<std::string>(argv + std::min(first, argc), argv + argc);
    };
    median_filter::border mode{};
    if (command == "run" && argc >= 5 && parse_border(options_from(5), mode))
        return run(argv[2], argv[3], argv[4], mode);
    if (command == "reference" && argc >= 4 && parse_border(options_from(4), mode))
        return write_reference(argv[2], argv[3], mode);
    if (command == "bench") return bench(argc, argv);
    return usage();
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    if (!standard_output_open(error)) return fail(error);
    const int code = dispatch(argc, argv);
    if (!standard_output_flushed(error)) return fail(error);
    return code;
}
