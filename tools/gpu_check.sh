#!/usr/bin/env bash
# Everything worth checking on a machine with an NVIDIA GPU, in one command:
# builds for the GPU found, runs the tests, compute-sanitizer (memcheck,
# racecheck, synccheck, initcheck) over every kernel, the machine-code
# profile, the bench on both sample sizes (with NPP's median where NPP is
# installed), each kernel's measured throughput against its modelled
# ceiling, the Python package's tests and its cost against C++, the peers
# and the chart. Every step logs to OUTDIR/<step>.log;
# a summary comes last. Takes a few minutes on a data-centre GPU.
#   tools/gpu_check.sh OUTDIR
# Missing tools (nvidia-smi, compute-sanitizer, CuPy) are reported and
# skipped; without a GPU it stops before the first step that needs one.
# Exit code: 0 all ran and passed, 1 something failed, 2 stopped early.
set -uo pipefail

if [ $# -ne 1 ]; then
  echo "usage: tools/gpu_check.sh OUTDIR" >&2
  exit 2
fi
root="$(cd "$(dirname "$0")/.." && pwd)"
mkdir -p "$1" || exit 2
out="$(cd "$1" && pwd)"
build="$root/build-gpu-check"
export PATH="$PATH:/usr/local/cuda/bin"
jobs="$(nproc)"
sanitizer_tools=(memcheck racecheck synccheck initcheck)
sanitizer_image="$root/samples/rocket-640x427.jpg"
bench_images=("$root/samples/dandelions-1920x1080.jpg" "$root/samples/dandelions-3840x2160.jpg")

summary=()  # "step|result" lines for the table at the end
note() { echo "gpu_check: $*"; }
record() { summary+=("$1|$2"); }

# step NAME SECONDS COMMAND...: runs COMMAND with its output in OUTDIR/NAME.log.
step() {
  local name="$1" limit="$2"
  shift 2
  note "$name ... (log: $out/$name.log)"
  local start=$SECONDS
  timeout "$limit" "$@" >"$out/$name.log" 2>&1
  local rc=$?
  [ $rc -eq 124 ] && echo "timed out after ${limit}s" >>"$out/$name.log"
  note "$name: exit $rc after $((SECONDS - start))s"
  return $rc
}

print_summary() {
  echo
  echo "==== gpu_check summary ($out) ===="
  local line
  for line in "${summary[@]}"; do printf '%-22s %s\n' "${line%%|*}" "${line#*|}"; done
}

finish() {
  print_summary
  exit "$1"
}

# A python3 that imports all of the modules named.
python_with() {
  local py
  for py in /usr/bin/python3 python3; do
    command -v "$py" >/dev/null && "$py" -c "import $1" 2>/dev/null && { echo "$py"; return 0; }
  done
  return 1
}

# ---- the machine --------------------------------------------------------------
gpu=""
if command -v nvidia-smi >/dev/null; then
  nvidia-smi >"$out/nvidia-smi.log" 2>&1
  gpu="$(nvidia-smi -L 2>/dev/null | head -n 1)"
  record "nvidia-smi" "${gpu:-no GPU listed}"
else
  note "no nvidia-smi: looking for /dev/nvidia* instead"
  ls /dev/nvidia[0-9]* >/dev/null 2>&1 && gpu="a GPU device node (no nvidia-smi to name it)"
  record "nvidia-smi" "not installed; ${gpu:-no /dev/nvidia* either}"
fi

if ! command -v nvcc >/dev/null; then
  note "no nvcc on PATH or in /usr/local/cuda/bin: the GPU flavour cannot be built; stopping"
  record "build" "not run: no nvcc"
  finish 2
fi

# ---- build and tests ------------------------------------------------------------
# Bounded: on a machine without network access apt-get would wait for it.
timeout 120 "$root/tools/install_deps.sh" >"$out/install_deps.log" 2>&1 ||
  note "some Debian packages are missing and could not be installed (see install_deps.log)"
if [ -n "$gpu" ]; then
  arch=native
else
  arch=90
  note "no GPU found: building GPU code for sm_90 only, to check the build and run the tests that need no GPU"
fi
if ! step configure 300 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CUDA_ARCHITECTURES="$arch" ||
   ! step build 420 cmake --build "$build" -j "$jobs"; then
  record "build" "FAILED (see configure.log, build.log)"
  finish 1
fi
record "build" "ok, CUDA architectures: $arch"

suite="$build/median_suite"
if [ ! -x "$suite" ]; then
  note "the configure step found no CUDA compiler: no GPU flavour was built"
  record "GPU flavour" "not built (see configure.log)"
  finish 1
fi

step ctest 420 ctest --test-dir "$build" -j "$jobs" --output-on-failure
tests="$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$out/ctest.log" | tail -n 1)"
skipped="$(grep -c '\*\*\*Skipped' "$out/ctest.log")"
record "tests" "${tests:-no ctest summary (see ctest.log)}${skipped:+; $skipped skipped}"
failed=0
[[ "$tests" == *" 0 tests failed"* ]] || failed=1

# ---- machine-code profile (no GPU needed) ----------------------------------------
profile=(/usr/bin/python3 "$root/tools/sass_profile.py" --suite "$suite" --arch all)
if step sass-profile 300 "${profile[@]}" --json "$out/sass-profile.json"; then
  record "SASS profile" "sass-profile.log and .json (model, not a measurement)"
else
  record "SASS profile" "not made (see sass-profile.log)"
fi

if [ -z "$gpu" ]; then
  note "no NVIDIA GPU found: stopping here; compute-sanitizer, the bench, the peers and the chart need one"
  record "GPU steps" "not run: no NVIDIA GPU on this machine"
  finish 2
fi

# ---- compute-sanitizer over every kernel ------------------------------------------------
kernels="$("$suite" list | awk '{print $1}')"
sanitizer="$(command -v compute-sanitizer)"
if [ -z "$sanitizer" ]; then
  note "no compute-sanitizer: skipping the sanitizer runs"
  record "compute-sanitizer" "not installed: skipped"
else
  note "compute-sanitizer ${sanitizer_tools[*]} over $(echo $kernels | wc -w) kernels ... (logs: $out/sanitizer/)"
  mkdir -p "$out/sanitizer"
  scratch="$(mktemp -d)"
  for tool in "${sanitizer_tools[@]}"; do
    for k in $kernels; do echo "$tool $k"; done
  done | xargs -P "$jobs" -L 1 sh -c 'timeout 300 "$0" --tool "$5" --error-exitcode 99 "$1" run "$6" "$2" "$3/$5-$6.png" \
        >"$4/$5-$6.log" 2>&1; echo "exit $?" >>"$4/$5-$6.log"' \
        "$sanitizer" "$suite" "$sanitizer_image" "$scratch" "$out/sanitizer"
  rm -rf "$scratch"
  for tool in "${sanitizer_tools[@]}"; do
    findings=0
    flagged=()
    for k in $kernels; do
      log="$out/sanitizer/$tool-$k.log"
      n="$(grep -oE '(ERROR SUMMARY|RACECHECK SUMMARY): [0-9]+' "$log" | grep -oE '[0-9]+$' | tail -n 1)"
      n="${n:-0}"
      # A run that failed without counting anything still needs a look.
      grep -q '^exit 0$' "$log" || [ "$n" -gt 0 ] || n=1
      findings=$((findings + n))
      [ "$n" -gt 0 ] && flagged+=("$k")
    done
    cat "$out/sanitizer/$tool"-*.log >"$out/sanitizer-$tool.log"
    record "sanitizer $tool" "$findings findings${flagged[*]:+ in ${flagged[*]}}"
    [ "$findings" -eq 0 ] || failed=1
  done
fi

# ---- bench, peers, chart --------------------------------------------------------
jsons=()
for image in "${bench_images[@]}"; do
  size="$(basename "$image" .jpg)"
  size="${size##*-}"
  if step "bench-$size" 300 "$suite" bench --input "$image" --json "$out/bench-$size.json" --csv "$out/bench-$size.csv"; then
    record "bench $size" "all kernels verified"
  else
    record "bench $size" "FAILED (see bench-$size.log)"
    failed=1
  fi
  [ -s "$out/bench-$size.json" ] && jsons+=("$out/bench-$size.json")
done

# How close each kernel comes to its own modelled ceiling on this GPU.
bench_jsons=()
for j in "${jsons[@]}"; do bench_jsons+=(--compare "$j"); done
if [ ${#bench_jsons[@]} -gt 0 ] && step model-ratio 300 "${profile[@]}" "${bench_jsons[@]}"; then
  record "measured / model" "model-ratio.log (ratio of measured to modelled Mpixel/s)"
else
  record "measured / model" "not computed (see model-ratio.log)"
fi
[ -s "$out/sass-profile.json" ] && jsons+=("$out/sass-profile.json")

# ---- the Python package --------------------------------------------------------
# pip install . with the cuda backend in a venv, its tests on this GPU, then
# the binding's cost against the same call from C++ (tools/python_speed.py).
# pip fetches scikit-build-core and nanobind from PyPI; offline, from a
# folder of their wheels: PIP_NO_INDEX=1 PIP_FIND_LINKS=DIR.
package_python=""
if step python-tests 900 env MEDIAN_PYTHON_BACKEND=cuda "$root/tools/test_python.sh"; then
  record "python tests" "$(tail -n 1 "$out/python-tests.log")"
  package_python="$root/build-python/venv/bin/python"
else
  record "python tests" "FAILED (see python-tests.log)"
  failed=1
fi
if [ -n "$package_python" ] &&
    step python-speed 300 "$package_python" "$root/tools/python_speed.py" --json "$out/python-speed.json"; then
  record "python binding" "$(grep 'output=' "$out/python-speed.log" | tr -s ' ')"
elif [ -n "$package_python" ]; then
  record "python binding" "FAILED (see python-speed.log)"
  failed=1
fi

peer_python="$(python_with "cupy, scipy, cv2, numpy" || python_with "scipy, cv2, numpy")"
# The venv sees Debian's modules too, and adds our package's rows.
if [ -n "$package_python" ] && "$package_python" -c "import scipy, cv2, numpy" 2>/dev/null; then
  peer_python="$package_python"
fi
if [ -z "$peer_python" ]; then
  record "peers" "not run: no python3 with scipy, cv2 and numpy"
else
  for image in "${bench_images[@]}"; do
    size="$(basename "$image" .jpg)"
    size="${size##*-}"
    if step "peers-$size" 300 "$peer_python" "$root/tools/peers.py" --suite "$suite" --input "$image" \
        --json "$out/peers-$size.json"; then
      record "peers $size" "$(grep -c ' ok ' "$out/peers-$size.log") peers agree with the reference$(grep -q 'median_filter skipped' "$out/peers-$size.log" && echo '; CuPy skipped (see log)')"
    else
      record "peers $size" "FAILED (see peers-$size.log)"
    fi
    [ -s "$out/peers-$size.json" ] && jsons+=("$out/peers-$size.json")
  done
fi

plot_python="$(python_with "matplotlib")"
if [ -z "$plot_python" ] || [ ${#jsons[@]} -eq 0 ]; then
  record "chart" "not drawn: ${plot_python:+no bench results}${plot_python:-no python3 with matplotlib}"
elif step chart 120 "$plot_python" "$root/tools/plot_bench.py" "${jsons[@]}" -o "$out/bench-chart"; then
  record "chart" "$out/bench-chart.png and .svg"
else
  record "chart" "FAILED (see chart.log)"
fi

# The fastest kernels of each size, from the bench tables.
for image in "${bench_images[@]}"; do
  size="$(basename "$image" .jpg)"
  size="${size##*-}"
  [ -f "$out/bench-$size.log" ] || continue
  fastest="$(awk '$2 == "ok" { printf "%s%s %s Mpx/s", (n++ ? ", " : ""), $1, $5 } n == 3 { exit }' "$out/bench-$size.log")"
  record "fastest $size" "${fastest:-none}"
done
finish "$failed"
