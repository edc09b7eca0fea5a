#include "library_bench.h"

#include "benchmark/host/cuda_check.h"
#include "image/image_io.h"
#include "include/median_filter/median_filter.h"
#include "library/dispatch.h"
#include "library_peers.h"
#include "reference/median_filter_reference.h"
#include "suite_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>

namespace {

// Random images are the same on every run, so timings compare across runs.
constexpr std::uint32_t random_image_seed = 20240611;
constexpr const char* default_photograph = MEDIAN_SAMPLES_DIR "/dandelions-1920x1080.jpg";

template <class T>
struct typed_input {
    std::string name;
    reference::typed_image<T> image;
};

// A photograph's 8-bit value as T: 16-bit spreads it over the range, float
// maps it to [0, 1].
template <class T>
T from_byte(unsigned char v) {
    if constexpr (std::is_same_v<T, unsigned short>) return static_cast<T>(v * 257);
    if constexpr (std::is_same_v<T, float>) return v / 255.0f;
    return v;
}

template <class T>
T random_value(std::mt19937& rng) {
    if constexpr (std::is_same_v<T, float>) return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
    return static_cast<T>(rng());
}

// The photograph with `channels` channels: grey takes its first, RGBA adds
// an opaque alpha.
template <class T>
reference::typed_image<T> from_photograph(const rgb_pixels& photo, int channels) {
    reference::typed_image<T> image{photo.width, photo.height, channels, {}};
    image.pixels.reserve(static_cast<std::size_t>(photo.width) * photo.height * channels);
    for (std::size_t p = 0; p < photo.bytes.size(); p += 3)
        for (int c = 0; c < channels; ++c) image.pixels.push_back(from_byte<T>(c < 3 ? photo.bytes[p + c] : 255));
    return image;
}

template <class T>
bool load_inputs(const bench_options& options, std::vector<typed_input<T>>& inputs, std::string& error) {
    if (!options.input.empty() || options.sizes.empty()) {
        const std::string path = options.input.empty() ? default_photograph : options.input;
        rgb_pixels photo;
        if (!load_rgb(path, photo, error, options.max_pixels)) return false;
        const std::size_t slash = path.rfind('/');
        inputs.push_back({slash == std::string::npos ? path : path.substr(slash + 1),
                          from_photograph<T>(photo, options.channels)});
    }
    std::mt19937 rng(random_image_seed);
    for (const auto& [w, h] : options.sizes) {
        reference::typed_image<T> image{w, h, options.channels, {}};
        image.pixels.resize(static_cast<std::size_t>(w) * h * options.channels);
        for (T& v : image.pixels) v = random_value<T>(rng);
        inputs.push_back({"random pixels", std::move(image)});
    }
    return true;
}

// The device copies one row sees: the input surrounded by `radius` zero
// pixels (so that NPP's mask may read there), and the output.
template <class T>
struct device_images {
    T* bordered = nullptr;
    T* out = nullptr;
    std::size_t in_pitch = 0;
    std::size_t out_pitch = 0;
    int radius = 0;
    int channels = 0;

    const T* first_pixel() const {
        return reinterpret_cast<const T*>(reinterpret_cast<const unsigned char*>(bordered) + radius * in_pitch) +
               radius * channels;
    }
    ~device_images() {
        cudaFree(bordered);
        cudaFree(out);
    }
};

template <class T>
bool upload(const reference::typed_image<T>& image, int window, device_images<T>& d) {
    d.radius = window / 2;
    d.channels = image.channels;
    const std::size_t row = static_cast<std::size_t>(image.width) * image.channels * sizeof(T);
    d.in_pitch = (static_cast<std::size_t>(image.width) + 2 * d.radius) * image.channels * sizeof(T);
    d.out_pitch = row;
    const std::size_t in_bytes = d.in_pitch * (image.height + 2 * d.radius);
    if (!CUDA_OK(cudaMalloc(reinterpret_cast<void**>(&d.bordered), in_bytes)) ||
        !CUDA_OK(cudaMemset(d.bordered, 0, in_bytes)) ||
        !CUDA_OK(cudaMalloc(reinterpret_cast<void**>(&d.out), d.out_pitch * image.height)))
        return false;
    for (int y = 0; y < image.height; ++y) {
        auto* dst = const_cast<T*>(reinterpret_cast<const T*>(reinterpret_cast<const unsigned char*>(d.first_pixel()) +
                                                               y * d.in_pitch));
        if (!CUDA_OK(cudaMemcpy(dst, &image.pixels[static_cast<std::size_t>(y) * image.width * image.channels], row,
                                cudaMemcpyHostToDevice)))
            return false;
    }
    return true;
}

// Whether two values are the same value (floats bit for bit, which the
// reference's canonical NaN makes exact).
template <class T>
bool same(T a, T b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

template <class T>
bench_row bench_one(const std::string& name, const typed_launch<T>& launch, const typed_input<T>& input,
                    const reference::typed_image<T>& expected, int window, int repeats, const std::string& device) {
    const auto& image = input.image;
    bench_row row;
    row.kernel = name;
    row.device = device;
    row.emulated = emulated_device();
    row.image = input.name;
    row.width = image.width;
    row.height = image.height;
    row.repeats = repeats;
    row.covered_pixels = static_cast<long>(image.width) * image.height;
    row.status = bench_status::error;
    row.detail = "a CUDA call failed (see the message above)";

    device_images<T> d;
    cudaEvent_t start = nullptr, stop = nullptr;
    if (!upload(image, window, d) || !CUDA_OK(cudaEventCreate(&start)) || !CUDA_OK(cudaEventCreate(&stop)))
        return row;
    std::vector<float> times;
    for (int i = 0; i < repeats; ++i) {
        float ms = 0;
        if (!CUDA_OK(cudaEventRecord(start)) ||
            !CUDA_OK(launch(d.first_pixel(), d.in_pitch, d.out, d.out_pitch, image.width, image.height)) ||
            !CUDA_OK(cudaEventRecord(stop)) || !CUDA_OK(cudaEventSynchronize(stop)) ||
            !CUDA_OK(cudaEventElapsedTime(&ms, start, stop)))
            return row;
        times.push_back(ms);
    }
    cudaEventDestroy(start);
    cudaEventDestroy(stop);
    std::vector<T> out(expected.pixels.size());
    if (!CUDA_OK(cudaMemcpy(out.data(), d.out, out.size() * sizeof(T), cudaMemcpyDeviceToHost))) return row;

    row.status = bench_status::ok;
    row.detail.clear();
    row.timed = true;
    row.best_ms = *std::min_element(times.begin(), times.end());
    row.median_ms = median_of(times);
    row.mpixel_per_s = static_cast<double>(row.covered_pixels) / row.best_ms / 1000.0;
    const double bytes = 2.0 * static_cast<double>(out.size()) * sizeof(T);
    row.gb_per_s = bytes / (row.best_ms / 1000.0) / 1e9;
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!same(out[i], expected.pixels[i])) {
            if (row.wrong_pixels++ == 0) {
                const std::size_t pixel = i / image.channels;
                row.detail = "first wrong: pixel (" + std::to_string(pixel % image.width) + ", " +
                             std::to_string(pixel / image.width) + ") channel " + std::to_string(i % image.channels);
            }
            row.status = bench_status::failed;
        }
    return row;
}

// The library's row name: the call and the kernel its dispatch picks here.
template <class T>
std::string library_row_name(int window, int channels) {
    cudaError_t error = cudaSuccess;
    const int arch = median_filter::detail::current_architecture(error);
    const auto* kernel = median_filter::detail::choose_kernel<T>(arch, window, channels);
    return std::string("median_filter::filter (") + (kernel ? kernel->name : "no kernel") + ")";
}

template <class T>
int run_typed(const bench_options& options, std::vector<bench_row>& rows) {
    std::vector<typed_input<T>> inputs;
    std::string error;
    if (!load_inputs<T>(options, inputs, error)) {
        std::fprintf(stderr, "median_suite: %s\n", error.c_str());
        return 1;
    }
    const int window = options.window;
    const int repeats = options.repeats > 0 ? options.repeats : default_repeats();
    const std::string device = device_name();
    for (const auto& input : inputs) {
        const int channels = input.image.channels;
        const typed_launch<T> call = [window, channels](const T* src, std::size_t src_pitch, T* dst,
                                                        std::size_t dst_pitch, int width, int height) {
            return median_filter::filter<T>({src, src_pitch, width, height, channels},
                                            {dst, dst_pitch, width, height, channels}, window);
        };
        const auto expected = reference::median<T>(input.image, window, median_filter::border::constant, T{});
        std::vector<bench_row> image_rows;
        image_rows.push_back(
            bench_one<T>(library_row_name<T>(window, channels), call, input, expected, window, repeats, device));
        for (const auto& [name, peer] : typed_peers<T>(window, channels))
            image_rows.push_back(bench_one<T>(name, peer, input, expected, window, repeats, device));
        print_bench_table(stdout, image_rows);
        rows.insert(rows.end(), image_rows.begin(), image_rows.end());
    }
    return 0;
}

}  // namespace

int run_library_bench(const bench_options& options) {
    std::string error;
    atomic_file json, csv;
    for (auto [path, file] : {std::pair{&options.json_path, &json}, std::pair{&options.csv_path, &csv}})
        if (!path->empty() && !file->open(*path, error)) {
            std::fprintf(stderr, "median_suite: %s\n", error.c_str());
            return 2;
        }
    if (!device_available(error)) {
        std::fprintf(stderr, "median_suite: no CUDA device to run on: %s\n", error.c_str());
        return 1;
    }
    std::vector<bench_row> rows;
    const int code = options.type == "u16"   ? run_typed<unsigned short>(options, rows)
                     : options.type == "f32" ? run_typed<float>(options, rows)
                                             : run_typed<unsigned char>(options, rows);
    if (code != 0) return code;
    if (json.stream() && !write_bench_json(json, rows, error)) return 1;
    if (csv.stream() && !write_bench_csv(csv, rows, error)) return 1;
    const bool all_passed = std::none_of(rows.begin(), rows.end(), [](const bench_row& r) {
        return r.status == bench_status::failed || r.status == bench_status::error;
    });
    return all_passed ? 0 : 1;
}
