// Small image files of every format and pixel layout the loader meets, made
// with DevIL, plus cut-short and crafted ones: the fuzzers' seed corpus and
// inputs the replay test runs on every build.
#pragma once

#include <string>
#include <vector>

struct seed_image {
    std::string name;
    std::vector<unsigned char> bytes;
};

std::vector<seed_image> seed_images();

// A valid JPEG whose frame header is rewritten to claim width x height.
std::vector<unsigned char> jpeg_claiming(int width, int height);
