// The CPU definition of what the library's median_filter::filter computes:
// any odd window, 8-bit, 16-bit and float images of any channel count, every
// border mode. Written from the window definition alone; the library's tests
// compare its every byte with this.
#pragma once

#include "include/median_filter/border.h"

#include <vector>

namespace reference {

// A width x height image of `channels` interleaved channels of T, rows
// packed.
template <class T>
struct typed_image {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<T> pixels;
};

using image = typed_image<unsigned char>;

// Per channel, the middle value (index window * window / 2 in ascending
// order) of the window x window values centred on each pixel, reading
// pixels outside the image as median_filter::border_index says
// (constant_value in constant mode). `window` is odd and at least 1; any
// size down to 1x1. Floats are ranked by median_filter::float_key and come
// back as the float of their key: every NaN as the one canonical quiet NaN,
// -0 and +0 as they went in. Defined for unsigned char, unsigned short and
// float.
template <class T>
typed_image<T> median(const typed_image<T>& in, int window, median_filter::border mode, T constant_value = T{});

extern template typed_image<unsigned char> median(const typed_image<unsigned char>&, int, median_filter::border,
                                                  unsigned char);
extern template typed_image<unsigned short> median(const typed_image<unsigned short>&, int, median_filter::border,
                                                   unsigned short);
extern template typed_image<float> median(const typed_image<float>&, int, median_filter::border, float);

// median with a 5x5 window.
image median_5x5(const image& in, median_filter::border mode, unsigned char constant_value = 0);

}  // namespace reference
