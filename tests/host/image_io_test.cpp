#include "host/image_io.h"
#include "tests/host/test_images.h"
#include "tests/scratch_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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

TEST_F(ImageFiles, BmpRoundTripKeepsRowsTopToBottom) {
    const rgb_pixels img = gradient(13, 7);
    std::string error;
    ASSERT_TRUE(save_rgb(path("a.bmp"), img, error)) << error;
    rgb_pixels back;
    ASSERT_TRUE(load_rgb(path("a.bmp"), back, error)) << error;
    EXPECT_EQ(back.width, 13);
    EXPECT_EQ(back.height, 7);
    EXPECT_TRUE(back.bytes == img.bytes);
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
    mkdir(path("dir.bmp").c_str(), 0755);  // a directory cannot be replaced by a file
    EXPECT_FALSE(save_rgb(path("dir.bmp"), gradient(2, 2), error));
    std::ifstream old(path("old.bmp"));
    std::string content((std::istreambuf_iterator<char>(old)), {});
    EXPECT_EQ(content, "old");
    EXPECT_EQ(std::system(("test -z \"$(ls -A " + dir_ + " | grep tmp)\"").c_str()), 0) << "temporary files removed";
}

}  // namespace
