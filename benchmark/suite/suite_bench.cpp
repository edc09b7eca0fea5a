#include "suite_bench.h"

#include "image/image_io.h"
#include "benchmark/host/output_check.h"
#include "benchmark/host/progress.h"
#include "suite_report.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <utility>

namespace {

constexpr int usage_error = 2;
constexpr int max_repeats = 100000;
// Random images are the same on every run, so timings compare across runs.
constexpr std::uint32_t random_image_seed = 20240611;
constexpr const char* default_photograph = MEDIAN_SAMPLES_DIR "/dandelions-1920x1080.jpg";

// A whole number from 1 to `max`, digits only.
bool parse_count(const std::string& text, long max, int& value) {
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit)) return false;
    const long v = std::stol(text);
    if (v < 1 || v > max) return false;
    value = static_cast<int>(v);
    return true;
}

bool parse_size(const std::string& text, std::pair<int, int>& size, std::string& error) {
    const std::size_t x = text.find('x');
    constexpr long max_extent = 1L << 30;
    if (x == std::string::npos || !parse_count(text.substr(0, x), max_extent, size.first) ||
        !parse_count(text.substr(x + 1), max_extent, size.second)) {
        error = "bad size '" + text + "': expected WxH with whole numbers W, H >= 1, e.g. 1920x1080";
        return false;
    }
    if (!fits_padded(size.first, size.second)) {
        error = "size " + text + " is too large: its bordered copy must stay below 2^31 bytes";
        return false;
    }
    return true;
}

std::vector<std::string> split_list(const std::string& list) {
    std::vector<std::string> items;
    std::size_t from = 0;
    while (from <= list.size()) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        if (comma > from) items.push_back(list.substr(from, comma - from));
        from = comma + 1;
    }
    return items;
}

// The entries named in `names`, in that order; false with `error` for a
// name that `entries` lacks.
bool select_kernels(const std::vector<bench_peer>& entries, const std::vector<std::string>& names,
                    std::vector<bench_peer>& selected, std::string& error) {
    if (names.empty()) {
        selected = entries;
        return true;
    }
    const auto named = [](const std::string& name) {
        return [&name](const bench_peer& e) { return name == e.layout.name; };
    };
    for (const std::string& name : names) {
        const auto k = std::find_if(entries.begin(), entries.end(), named(name));
        if (k == entries.end()) {
            error = "unknown kernel '" + name + "'; the kernels are:";
            for (const auto& e : entries) error += std::string("\n  ") + e.layout.name;
            return false;
        }
        if (std::none_of(selected.begin(), selected.end(), named(name))) selected.push_back(*k);
    }
    return true;
}

struct named_image {
    std::string name;
    PaddedImage pixels;
};

bool load_images(const bench_options& options, std::vector<named_image>& images, std::string& error) {
    const bool photograph = !options.input.empty() || options.sizes.empty();
    if (photograph) {
        const std::string path = options.input.empty() ? default_photograph : options.input;
        rgb_pixels image;
        if (!load_rgb(path, image, error, options.max_pixels)) return false;
        PaddedImage bordered;
        if (!border_loaded(path, image, bordered, error)) return false;
        const std::size_t slash = path.rfind('/');
        images.push_back({slash == std::string::npos ? path : path.substr(slash + 1), std::move(bordered)});
    }
    std::mt19937 rng(random_image_seed);
    for (const auto& [w, h] : options.sizes) {
        std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * channels);
        for (auto& p : pixels) p = static_cast<unsigned char>(rng());
        images.push_back({"random pixels", border_image(pixels.data(), w, h)});
    }
    return true;
}

void record_timing(const kernel_timing& timing, const PaddedImage& input, bench_row& row) {
    constexpr double bytes_per_gb = 1e9;
    row.timed = true;
    row.best_ms = timing.best_ms;
    row.median_ms = median_of(timing.launch_ms);
    row.mpixel_per_s = static_cast<double>(row.covered_pixels) / row.best_ms / 1000.0;
    const double bytes = static_cast<double>(input.bytes.size()) + static_cast<double>(row.covered_pixels) * channels;
    row.gb_per_s = bytes / (row.best_ms / 1000.0) / bytes_per_gb;
}

// The reference images of one input, computed once per reference function.
class reference_cache {
public:
    explicit reference_cache(const PaddedImage& input) : input_(input) {}
    const reference::rgb_image& get(reference::pixel_fn fn) {
        auto it = images_.find(fn);
        if (it == images_.end()) it = images_.emplace(fn, reference::filter(input_, fn)).first;
        return it->second;
    }

private:
    const PaddedImage& input_;
    std::map<reference::pixel_fn, reference::rgb_image> images_;
};

bench_row bench_kernel(const bench_peer& entry, const named_image& image, int repeats, const std::string& device,
                       reference_cache& references) {
    const kernel_entry& kernel = entry.layout;
    const PaddedImage& input = image.pixels;
    bench_row row;
    row.kernel = kernel.name;
    row.device = device;
    row.emulated = emulated_device();
    row.image = image.name;
    row.width = input.width;
    row.height = input.height;
    row.repeats = repeats;
    row.covered_pixels = static_cast<long>(kernel.covered_width(input.width)) * kernel.covered_height(input.height);
    if (row.covered_pixels == 0) {
        row.status = bench_status::skipped;
        row.detail = "image smaller than one " + std::to_string(kernel.span_x()) + "x" +
                     std::to_string(kernel.span_y()) + " block";
        return row;
    }
    std::vector<unsigned char> output;
    kernel_timing timing;
    if (!entry.run(kernel, input, repeats, 0, output, timing)) {
        row.status = bench_status::error;
        row.detail = "a CUDA call failed (see the message above)";
        return row;
    }
    record_timing(timing, input, row);
    const output_check check = check_covered_pixels(kernel, input, output, references.get(kernel.reference));
    if (!check.passed()) {
        row.status = bench_status::failed;
        row.wrong_pixels = check.wrong_pixels;
        row.detail = "first wrong: " + check.first_difference;
    }
    return row;
}

std::vector<bench_row> bench_image(const std::vector<bench_peer>& kernels, const named_image& image, int repeats,
                                   const std::string& device) {
    reference_cache references(image.pixels);
    progress_line progress("median_suite bench: " + image.name + ": kernel", static_cast<int>(kernels.size()));
    std::vector<bench_row> rows;
    for (std::size_t i = 0; i < kernels.size(); ++i) {
        progress.update(static_cast<int>(i) + 1);
        rows.push_back(bench_kernel(kernels[i], image, repeats, device, references));
    }
    return rows;
}

int fail(const std::string& message, int code) {
    std::fprintf(stderr, "median_suite: %s\n", message.c_str());
    return code;
}

}  // namespace

std::string device_name() {
    cudaDeviceProp prop{};
    return cudaGetDeviceProperties(&prop, 0) == cudaSuccess ? prop.name : "unknown CUDA device";
}

double median_of(std::vector<float> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

const char* status_name(bench_status status) {
    switch (status) {
        case bench_status::ok: return "ok";
        case bench_status::failed: return "FAILED";
        case bench_status::error: return "error";
        case bench_status::skipped: return "skipped";
    }
    return "?";
}

bool parse_bench_args(const std::vector<std::string>& args, bench_options& options, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        const bool takes_value = option == "--input" || option == "--size" || option == "--kernels" ||
                                 option == "--repeat" || option == "--json" || option == "--csv" ||
                                 option == "--window" || option == "--type" || option == "--channels";
        if (!takes_value) {
            error = "unknown option '" + option + "'";
            return false;
        }
        if (i + 1 == args.size()) {
            error = option + " needs a value";
            return false;
        }
        const std::string& value = args[++i];
        if (option == "--size") {
            std::pair<int, int> size;
            if (!parse_size(value, size, error)) return false;
            options.sizes.push_back(size);
        } else if (option == "--repeat") {
            if (!parse_count(value, max_repeats, options.repeats)) {
                error =
                    "bad --repeat '" + value + "': expected a whole number from 1 to " + std::to_string(max_repeats);
                return false;
            }
        } else if (option == "--window" || option == "--channels" || option == "--type") {
            options.library_choice = true;
            const bool good = option == "--window"     ? parse_count(value, 15, options.window) && options.window >= 3 &&
                                                            options.window % 2 == 1
                              : option == "--channels" ? parse_count(value, 4, options.channels) && options.channels != 2
                                                       : value == "u8" || value == "u16" || value == "f32";
            if (!good) {
                error = "bad " + option + " '" + value + "': expected " +
                        (option == "--window"     ? "an odd window side from 3 to 15"
                         : option == "--channels" ? "1, 3 or 4"
                                                  : "u8, u16 or f32");
                return false;
            }
            if (option == "--type") options.type = value;
        } else if (option == "--kernels") {
            options.kernels = split_list(value);
            if (options.kernels.empty()) {
                error = "--kernels needs at least one kernel name";
                return false;
            }
        } else {
            std::string& target = option == "--input"  ? options.input
                                  : option == "--json" ? options.json_path
                                                       : options.csv_path;
            if (value.empty()) {
                error = option + " needs a file name";
                return false;
            }
            target = value;
        }
    }
    return true;
}

int run_bench(const bench_options& options, const std::vector<kernel_entry>& kernels,
              const std::vector<bench_peer>& peers) {
    std::vector<bench_peer> entries;
    for (const kernel_entry& k : kernels) entries.push_back({k, run_kernel});
    entries.insert(entries.end(), peers.begin(), peers.end());
    std::vector<bench_peer> selected;
    std::string error;
    if (!select_kernels(entries, options.kernels, selected, error)) return fail(error, usage_error);
    // Created now, so that a file that cannot be written is found before the run.
    atomic_file json, csv;
    for (auto [path, file] : {std::pair{&options.json_path, &json}, std::pair{&options.csv_path, &csv}})
        if (!path->empty() && !file->open(*path, error)) return fail(error, usage_error);
    // The input first, so that a bad image is named even without a device.
    std::vector<named_image> images;
    if (!load_images(options, images, error)) return fail(error, 1);
    if (!device_available(error)) return fail("no CUDA device to run on: " + error, 1);
    const int repeats = options.repeats > 0 ? options.repeats : default_repeats();
    if (options.repeats == 0 && emulated_device())
        std::fprintf(stderr, "median_suite: %d launches per kernel on the CPU emulation (--repeat N for more)\n",
                     repeats);

    const std::string device = device_name();
    std::vector<bench_row> all;
    for (const named_image& image : images) {
        const std::vector<bench_row> rows = bench_image(selected, image, repeats, device);
        print_bench_table(stdout, rows);
        all.insert(all.end(), rows.begin(), rows.end());
    }
    if (std::all_of(all.begin(), all.end(), [](const bench_row& r) { return r.status == bench_status::skipped; }))
        return fail("no kernel was measured: every image is smaller than every kernel's block", usage_error);
    if (json.stream() && !write_bench_json(json, all, error)) return fail(error, 1);
    if (csv.stream() && !write_bench_csv(csv, all, error)) return fail(error, 1);
    const bool all_passed = std::none_of(all.begin(), all.end(), [](const bench_row& r) {
        return r.status == bench_status::failed || r.status == bench_status::error;
    });
    return all_passed ? 0 : 1;
}
