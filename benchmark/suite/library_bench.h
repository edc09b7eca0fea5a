// `median_suite bench --window K --type T --channels C`: the library's
// choice for that window, value type and channel count, checked against the
// exact reference and timed beside NVIDIA's NPP median for the same mask,
// type and channels (where the build found NPP).
#pragma once

#include "suite_bench.h"

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// What a typed row launches between its two events: the window x window
// median of the width x height image at `src`, whose rows (pitches in
// bytes) are surrounded by at least the window's radius of zero pixels, into
// `dst`.
template <class T>
using typed_launch = std::function<cudaError_t(const T* src, std::size_t src_pitch, T* dst, std::size_t dst_pitch,
                                               int width, int height)>;

// Other libraries' medians for this window and channel count, by name
// (NPP's nppiFilterMedian where the build found NPP); in library_peers.cpp.
template <class T>
std::vector<std::pair<std::string, typed_launch<T>>> typed_peers(int window, int channels);

// Runs the library's choice (and the peers) on the photograph, converted to
// the type and channel count, or on random images of the given sizes.
// Returns the exit code as run_bench does.
int run_library_bench(const bench_options& options);
