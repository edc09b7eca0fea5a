#!/usr/bin/env bash
# Builds both flavours (the GPU flavour wherever nvcc is found), the
# sanitizer build and the fuzz targets, then runs every test (the fuzz
# preset: a bounded run of each target, about a minute), and the Python
# package's tests after `pip install .` in a venv. GPU tests skip,
# saying why, on a machine without a GPU.
#   tools/test.sh [PRESET ...]    (default: default sanitize check fuzz python; python is the package's step)
# Each step's output goes to build-logs/STEP.log (MEDIAN_TEST_LOGS names
# another folder); a step that fails does not stop the others. The run ends
# with one summary of every step: tests run, passed, skipped (with why) and
# failed; the exit status is 1 when any step failed.
set -uo pipefail
cd "$(dirname "$0")/.."

log_dir="$(mkdir -p "${MEDIAN_TEST_LOGS:-build-logs}" && cd "${MEDIAN_TEST_LOGS:-build-logs}" && pwd)"
summary=()
failed_steps=0

# run_step NAME COMMAND...: runs COMMAND with its output in $log_dir/NAME.log
# and records the outcome. COMMAND may write lines for the summary into the
# file $STEP_SUMMARY. Returns COMMAND's status.
run_step() {
  local name=$1 start=$SECONDS status=0
  shift
  export STEP_SUMMARY="$log_dir/$name.summary"
  rm -f "$STEP_SUMMARY"
  echo "== $name (log: $log_dir/$name.log)" >&2
  "$@" >"$log_dir/$name.log" 2>&1 || status=$?
  local outcome="ok    "
  if [ "$status" -ne 0 ]; then
    outcome="FAILED"
    failed_steps=$((failed_steps + 1))
    tail -n 15 "$log_dir/$name.log" | sed 's/^/   | /' >&2
  fi
  summary+=("$outcome $name ($((SECONDS - start)) s)")
  if [ -s "$STEP_SUMMARY" ]; then
    while IFS= read -r line; do summary+=("         $line"); done <"$STEP_SUMMARY"
  fi
  return "$status"
}

build_preset() {
  cmake --preset "$1" && cmake --build --preset "$1"
}

# ctest with a JUnit report, summarised for the end.
run_tests() {
  local junit="$log_dir/tests-$1.xml" status=0
  rm -f "$junit"
  ctest --preset "$1" -j"$(nproc)" --output-junit "$junit" || status=$?
  if [ -f "$junit" ]; then
    /usr/bin/python3 tools/ctest_summary.py "$junit" >"$STEP_SUMMARY" || status=1
  fi
  return "$status"
}

# One preset: its build, then its tests (not run when the build failed).
run_preset() {
  if run_step "build-$1" build_preset "$1"; then
    run_step "tests-$1" run_tests "$1"
  else
    summary+=("skip   tests-$1: its build failed")
  fi
}

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default sanitize check fuzz python)

run_step deps tools/install_deps.sh
for preset in "${presets[@]}"; do
  if [ "$preset" = python ]; then
    # The Python package: pip install . in a fresh venv, then its pytest suite.
    run_step python tools/test_python.sh
  else
    run_preset "$preset"
  fi
done

echo
echo "==== tools/test.sh summary (logs in $log_dir)"
printf "%s\n" "${summary[@]}"
if [ "$failed_steps" -ne 0 ]; then
  echo "==== $failed_steps step(s) FAILED"
  exit 1
fi
echo "==== all steps passed"
