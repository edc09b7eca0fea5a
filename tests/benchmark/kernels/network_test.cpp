// The generated comparator network against the published stage table, and
// the pruned network against the full one.
#include "benchmark/kernels/batcher_network.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <sstream>
#include <string>

namespace {

std::string stage_pairs(int stage) {
    std::ostringstream s;
    const auto net = batcher::full_network();
    for (int i = 0; i < net.size; ++i)
        if (net[i].stage == stage) s << (s.tellp() > 0 ? " " : "") << net[i].lo << "-" << net[i].hi;
    return s.str();
}

TEST(Network, FullNetworkIsTheStageTable) {
    const char* expected[batcher::stages] = {
        "0-1 2-3 4-5 6-7 8-9 10-11 12-13 14-15 16-17 18-19 20-21 22-23",
        "0-2 1-3 4-6 5-7 8-10 9-11 12-14 13-15 16-18 17-19 20-22 21-23",
        "1-2 5-6 9-10 13-14 17-18 21-22",
        "0-4 1-5 2-6 3-7 8-12 9-13 10-14 11-15 16-20 17-21 18-22 19-23",
        "2-4 3-5 10-12 11-13 18-20 19-21",
        "1-2 3-4 5-6 9-10 11-12 13-14 17-18 19-20 21-22",
        "0-8 1-9 2-10 3-11 4-12 5-13 6-14 7-15 16-24",
        "4-8 5-9 6-10 7-11 20-24",
        "2-4 3-5 6-8 7-9 10-12 11-13 18-20 19-21 22-24",
        "1-2 3-4 5-6 7-8 9-10 11-12 13-14 17-18 19-20 21-22 23-24",
        "0-16 1-17 2-18 3-19 4-20 5-21 6-22 7-23 8-24",
        "8-16 9-17 10-18 11-19 12-20 13-21 14-22 15-23",
        "4-8 5-9 6-10 7-11 12-16 13-17 14-18 15-19 20-24",
        "2-4 3-5 6-8 7-9 10-12 11-13 14-16 15-17 18-20 19-21 22-24",
        "1-2 3-4 5-6 7-8 9-10 11-12 13-14 15-16 17-18 19-20 21-22 23-24",
    };
    EXPECT_EQ(batcher::full_network().size, batcher::full_size);
    for (int stage = 1; stage <= batcher::stages; ++stage) EXPECT_EQ(stage_pairs(stage), expected[stage - 1]) << stage;
}

TEST(Network, PrunedNetworkKeepsWhatTheMedianWireNeeds) {
    const auto& net = batcher::median_network;
    int both = 0, min_only = 0, max_only = 0;
    for (int i = 0; i < net.size; ++i) {
        both += net[i].keep_min && net[i].keep_max;
        min_only += net[i].keep_min && !net[i].keep_max;
        max_only += !net[i].keep_min && net[i].keep_max;
    }
    EXPECT_EQ(net.size, 113);
    EXPECT_EQ(both, 89);
    EXPECT_EQ(min_only, 12);
    EXPECT_EQ(max_only, 12);
    EXPECT_EQ(2 * both + min_only + max_only, 202) << "min/max operations per channel";
}

using wires = std::array<unsigned, batcher::wires>;

unsigned run(const batcher::comparator_list<batcher::full_size>& net, wires w) {
    for (int i = 0; i < net.size; ++i) {
        const unsigned a = w[net[i].lo], b = w[net[i].hi];
        if (net[i].keep_min) w[net[i].lo] = std::min(a, b);
        if (net[i].keep_max) w[net[i].hi] = std::max(a, b);
    }
    return w[median_index];
}

TEST(Network, FullNetworkSortsAndPrunedNetworkGivesItsMedian) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 20000; ++trial) {
        wires w;
        // Narrow ranges make many ties; 0/1 inputs cover the zero-one principle.
        const unsigned range = trial % 3 == 0 ? 2 : trial % 3 == 1 ? 8 : 256;
        for (auto& v : w) v = rng() % range;
        wires sorted = w;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(run(batcher::full_network(), w), sorted[median_index]);
        ASSERT_EQ(run(batcher::median_network, w), sorted[median_index]);
    }
}

}  // namespace
