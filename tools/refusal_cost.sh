#!/usr/bin/env bash
# Time and peak memory of refusing oversized photographs: real JPEGs of
# 40000x40000 (grey) and 27000x27000 (colour), made with OpenCV, and the
# few hundred bytes whose header claims 40000x40000, each given to median_bench
# and median_suite run:
#   tools/refusal_cost.sh [BUILD_DIR, default build]   (needs GNU time)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
bench=$build/median_bench_emu
suite=$build/median_suite_emu
[ -x "$build/median_bench" ] && bench=$build/median_bench && suite=$build/median_suite
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$work" <<'PY'
import sys, cv2, numpy as np
out = sys.argv[1]
grey = np.zeros((40000, 40000), np.uint8)
grey[::7, :] = 200
cv2.imwrite(f"{out}/grey-40000.jpg", grey)
del grey
colour = np.zeros((27000, 27000, 3), np.uint8)
colour[:, ::5, 1] = 120
cv2.imwrite(f"{out}/colour-27000.jpg", colour)
del colour
ok, small = cv2.imencode(".jpg", np.full((16, 16), 90, np.uint8))
crafted = bytearray(small.tobytes())
sof = crafted.index(b"\xff\xc0")
crafted[sof + 5:sof + 9] = (40000).to_bytes(2, "big") * 2
open(f"{out}/crafted-40000.jpg", "wb").write(crafted)
PY

cd "$work"
printf '%-20s %10s  %-14s %8s %12s  %s\n' file bytes program seconds "peak KiB" message
for image in crafted-40000.jpg grey-40000.jpg colour-27000.jpg; do
  size=$(stat -c %s "$image")
  for program in median_bench suite_run; do
    cp "$image" input.jpg
    if [ $program = median_bench ]; then command=("$bench"); else command=("$suite" run median_kernel_ff input.jpg out.png); fi
    /usr/bin/time -f '%e %M' -o time.txt "${command[@]}" >out.txt 2>err.txt && code=0 || code=$?
    read -r seconds peak < <(tail -1 time.txt)
    printf '%-20s %10s  %-14s %8s %12s  exit %s: %s\n' "$image" "$size" $program "$seconds" "$peak" $code \
      "$(tr '\n' ' ' <err.txt) $(tr '\n' ' ' <out.txt)"
  done
done
