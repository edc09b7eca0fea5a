// `median_suite bench`: argument errors, a kernel that fails its check, and
// the JSON and CSV files.
#include "tests/kernel_harness.h"
#include "tests/scratch_dir.h"
#include "benchmark/suite/library_peers.h"
#include "benchmark/suite/suite_bench.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace {

class SuiteBench : public ScratchDirTest {
protected:
    command_result bench(const std::string& args) const { return run(std::string(MEDIAN_SUITE_PATH) + " bench " + args); }
};

TEST_F(SuiteBench, ArgumentErrorsExitWith2AndSayWhy) {
    const std::pair<const char*, const char*> cases[] = {
        {"--kernels median_kernel_batcher_5x5,no_such_kernel", "unknown kernel 'no_such_kernel'"},
        {"--size 64xab", "bad size '64xab'"},
        {"--size 0x16", "bad size '0x16'"},
        {"--size 100000x100000", "too large"},
        {"--repeat 0", "bad --repeat '0'"},
        {"--size 64x16 --json /no/such/dir/out.json", "cannot write /no/such/dir/out.json"},
        {"--size 64x16 --csv .", "cannot write .: it is a directory"},
        {"--frobnicate", "unknown option '--frobnicate'"},
        {"--json", "--json needs a value"},
    };
    for (const auto& [args, message] : cases) {
        const command_result r = bench(args);
        EXPECT_EQ(r.exit_code, 2) << args;
        EXPECT_NE(r.err.find(message), std::string::npos) << args << "\n" << r.err;
        EXPECT_EQ(r.out, "") << args;
    }
}

TEST_F(SuiteBench, ABenchThatMeasuresNoKernelIsAnError) {
    REQUIRE_DEVICE();
    const command_result r = bench("--size 1x1 --size 20x6 --kernels median_kernel_batcher_5x5,kernel_conv_nv5 --repeat 1");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("no kernel was measured"), std::string::npos) << r.err;
}

// Pixel (5, 3) of channel 1 is off by one: the kernel checked against it
// looks as if it wrote one wrong pixel.
reference::rgb wrong_at_one_pixel(const PaddedImage& in, int x, int y) {
    reference::rgb v = reference::exact_median(in, x, y);
    if (x == 5 && y == 3) ++v[1];
    return v;
}

TEST_F(SuiteBench, AKernelThatWritesAWrongPixelFailsTheRun) {
    REQUIRE_DEVICE();
    kernel_entry good = kernel_table().front();
    kernel_entry wrong = good;
    wrong.name = "deliberately_wrong";
    wrong.reference = wrong_at_one_pixel;
    bench_options options;
    options.sizes = {{64, 16}};
    options.repeats = 1;
    options.json_path = dir_ + "/rows.json";
    testing::internal::CaptureStdout();
    const int code = run_bench(options, {good, wrong});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 1);
    EXPECT_NE(out.find("deliberately_wrong: FAILED, 1 wrong pixels"), std::string::npos) << out;
    const std::string json = read_file(options.json_path);
    EXPECT_NE(json.find("\"status\": \"ok\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"status\": \"FAILED\", \"wrong_pixels\": 1"), std::string::npos) << json;
}

TEST_F(SuiteBench, JsonAndCsvHoldOneRowPerKernel) {
    REQUIRE_DEVICE();
    if (access(MEDIAN_PYTHON, X_OK) != 0) GTEST_SKIP() << "a Python interpreter is needed to parse the JSON";
    const command_result r = bench("--size 256x32 --repeat 1 --json rows.json --csv rows.csv");
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const command_result parsed = run(std::string(MEDIAN_PYTHON) +
                                  " -c 'import json; rows = json.load(open(\"rows.json\"))[\"rows\"]; "
                                  "[print(r[\"kernel\"], r[\"status\"], r[\"width\"], r[\"height\"], r[\"repeats\"], "
                                  "r[\"mpixel_per_s\"] > 0) for r in rows]'");
    ASSERT_EQ(parsed.exit_code, 0) << parsed.err;
    std::string expected;
    for (const auto& k : kernel_table()) expected += std::string(k.name) + " ok 256 32 1 True\n";
    for (const auto& p : library_peers()) expected += std::string(p.layout.name) + " ok 256 32 1 True\n";
    EXPECT_EQ(parsed.out, expected);
    const std::string csv = read_file(dir_ + "/rows.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'),
              static_cast<long>(kernel_table().size() + library_peers().size()) + 1)
        << csv;
}

// NPP's median on our bordered input equals the exact reference on every
// pixel of a photograph whose size is no multiple of a block.
TEST_F(SuiteBench, NppMedianMatchesTheReference) {
    if (library_peers().empty()) GTEST_SKIP() << "this build found no NPP";
    REQUIRE_DEVICE();
    const command_result r = bench(std::string("--input ") + MEDIAN_SAMPLES_DIR +
                                   "/rocket-640x427.jpg --kernels npp_filter_median --repeat 2");
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("npp_filter_median  ok"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" 273280 "), std::string::npos) << "all 640x427 pixels covered\n" << r.out;
}

}  // namespace
