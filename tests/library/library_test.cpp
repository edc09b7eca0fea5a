// median_filter::filter against the reference for every element type,
// window, channel count and border mode, on pitched images whose guard
// bytes must stay untouched; and its refusal of bad arguments.
#include "include/median_filter/median_filter.h"
#include "library/core/image_args.h"
#include "library/dispatch.h"
#include "reference/median_filter_reference.h"
#include "tests/emu/device_array.h"
#include "tests/kernel_harness.h"
#include "tests/reference/random_image.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

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

constexpr unsigned char poison = harness::poison;

// Where an image lies in its device buffer, in elements: `lead` before the
// first pixel (a start off the allocation's alignment), `padding` after
// each row, and `tail` after the last row; the pitch is then rounded up to
// a multiple of `row_alignment` bytes.
struct placement {
    std::size_t lead, padding, tail, row_alignment = 1;
};

// The source packed at the very start and end of its allocation; the
// destination off alignment, with odd padding.
constexpr placement packed_source[2] = {{0, 0, 0}, {1, 3, 8}};
// The source off alignment, the destination rows 64-byte aligned as a
// pitched allocation gives them.
constexpr placement offset_source[2] = {{1, 5, 2}, {0, 0, 8, 64}};

// An image in a device buffer whose every byte outside the pixels starts
// as `poison`.
template <class T>
class guarded_image {
public:
    guarded_image(int width, int height, int channels, placement at)
        : width_(width), height_(height), channels_(channels), lead_(at.lead * sizeof(T)),
          pitch_(round_up((row_elements() + at.padding) * sizeof(T), at.row_alignment)),
          buffer_(lead_ + pitch_ * height + at.tail * sizeof(T)) {
        buffer_.write(std::vector<unsigned char>(buffer_.count, poison));
    }

    void upload(const reference::typed_image<T>& img) {
        std::vector<unsigned char> bytes = buffer_.read();
        for (int y = 0; y < height_; ++y)
            std::memcpy(&bytes[lead_ + y * pitch_], &img.pixels[y * row_elements()], row_elements() * sizeof(T));
        buffer_.write(bytes);
    }

    // The pixels; counts the guard bytes that no longer hold the poison.
    reference::typed_image<T> download(long& guards_written) const {
        const std::vector<unsigned char> bytes = buffer_.read();
        reference::typed_image<T> img{width_, height_, channels_, std::vector<T>(row_elements() * height_)};
        const std::size_t row_bytes = row_elements() * sizeof(T);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const bool pixel = i >= lead_ && (i - lead_) / pitch_ < static_cast<std::size_t>(height_) &&
                               (i - lead_) % pitch_ < row_bytes;
            if (!pixel) guards_written += bytes[i] != poison;
        }
        for (int y = 0; y < height_; ++y)
            std::memcpy(&img.pixels[y * row_elements()], &bytes[lead_ + y * pitch_], row_bytes);
        return img;
    }

    median_filter::image<T> view() const {
        return {reinterpret_cast<T*>(buffer_.ptr + lead_), pitch_, width_, height_, channels_};
    }
    median_filter::image<const T> source() const {
        return {reinterpret_cast<const T*>(buffer_.ptr + lead_), pitch_, width_, height_, channels_};
    }

private:
    static std::size_t round_up(std::size_t n, std::size_t m) { return (n + m - 1) / m * m; }
    std::size_t row_elements() const { return static_cast<std::size_t>(width_) * channels_; }

    int width_, height_, channels_;
    std::size_t lead_, pitch_;
    device_array<unsigned char> buffer_;
};

template <class T>
long differences(const reference::typed_image<T>& got, const reference::typed_image<T>& expected,
                 std::string& first) {
    const auto a = test_images::pixel_bits(got), b = test_images::pixel_bits(expected);
    long count = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && count++ == 0) {
            const std::size_t pixel = i / got.channels;
            first = "first at (" + std::to_string(pixel % got.width) + ", " + std::to_string(pixel / got.width) +
                    ") channel " + std::to_string(i % got.channels) + ": bits " + std::to_string(a[i]) +
                    ", expected " + std::to_string(b[i]);
        }
    return count;
}

// Filters `img` on its own stream and checks every pixel against the
// reference and every guard byte of the destination.
template <class T>
void expect_reference(const reference::typed_image<T>& img, int window, const median_filter::options& opts,
                      const placement (&at)[2], const std::string& what) {
    guarded_image<T> src(img.width, img.height, img.channels, at[0]);
    guarded_image<T> dst(img.width, img.height, img.channels, at[1]);
    src.upload(img);
    cudaStream_t stream = nullptr;
    ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
    const cudaError_t result = median_filter::filter<T>(src.source(), dst.view(), window, opts, stream);
    EXPECT_EQ(result, cudaSuccess) << what;
    EXPECT_EQ(cudaStreamSynchronize(stream), cudaSuccess) << what;
    EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
    if (result != cudaSuccess) return;
    long guards_written = 0;
    const auto got = dst.download(guards_written);
    std::string first;
    EXPECT_EQ(differences(got, reference::median(img, window, opts.mode, static_cast<T>(opts.constant_value)), first),
              0)
        << what << ": " << first;
    EXPECT_EQ(guards_written, 0) << what << ": bytes outside the image written";
}

enum class pixel_type { u8, u16, f32 };

const char* type_name(pixel_type type) {
    switch (type) {
        case pixel_type::u8: return "u8";
        case pixel_type::u16: return "u16";
        case pixel_type::f32: return "f32";
    }
    return "?";
}

// Calls f(T{}) with the element type named by `type`.
template <class F>
void with_type(pixel_type type, F&& f) {
    switch (type) {
        case pixel_type::u8: return f(static_cast<unsigned char>(0));
        case pixel_type::u16: return f(static_cast<unsigned short>(0));
        case pixel_type::f32: return f(0.0f);
    }
}

struct filter_case {
    pixel_type type;
    int window;
    int channels;
};

void PrintTo(const filter_case& c, std::ostream* os) {
    *os << type_name(c.type) << ", window " << c.window << ", " << c.channels << " channels";
}

std::string case_name(const ::testing::TestParamInfo<filter_case>& info) {
    return std::string(type_name(info.param.type)) + "_w" + std::to_string(info.param.window) + "_c" +
           std::to_string(info.param.channels);
}

std::vector<filter_case> every_filter_case() {
    std::vector<filter_case> cases;
    for (pixel_type type : {pixel_type::u8, pixel_type::u16, pixel_type::f32})
        for (int window : {3, 5, 7, 9, 15})
            for (int channels : {1, 3, 4}) cases.push_back({type, window, channels});
    return cases;
}

class LibraryFilter : public ::testing::TestWithParam<filter_case> {
protected:
    void SetUp() override { REQUIRE_DEVICE(); }

    // Every mode on a random width x height image, the constant 0 and the
    // two placements taking turns.
    void expect_every_mode(int width, int height) {
        const filter_case c = GetParam();
        with_type(c.type, [&](auto zero) {
            using T = decltype(zero);
            const auto img = test_images::random_image<T>(width, height, c.channels, width * 7919u + height);
            int turn = 0;
            for (border mode : all_modes)
                expect_reference(img, c.window, {mode, 0}, turn++ % 2 ? offset_source : packed_source,
                                 mode_name(mode) + ", " + std::to_string(width) + "x" + std::to_string(height));
        });
    }
};

TEST_P(LibraryFilter, SmallImagesInEveryMode) {
    const int window = GetParam().window;
    expect_every_mode(1, 1);
    expect_every_mode(3, 2);
    expect_every_mode(window - 1, window / 2 + 1);  // smaller than the window both ways
}

TEST_P(LibraryFilter, ImageOfSeveralBlocksInEveryMode) {
    // Odd sizes, several blocks wide and tall, so that blocks end inside the
    // image and the last ones are partial. Larger windows cost the
    // emulator more per pixel and get the smaller image.
    if (GetParam().window <= 7)
        expect_every_mode(301, 69);
    else
        expect_every_mode(141, 35);
}

// Constants at both ends of the type's range, and for integers a fraction,
// which is truncated.
template <class T>
std::vector<double> constants_across_the_range() {
    if constexpr (std::is_same_v<T, float>) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        constexpr double float_max = std::numeric_limits<float>::max();
        return {-inf, inf, std::nan(""), -float_max, float_max, -0.0, 0.1};
    } else {
        return {0, std::numeric_limits<T>::max(), std::numeric_limits<T>::max() - 0.25};
    }
}

TEST_P(LibraryFilter, ConstantModeTakesValuesAcrossTheTypesRange) {
    const filter_case c = GetParam();
    with_type(c.type, [&](auto zero) {
        using T = decltype(zero);
        const auto img = test_images::random_image<T>(20, 17, c.channels, 5);
        int turn = 0;
        for (double value : constants_across_the_range<T>())
            expect_reference(img, c.window, {border::constant, value}, turn++ % 2 ? offset_source : packed_source,
                             "constant " + std::to_string(value));
    });
}

INSTANTIATE_TEST_SUITE_P(Every, LibraryFilter, ::testing::ValuesIn(every_filter_case()), case_name);

TEST(Library, CoversImagesTallerThanOneGridOfBlockRows) {
    REQUIRE_DEVICE();
    // The rows past the grid's block rows are taken by the same blocks.
    const int height = median_core::max_grid_rows * 32 + 13;
    expect_reference(test_images::random_image<unsigned char>(3, height, 1, 7), 5, {border::reflect, 0},
                     packed_source, "3x" + std::to_string(height));
}

TEST(Library, EightBit5x5ImagesWithBlocksInsideAndAtEveryEdge) {
    REQUIRE_DEVICE();
    // Wide enough for blocks whose whole staged area lies inside the image
    // (three 384-byte tiles and more), in every mode and both placements;
    // 33 rows: a second block row whose staged rows reach past the last.
    for (int height : {75, 33})
        for (int channels : {1, 3, 4}) {
            const auto img = test_images::random_image<unsigned char>(1100, height, channels, 31u + channels);
            int turn = 0;
            for (border mode : all_modes)
                expect_reference(img, 5, {mode, 9}, turn++ % 2 ? offset_source : packed_source,
                                 mode_name(mode) + ", 1100x" + std::to_string(height) + ", " +
                                     std::to_string(channels) + " channels");
        }
}

TEST(Library, FloatImagesStagedWithEveryLoadWidth) {
    REQUIRE_DEVICE();
    // Blocks whose staged area lies inside the image load 4-byte values as
    // widely as the rows' alignment allows: 16-byte loads from the boundary
    // at or before each chunk, or 8- or 4-byte loads. Rows of a 64-byte pitch
    // starting 0 to 3 floats past a boundary, under windows whose areas
    // start 0 to 3 words past one, reach each of them.
    for (int window : {3, 5, 7})
        for (int channels : {1, 3, 4})
            for (std::size_t lead : {0, 1, 2, 3}) {
                const auto img = test_images::random_image<float>(301, 45, channels, 11u + channels);
                const placement at[2] = {{lead, 0, 0, 64}, {0, 0, 0, 64}};
                expect_reference(img, window, {border::reflect, 0}, at,
                                 std::to_string(window) + "x" + std::to_string(window) + ", " +
                                     std::to_string(channels) + " channels, " + std::to_string(lead) + " floats in");
            }
}

TEST(Library, DispatchPicksTheBitSlicedKernelFor8Bit5x5WhereItLeads) {
    using median_core::method;
    using median_filter::detail::choose_kernel;
    for (int arch : {75, 80, 86, 89, 120})
        for (int channels : {1, 3, 4}) {
            const auto* k = choose_kernel<unsigned char>(arch, 5, channels);
            ASSERT_NE(k, nullptr) << arch;
            EXPECT_EQ(k->how, method::bitslice) << arch;
            EXPECT_EQ(k->channels, channels) << arch;
        }
    // On sm_100 only for the 4 channels the wide tiles leave; not for other
    // windows or types, nor on sm_90.
    EXPECT_EQ(choose_kernel<unsigned char>(100, 5, 4)->how, method::bitslice);
    EXPECT_EQ(choose_kernel<unsigned char>(100, 5, 3)->how, method::tiled_wide);
    EXPECT_EQ(choose_kernel<unsigned char>(80, 3, 3)->how, method::tiled_network);
    EXPECT_EQ(choose_kernel<unsigned short>(80, 3, 3)->how, method::tiled_keys);
    EXPECT_EQ(choose_kernel<unsigned short>(80, 5, 3)->how, method::tiled_keys);
    EXPECT_EQ(choose_kernel<unsigned short>(120, 5, 3)->how, method::tiled_network);
    EXPECT_EQ(choose_kernel<unsigned char>(90, 5, 3)->how, method::tiled_wide);
    EXPECT_EQ(choose_kernel<unsigned char>(90, 5, 4)->how, method::tiled_network);
    // Rows longer than its int offsets reach go to the networks.
    EXPECT_EQ(choose_kernel<unsigned char>(80, 5, 4, (1 << 29) - 1024)->how, method::bitslice);
    EXPECT_EQ(choose_kernel<unsigned char>(80, 5, 4, 1 << 29)->how, method::tiled_keys);
    EXPECT_EQ(choose_kernel<unsigned char>(80, 5, 3, median_filter::max_extent)->how, method::tiled_keys);
    EXPECT_EQ(choose_kernel<unsigned char>(80, 5, 1, median_filter::max_extent)->how, method::bitslice);
}

template <class T>
class LibraryTyped : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_DEVICE(); }
};
using pixel_types = ::testing::Types<unsigned char, unsigned short, float>;
TYPED_TEST_SUITE(LibraryTyped, pixel_types);

// A call with one argument spoilt, from a valid 8x4 RGB call with window 5.
template <class T>
struct bad_call {
    std::string what;
    std::function<void(median_filter::image<const T>&, median_filter::image<T>&, int& window,
                       median_filter::options&)>
        spoil;
};

template <class T>
std::vector<bad_call<T>> bad_calls() {
    using src_t = median_filter::image<const T>;
    using dst_t = median_filter::image<T>;
    using options = median_filter::options;
    std::vector<bad_call<T>> calls = {
        {"null source", [](src_t& s, dst_t&, int&, options&) { s.data = nullptr; }},
        {"null destination", [](src_t&, dst_t& d, int&, options&) { d.data = nullptr; }},
        {"channels 0", [](src_t& s, dst_t& d, int&, options&) { s.channels = d.channels = 0; }},
        {"channels 2", [](src_t& s, dst_t& d, int&, options&) { s.channels = d.channels = 2; }},
        {"channels 5", [](src_t& s, dst_t& d, int&, options&) { s.channels = d.channels = 5; }},
        {"channels -3", [](src_t& s, dst_t& d, int&, options&) { s.channels = d.channels = -3; }},
        {"narrower destination", [](src_t&, dst_t& d, int&, options&) { --d.width; }},
        {"shorter source", [](src_t& s, dst_t&, int&, options&) { --s.height; }},
        {"destination of other channels", [](src_t&, dst_t& d, int&, options&) { d.channels = 1; }},
        {"source pitch below a row", [](src_t& s, dst_t&, int&, options&) { s.pitch -= sizeof(T); }},
        {"destination pitch below a row", [](src_t&, dst_t& d, int&, options&) { d.pitch -= sizeof(T); }},
        {"unknown mode", [](src_t&, dst_t&, int&, options& o) { o.mode = static_cast<border>(7); }},
        {"width above max_extent",
         [](src_t& s, dst_t& d, int&, options&) { s.width = d.width = median_filter::max_extent + 1; }},
        {"height above max_extent",
         [](src_t& s, dst_t& d, int&, options&) { s.height = d.height = median_filter::max_extent + 1; }},
        // The last row's offset overflows, or the image runs past the end of memory.
        {"huge source pitch",
         [](src_t& s, dst_t&, int&, options&) { s.pitch = (SIZE_MAX / 2) & ~std::size_t{15}; }},
        {"huge destination pitch",
         [](src_t&, dst_t& d, int&, options&) { d.pitch = (SIZE_MAX / 3) & ~std::size_t{15}; }},
        {"source at the end of memory",
         [](src_t& s, dst_t&, int&, options&) { s.data = reinterpret_cast<const T*>(UINTPTR_MAX - 63); }},
    };
    for (int extent : {0, -1}) {
        calls.push_back({"width " + std::to_string(extent),
                         [extent](src_t& s, dst_t& d, int&, options&) { s.width = d.width = extent; }});
        calls.push_back({"height " + std::to_string(extent),
                         [extent](src_t& s, dst_t& d, int&, options&) { s.height = d.height = extent; }});
    }
    for (int window : {-3, 0, 1, 2, 4, 6, 14, 16, 17})
        calls.push_back({"window " + std::to_string(window), [window](src_t&, dst_t&, int& w, options&) { w = window; }});
    if constexpr (sizeof(T) > 1) {
        calls.push_back({"source pitch off the element size", [](src_t& s, dst_t&, int&, options&) { s.pitch += 1; }});
        calls.push_back(
            {"destination pitch off the element size", [](src_t&, dst_t& d, int&, options&) { d.pitch += 1; }});
        calls.push_back({"source pointer off the element size", [](src_t& s, dst_t&, int&, options&) {
                             s.data = reinterpret_cast<const T*>(reinterpret_cast<const char*>(s.data) + 1);
                         }});
        calls.push_back({"destination pointer off the element size", [](src_t&, dst_t& d, int&, options&) {
                             d.data = reinterpret_cast<T*>(reinterpret_cast<char*>(d.data) + 1);
                         }});
    }
    if constexpr (std::is_integral_v<T>) {
        const double max = std::numeric_limits<T>::max();
        for (double value : {-1.0, max + 1, std::nan(""), std::numeric_limits<double>::infinity()})
            calls.push_back({"constant " + std::to_string(value), [value](src_t&, dst_t&, int&, options& o) {
                                 o.mode = border::constant;
                                 o.constant_value = value;
                             }});
    }
    return calls;
}

TYPED_TEST(LibraryTyped, BadArgumentsAreRefusedBeforeAnythingRuns) {
    using T = TypeParam;
    constexpr int width = 8, height = 4, channels = 3;
    // The destination has room past its end for a pointer moved by a byte.
    guarded_image<T> src(width, height, channels, {0, 0, 0});
    guarded_image<T> dst(width, height, channels, {0, 0, 4});
    for (const auto& call : bad_calls<T>()) {
        auto s = src.source();
        auto d = dst.view();
        int window = 5;
        median_filter::options opts;
        call.spoil(s, d, window, opts);
        EXPECT_EQ(median_filter::filter<T>(s, d, window, opts), cudaErrorInvalidValue) << call.what;
        EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess) << call.what;
        long written = 0;
        dst.download(written);
        EXPECT_EQ(written, 0) << call.what << ": written despite a refused call";
    }
}

TYPED_TEST(LibraryTyped, InPlaceAndOverlappingImagesAreRefused) {
    using T = TypeParam;
    constexpr int width = 8, height = 4, channels = 3;
    // Two images one above the other in one buffer.
    guarded_image<T> both(width, 2 * height, channels, {0, 0, 0});
    auto top = both.view(), bottom = both.view();
    top.height = bottom.height = height;
    bottom.data += height * top.pitch / sizeof(T);
    const auto as_source = [](median_filter::image<T> img) {
        return median_filter::image<const T>{img.data, img.pitch, img.width, img.height, img.channels};
    };
    EXPECT_EQ(median_filter::filter<T>(as_source(top), top, 5), cudaErrorInvalidValue) << "in place";
    auto shifted = bottom;
    shifted.data -= top.pitch / sizeof(T);  // its first row is top's last
    EXPECT_EQ(median_filter::filter<T>(as_source(shifted), top, 5), cudaErrorInvalidValue) << "one row shared";
    EXPECT_EQ(median_filter::filter<T>(as_source(top), shifted, 5), cudaErrorInvalidValue) << "one row shared";
    EXPECT_EQ(median_filter::filter<T>(as_source(bottom), top, 5), cudaSuccess) << "adjacent images";
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

// Every architecture's choice, for every window, element and channel
// count, is a kernel of the catalog compiled for it whose block tiles its
// span: a tuning row naming a kernel the build lacks would refuse those
// images, one not compiled there would trap, and a span that is no whole
// number of thread tiles would leave pixels out.
template <class T>
void expect_every_choice_in_the_catalog() {
    using median_filter::detail::choose_kernel;
    for (int arch : {75, 80, 86, 89, 90, 100, 120})
        for (int window = 3; window <= 15; window += 2)
            for (int channels : {1, 3, 4}) {
                const auto* k = choose_kernel<T>(arch, window, channels);
                ASSERT_NE(k, nullptr) << "sm_" << arch << ", window " << window << ", " << channels << " channels";
                EXPECT_EQ(k->window, window) << k->name;
                EXPECT_EQ(k->channels, channels) << k->name;
                EXPECT_EQ(k->span_cols % k->block_x, 0) << k->name;
                EXPECT_EQ(k->span_rows % k->block_y, 0) << k->name;
                EXPECT_LE(k->min_arch, arch) << k->name << " only traps there";
            }
}

TEST(LibraryDispatch, EveryChoiceIsAKernelOfTheCatalog) {
    expect_every_choice_in_the_catalog<unsigned char>();
    expect_every_choice_in_the_catalog<unsigned short>();
    expect_every_choice_in_the_catalog<float>();
}

}  // namespace
