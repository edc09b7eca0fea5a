#include "image_path.h"

#include "benchmark/host/filter_runner.h"
#include "image/image_header.h"
#include "image/image_io.h"
#include "benchmark/host/output_check.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

// Images the decoders may allocate for here, well below the 2^31 bytes the
// programs accept, so that the fuzzers' memory limit measures faults only.
constexpr long max_fuzzed_decoded_bytes = 64L << 20;
// The emulated kernel and the reference run on images up to this size.
constexpr long max_filtered_pixels = 96 * 64;
constexpr const char* encodings[] = {"x.bmp", "x.png", "x.tga", "x.ppm", "x.tif", "x.jpg"};

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

bool small_enough_to_decode(const unsigned char* data, std::size_t size) {
    file_ptr f(fmemopen(const_cast<unsigned char*>(data), size, "rb"));
    image_header header;
    std::string why;
    return f && (!read_image_header(f.get(), header, why) || header.decoded_bytes <= max_fuzzed_decoded_bytes);
}

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "image path fault: %s\n", what);
    __builtin_trap();
}

void filter_with_one_kernel(const PaddedImage& input, rgb_pixels& image) {
    const kernel_entry& kernel = benchmark_kernel();
    std::string why;
    std::vector<unsigned char> output(input.bytes.size(), 0);
    const bool covered = kernel.covered_width(input.width) > 0 && kernel.covered_height(input.height) > 0;
    if (covered && device_available(why)) {
        kernel_timing timing;
        require(run_kernel(kernel, input, 1, 0, output, timing), "the kernel could not run");
        const reference::rgb_image expected = reference::filter(input, kernel.reference);
        require(check_covered_pixels(kernel, input, output, expected).passed(), "the kernel disagrees with its reference");
    }
    assemble_image(kernel, input, output, image.bytes.data());
}

}  // namespace

path_outcome run_image_path(const unsigned char* data, std::size_t size) {
    if (!small_enough_to_decode(data, size)) return path_outcome::refused;
    rgb_pixels image;
    std::string error;
    if (!decode_rgb(data, size, "input", image, error)) return path_outcome::refused;
    PaddedImage input;
    require(border_loaded("input", image, input, error), "an accepted image could not be bordered");
    if (static_cast<long>(image.width) * image.height <= max_filtered_pixels) filter_with_one_kernel(input, image);
    file_ptr out(std::tmpfile());
    require(out != nullptr, "no temporary file");
    // JPEG and TGA refuse longer sides (checked by the image_io tests).
    constexpr int longest_side_any_format_holds = 65500;
    const bool long_side = image.width > longest_side_any_format_holds || image.height > longest_side_any_format_holds;
    const char* format = long_side ? "x.png" : encodings[size % (sizeof encodings / sizeof *encodings)];
    require(encode_rgb(out.get(), format, image, error), "a decoded image could not be encoded");
    return path_outcome::filtered;
}
