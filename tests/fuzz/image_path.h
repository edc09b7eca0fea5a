// The whole path a file takes through the programs, for the fuzzer and the
// replay test: header check, decode, conversion to RGB, bordering, the
// reference filter and one kernel, and encoding.
#pragma once

#include <cstddef>

// What became of one input.
enum class path_outcome { refused, filtered };

// Runs `data` through the path; any fault aborts (under the sanitizers) or
// traps: a kernel that disagrees with its reference, an image whose decoded
// size differs from its header, an encoder that fails on a valid image.
path_outcome run_image_path(const unsigned char* data, std::size_t size);
