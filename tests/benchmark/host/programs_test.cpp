// The benchmark and suite programs run as a user runs them.
#include "image/image_io.h"
#include "tests/fuzz/seed_images.h"
#include "tests/image/test_images.h"
#include "tests/kernel_harness.h"
#include "tests/scratch_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
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

// Only a report that is needed fails a run, and a lost report leaves the
// old output in place.
TEST_F(Programs, AReportThatCannotBeWrittenIsAnError) {
    const std::string suite = MEDIAN_SUITE_PATH;
    command_result r = run("(" + suite + " list >/dev/full)");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("cannot write to standard output"), std::string::npos) << r.err;
    EXPECT_EQ(run("(" + suite + " list >&-)").exit_code, 1);
    copy_sample("rocket-640x427.jpg", "input.jpg");
    r = run(std::string("(") + MEDIAN_BENCH_PATH + " >&-)");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("standard output is closed"), std::string::npos) << r.err;
    EXPECT_NE(access(path("output.bmp").c_str(), F_OK), 0) << "stopped before the run";
    r = run("(" + suite + " reference input.jpg ref.png >&-)");  // prints nothing
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(access(path("ref.png").c_str(), F_OK), 0);
}

TEST_F(Programs, BenchmarkKeepsTheOldOutputWhenItsReportIsLost) {
    REQUIRE_DEVICE();
    ASSERT_TRUE(write_test_image(path("input.jpg"), IL_PNG, 40, 16, 3, std::vector<unsigned char>(40 * 16 * 3, 9)));
    std::ofstream(path("output.bmp")) << "keep me";
    const command_result r = run(std::string("(") + MEDIAN_BENCH_PATH + " >/dev/full)");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("cannot write to standard output"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(path("output.bmp")), "keep me");
    EXPECT_FALSE(temporary_files_left());
}

// An output is checked before the work: a name the system refuses fails
// before the input is read. A replaced output keeps its permission bits.
TEST_F(Programs, OutputsAreCheckedFirstAndKeepTheirMode) {
    const std::string suite = MEDIAN_SUITE_PATH;
    command_result r = run(suite + " reference missing.png " + std::string(300, 'o') + ".png");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("File name too long"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("missing.png"), std::string::npos) << r.err;
    copy_sample("rocket-640x427.jpg", "in.jpg");
    std::ofstream(path("out.png")) << "old";
    chmod(path("out.png").c_str(), 0640);
    r = run(suite + " reference in.jpg out.png");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(stat(path("out.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// SIGINT and SIGTERM (Ctrl-C, `timeout`) end a run as the signal does,
// leaving no temporary file beside its outputs.
TEST_F(Programs, InterruptedRunsLeaveNothingBehind) {
    REQUIRE_DEVICE();
    const std::string command = std::string("exec ") + MEDIAN_SUITE_PATH +
                                " bench --size 1920x1080 --kernels median_kernel_xilinx --repeat 100000"
                                " --json rows.json --csv rows.csv 2>/dev/null";
    for (const int signal : {SIGINT, SIGTERM}) {
        std::ofstream(path("rows.json")) << "old";
        const pid_t pid = fork();
        if (pid == 0) {
            std::signal(SIGINT, SIG_DFL);  // a shell may have started the tests ignoring it
            std::signal(SIGTERM, SIG_DFL);
            if (chdir(dir_.c_str()) == 0) execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
            _exit(127);
        }
        // Both temporary files exist once the outputs are prepared, before the run.
        for (int wait = 0; wait < 600 && std::system(("test $(ls -A " + dir_ + " | grep -c '^\\.tmp-') -ge 2").c_str()) != 0;
             ++wait)
            usleep(50000);
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
        EXPECT_FALSE(temporary_files_left()) << "signal " << signal;
        EXPECT_EQ(read_file(path("rows.json")), "old");
    }
}

// The GPU programs name the CPU-emulation programs; they do not fall back
// to them.
TEST_F(Programs, ProgramsWithoutAUsableGpuPointToTheEmulation) {
    std::string why;
    if (device_available(why)) GTEST_SKIP() << "needs a build whose device cannot run kernels";
    copy_sample("rocket-640x427.jpg", "input.jpg");
    command_result r = run(MEDIAN_BENCH_PATH);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Input resolution:  640x 427\n") << "no time is reported";
    EXPECT_NE(r.err.find("median_bench_emu"), std::string::npos) << r.err;
    EXPECT_NE(access(path("output.bmp").c_str(), F_OK), 0) << "no output is written";
    r = run(std::string(MEDIAN_SUITE_PATH) + " run median_kernel_ff input.jpg out.png");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("median_suite_emu"), std::string::npos) << r.err;
}

TEST_F(Programs, ImagesAboveThePixelLimitAreRefusedByEveryProgram) {
    copy_sample("rocket-640x427.jpg", "input.jpg");
    command_result r = run(std::string("MEDIAN_MAX_PIXELS=273279 ") + MEDIAN_BENCH_PATH);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("more than the limit of 273279"), std::string::npos) << r.err;
    const std::string suite = MEDIAN_SUITE_PATH;
    r = run(suite + " reference input.jpg out.png --max-pixels 1000");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("more than the limit of 1000"), std::string::npos) << r.err;
    EXPECT_EQ(run("MEDIAN_MAX_PIXELS=1000 " + suite + " reference input.jpg out.png --max-pixels 273280").exit_code, 0);
    r = run(suite + " bench --input input.jpg --max-pixels 1000");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("more than the limit of 1000"), std::string::npos) << r.err;
    EXPECT_EQ(run(suite + " reference input.jpg out.png --max-pixels 0").exit_code, 2);
}

// The best launch is the shortest, however long: launches of more than ten
// seconds (the emulation of large images) once reported 10000 ms.
TEST(KernelTiming, TheBestLaunchIsTheShortestHoweverLong) {
    kernel_timing timing;
    for (const float ms : {25000.0f, 12000.0f, 19000.0f}) timing.add(ms);
    EXPECT_EQ(timing.best_ms, 12000.0f);
    EXPECT_EQ(timing.launch_ms.size(), 3u);
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
    const command_result wrap = run(suite + " run median_kernel_batcher_5x5 in.jpg out.png --border wrap");
    EXPECT_EQ(wrap.exit_code, 2);
    EXPECT_NE(wrap.err.find("wrapping around is not supported"), std::string::npos) << wrap.err;
    // SciPy's name for replicate.
    ASSERT_EQ(run(suite + " reference in.jpg nearest.png --border nearest").exit_code, 0);
    ASSERT_EQ(run(suite + " reference in.jpg replicate.png --border replicate").exit_code, 0);
    EXPECT_EQ(read_file(path("nearest.png")), read_file(path("replicate.png")));
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
