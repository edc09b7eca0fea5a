#!/usr/bin/env bash
# Runs the fuzz targets for longer than the tests do, keeping their corpus in
# build-fuzz/fuzz-corpus/ between runs:
#   tools/fuzz.sh [SECONDS per target, default 600] [header|image ...]
# A crash leaves its input as build-fuzz/fuzz-TARGET-crash-*; once fixed, it
# belongs in tests/fuzz/regressions/, which every test build replays. DevIL
# leaks on some error paths (tests/fuzz/lsan.supp), so a long run grows.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(header image)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
corpus=build-fuzz/fuzz-corpus
mkdir -p "$corpus/seeds"
build-fuzz/fuzz_seeds "$corpus/seeds"
export LSAN_OPTIONS="suppressions=$PWD/tests/fuzz/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in "${targets[@]}"; do
  mkdir -p "$corpus/$target"
  echo "fuzz_$target: $seconds s, log in build-fuzz/fuzz-$target.log" >&2
  build-fuzz/fuzz_"$target" -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=20 -print_final_stats=1 \
    -dict=tests/fuzz/images.dict -artifact_prefix="build-fuzz/fuzz-$target-" "$corpus/$target" "$corpus/seeds" \
    >"build-fuzz/fuzz-$target.log" 2>&1 || { tail -40 "build-fuzz/fuzz-$target.log" >&2; exit 1; }
  grep -E '^#[0-9]+ +DONE|^stat::' "build-fuzz/fuzz-$target.log" >&2
done
