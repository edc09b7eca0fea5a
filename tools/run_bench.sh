#!/usr/bin/env bash
# Builds the benchmark and runs it on a sample photograph in a scratch
# directory: on the GPU flavour when a GPU is present, else on the CPU
# emulation. Usage: tools/run_bench.sh [photo.jpg]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
photo="$(realpath "${1:-$root/samples/dandelions-1920x1080.jpg}")"

"$root/tools/install_deps.sh"
export PATH="$PATH:/usr/local/cuda/bin"
cmake --preset default -S "$root" >/dev/null
cmake --build --preset default --target median_bench_emu $(command -v nvcc >/dev/null && echo median_bench) >/dev/null

bench="$root/build/median_bench_emu"
if [ -x "$root/build/median_bench" ] && nvidia-smi -L >/dev/null 2>&1; then
  bench="$root/build/median_bench"
  echo "running on the GPU: $(nvidia-smi -L | head -n 1)" >&2
else
  echo "no NVIDIA GPU here: running the CPU emulation (200 launches take a while)" >&2
fi

scratch="$(mktemp -d)"
cp "$photo" "$scratch/input.jpg"
(cd "$scratch" && "$bench")
echo "output: $scratch/output.bmp" >&2
