#include "library_peers.h"

#ifdef MEDIAN_WITH_NPP

#include "benchmark/host/cuda_check.h"

#include <npp.h>

#include <cstdio>

namespace {

constexpr const char* npp_median_name = "npp_filter_median";

bool npp_ok(NppStatus status, const char* call) {
    // Positive codes are warnings: the result is still written.
    if (status >= NPP_NO_ERROR) return true;
    std::fprintf(stderr, "%s failed: NppStatus %d\n", call, static_cast<int>(status));
    return false;
}

#define NPP_OK(call) npp_ok((call), #call)

// NPP's context for the legacy default stream, on which the events are recorded.
bool default_stream_context(NppStreamContext& context) {
    context = {};
    cudaDeviceProp prop{};
    if (!CUDA_OK(cudaGetDevice(&context.nCudaDeviceId)) ||
        !CUDA_OK(cudaGetDeviceProperties(&prop, context.nCudaDeviceId)))
        return false;
    context.hStream = nullptr;
    context.nMultiProcessorCount = prop.multiProcessorCount;
    context.nMaxThreadsPerMultiProcessor = prop.maxThreadsPerMultiProcessor;
    context.nMaxThreadsPerBlock = prop.maxThreadsPerBlock;
    context.nSharedMemPerBlock = prop.sharedMemPerBlock;
    context.nCudaDevAttrComputeCapabilityMajor = prop.major;
    context.nCudaDevAttrComputeCapabilityMinor = prop.minor;
    context.nStreamFlags = cudaStreamDefault;
    return true;
}

// The zero-border 5x5 median of the whole image: the source pointer at the
// first image pixel of the bordered input, so the mask's reach of 2 pixels
// lies in the black border; the result for (x, y) at bordered (x, y).
bool run_npp_median(const kernel_entry& layout, const PaddedImage& input, int repeats, unsigned char fill,
                    std::vector<unsigned char>& output, kernel_timing& timing) {
    const NppiSize roi{input.width, input.height};
    const NppiSize mask{window_side, window_side};
    const NppiPoint anchor{ApronRadius, ApronRadius};
    NppStreamContext context;
    Npp32u scratch_bytes = 0;
    if (!default_stream_context(context) ||
        !NPP_OK(nppiFilterMedianGetBufferSize_8u_C3R_Ctx(roi, mask, &scratch_bytes, context)))
        return false;
    // Allocated once per run; the device reset that ends the run frees it.
    Npp8u* scratch = nullptr;
    if (!CUDA_OK(cudaMalloc(&scratch, scratch_bytes))) return false;
    const device_launch launch = [&](const unsigned char* in, unsigned char* out, int pw) {
        const int step = pw * channels;
        const Npp8u* first_pixel = in + pixel_offset(ApronRadius, ApronRadius, pw, 0);
        return NPP_OK(nppiFilterMedian_8u_C3R_Ctx(first_pixel, step, out, step, roi, mask, anchor, scratch, context))
                   ? cudaSuccess
                   : cudaErrorLaunchFailure;
    };
    return run_launches(layout, input, repeats, fill, launch, output, timing);
}

bench_peer npp_median() {
    kernel_entry layout{};
    layout.name = npp_median_name;
    layout.launch = nullptr;  // run_npp_median launches it
    // Every image pixel is covered and checked.
    layout.block = dim3(1, 1);
    layout.pixels_per_thread = 1;
    layout.rows_per_thread = 1;
    layout.coverage = grid_rule::whole_image;
    layout.placement = output_placement::top_left;
    layout.reference = reference::exact_median;
    layout.computes = "exact median";
    layout.shared_bytes = 0;
    layout.method = "NVIDIA NPP nppiFilterMedian_8u_C3R, 5x5 mask, anchor (2, 2), on the bordered input";
    return {layout, run_npp_median};
}

}  // namespace

std::vector<bench_peer> library_peers() { return {npp_median()}; }

#else

std::vector<bench_peer> library_peers() { return {}; }

#endif
