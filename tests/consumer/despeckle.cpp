// Removes a speck from an RGBA image in GPU memory whose rows are padded.
#include <median_filter/median_filter.h>

#include <cstdio>
#include <vector>

int main() {
    const int width = 64, height = 48, channels = 4;
    const size_t pitch = width * channels + 64;  // bytes from one row to the next
    std::vector<unsigned char> image(pitch * height, 100);
    image[10 * pitch + 20 * channels] = 255;  // red of pixel (20, 10)

    unsigned char *src = nullptr, *dst = nullptr;
    cudaError_t e = cudaMalloc(&src, image.size());
    if (e == cudaSuccess) e = cudaMalloc(&dst, image.size());
    if (e == cudaSuccess) e = cudaMemcpy(src, image.data(), image.size(), cudaMemcpyHostToDevice);

    median_filter::options opts;
    opts.mode = median_filter::border::mirror;  // OpenCV's BORDER_REFLECT_101
    cudaStream_t stream = 0;                      // or your pipeline's stream
    if (e == cudaSuccess) e = median_filter::filter5x5(src, pitch, dst, pitch, width, height, channels, opts, stream);
    if (e == cudaSuccess) e = cudaStreamSynchronize(stream);
    if (e == cudaSuccess) e = cudaMemcpy(image.data(), dst, image.size(), cudaMemcpyDeviceToHost);
    cudaFree(src);
    cudaFree(dst);
    if (e != cudaSuccess) {
        std::fprintf(stderr, "despeckle: %s\n", cudaGetErrorString(e));
        return 1;
    }
    const bool clean = image[10 * pitch + 20 * channels] == 100;
    std::printf("despeckle: %s\n", clean ? "speck removed" : "speck still there");
    return clean ? 0 : 1;
}
