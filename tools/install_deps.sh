#!/usr/bin/env bash
# Installs the Debian packages the project builds and runs with, when any is
# missing. Quick when everything is there already.
set -euo pipefail

# clang and its runtime (libFuzzer, sanitizers) build the fuzz preset.
packages=(cmake ninja-build g++ libboost-context-dev libdevil-dev libgtest-dev
          clang libclang-rt-14-dev
          python3-matplotlib python3-numpy python3-scipy python3-opencv)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing ${missing[*]}" >&2
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
