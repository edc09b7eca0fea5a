#include "image/image_io.h"
#include "tests/fuzz/seed_images.h"
#include "test_images.h"
#include "tests/scratch_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
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
        {tiff_pages({{16, 16}, {30000, 30000}}), "too large"},  // DevIL decodes every page
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
