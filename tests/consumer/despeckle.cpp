// Removes a speck from a 16-bit depth map in GPU memory whose rows are padded.
#include <median_filter/median_filter.h>

#include <cstdio>
#include <vector>

int main() {
    const int width = 64, height = 48;
    const size_t pitch = width * sizeof(unsigned short) + 64;  // bytes from one row to the next
    const size_t row_values = pitch / sizeof(unsigned short);
    std::vector<unsigned short> depth(row_values * height, 1000);
    depth[10 * row_values + 20] = 65535;  // a dropout at pixel (20, 10)

    unsigned short *src = nullptr, *dst = nullptr;
    const size_t bytes = depth.size() * sizeof(unsigned short);
    cudaError_t e = cudaMalloc(&src, bytes);
    if (e == cudaSuccess) e = cudaMalloc(&dst, bytes);
    if (e == cudaSuccess) e = cudaMemcpy(src, depth.data(), bytes, cudaMemcpyHostToDevice);

    median_filter::image<const unsigned short> in{src, pitch, width, height, 1};
    median_filter::image<unsigned short> out{dst, pitch, width, height, 1};
    median_filter::options opts;
    opts.mode = median_filter::border::mirror;  // SciPy's "mirror", OpenCV's BORDER_REFLECT_101
    cudaStream_t stream = 0;                      // or your pipeline's stream
    if (e == cudaSuccess) e = median_filter::filter(in, out, 7, opts, stream);  // 7x7 window
    if (e == cudaSuccess) e = cudaStreamSynchronize(stream);
    if (e == cudaSuccess) e = cudaMemcpy(depth.data(), dst, bytes, cudaMemcpyDeviceToHost);
    cudaFree(src);
    cudaFree(dst);
    if (e != cudaSuccess) {
        std::fprintf(stderr, "despeckle: %s\n", cudaGetErrorString(e));
        return 1;
    }
    const bool clean = depth[10 * row_values + 20] == 1000;
    std::printf("despeckle: %s\n", clean ? "speck removed" : "speck still there");
    return clean ? 0 : 1;
}
