// The generated median networks, as written into their headers, against a
// sort of each window: random tiles of 2, 4 and 256 levels in both 16-bit
// lanes, each lane form, uncapped and capped at a random level (the Python
// model is checked by the generator; this checks the device code it wrote).
#include "library/core/networks/networks.h"
#include "library/core/tiled_lanes.cuh"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

// A 3x3 network for GPUs with two-input min/max only, under the traits'
// interface (tile_network<3> picks it by architecture, so never on the host).
template <bool Wide>
struct two_input_3x3 {
    using net = median_core::tile_network<3, 1, Wide>;
    static constexpr int window = 3, tile_cols = net::tile_cols, tile_rows = net::tile_rows;
    static constexpr int input_cols = net::input_cols, input_rows = net::input_rows;
    template <class Wire, class Cap>
    static void tile_medians(const Wire (&in)[input_rows][input_cols], Wire (&out)[tile_rows][tile_cols],
                             const Cap& cap) {
        if constexpr (Wide)
            network_w3_t8x2_two_input::tile_medians(in, out, cap);
        else
            network_w3_t4x2_two_input::tile_medians(in, out, cap);
    }
};

// Odd trials cap the network at a random level of each lane; every output
// must then be the least of its median and the cap.
template <class Net, class Lanes>
void expect_medians(int trials) {
    std::mt19937 rng(Net::window);
    for (int t = 0; t < trials; ++t) {
        const unsigned levels = t % 3 == 0 ? 2 : t % 3 == 1 ? 4 : 256;
        const bool capped = t % 2 == 1;
        const unsigned cap[2] = {capped ? static_cast<unsigned>(rng() % levels) : 0xffu,
                                 capped ? static_cast<unsigned>(rng() % levels) : 0xffu};
        unsigned value[2][Net::input_rows][Net::input_cols];
        Lanes in[Net::input_rows][Net::input_cols];
        for (int r = 0; r < Net::input_rows; ++r)
            for (int c = 0; c < Net::input_cols; ++c) {
                value[0][r][c] = rng() % levels;
                value[1][r][c] = rng() % levels;
                in[r][c] = Lanes::from_word(value[0][r][c] * 0x101u | value[1][r][c] * 0x1010000u);
            }
        Lanes out[Net::tile_rows][Net::tile_cols];
        if (capped)
            Net::tile_medians(in, out, capped_at<Lanes>{Lanes::from_word(cap[0] * 0x101u | cap[1] * 0x1010000u)});
        else
            Net::tile_medians(in, out, uncapped{});
        for (int r = 0; r < Net::tile_rows; ++r)
            for (int c = 0; c < Net::tile_cols; ++c)
                for (int lane = 0; lane < 2; ++lane) {
                    std::vector<unsigned> window;
                    for (int i = 0; i < Net::window; ++i)
                        for (int j = 0; j < Net::window; ++j) window.push_back(value[lane][r + i][c + j]);
                    const auto middle = window.begin() + window.size() / 2;
                    std::nth_element(window.begin(), middle, window.end());
                    ASSERT_EQ(out[r][c].to_word() >> (16 * lane) & 0xffu, std::min(*middle, cap[lane]))
                        << Net::window << "x" << Net::window << " tile " << t << " output " << c << "," << r;
                }
    }
}

TEST(Networks, EveryWindowsNetworkGivesTheMedians) {
    expect_medians<median_core::tile_network<3>, packed_lanes>(600);
    expect_medians<two_input_3x3<false>, split_lanes>(600);
    expect_medians<median_core::tile_network<5>, packed_lanes>(300);
    expect_medians<median_core::tile_network<7, 1>, packed_lanes>(150);
    expect_medians<median_core::tile_network<7, 2>, split_lanes>(150);
}

TEST(Networks, WideTilesGiveTheMedians) {
    expect_medians<median_core::tile_network<3, 1, true>, packed_lanes>(300);
    expect_medians<two_input_3x3<true>, split_lanes>(300);
    expect_medians<median_core::tile_network<5, 1, true>, packed_lanes>(200);
    expect_medians<median_core::tile_network<5, 2, true>, split_lanes>(100);
}

}  // namespace
