// The generated networks, by window: tile_network<W> names the network for
// W x W windows, its thread tile and its input area.
#pragma once

#include "tiled_network.h"

namespace median_core {

template <int Window>
struct tile_network;

template <>
struct tile_network<5> {
    static constexpr int window = 5;
    static constexpr int tile_cols = tiled_network::tile_cols;
    static constexpr int tile_rows = tiled_network::tile_rows;
    static constexpr int input_cols = tiled_network::input_cols;
    static constexpr int input_rows = tiled_network::input_rows;
    static constexpr int operations = tiled_network::operations;

    template <class Wire>
    static __device__ __forceinline__ void tile_medians(const Wire (&in)[input_rows][input_cols],
                                                        Wire (&out)[tile_rows][tile_cols]) {
        tiled_network::tile_medians(in, out);
    }
};

// Windows with a generated network; the others take the selection path.
constexpr bool has_network(int window) { return window == 5; }

}  // namespace median_core
