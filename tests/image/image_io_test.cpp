#include "image/image_io.h"
#include "tests/fuzz/image_writers.h"
#include "tests/fuzz/seed_images.h"
#include "test_images.h"
#include "tests/scratch_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

using ImageFiles = ScratchDirTest;

rgb_pixels gradient(int width, int height) {
    rgb_pixels img{width, height, std::vector<unsigned char>(static_cast<std::size_t>(width) * height * 3)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char* px = &img.bytes[(static_cast<std::size_t>(y) * width + x) * 3];
            px[0] = static_cast<unsigned char>(x * 7);
            px[1] = static_cast<unsigned char>(y * 11);
            px[2] = static_cast<unsigned char>(x + y);
        }
    return img;
}

TEST_F(ImageFiles, LosslessRoundTripsKeepRowsTopToBottom) {
    const rgb_pixels img = gradient(13, 7);
    for (const char* name : {"a.bmp", "a.png", "a.tga", "a.tif", "a.ppm"}) {
        std::string error;
        ASSERT_TRUE(save_rgb(path(name), img, error)) << error;
        rgb_pixels back;
        if (std::string(name) == "a.tga") {  // written, but not read: it has no signature to tell it by
            EXPECT_FALSE(load_rgb(path(name), back, error));
            continue;
        }
        ASSERT_TRUE(load_rgb(path(name), back, error)) << error;
        EXPECT_EQ(back.width, 13) << name;
        EXPECT_EQ(back.height, 7) << name;
        EXPECT_TRUE(back.bytes == img.bytes) << name;
    }
}

TEST_F(ImageFiles, OtherPixelFormatsBecomeRgb) {
    std::string error;
    rgb_pixels img;
    ASSERT_TRUE(write_test_image(path("grey.png"), IL_PNG, 4, 2, 1, {0, 50, 100, 150, 200, 250, 255, 1}));
    ASSERT_TRUE(load_rgb(path("grey.png"), img, error)) << error;
    ASSERT_EQ(img.bytes.size(), 4u * 2 * 3);
    EXPECT_EQ((std::vector<unsigned char>(img.bytes.begin(), img.bytes.begin() + 6)),
              (std::vector<unsigned char>{0, 0, 0, 50, 50, 50}));
    ASSERT_TRUE(write_test_image(path("rgba.png"), IL_PNG, 2, 1, 4, {1, 2, 3, 255, 4, 5, 6, 128}));
    ASSERT_TRUE(load_rgb(path("rgba.png"), img, error)) << error;
    EXPECT_EQ(img.bytes, (std::vector<unsigned char>{1, 2, 3, 4, 5, 6}));
    std::ofstream(path("deep.pgm"), std::ios::binary) << std::string("P5 2 1 1000\n\x03\xe8\x01\xf4", 16);
    ASSERT_TRUE(load_rgb(path("deep.pgm"), img, error)) << error;
    EXPECT_EQ(img.bytes, (std::vector<unsigned char>{255, 255, 255, 128, 128, 128}));
}

TEST_F(ImageFiles, FailuresNameTheFileAndKeepTheOldOutput) {
    std::string error;
    rgb_pixels img;
    EXPECT_FALSE(load_rgb(path("missing.jpg"), img, error));
    EXPECT_NE(error.find("missing.jpg"), std::string::npos) << error;
    std::ofstream(path("corrupt.jpg")) << "not a jpeg at all";
    EXPECT_FALSE(load_rgb(path("corrupt.jpg"), img, error));

    std::ofstream(path("old.bmp")) << "old";
    EXPECT_FALSE(save_rgb(path("old.xyz"), gradient(2, 2), error));
    EXPECT_FALSE(save_rgb(path("old.jpg"), gradient(65501, 1), error));  // libjpeg would end the process
    EXPECT_NE(error.find("at most 65500 pixels a side"), std::string::npos) << error;
    mkdir(path("dir.bmp").c_str(), 0755);  // a directory cannot be replaced by a file
    EXPECT_FALSE(save_rgb(path("dir.bmp"), gradient(2, 2), error));
    std::ifstream old(path("old.bmp"));
    std::string content((std::istreambuf_iterator<char>(old)), {});
    EXPECT_EQ(content, "old");
    EXPECT_FALSE(temporary_files_left());
}

using bytes = std::vector<unsigned char>;

// Pixels no encoder compresses much.
rgb_pixels noise(int width, int height) {
    rgb_pixels img{width, height, bytes(static_cast<std::size_t>(width) * height * 3)};
    std::uint32_t state = 12345;
    for (auto& b : img.bytes) b = static_cast<unsigned char>((state = state * 1664525u + 1013904223u) >> 24);
    return img;
}

void append_be(bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

void append_le(bytes& out, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// Header and end chunk only; the size check must refuse it before libpng
// looks at checksums.
bytes png_claiming(std::uint32_t width, std::uint32_t height, int depth, int colour_type) {
    bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    append_be(png, 13);
    for (char c : std::string("IHDR")) png.push_back(static_cast<unsigned char>(c));
    append_be(png, width);
    append_be(png, height);
    png.insert(png.end(), {static_cast<unsigned char>(depth), static_cast<unsigned char>(colour_type), 0, 0, 0});
    append_be(png, 0);  // checksum
    append_be(png, 0);
    for (char c : std::string("IEND")) png.push_back(static_cast<unsigned char>(c));
    append_be(png, 0);
    return png;
}

bytes bmp_claiming(std::int32_t width, std::int32_t height) {
    bytes bmp = {'B', 'M'};
    append_le(bmp, 54, 4);
    append_le(bmp, 0, 4);
    append_le(bmp, 54, 4);
    append_le(bmp, 40, 4);
    append_le(bmp, static_cast<std::uint32_t>(width), 4);
    append_le(bmp, static_cast<std::uint32_t>(height), 4);
    append_le(bmp, 1, 2);
    append_le(bmp, 24, 2);
    bmp.resize(54, 0);
    return bmp;
}

// Pages of the given sizes, directories only.
bytes tiff_pages(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& pages) {
    bytes tiff = {'I', 'I', 42, 0};
    append_le(tiff, 8, 4);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        append_le(tiff, 2, 2);
        for (const auto& [tag, value] : {std::pair{256u, pages[i].first}, std::pair{257u, pages[i].second}}) {
            append_le(tiff, tag, 2);
            append_le(tiff, 4, 2);
            append_le(tiff, 1, 4);
            append_le(tiff, value, 4);
        }
        append_le(tiff, i + 1 < pages.size() ? static_cast<std::uint32_t>(tiff.size() + 4) : 0, 4);
    }
    return tiff;
}

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

TEST_F(ImageFiles, HeadersOfHugeOrEmptyImagesAreRefusedBeforeDecoding) {
    const std::pair<bytes, const char*> cases[] = {
        {jpeg_claiming(40000, 40000), "too large: 40000x40000"},
        {jpeg_claiming(65000, 65000), "too large: 65000x65000"},
        {jpeg_claiming(27000, 27000), "too large: 27000x27000"},
        {jpeg_claiming(0, 16), "no pixels"},
        {png_claiming(100000, 100000, 8, 2), "too large"},
        {png_claiming(20000, 20000, 16, 6), "decodes to 2^31 bytes or more"},  // its bordered copy would fit
        {png_claiming(0x80000000u, 1, 8, 2), "absurd dimensions"},
        {bmp_claiming(30000, -30000), "too large: 30000x30000"},
        {bmp_claiming(16, INT32_MIN), "absurd dimensions"},
        {tiff_pages({{30000, 30000}, {16, 16}}), "too large: 30000x30000"},
        {text("P6\n# big\n30000 30000\n255\n"), "too large"},
    };
    for (const auto& [file, message] : cases) {
        std::ofstream(path("in.img"), std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
        rgb_pixels img;
        std::string error;
        EXPECT_FALSE(load_rgb(path("in.img"), img, error)) << message;
        EXPECT_NE(error.find(path("in.img")), std::string::npos) << error;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

TEST_F(ImageFiles, TheFormatIsToldByContentAndNamedWhenUnsupported) {
    ASSERT_TRUE(write_test_image(path("photo.jpg"), IL_PNG, 3, 2, 3, bytes(18, 40)));
    rgb_pixels img;
    std::string error;
    EXPECT_TRUE(load_rgb(path("photo.jpg"), img, error)) << error;
    const std::pair<std::string, const char*> others[] = {
        {"GIF89a\x01\x00\x01\x00", "it is a GIF image"},
        {"", "it is an empty file"},
        {"hello", "unknown kind (first bytes 68 65 6c 6c)"},
    };
    for (const auto& [content, message] : others) {
        std::ofstream(path("other.jpg")) << content;
        EXPECT_FALSE(load_rgb(path("other.jpg"), img, error));
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
    std::ofstream(path("cut.jpg")) << "\xff\xd8\xff\xe0\x00\x10JFIF";
    EXPECT_FALSE(load_rgb(path("cut.jpg"), img, error));
    EXPECT_NE(error.find("malformed JPEG"), std::string::npos) << error;
}

void write_bytes(const std::string& file, const bytes& content) {
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(content.data()), content.size());
}

// RGBA samples whose alpha varies, so that an alpha multiplied in shows.
bytes rgba_pattern(int width, int height) {
    bytes rgba(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<unsigned char>(i * 37 + i / 7);
    return rgba;
}

bytes rgb_of(const bytes& rgba) {
    bytes rgb;
    for (std::size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), rgba.begin() + i, rgba.begin() + i + 3);
    return rgb;
}

// The colour channels as stored, whatever the format and layout: alpha is
// dropped, never multiplied in (libtiff's RGBA reader multiplies it).
TEST_F(ImageFiles, EveryFormatGivesTheStoredColourChannels) {
    constexpr int w = 37, h = 21;  // tiles and strips that end inside the image
    const bytes rgba = rgba_pattern(w, h);
    ASSERT_TRUE(write_test_image(path("rgba.png"), IL_PNG, w, h, 4, rgba));
    tiff_layout tiled{4, 2, true, true, true, {}};
    const std::pair<const char*, bytes> files[] = {
        {"rgba.tif", tiff_file(w, h, rgba, {4, 2, true, false, false, {}})},
        {"tiled-planes.tif", tiff_file(w, h, rgba, tiled)},
        {"v5-bitfields.bmp", bmp_file(w, h, rgba, 124, true)},
        {"v4.bmp", bmp_file(w, h, rgba, 108, false)},
        {"v3-bitfields.bmp", bmp_file(w, h, rgba, 40, true)},
    };
    for (const auto& [name, content] : files) {
        ASSERT_FALSE(content.empty()) << name;
        write_bytes(path(name), content);
    }
    for (const char* name : {"rgba.png", "rgba.tif", "tiled-planes.tif", "v5-bitfields.bmp", "v4.bmp",
                             "v3-bitfields.bmp"}) {
        rgb_pixels img;
        std::string error;
        ASSERT_TRUE(load_rgb(path(name), img, error)) << error;
        EXPECT_EQ(img.width, w) << name;
        EXPECT_TRUE(img.bytes == rgb_of(rgba)) << name;
    }
}

// Pillow and OpenCV convert CMYK with its black channel; within 2 levels
// of that after JPEG's rounding.
TEST_F(ImageFiles, CmykJpegIsConvertedThroughItsBlackChannel) {
    constexpr int w = 32, h = 16;
    const unsigned char inks[][4] = {{255, 255, 255, 0}, {0, 255, 255, 128}, {200, 100, 50, 200}, {255, 0, 0, 255}};
    bytes cmyk;
    for (int i = 0; i < w * h; ++i) {
        const unsigned char* ink = inks[(i % w) / 8];  // 8x8 blocks of one colour each
        cmyk.insert(cmyk.end(), ink, ink + 4);
    }
    write_bytes(path("cmyk.jpg"), cmyk_jpeg(w, h, cmyk));
    rgb_pixels img;
    std::string error;
    ASSERT_TRUE(load_rgb(path("cmyk.jpg"), img, error)) << error;
    for (int i = 0; i < w * h; ++i)
        for (int c = 0; c < 3; ++c) {
            const int expected = cmyk[i * 4 + c] * cmyk[i * 4 + 3] / 255;
            ASSERT_NEAR(img.bytes[i * 3 + c], expected, 2) << "pixel " << i << " channel " << c;
        }
}

TEST_F(ImageFiles, CorruptBmpsAreRefusedNamingTheCause) {
    const bytes good = bmp_file(4, 2, rgba_pattern(4, 2), 124, true);
    const auto with_offset = [&](std::uint32_t offset) {
        bytes b = good;
        for (int i = 0; i < 4; ++i) b[10 + i] = static_cast<unsigned char>(offset >> (8 * i));
        return b;
    };
    // A 1-bit image whose pixels follow its header directly: no palette.
    bytes no_palette = bmp_claiming(8, 2);
    no_palette[28] = 1;
    no_palette.insert(no_palette.end(), 8, 0x55);
    const std::pair<bytes, const char*> cases[] = {
        {with_offset(static_cast<std::uint32_t>(good.size()) + 100), "pixel data begins beyond the end of the file"},
        {with_offset(0), "pixel data offset points into its header"},
        {no_palette, "a palette image without a palette"},
        {bytes(good.begin(), good.end() - 3), "pixel data is cut short"},
    };
    for (const auto& [file, message] : cases) {
        write_bytes(path("bad.bmp"), file);
        rgb_pixels img;
        std::string error;
        EXPECT_FALSE(load_rgb(path("bad.bmp"), img, error)) << message;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

// A few kilobytes can claim hundreds of megapixels: refused from the header
// unless the limit is raised.
TEST_F(ImageFiles, ImagesAboveThePixelLimitAreRefusedUndecoded) {
    write_bytes(path("bomb.jpg"), jpeg_claiming(26000, 26000));
    write_bytes(path("small.jpg"), jpeg_claiming(40, 18));
    rgb_pixels img;
    std::string error;
    EXPECT_FALSE(load_rgb(path("bomb.jpg"), img, error));
    EXPECT_NE(error.find("676000000 pixels, more than the limit of 178956970"), std::string::npos) << error;
    EXPECT_NE(error.find("MEDIAN_MAX_PIXELS"), std::string::npos) << error;
    EXPECT_NE(error.find("--max-pixels"), std::string::npos) << error;
    EXPECT_FALSE(load_rgb(path("small.jpg"), img, error, 40 * 18 - 1));
    EXPECT_TRUE(load_rgb(path("small.jpg"), img, error, 40 * 18)) << error;
    setenv("MEDIAN_MAX_PIXELS", "100", 1);
    EXPECT_FALSE(load_rgb(path("small.jpg"), img, error));
    EXPECT_NE(error.find("more than the limit of 100"), std::string::npos) << error;
    setenv("MEDIAN_MAX_PIXELS", "lots", 1);
    EXPECT_FALSE(load_rgb(path("small.jpg"), img, error));
    EXPECT_NE(error.find("MEDIAN_MAX_PIXELS: 'lots' is not a pixel count"), std::string::npos) << error;
    unsetenv("MEDIAN_MAX_PIXELS");
}

TEST_F(ImageFiles, MessagesNameTheRealCauseAndReadableFilesAreRead) {
    rgb_pixels img;
    std::string error;
    mkdir(path("dir.jpg").c_str(), 0755);
    EXPECT_FALSE(load_rgb(path("dir.jpg"), img, error));
    EXPECT_NE(error.find("it is a directory"), std::string::npos) << error;

    // Leading zeros are no reason to call a size absurd.
    write_bytes(path("zeros.pgm"), text("P5 0000000000003 2 255\n\x01\x02\x03\x04\x05\x06"));
    ASSERT_TRUE(load_rgb(path("zeros.pgm"), img, error)) << error;
    EXPECT_EQ(img.width, 3);
    write_bytes(path("long.pgm"), text("P5 1000000000000 2 255\n"));
    EXPECT_FALSE(load_rgb(path("long.pgm"), img, error));
    EXPECT_NE(error.find("more than 12 digits"), std::string::npos) << error;

    // A JPEG without its end marker decodes as the whole file does.
    bytes jpeg = cmyk_jpeg(16, 8, bytes(16 * 8 * 4, 77));
    write_bytes(path("whole.jpg"), jpeg);
    write_bytes(path("no-end.jpg"), bytes(jpeg.begin(), jpeg.end() - 2));
    rgb_pixels whole;
    ASSERT_TRUE(load_rgb(path("whole.jpg"), whole, error)) << error;
    ASSERT_TRUE(load_rgb(path("no-end.jpg"), img, error)) << error;
    EXPECT_TRUE(img.bytes == whole.bytes);

    // The first page of a TIFF is read, as other readers do; later pages,
    // however large, are not decoded.
    const bytes grey(5 * 3, 200);
    write_bytes(path("pages.tif"), tiff_file(5, 3, grey, {1, 1, false, false, false, {{300, 300}}}));
    ASSERT_TRUE(load_rgb(path("pages.tif"), img, error, 5 * 3)) << error;
    EXPECT_EQ(img.bytes, bytes(5 * 3 * 3, 200));
}

// Every encoder's writes go through the checked stream: on a full disk the
// save fails and the old file stays.
TEST_F(ImageFiles, AFullDiskFailsEverySaveAndKeepsTheOldFile) {
    constexpr rlim_t disk_bytes = 2048;
    for (const char* name : {"o.bmp", "o.png", "o.tga", "o.ppm", "o.tif", "o.jpg"}) {
        std::ofstream(path(name)) << "old";
        const pid_t pid = fork();
        if (pid == 0) {
            const rlimit limit{disk_bytes, disk_bytes};
            std::signal(SIGXFSZ, SIG_IGN);
            std::string error;
            const bool saved = setrlimit(RLIMIT_FSIZE, &limit) == 0 && save_rgb(path(name), noise(96, 64), error);
            _exit(saved ? 0 : error.find(name) != std::string::npos ? 1 : 2);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << name << " status " << status;
        EXPECT_EQ(read_file(path(name)), "old") << name;
    }
    EXPECT_FALSE(temporary_files_left());
}

}  // namespace
