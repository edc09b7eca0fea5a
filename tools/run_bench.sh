#!/usr/bin/env bash
# Builds the benchmark and runs it on a sample photograph: on the GPU flavour
# when a GPU is present, else on the CPU emulation. The result is
# build/output.bmp; the run's scratch folder is removed.
# Usage: tools/run_bench.sh [photo.jpg]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
photo="$(realpath "${1:-$root/samples/dandelions-1920x1080.jpg}")"

# Only what building needs: the test, fuzz and script dependencies are tools/install_deps.sh's.
"$root/tools/install_deps.sh" --build-only
export PATH="$PATH:/usr/local/cuda/bin"
targets=(median_bench_emu)
command -v nvcc >/dev/null && targets+=(median_bench)
echo "configuring and building ${targets[*]} in build/ (a few minutes the first time)" >&2
cmake --preset default -S "$root" >/dev/null
cmake --build --preset default --target "${targets[@]}"

bench="$root/build/median_bench_emu"
if [ -x "$root/build/median_bench" ] && nvidia-smi -L >/dev/null 2>&1; then
  bench="$root/build/median_bench"
  echo "running on the GPU: $(nvidia-smi -L | head -n 1)" >&2
else
  echo "no NVIDIA GPU here: running the CPU emulation (200 launches take a while)" >&2
fi

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
cp "$photo" "$scratch/input.jpg"
(cd "$scratch" && "$bench")
mv "$scratch/output.bmp" "$root/build/output.bmp"
echo "output: $root/build/output.bmp" >&2
