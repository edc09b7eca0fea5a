#!/usr/bin/env bash
# The Python package as a user installs it: `pip install .` in a fresh
# `python3 -m venv --system-site-packages` (Debian's NumPy, SciPy, Dask and
# pytest from tools/install_deps.sh), then the pytest suite in tests/python.
# Backend: cuda where a GPU answers, else the CPU emulation, since an
# extension built by nvcc cannot run its kernels without a GPU;
# MEDIAN_PYTHON_BACKEND=cuda|emu|auto chooses. scikit-build-core and nanobind
# come from PyPI into the venv, and the build folder build-python/BACKEND is
# kept, so that a second run only rebuilds what changed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

backend="${MEDIAN_PYTHON_BACKEND:-}"
if [ -z "$backend" ]; then
  backend=emu
  if command -v nvidia-smi >/dev/null && nvidia-smi -L 2>/dev/null | grep -q '^GPU'; then backend=cuda; fi
fi
venv="$root/build-python/venv"
rm -rf "$venv"
/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --quiet --disable-pip-version-check "scikit-build-core>=0.10" "nanobind>=2.0"
start=$SECONDS
"$venv/bin/pip" install --quiet --disable-pip-version-check --no-build-isolation \
  --config-settings=cmake.define.MEDIAN_PYTHON_BACKEND="$backend" \
  --config-settings=build-dir="$root/build-python/$backend" .
echo "test_python: pip install . (backend $backend) took $((SECONDS - start)) s"
# From the tests' folder, so that `import median_filter` finds the installed
# package, not the sources in python/.
cd tests/python
"$venv/bin/python" -m pytest -q -p no:cacheprovider -rs .
