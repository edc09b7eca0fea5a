#include "library_peers.h"

#include "library_bench.h"

#ifdef MEDIAN_WITH_NPP

#include "benchmark/host/cuda_check.h"

#include <npp.h>

#include <cstdio>
#include <memory>

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

// NPP's median for one value type and channel count: the scratch-size
// query and the filter.
template <class T>
struct npp_median_calls;

#define MEDIAN_NPP_CALLS(T, npp_t, suffix)                                                                       \
    template <>                                                                                                  \
    struct npp_median_calls<T> {                                                                                 \
        static NppStatus buffer_size(int channels, NppiSize roi, NppiSize mask, Npp32u* bytes,                   \
                                     NppStreamContext ctx) {                                                     \
            return channels == 1   ? nppiFilterMedianGetBufferSize_##suffix##_C1R_Ctx(roi, mask, bytes, ctx)     \
                   : channels == 3 ? nppiFilterMedianGetBufferSize_##suffix##_C3R_Ctx(roi, mask, bytes, ctx)     \
                                   : nppiFilterMedianGetBufferSize_##suffix##_C4R_Ctx(roi, mask, bytes, ctx);    \
        }                                                                                                        \
        static NppStatus filter(int channels, const T* src, int src_step, T* dst, int dst_step, NppiSize roi,    \
                                NppiSize mask, NppiPoint anchor, Npp8u* scratch, NppStreamContext ctx) {         \
            const auto* s = reinterpret_cast<const npp_t*>(src);                                                 \
            auto* d = reinterpret_cast<npp_t*>(dst);                                                             \
            return channels == 1                                                                                 \
                       ? nppiFilterMedian_##suffix##_C1R_Ctx(s, src_step, d, dst_step, roi, mask, anchor, scratch, ctx) \
                   : channels == 3                                                                               \
                       ? nppiFilterMedian_##suffix##_C3R_Ctx(s, src_step, d, dst_step, roi, mask, anchor, scratch, ctx) \
                       : nppiFilterMedian_##suffix##_C4R_Ctx(s, src_step, d, dst_step, roi, mask, anchor, scratch, ctx); \
        }                                                                                                        \
    };
MEDIAN_NPP_CALLS(unsigned char, Npp8u, 8u)
MEDIAN_NPP_CALLS(unsigned short, Npp16u, 16u)
MEDIAN_NPP_CALLS(float, Npp32f, 32f)
#undef MEDIAN_NPP_CALLS

// NPP reads the mask's reach around the ROI: the bench gives it a source
// surrounded by zeros, as the library's constant border reads them. The
// scratch buffer is allocated at the first launch and kept for the others.
template <class T>
typed_launch<T> npp_typed_median(int window, int channels) {
    auto scratch = std::make_shared<Npp8u*>(nullptr);
    return [=](const T* src, std::size_t src_pitch, T* dst, std::size_t dst_pitch, int width, int height) {
        const NppiSize roi{width, height};
        const NppiSize mask{window, window};
        const NppiPoint anchor{window / 2, window / 2};
        NppStreamContext context;
        if (!default_stream_context(context)) return cudaErrorUnknown;
        if (!*scratch) {
            Npp32u bytes = 0;
            if (!NPP_OK(npp_median_calls<T>::buffer_size(channels, roi, mask, &bytes, context)) ||
                !CUDA_OK(cudaMalloc(reinterpret_cast<void**>(scratch.get()), bytes)))
                return cudaErrorMemoryAllocation;
        }
        return NPP_OK(npp_median_calls<T>::filter(channels, src, static_cast<int>(src_pitch), dst,
                                                  static_cast<int>(dst_pitch), roi, mask, anchor, *scratch, context))
                   ? cudaSuccess
                   : cudaErrorLaunchFailure;
    };
}

}  // namespace

std::vector<bench_peer> library_peers() { return {npp_median()}; }

template <class T>
std::vector<std::pair<std::string, typed_launch<T>>> typed_peers(int window, int channels) {
    return {{"npp_filter_median", npp_typed_median<T>(window, channels)}};
}

#else

std::vector<bench_peer> library_peers() { return {}; }

template <class T>
std::vector<std::pair<std::string, typed_launch<T>>> typed_peers(int, int) {
    return {};
}

#endif

template std::vector<std::pair<std::string, typed_launch<unsigned char>>> typed_peers(int, int);
template std::vector<std::pair<std::string, typed_launch<unsigned short>>> typed_peers(int, int);
template std::vector<std::pair<std::string, typed_launch<float>>> typed_peers(int, int);
