#include "median_filter_reference.h"

#include "include/median_filter/value_order.h"
#include "row_threads.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace reference {
namespace {

using key = std::uint32_t;

// Values are ranked by unsigned keys: integers as themselves, floats as
// value_order.h says, so one nth_element serves every type.
template <class T>
key rank_key(T value) {
    if constexpr (std::is_same_v<T, float>) {
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return median_filter::float_key(bits);
    } else {
        return value;
    }
}

template <class T>
T value_of(key k) {
    if constexpr (std::is_same_v<T, float>) {
        const std::uint32_t bits = median_filter::float_bits(k);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    } else {
        return static_cast<T>(k);
    }
}

// For i = 0 .. n + 2 reach - 1, the index that coordinate i - reach of an
// axis of n reads, or -1 for the constant: computed once per axis, not
// once per window value.
std::vector<int> axis_map(int n, int reach, median_filter::border mode) {
    std::vector<int> map(static_cast<std::size_t>(n) + 2 * reach);
    for (int i = 0; i < static_cast<int>(map.size()); ++i) map[i] = median_filter::border_index(i - reach, n, mode);
    return map;
}

}  // namespace

template <class T>
typed_image<T> median(const typed_image<T>& in, int window, median_filter::border mode, T constant_value) {
    const int reach = window / 2, channels = in.channels;
    const auto row_length = static_cast<std::size_t>(in.width) * channels;
    std::vector<key> keys(in.pixels.size());
    std::transform(in.pixels.begin(), in.pixels.end(), keys.begin(), rank_key<T>);
    const key constant_key = rank_key(constant_value);
    const std::vector<int> columns = axis_map(in.width, reach, mode);
    const std::vector<int> rows = axis_map(in.height, reach, mode);
    const auto middle = static_cast<std::size_t>(window) * window / 2;

    typed_image<T> out{in.width, in.height, channels, std::vector<T>(in.pixels.size())};
    for_each_row(in.height, [&](int y) {
        std::vector<key> values(static_cast<std::size_t>(window) * window);
        for (int x = 0; x < in.width; ++x)
            for (int c = 0; c < channels; ++c) {
                key* v = values.data();
                for (int i = 0; i < window; ++i) {
                    const int row = rows[y + i];
                    const key* source = row < 0 ? nullptr : keys.data() + row * row_length + c;
                    for (int j = 0; j < window; ++j) {
                        const int column = columns[x + j];
                        *v++ = source && column >= 0 ? source[static_cast<std::size_t>(column) * channels]
                                                     : constant_key;
                    }
                }
                std::nth_element(values.begin(), values.begin() + middle, values.end());
                out.pixels[y * row_length + static_cast<std::size_t>(x) * channels + c] = value_of<T>(values[middle]);
            }
    });
    return out;
}

template typed_image<unsigned char> median(const typed_image<unsigned char>&, int, median_filter::border,
                                           unsigned char);
template typed_image<unsigned short> median(const typed_image<unsigned short>&, int, median_filter::border,
                                            unsigned short);
template typed_image<float> median(const typed_image<float>&, int, median_filter::border, float);

image median_5x5(const image& in, median_filter::border mode, unsigned char constant_value) {
    return median(in, 5, mode, constant_value);
}

}  // namespace reference
