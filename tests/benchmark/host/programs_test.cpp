// The benchmark and suite programs run as a user runs them.
#include "image/image_io.h"
#include "tests/fuzz/seed_images.h"
#include "tests/image/test_images.h"
#include "tests/kernel_harness.h"
#include "tests/scratch_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>

namespace {

class Programs : public ScratchDirTest {
protected:
    void copy_sample(const std::string& sample, const std::string& name) const {
        std::ofstream(path(name), std::ios::binary) << read_file(std::string(MEDIAN_SAMPLES_DIR) + "/" + sample);
    }

    // The exact 5x5 median of the decoded image at `input`.
    static rgb_pixels expected_median(const std::string& input) {
        rgb_pixels img;
        std::string error;
        EXPECT_TRUE(load_rgb(input, img, error)) << error;
        const auto filtered = reference::filter(border_image(img.bytes.data(), img.width, img.height),
                                                reference::exact_median);
        return {filtered.width, filtered.height, filtered.pixels};
    }

    void expect_image(const std::string& file, const rgb_pixels& expected) const {
        rgb_pixels got;
        std::string error;
        ASSERT_TRUE(load_rgb(path(file), got, error)) << error;
        EXPECT_EQ(got.width, expected.width);
        EXPECT_EQ(got.height, expected.height);
        EXPECT_TRUE(got.bytes == expected.bytes) << file << " is not the reference median";
    }

};

TEST_F(Programs, BenchmarkFiltersAPhotographAndReports) {
    REQUIRE_DEVICE();
    copy_sample("rocket-640x427.jpg", "input.jpg");
    std::ofstream(path("output.bmp")) << "an older result";
    const command_result r = run(MEDIAN_BENCH_PATH);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::regex report(
        "Input resolution:  640x 427\n"
        "Batcher single kernel time: [0-9]+\\.[0-9]{4} ms\n"
        "Batcher Mpixel/s: [0-9]+\\.[0-9]{4}\n");
    EXPECT_TRUE(std::regex_match(r.out, report)) << r.out;
    EXPECT_EQ(r.err.find("CPU-emulation") != std::string::npos, emulated_device()) << r.err;
    expect_image("output.bmp", expected_median(path("input.jpg")));
}

TEST_F(Programs, BenchmarkFiltersImagesSmallerThanABlockOnTheHost) {
    std::vector<unsigned char> grey(20 * 6);
    for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<unsigned char>(i * 37);
    ASSERT_TRUE(write_test_image(path("input.jpg"), IL_JPG, 20, 6, 1, grey));
    const command_result r = run(MEDIAN_BENCH_PATH);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "Input resolution:   20x   6\n");
    EXPECT_NE(r.err.find("no GPU time measured"), std::string::npos) << r.err;
    expect_image("output.bmp", expected_median(path("input.jpg")));
}

TEST_F(Programs, BenchmarkRejectsBadInputAndKeepsTheOldOutput) {
    std::ofstream(path("output.bmp")) << "keep me";
    command_result r = run(MEDIAN_BENCH_PATH);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("input.jpg"), std::string::npos) << r.err;
    std::ofstream(path("input.jpg")) << "\xff\xd8 truncated jpeg";
    r = run(MEDIAN_BENCH_PATH);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("input.jpg"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(path("output.bmp")), "keep me");
}

TEST_F(Programs, BenchmarkFailsCleanlyWhenTheOutputCannotBeWritten) {
    REQUIRE_DEVICE();
    std::vector<unsigned char> rgb(40 * 16 * 3, 90);
    ASSERT_TRUE(write_test_image(path("input.jpg"), IL_JPG, 40, 16, 3, rgb));
    mkdir(path("output.bmp").c_str(), 0755);  // in the way of the result
    command_result r = run(MEDIAN_BENCH_PATH);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("output.bmp"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << "found before the run";
    rmdir(path("output.bmp").c_str());
    chmod(dir_.c_str(), 0555);
    if (access(dir_.c_str(), W_OK) == 0) return;  // root writes anyway
    r = run(MEDIAN_BENCH_PATH);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("output.bmp"), std::string::npos) << r.err;
}

TEST_F(Programs, BenchmarkRefusesJpegsClaimingHugeSizesUnread) {
    std::ofstream(path("output.bmp")) << "keep me";
    for (const int side : {40000, 65000}) {
        const std::vector<unsigned char> jpeg = jpeg_claiming(side, side);
        std::ofstream(path("input.jpg"), std::ios::binary).write(reinterpret_cast<const char*>(jpeg.data()), jpeg.size());
        const command_result r = run(MEDIAN_BENCH_PATH);
        EXPECT_EQ(r.exit_code, 1) << side;
        EXPECT_EQ(r.out, "") << "no resolution line";
        EXPECT_NE(r.err.find("too large"), std::string::npos) << r.err;
    }
    EXPECT_EQ(read_file(path("output.bmp")), "keep me");
}

// Every output of both programs on a disk that fills up: exit 1 naming the
// file, the old file byte for byte, no temporary file left.
TEST_F(Programs, AFullDiskLosesNoOutputUnnoticed) {
    REQUIRE_DEVICE();
    constexpr rlim_t disk_bytes = 200;
    std::vector<unsigned char> noise(96 * 64 * 3);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    ASSERT_TRUE(write_test_image(path("input.jpg"), IL_PNG, 96, 64, 3, noise));  // read by content
    const std::string suite = MEDIAN_SUITE_PATH;
    const std::string bench = suite + " bench --size 64x16 --kernels median_kernel_batcher_5x5 --repeat 1";
    const std::pair<std::string, std::string> cases[] = {
        {MEDIAN_BENCH_PATH, "output.bmp"},
        {suite + " run median_kernel_ff input.jpg out.png", "out.png"},
        {suite + " run median_kernel_ff input.jpg out.tga", "out.tga"},
        {suite + " run median_kernel_ff input.jpg out.ppm", "out.ppm"},
        {suite + " run median_kernel_ff input.jpg out.tif", "out.tif"},
        {suite + " run median_kernel_ff input.jpg out.jpg", "out.jpg"},
        {suite + " reference input.jpg out.bmp", "out.bmp"},
        {bench + " --json rows.json", "rows.json"},
        {bench + " --csv rows.csv", "rows.csv"},
    };
    for (const auto& [command, output] : cases) {
        std::ofstream(path(output)) << "old " << output;
        const command_result r = run_on_full_disk(command, disk_bytes);
        EXPECT_EQ(r.exit_code, 1) << command << "\n" << r.err;
        EXPECT_NE(r.err.find(output + ": File too large"), std::string::npos) << r.err;
        EXPECT_EQ(read_file(path(output)), "old " + output);
    }
    EXPECT_FALSE(temporary_files_left());
}

TEST_F(Programs, AReportThatCannotBeWrittenIsAnError) {
    const std::string suite = MEDIAN_SUITE_PATH;
    command_result r = run("(" + suite + " list >/dev/full)");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("cannot write to standard output"), std::string::npos) << r.err;
    copy_sample("rocket-640x427.jpg", "input.jpg");
    r = run(std::string("(") + MEDIAN_BENCH_PATH + " >&-)");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("standard output is closed"), std::string::npos) << r.err;
    EXPECT_NE(access(path("output.bmp").c_str(), F_OK), 0) << "stopped before the run";
}

TEST_F(Programs, BenchmarkWithoutAUsableGpuSaysWhichCallFailed) {
    std::string why;
    if (device_available(why)) GTEST_SKIP() << "needs a build whose device cannot run kernels";
    copy_sample("rocket-640x427.jpg", "input.jpg");
    const command_result r = run(MEDIAN_BENCH_PATH);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Input resolution:  640x 427\n") << "no time is reported";
    EXPECT_NE(r.err.find("failed: "), std::string::npos) << r.err;
    EXPECT_NE(access(path("output.bmp").c_str(), F_OK), 0) << "no output is written";
}

TEST_F(Programs, SuiteRunsAKernelByName) {
    REQUIRE_DEVICE();
    std::vector<unsigned char> rgb(70 * 13 * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(i * 101 % 256);
    ASSERT_TRUE(write_test_image(path("in.png"), IL_PNG, 70, 13, 3, rgb));
    const command_result r = run(std::string(MEDIAN_SUITE_PATH) + " run median_kernel_batcher_5x5 in.png out.png");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    expect_image("out.png", expected_median(path("in.png")));
}

TEST_F(Programs, SuiteKernelAndLibraryAgreeWithTheReferenceInMirrorMode) {
    REQUIRE_DEVICE();
    copy_sample("rocket-640x427.jpg", "in.jpg");
    rgb_pixels photo;
    std::string error;
    ASSERT_TRUE(load_rgb(path("in.jpg"), photo, error)) << error;
    const reference::image expected = reference::median_5x5({photo.width, photo.height, channels, photo.bytes},
                                                            median_filter::border::mirror);
    const std::string suite = MEDIAN_SUITE_PATH;
    for (const std::string& command : {suite + " run median_kernel_batcher_5x5 in.jpg out.png --border mirror",
                                      suite + " run " + library_kernel().name + " in.jpg out.png --border mirror",
                                      suite + " reference in.jpg out.png --border mirror"}) {
        const command_result r = run(command);
        ASSERT_EQ(r.exit_code, 0) << command << ": " << r.err;
        expect_image("out.png", {expected.width, expected.height, expected.pixels});
    }
    EXPECT_EQ(run(suite + " run median_kernel_batcher_5x5 in.jpg out.png --border wrap").exit_code, 2);
}

TEST_F(Programs, SuiteNamesTheKernelsOnAnUnknownName) {
    const command_result r = run(std::string(MEDIAN_SUITE_PATH) + " run no_such_kernel in.png out.png");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("median_kernel_batcher_5x5"), std::string::npos) << r.err;
    const command_result list = run(std::string(MEDIAN_SUITE_PATH) + " list");
    EXPECT_EQ(list.exit_code, 0);
    for (const auto& k : kernel_table()) EXPECT_NE(list.out.find(k.name), std::string::npos) << k.name;
}

}  // namespace
