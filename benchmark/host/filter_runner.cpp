#include "filter_runner.h"

#include "include/median_filter/median_filter.h"
#include "cuda_check.h"
#include "progress.h"

#include <cstdio>
#include <string>

namespace {

constexpr int benchmark_repeats = 200;

// Device buffers of one run, released on every path.
class device_buffer {
public:
    ~device_buffer() {
        if (ptr_) cudaFree(ptr_);
    }
    bool allocate(std::size_t bytes) { return CUDA_OK(cudaMalloc(&ptr_, bytes)); }
    unsigned char* get() const { return ptr_; }

private:
    unsigned char* ptr_ = nullptr;
};

class event_pair {
public:
    ~event_pair() {
        if (start) cudaEventDestroy(start);
        if (stop) cudaEventDestroy(stop);
    }
    bool create() { return CUDA_OK(cudaEventCreate(&start)) && CUDA_OK(cudaEventCreate(&stop)); }

    cudaEvent_t start = nullptr;
    cudaEvent_t stop = nullptr;
};

bool timed_launches(const kernel_entry& kernel, const device_launch& launch, const unsigned char* in,
                    unsigned char* out, int pw, int repeats, kernel_timing& timing) {
    event_pair events;
    if (!events.create()) return false;
    progress_line progress(std::string("launching ") + kernel.name, repeats);
    for (int i = 0; i < repeats; ++i) {
        float ms = 0.0f;
        if (!CUDA_OK(cudaEventRecord(events.start, nullptr)) ||
            !CUDA_OK(launch(in, out, pw)) ||
            !CUDA_OK(cudaEventRecord(events.stop, nullptr)) || !CUDA_OK(cudaEventSynchronize(events.stop)) ||
            !CUDA_OK(cudaEventElapsedTime(&ms, events.start, events.stop)))
            return false;
        timing.add(ms);
        progress.update(i + 1);
    }
    return true;
}

bool library_on_device(int width, int height, median_filter::border mode, std::vector<unsigned char>& image) {
    const std::size_t bytes = image.size();
    const std::size_t pitch = static_cast<std::size_t>(width) * channels;
    device_buffer in, out;
    return in.allocate(bytes) && out.allocate(bytes) &&
           CUDA_OK(cudaMemcpy(in.get(), image.data(), bytes, cudaMemcpyHostToDevice)) &&
           CUDA_OK(median_filter::filter5x5(in.get(), pitch, out.get(), pitch, width, height, channels, {mode, 0})) &&
           CUDA_OK(cudaDeviceSynchronize()) &&
           CUDA_OK(cudaMemcpy(image.data(), out.get(), bytes, cudaMemcpyDeviceToHost));
}

bool run_on_device(const kernel_entry& kernel, const PaddedImage& input, int repeats, unsigned char fill,
                   const device_launch& launch, std::vector<unsigned char>& output, kernel_timing& timing) {
    const std::size_t bytes = input.bytes.size();
    device_buffer in, out;
    if (!in.allocate(bytes) || !out.allocate(bytes) ||
        !CUDA_OK(cudaMemcpy(in.get(), input.bytes.data(), bytes, cudaMemcpyHostToDevice)) ||
        !CUDA_OK(cudaMemset(out.get(), fill, bytes)))
        return false;
    if (!timed_launches(kernel, launch, in.get(), out.get(), input.padded_width(), repeats, timing) ||
        !CUDA_OK(cudaDeviceSynchronize()))
        return false;
    output.resize(bytes);
    return CUDA_OK(cudaMemcpy(output.data(), out.get(), bytes, cudaMemcpyDeviceToHost));
}

}  // namespace

bool run_launches(const kernel_entry& kernel, const PaddedImage& input, int repeats, unsigned char fill,
                  const device_launch& launch, std::vector<unsigned char>& output, kernel_timing& timing) {
    timing = {};
    const bool ok = run_on_device(kernel, input, repeats, fill, launch, output, timing);
    // Also releases what a failed run left behind.
    return CUDA_OK(cudaDeviceReset()) && ok;
}

bool run_kernel(const kernel_entry& kernel, const PaddedImage& input, int repeats, unsigned char fill,
                std::vector<unsigned char>& output, kernel_timing& timing) {
    const dim3 grid = kernel.grid(input.width, input.height);
    const device_launch launch = [&](const unsigned char* in, unsigned char* out, int pw) {
        return kernel.launch(grid, kernel.block, in, out, pw, input.height);
    };
    return run_launches(kernel, input, repeats, fill, launch, output, timing);
}

bool run_library(int width, int height, median_filter::border mode, std::vector<unsigned char>& image) {
    const bool ok = library_on_device(width, height, mode, image);
    return CUDA_OK(cudaDeviceReset()) && ok;
}

bool FilterRunner(const PaddedImage& input, std::vector<unsigned char>& output) {
    kernel_timing timing;
    if (!run_kernel(benchmark_kernel(), input, benchmark_repeats, 0, output, timing)) return false;
    const int pixels = input.width * input.height;
    std::printf("Batcher single kernel time: %4.4f ms\n", timing.best_ms);
    std::printf("Batcher Mpixel/s: %4.4f\n", static_cast<float>(pixels) / timing.best_ms / 1000.0);
    return true;
}

bool device_available(std::string& why) {
    int count = 0;
    const cudaError_t e = cudaGetDeviceCount(&count);
    if (e == cudaSuccess && count > 0) return true;
    why = std::string(e != cudaSuccess ? cudaGetErrorString(e) : "no CUDA device") +
          " (no NVIDIA GPU or driver found; median_bench_emu and median_suite_emu run the same kernels on the CPU)";
    return false;
}

void assemble_image(const kernel_entry& kernel, const PaddedImage& input, const std::vector<unsigned char>& output,
                    unsigned char* image) {
    const int covered_w = kernel.covered_width(input.width);
    const int covered_h = kernel.covered_height(input.height);
    const int pw = input.padded_width();
    for (int y = 0; y < covered_h; ++y)
        for (int x = 0; x < covered_w; ++x)
            for (int c = 0; c < channels; ++c)
                image[(static_cast<std::size_t>(y) * input.width + x) * channels + c] =
                    output[kernel.output_offset(x, y, pw, c)];
    reference::fill_uncovered(input, kernel.reference, covered_w, covered_h, image);
}
