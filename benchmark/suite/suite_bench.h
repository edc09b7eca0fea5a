// `median_suite bench`: verifies every kernel against its reference function
// and times it, on a photograph or on random images of given sizes.
#pragma once

#include "benchmark/host/filter_runner.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct bench_options {
    std::string input;                       // photograph; empty when only sizes are given
    std::vector<std::pair<int, int>> sizes;  // random images, W x H
    std::vector<std::string> kernels;        // names; empty for the whole table
    int repeats = 0;                         // 0: the default of this build
    std::string json_path;
    std::string csv_path;
    std::int64_t max_pixels = -1;            // for the photograph; -1: MEDIAN_MAX_PIXELS or the default
    // --window, --type, --channels: the library's choice for them instead of
    // the table (any of the three selects it; the others default to 5, u8, 3).
    bool library_choice = false;
    int window = 5;
    std::string type = "u8";
    int channels = 3;
};

// Parses the arguments after "bench". On an argument error returns false
// with `error` saying what is wrong.
bool parse_bench_args(const std::vector<std::string>& args, bench_options& options, std::string& error);

// Launches per kernel when --repeat is not given: fewer on the emulation,
// where one launch of a large image takes a good part of a second.
constexpr int default_repeats() {
    return emulated_device() ? 5 : 200;
}

// The device the rows name, and the median of launch times.
std::string device_name();
double median_of(std::vector<float> values);

enum class bench_status { ok, failed, error, skipped };
const char* status_name(bench_status status);

// One kernel on one image.
struct bench_row {
    std::string kernel;
    std::string device;
    bool emulated = false;
    std::string image;  // file name, or "random pixels"
    int width = 0;
    int height = 0;
    int repeats = 0;
    long covered_pixels = 0;
    bench_status status = bench_status::ok;
    long wrong_pixels = 0;
    std::string detail;  // first wrong pixel, or why it did not run
    // Timings are those of the launches; throughput is from the best launch.
    bool timed = false;
    double best_ms = 0;
    double median_ms = 0;
    double mpixel_per_s = 0;
    double gb_per_s = 0;  // the bordered input and the written output, once each
};

// How a row runs its timed launches: run_kernel for a kernel of the table.
using run_fn = bool (*)(const kernel_entry& layout, const PaddedImage& input, int repeats, unsigned char fill,
                        std::vector<unsigned char>& output, kernel_timing& timing);

// Another library's filter, benched and checked beside the kernels: `layout`
// names it and gives its covered pixels, output placement and reference.
struct bench_peer {
    kernel_entry layout;
    run_fn run;
};

// Runs the bench described by `options` over `kernels` (the table, or a
// test's own entries) and then `peers`: prints one table per image on
// stdout, writes the JSON and CSV files. Returns the exit code: 0, 1 when a
// kernel failed its check or could not run, 2 for a name not among them.
int run_bench(const bench_options& options, const std::vector<kernel_entry>& kernels,
              const std::vector<bench_peer>& peers = {});
