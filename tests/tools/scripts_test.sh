#!/usr/bin/env bash
# tools/test.sh and tools/run_bench.sh with cmake, ctest and the benchmark
# replaced by stubs: what each script runs, reports and leaves behind.
#   scripts_test.sh SOURCE_DIR
set -uo pipefail
source_dir="$(cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

expect() {  # expect DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}

mkdir -p "$work/bin"
# cmake: the build of preset "broken" fails; everything else succeeds.
cat >"$work/bin/cmake" <<'EOF'
#!/usr/bin/env bash
echo "cmake $*" >>"$STUB_LOG"
case "$*" in
  *--build*broken*) echo "broken: compile error" >&2; exit 1 ;;
  *--build*) echo "[1/2] Building CXX object x.o"; echo "[2/2] Linking CXX executable x" ;;
esac
EOF
# ctest: one test passes, one skips with a reason, one fails in preset "failing".
cat >"$work/bin/ctest" <<'EOF'
#!/usr/bin/env bash
echo "ctest $*" >>"$STUB_LOG"
preset=$2
while [ $# -gt 0 ]; do [ "$1" = --output-junit ] && junit=$2; shift; done
status="run"; [ "$preset" = failing ] && status="fail"
cat >"$junit" <<XML
<testsuite><testcase name="$preset.a" status="run"/>
<testcase name="$preset.b" status="notrun"><skipped message="x"/><system-out>x.cpp:1: Skipped
no CUDA device to run on</system-out></testcase>
<testcase name="$preset.c" status="$status"/></testsuite>
XML
[ "$status" = run ]
EOF
chmod +x "$work/bin/cmake" "$work/bin/ctest"
export PATH="$work/bin:$PATH" STUB_LOG="$work/stub.log"

# tools/test.sh: every preset runs although an earlier one fails; one summary at the end; exit status 1.
MEDIAN_TEST_LOGS="$work/logs" "$source_dir/tools/test.sh" broken failing good >"$work/out" 2>"$work/err"
status=$?
expect "test.sh exits 1 when a step failed" [ "$status" -eq 1 ]
expect "test.sh builds every preset after a failed one" \
  grep -q -- "--build --preset good" "$work/stub.log"
expect "test.sh prints one summary" [ "$(grep -c '^==== tools/test.sh summary' "$work/out")" -eq 1 ]
expect "the summary names the failed build" grep -q '^FAILED build-broken' "$work/out"
expect "the summary counts the tests of each preset" grep -q '3 tests: 2 passed, 1 skipped, 0 failed' "$work/out"
expect "the summary says why tests skipped" grep -q 'skipped 1: no CUDA device to run on (good.b)' "$work/out"
expect "the summary names failed tests" grep -q 'FAILED failing.c' "$work/out"
expect "the summary says which tests did not run" grep -q 'tests-broken: its build failed' "$work/out"
MEDIAN_TEST_LOGS="$work/logs" "$source_dir/tools/test.sh" good >"$work/out" 2>"$work/err"
expect "test.sh exits 0 when every step passed" [ $? -eq 0 ]

# tools/run_bench.sh in a copy of the tree whose dependencies, build and benchmark are stubs.
root="$work/root"
mkdir -p "$root/tools" "$root/build" "$work/tmp"
cp "$source_dir/tools/run_bench.sh" "$root/tools/"
printf '#!/usr/bin/env bash\necho "install_deps $*" >>"$STUB_LOG"\n' >"$root/tools/install_deps.sh"
printf '#!/usr/bin/env bash\necho bench >output.bmp\necho "Input resolution: 2x2"\n' >"$root/build/median_bench_emu"
chmod +x "$root/tools/install_deps.sh" "$root/build/median_bench_emu"
echo photo >"$work/photo.jpg"
TMPDIR="$work/tmp" "$root/tools/run_bench.sh" "$work/photo.jpg" >"$work/out" 2>"$work/err"
expect "run_bench.sh succeeds" [ $? -eq 0 ]
expect "run_bench.sh installs only what the build needs" grep -q '^install_deps --build-only$' "$work/stub.log"
expect "run_bench.sh shows the build's progress" grep -q '\[2/2\] Linking' "$work/out"
expect "run_bench.sh keeps the output" grep -q bench "$root/build/output.bmp"
expect "run_bench.sh removes its scratch folder" [ -z "$(ls -A "$work/tmp")" ]

[ "$failures" -eq 0 ]
