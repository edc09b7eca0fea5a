#!/usr/bin/env bash
# Installs the Debian packages the project builds and runs with, and NVIDIA's
# disassemblers and NPP from their PyPI wheels, when any is missing. Quick
# when everything is there already.
#   tools/install_deps.sh               everything: tests, fuzzing, scripts, profiles
#   tools/install_deps.sh --build-only  what building the programs needs (tools/run_bench.sh)
set -euo pipefail

# What the default preset configures and builds with.
build_packages=(cmake ninja-build g++ libboost-context-dev libdevil-dev libtiff-dev libjpeg-dev libgtest-dev)
# clang and its runtime (libFuzzer, sanitizers) build the fuzz preset; the
# Python modules run the scripts and their tests; the python3-* packages
# after python3-pip build and test the Python package.
packages=("${build_packages[@]}"
          clang libclang-rt-14-dev
          python3-matplotlib python3-numpy python3-scipy python3-opencv python3-pip
          python3-dev python3-venv python3-pytest python3-dask python3-distributed)
build_only=0
if [ "${1:-}" = --build-only ]; then
  build_only=1
  packages=("${build_packages[@]}")
fi

# The wheels hold nvidia/cu13/{bin,include,lib}: cuobjdump and nvdisasm for
# tools/sass_profile.py, NPP's headers and libraries for the suite's NPP row.
# CMake (MEDIAN_NPP_ROOT) and tools/cuda_tools.py look in this folder.
wheel_dir="${MEDIAN_NVIDIA_WHEELS:-/opt/nvidia-wheels}"
wheels=(nvidia-cuda-cuobjdump==13.5.37 nvidia-cuda-nvdisasm==13.5.37 nvidia-npp==13.2.0.93)
wheel_files=(bin/cuobjdump bin/nvdisasm lib/libnppif.so.13)

install_wheels() {
  local missing=() i
  [ "$build_only" -eq 1 ] && return 0
  for i in "${!wheels[@]}"; do
    [ -e "$wheel_dir/nvidia/cu13/${wheel_files[$i]}" ] || missing+=("${wheels[$i]}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ ! -w "$(dirname "$wheel_dir")" ] && [ ! -w "$wheel_dir" ]; then
    echo "missing NVIDIA wheels in $wheel_dir: ${missing[*]} (run as root)" >&2
    return 1
  fi
  echo "installing ${wheels[*]} into $wheel_dir (missing: ${missing[*]})" >&2
  # --target keeps them out of Debian's Python (PEP 668) and of any other.
  # All together: --upgrade replaces the nvidia/ folder they share.
  /usr/bin/python3 -m pip install --quiet --no-deps --upgrade --target "$wheel_dir" "${wheels[@]}"
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  install_wheels
  exit
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing ${missing[*]}" >&2
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
install_wheels
