// Batcher's odd-even merge sort for 25 wires (the 32-wire network with every
// comparator that touches a wire above 24 left out), generated at compile
// time, and its pruning to the comparators that the median wire depends on.
#pragma once

#include "image/padded_image.h"


namespace batcher {

constexpr int wires = window_values;
constexpr int full_size = 140;
constexpr int stages = 15;

struct comparator {
    int lo = 0;
    int hi = 0;
    int stage = 0;
    bool keep_min = true;  // whether wire lo's new value is needed
    bool keep_max = true;  // whether wire hi's new value is needed
};

template <int N>
struct comparator_list {
    comparator items[N] = {};
    int size = 0;
    constexpr const comparator& operator[](int i) const { return items[i]; }
};

// The generation rule: for p = 1, 2, 4, 8, 16 and k = p, p/2, ..., 1 (one
// stage each), comparator (i + j)-(i + j + k) when both ends lie in the same
// block of 2p wires.
constexpr comparator_list<full_size> full_network() {
    comparator_list<full_size> net;
    int stage = 0;
    for (int p = 1; p < wires; p *= 2) {
        for (int k = p; k >= 1; k /= 2) {
            ++stage;
            for (int j = k % p; j < wires - k; j += 2 * k)
                for (int i = 0; i < k && i < wires - j - k; ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) net.items[net.size++] = {i + j, i + j + k, stage};
        }
    }
    return net;
}

// Walks the network backwards from `target` and keeps only the comparators
// (and of those only the outputs) that the target wire depends on.
constexpr comparator_list<full_size> pruned_network(int target = median_index) {
    const comparator_list<full_size> full = full_network();
    bool needed[wires] = {};
    needed[target] = true;
    comparator kept[full_size] = {};
    int count = 0;
    for (int i = full.size - 1; i >= 0; --i) {
        comparator c = full[i];
        c.keep_min = needed[c.lo];
        c.keep_max = needed[c.hi];
        if (!c.keep_min && !c.keep_max) continue;
        needed[c.lo] = needed[c.hi] = true;
        kept[count++] = c;
    }
    comparator_list<full_size> net;
    for (int i = count - 1; i >= 0; --i) net.items[net.size++] = kept[i];
    return net;
}

inline constexpr comparator_list<full_size> median_network = pruned_network();
inline constexpr int median_network_size = median_network.size;

}  // namespace batcher
