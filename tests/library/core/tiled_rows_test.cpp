// The tiled core's output rows of 8- and 16-bit images: a thread's medians
// arrive channel by channel as lane words (both bands' outputs of one
// position) and leave as row words in memory order. Every tile width and
// channel count the kernels use, rows that end inside a word included.
#include "library/core/tiled_core.cuh"

#include <gtest/gtest.h>

#include <random>

namespace {

template <class T, int TileCols, int Channels>
void expect_rows_in_memory_order() {
    constexpr int n = TileCols * Channels;
    constexpr unsigned int lane_mask = (1u << 8 * sizeof(T)) - 1;
    std::mt19937 rng(n * static_cast<int>(sizeof(T)));
    unsigned int value[2][n];
    median_core::lane_row_pair<T, n, Channels, TileCols> gathered;
    for (int c = 0; c < Channels; ++c)
        for (int i = 0; i < TileCols; ++i) {
            const int j = i * Channels + c;
            value[0][j] = rng() & lane_mask;
            value[1][j] = rng() & lane_mask;
            // An 8-bit value fills its lane doubled, as the networks leave it.
            const unsigned int fill = sizeof(T) == 1 ? 0x101u : 1u;
            gathered.add(j, value[0][j] * fill | value[1][j] * fill << 16);
        }
    median_core::packed_row<T, n> rows[2];
    gathered.write(rows[0], rows[1]);
    for (int band = 0; band < 2; ++band)
        for (int j = 0; j < n; ++j)
            ASSERT_EQ(rows[band].get(j), static_cast<T>(value[band][j]))
                << sizeof(T) * 8 << "-bit, " << TileCols << " columns, " << Channels << " channels, band " << band
                << ", value " << j;
}

TEST(TiledRows, LaneWordsLeaveInMemoryOrder) {
    expect_rows_in_memory_order<unsigned char, 2, 1>();
    expect_rows_in_memory_order<unsigned char, 2, 3>();  // 6 bytes: the second word half full
    expect_rows_in_memory_order<unsigned char, 4, 3>();
    expect_rows_in_memory_order<unsigned char, 4, 4>();
    expect_rows_in_memory_order<unsigned char, 8, 1>();
    expect_rows_in_memory_order<unsigned char, 8, 3>();
    expect_rows_in_memory_order<unsigned short, 2, 3>();
    expect_rows_in_memory_order<unsigned short, 4, 1>();
    expect_rows_in_memory_order<unsigned short, 8, 3>();
    expect_rows_in_memory_order<unsigned short, 4, 4>();
}

}  // namespace
