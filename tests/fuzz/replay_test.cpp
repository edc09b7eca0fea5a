// The fuzzers' seeds and every input that once broke the image path, run
// through it on every build (under the sanitizers in the sanitize preset).
#include "image_path.h"
#include "seed_images.h"
#include "tests/scratch_dir.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <string>

namespace {

TEST(FuzzReplay, SeedsOfEveryFormatGoTheWholeWay) {
    for (const seed_image& seed : seed_images()) {
        SCOPED_TRACE(seed.name);
        ASSERT_FALSE(seed.bytes.empty()) << "DevIL could not make this seed";
        const path_outcome outcome = run_image_path(seed.bytes.data(), seed.bytes.size());
        if (seed.name == "oversized.jpg") {
            EXPECT_EQ(outcome, path_outcome::refused);
        } else if (seed.name.find("truncated") == std::string::npos) {
            EXPECT_EQ(outcome, path_outcome::filtered) << "decoded size and header must agree";
        }
    }
}

TEST(FuzzReplay, InputsThatOnceFailedStayHarmless) {
    const std::string dir = MEDIAN_FUZZ_REGRESSIONS_DIR;
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    int replayed = 0;
    for (dirent* e = readdir(d); e; e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string bytes = read_file(dir + "/" + e->d_name);
        SCOPED_TRACE(e->d_name);
        run_image_path(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        ++replayed;
    }
    closedir(d);
    RecordProperty("replayed", replayed);
}

}  // namespace
