#!/usr/bin/env bash
# Builds both flavours (the GPU flavour wherever nvcc is found) and the
# sanitizer build, then runs every test. GPU tests skip, saying why, on a
# machine without a GPU.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install_deps.sh
for preset in default sanitize; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j"$(nproc)"
done
