// median_filter::filter5x5 against the reference in every border mode, and
// its refusal of bad arguments.
#include "include/median_filter/median_filter.h"
#include "library/core/image_args.h"
#include "reference/median_reference.h"
#include "tests/kernel_harness.h"

#include <memory>
#include <random>
#include <string>

namespace {

using median_filter::border;

constexpr border all_modes[] = {border::constant, border::replicate, border::reflect, border::mirror};

std::string mode_name(border mode) {
    switch (mode) {
        case border::constant: return "constant";
        case border::replicate: return "replicate";
        case border::reflect: return "reflect";
        case border::mirror: return "mirror";
    }
    return "?";
}

reference::image random_image(int width, int height, int channels, std::uint32_t seed) {
    std::mt19937 rng(seed);
    reference::image img{width, height, channels, std::vector<unsigned char>(std::size_t(width) * height * channels)};
    for (auto& p : img.pixels) p = static_cast<unsigned char>(rng());
    return img;
}

// A device buffer of `rows` rows `pitch` bytes apart, every byte `fill`.
class pitched_buffer {
public:
    pitched_buffer(std::size_t pitch, int rows, unsigned char fill) : pitch_(pitch), bytes_(pitch * rows) {
        EXPECT_EQ(cudaMalloc(&ptr_, bytes_), cudaSuccess);
        EXPECT_EQ(cudaMemset(ptr_, fill, bytes_), cudaSuccess);
    }
    ~pitched_buffer() { cudaFree(ptr_); }
    pitched_buffer(const pitched_buffer&) = delete;
    pitched_buffer& operator=(const pitched_buffer&) = delete;

    void upload(const reference::image& img) {
        const std::size_t row = std::size_t(img.width) * img.channels;
        std::vector<unsigned char> host(bytes_);
        EXPECT_EQ(cudaMemcpy(host.data(), ptr_, bytes_, cudaMemcpyDeviceToHost), cudaSuccess);
        for (int y = 0; y < img.height; ++y)
            std::copy_n(&img.pixels[y * row], row, &host[y * pitch_]);
        EXPECT_EQ(cudaMemcpy(ptr_, host.data(), bytes_, cudaMemcpyHostToDevice), cudaSuccess);
    }
    std::vector<unsigned char> download() const {
        std::vector<unsigned char> host(bytes_);
        EXPECT_EQ(cudaMemcpy(host.data(), ptr_, bytes_, cudaMemcpyDeviceToHost), cudaSuccess);
        return host;
    }
    unsigned char* get() const { return ptr_; }
    std::size_t pitch() const { return pitch_; }

private:
    std::size_t pitch_;
    std::size_t bytes_;
    unsigned char* ptr_ = nullptr;
};

constexpr unsigned char poison = harness::poison;

// Filters `img` through padded device rows and checks every row against the
// reference and every padding byte of dst against the poison.
void expect_reference(const reference::image& img, const median_filter::options& opts, const std::string& what) {
    const std::size_t row = std::size_t(img.width) * img.channels;
    pitched_buffer src(row + 5, img.height, 0);
    pitched_buffer dst(row + 11, img.height, poison);
    src.upload(img);
    cudaStream_t stream = nullptr;
    ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
    EXPECT_EQ(median_filter::filter5x5(src.get(), src.pitch(), dst.get(), dst.pitch(), img.width, img.height,
                                       img.channels, opts, stream),
              cudaSuccess)
        << what;
    EXPECT_EQ(cudaStreamSynchronize(stream), cudaSuccess) << what;
    EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
    const auto got = dst.download();
    const auto expected = reference::median_5x5(img, opts.mode, opts.constant_value).pixels;
    long wrong = 0, padding_written = 0;
    for (int y = 0; y < img.height; ++y)
        for (std::size_t i = 0; i < dst.pitch(); ++i) {
            const unsigned char g = got[y * dst.pitch() + i];
            if (i < row) wrong += g != expected[y * row + i];
            else padding_written += g != poison;
        }
    EXPECT_EQ(wrong, 0) << what;
    EXPECT_EQ(padding_written, 0) << what << ": bytes past the row written";
}

TEST(Library, MatchesReferenceInEveryModeChannelCountAndSize) {
    REQUIRE_DEVICE();
    // The last spans several blocks, some of whose staged areas lie inside the image.
    const int sizes[][2] = {{1, 1}, {2, 3}, {5, 5}, {37, 23}, {300, 70}};
    std::uint32_t seed = 1;
    for (border mode : all_modes)
        for (int channels : {1, 3, 4})
            for (const auto& size : sizes) {
                const auto img = random_image(size[0], size[1], channels, seed++);
                const std::string what = mode_name(mode) + ", " + std::to_string(channels) + " channels, " +
                                         std::to_string(size[0]) + "x" + std::to_string(size[1]);
                expect_reference(img, {mode, 0}, what);
                if (mode == border::constant) expect_reference(img, {mode, 201}, what + ", value 201");
            }
}

TEST(Library, CoversImagesTallerThanOneGridOfBlockRows) {
    REQUIRE_DEVICE();
    // The rows past the grid's block rows are taken by the same blocks.
    const int height = median_core::max_grid_rows * 32 + 13;
    expect_reference(random_image(3, height, 1, 7), {border::reflect, 0}, "3x" + std::to_string(height));
}

class LibraryArguments : public ::testing::Test {
protected:
    static constexpr int width = 8, height = 4, channels = 3;
    static constexpr std::size_t pitch = width * channels;

    void SetUp() override {
        REQUIRE_DEVICE();
        src = std::make_unique<pitched_buffer>(pitch, 2 * height, 1);
        dst = std::make_unique<pitched_buffer>(pitch, height, poison);
    }

    // The call's result; the test fails if it wrote anything.
    cudaError_t call(const unsigned char* s, std::size_t sp, unsigned char* d, std::size_t dp, int w, int h, int c,
                     median_filter::options opts = {}) {
        const cudaError_t result = median_filter::filter5x5(s, sp, d, dp, w, h, c, opts);
        EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        for (unsigned char b : dst->download()) EXPECT_EQ(b, poison) << "written despite a refused call";
        return result;
    }

    std::unique_ptr<pitched_buffer> src, dst;
};

TEST_F(LibraryArguments, BadArgumentsAreRefusedBeforeAnythingRuns) {
    unsigned char* d = dst->get();
    const unsigned char* s = src->get();
    const cudaError_t invalid = cudaErrorInvalidValue;
    EXPECT_EQ(call(nullptr, pitch, d, pitch, width, height, channels), invalid);
    EXPECT_EQ(call(s, pitch, nullptr, pitch, width, height, channels), invalid);
    for (int w : {0, -1, median_filter::max_extent + 1}) EXPECT_EQ(call(s, pitch, d, pitch, w, height, 1), invalid);
    for (int h : {0, -5, median_filter::max_extent + 1}) EXPECT_EQ(call(s, pitch, d, pitch, width, h, 1), invalid);
    for (int c : {0, 2, 5, -3}) EXPECT_EQ(call(s, pitch, d, pitch, width, height, c), invalid);
    EXPECT_EQ(call(s, pitch - 1, d, pitch, width, height, channels), invalid);
    EXPECT_EQ(call(s, pitch, d, pitch - 1, width, height, channels), invalid);
    EXPECT_EQ(call(s, pitch, d, pitch, width, height, channels, {static_cast<border>(7), 0}), invalid);
    // The last row's offset overflows, or the image runs past the end of memory.
    EXPECT_EQ(call(s, SIZE_MAX / 2, d, pitch, width, height, channels), invalid);
    EXPECT_EQ(call(s, pitch, d, SIZE_MAX / 3 + 7, width, 4, channels), invalid);
    const auto* near_end = reinterpret_cast<const unsigned char*>(UINTPTR_MAX - 40);
    EXPECT_EQ(call(near_end, pitch, d, pitch, width, height, channels), invalid);
}

TEST_F(LibraryArguments, InPlaceAndOverlappingImagesAreRefused) {
    unsigned char* d = dst->get();
    EXPECT_EQ(call(d, pitch, d, pitch, width, height, channels), cudaErrorInvalidValue);
    // dst's last row is the first row of src.
    EXPECT_EQ(call(d + (height - 1) * pitch, pitch, d, pitch, width, height, channels), cudaErrorInvalidValue);
    // Adjacent images are fine.
    EXPECT_EQ(median_filter::filter5x5(src->get() + height * pitch, pitch, src->get(), pitch, width, height, channels),
              cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

}  // namespace
