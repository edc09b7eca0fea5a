// Runs, checks and times any kernel of the module by name.
//   median_suite list [--json]
//   median_suite run KERNEL INPUT OUTPUT [--border MODE]
//   median_suite bench [options]
//   median_suite reference INPUT OUTPUT [--border MODE]
#include "benchmark/host/filter_runner.h"
#include "image/image_header.h"
#include "image/image_io.h"
#include "image/standard_output.h"
#include "library_bench.h"
#include "library_listing.h"
#include "library_peers.h"
#include "suite_bench.h"
#include "suite_report.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int usage_error = 2;

int usage() {
    std::fprintf(stderr,
                 "usage: median_suite list [--json]\n"
                 "       median_suite run KERNEL INPUT OUTPUT [--border MODE] [--max-pixels N]\n"
                 "       median_suite bench [--input FILE] [--size WxH]... [--kernels A,B,...] [--repeat N]\n"
                 "                          [--json FILE] [--csv FILE] [--max-pixels N]\n"
                 "                          [--window K] [--type u8|u16|f32] [--channels C]\n"
                 "       median_suite reference INPUT OUTPUT [--border MODE] [--max-pixels N]   (the exact 5x5 median, on the CPU)\n"
                 "MODE is how pixels outside the image read: constant (black, the default), replicate\n"
                 "(SciPy's nearest), reflect or mirror, as SciPy's mode= names them.\n"
                 "--max-pixels N refuses input images of more than N pixels before decoding (default\n"
                 "%lld, or MEDIAN_MAX_PIXELS from the environment).\n"
                 "bench checks every kernel (or those named), and NVIDIA's NPP median where the build\n"
                 "found NPP, against its reference and times --repeat\n"
                 "launches of each (default %d here) on the photograph (default %s)\n"
                 "and on random images of the given sizes. With --window, --type or --channels it\n"
                 "benches the library's choice for them (default 5, u8, 3) beside NPP's median instead.\n",
                 static_cast<long long>(default_max_pixels), default_repeats(), "samples/dandelions-1920x1080.jpg");
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

// The border mode `name` means: ours, or SciPy's name for it; false with
// `error` saying why otherwise.
bool parse_border(const std::string& name, median_filter::border& mode, std::string& error) {
    const std::pair<const char*, median_filter::border> names[] = {
        {"constant", median_filter::border::constant},     {"replicate", median_filter::border::replicate},
        {"reflect", median_filter::border::reflect},       {"mirror", median_filter::border::mirror},
        {"nearest", median_filter::border::replicate},     {"grid-constant", median_filter::border::constant},
        {"grid-mirror", median_filter::border::reflect},
    };
    for (const auto& [known, m] : names)
        if (name == known) {
            mode = m;
            return true;
        }
    error = "unknown --border mode '" + name + "'" +
            (name == "wrap" || name == "grid-wrap" ? " (wrapping around is not supported)" : "") +
            "; the modes are constant, replicate (SciPy's nearest), reflect (grid-mirror) and mirror";
    return false;
}

// Options of run and reference.
struct image_options {
    median_filter::border mode = median_filter::border::constant;
    std::int64_t max_pixels = -1;  // from the environment
};

// Removes "--max-pixels N" from `args`; false with `error` for a bad or missing value.
bool take_max_pixels(std::vector<std::string>& args, std::int64_t& max_pixels, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--max-pixels") continue;
        std::string why;
        if (i + 1 == args.size() || !parse_max_pixels(args[i + 1], max_pixels, why)) {
            error = "--max-pixels " + (i + 1 == args.size() ? std::string("needs a value") : why);
            return false;
        }
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
        --i;
    }
    return true;
}

bool parse_image_options(std::vector<std::string> args, image_options& options, std::string& error) {
    if (!take_max_pixels(args, options.max_pixels, error)) return false;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        if (args[i] != "--border") {
            error = "unknown option '" + args[i] + "'";
            return false;
        }
        if (i + 1 == args.size()) {
            error = "--border needs a mode";
            return false;
        }
        if (!parse_border(args[i + 1], options.mode, error)) return false;
    }
    return true;
}

// Loads INPUT and borders it as `options` say; false after a message on failure.
bool load_padded(const std::string& path, const image_options& options, rgb_pixels& image, PaddedImage& padded) {
    std::string error;
    if (!load_rgb(path, image, error, options.max_pixels)) {
        std::fprintf(stderr, "median_suite: %s\n", error.c_str());
        return false;
    }
    if (border_loaded(path, image, padded, error, options.mode)) return true;
    std::fprintf(stderr, "median_suite: %s\n", error.c_str());
    return false;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "median_suite: %s\n", message.c_str());
    return 1;
}

// Opens OUTPUT (so that an output that cannot be written stops the run
// before any work), loads INPUT bordered as `options` say and checks that
// OUTPUT's format holds the image; false after a message.
bool open_and_load(const std::string& input_path, const std::string& output_path, const image_options& options,
                   image_output& saved, rgb_pixels& image, PaddedImage& input) {
    std::string error;
    if (!saved.open(output_path, error)) {
        fail(error);
        return false;
    }
    if (!load_padded(input_path, options, image, input)) return false;  // it said why
    if (!saved.holds(image.width, image.height, error)) {
        fail(error);
        return false;
    }
    return true;
}

// The table's kernels read the image bordered by `mode`; the library call
// borders it itself.
int run(const std::string& name, const std::string& input_path, const std::string& output_path,
        const image_options& options) {
    const kernel_entry* kernel = find_kernel(name);
    if (!kernel) return unknown_kernel(name);
    std::string error;
    image_output saved;
    rgb_pixels image;
    PaddedImage input;
    if (!open_and_load(input_path, output_path, options, saved, image, input)) return 1;
    if (!device_available(error)) return fail("no GPU to run on: " + error);
    if (kernel == &library_kernel()) {
        if (!run_library(image.width, image.height, options.mode, image.bytes)) return 1;
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

int write_reference(const std::string& input_path, const std::string& output_path, const image_options& options) {
    std::string error;
    image_output saved;
    rgb_pixels image;
    PaddedImage input;
    if (!open_and_load(input_path, output_path, options, saved, image, input)) return 1;
    image.bytes = reference::filter(input, reference::exact_median).pixels;
    return saved.save(image, error) ? 0 : fail(error);
}

int bench(int argc, char** argv) {
    bench_options options;
    std::string error;
    std::vector<std::string> args(argv + 2, argv + argc);
    if (!take_max_pixels(args, options.max_pixels, error) || !parse_bench_args(args, options, error)) {
        std::fprintf(stderr, "median_suite bench: %s\n", error.c_str());
        usage();
        return usage_error;
    }
    if (options.library_choice) return run_library_bench(options);
    return run_bench(options, kernel_table(), library_peers());
}

// run KERNEL INPUT OUTPUT [options] and reference INPUT OUTPUT [options].
int run_or_reference(const std::string& command, int argc, char** argv) {
    const int files = command == "run" ? 3 : 2;
    if (argc < 2 + files) return usage();
    image_options options;
    std::string error;
    if (!parse_image_options(std::vector<std::string>(argv + 2 + files, argv + argc), options, error)) {
        std::fprintf(stderr, "median_suite %s: %s\n", command.c_str(), error.c_str());
        return usage_error;
    }
    return command == "run" ? run(argv[2], argv[3], argv[4], options) : write_reference(argv[2], argv[3], options);
}

int dispatch(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "list" && argc == 2) return list();
    if (command == "list" && argc == 3 && std::string(argv[2]) == "--json") return list_json();
    if (command == "run" || command == "reference") return run_or_reference(command, argc, argv);
    if (command == "bench") return bench(argc, argv);
    return usage();
}

// run and reference write files only: they need no standard output.
bool prints_report(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    return command != "run" && command != "reference";
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    if (prints_report(argc, argv) ? !standard_output_open(error) : !reserve_closed_standard_output(error))
        return fail(error);
    const int code = dispatch(argc, argv);
    if (!standard_output_flushed(error)) return fail(error);
    return code;
}
