#!/usr/bin/env bash
# Builds both flavours (the GPU flavour wherever nvcc is found), the
# sanitizer build and the fuzz targets, then runs every test (the fuzz
# preset: a bounded run of each target, about a minute). GPU tests skip,
# saying why, on a machine without a GPU.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install_deps.sh
for preset in default sanitize check fuzz; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j"$(nproc)"
done
