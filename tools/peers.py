#!/usr/bin/env -S /usr/bin/python3
"""Times the 5x5 median filters a user would otherwise pick, on the same
photograph as `median_suite bench`, and checks each against our exact
reference (`median_suite reference`):

  CuPy   cupyx.scipy.ndimage.median_filter(size=(5, 5, 1), mode='constant', cval=0)  on the GPU
  SciPy  scipy.ndimage.median_filter(same arguments)                                 on the CPU
  OpenCV cv2.medianBlur(img, 5)                                                      on the CPU
  ours   median_filter.median_filter(img, 5), the Python package (pip install .):
         on a NumPy array (copies to the device and back included), and on a
         CuPy array already on the GPU where CuPy runs; on the emulation
         backend the NumPy row is a CPU-emulation time

Constant zero borders are the black frame our kernels see, so CuPy and SciPy
must agree on every pixel. OpenCV replicates the edge pixels instead: only its
interior (two pixels in from every edge) is compared. Peers that are not
installed are skipped with a message. Rows in the JSON format of the suite.

  tools/peers.py --suite build/median_suite_emu [--input FILE] [--repeat N] [--json FILE]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

REPO = Path(__file__).resolve().parent.parent
DEFAULT_INPUT = REPO / "samples" / "dandelions-1920x1080.jpg"
GPU_REPEATS = 50
CPU_REPEATS = 3  # SciPy takes seconds per call on a large photograph
APRON = 2


def cpu_name():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return "CPU: " + line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "CPU"


def reference_median(suite, image):
    """Our exact median of `image` (BGR), through a lossless copy so that both sides see the same pixels."""
    with tempfile.TemporaryDirectory() as scratch:
        source, result = os.path.join(scratch, "input.png"), os.path.join(scratch, "reference.png")
        cv2.imwrite(source, image)
        subprocess.run([suite, "reference", source, result], check=True)
        return cv2.imread(result, cv2.IMREAD_COLOR)


def wrong_pixels(got, expected, interior_only):
    if interior_only:
        got, expected = got[APRON:-APRON, APRON:-APRON], expected[APRON:-APRON, APRON:-APRON]
    return int(np.any(got != expected, axis=2).sum())


def row(name, device, image_name, image, launch_ms, result, expected, interior_only, detail, emulated=False):
    height, width = image.shape[:2]
    best = min(launch_ms)
    wrong = wrong_pixels(result, expected, interior_only)
    pixels = width * height
    return {
        "kernel": name, "device": device, "emulated": emulated, "image": image_name,
        "width": width, "height": height, "repeats": len(launch_ms), "covered_pixels": pixels,
        "status": "ok" if wrong == 0 else "FAILED", "wrong_pixels": wrong, "detail": detail,
        "best_ms": best, "median_ms": statistics.median(launch_ms),
        "mpixel_per_s": pixels / best / 1000.0,
        # The image in and the result out, once each (peers read no bordered copy).
        "gb_per_s": 2 * image.nbytes / (best / 1000.0) / 1e9,
        "source": "peers",
    }


def time_cpu(call, repeats):
    launch_ms, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        launch_ms.append((time.perf_counter() - start) * 1000.0)
    return launch_ms, result


def time_cupy(cupy, call, repeats):
    """Milliseconds of each call between CUDA events on CuPy's current stream, and the last result."""
    call()  # compiles or loads the kernels
    start, stop = cupy.cuda.Event(), cupy.cuda.Event()
    launch_ms, out = [], None
    for _ in range(repeats):
        start.record()
        out = call()
        stop.record()
        stop.synchronize()
        launch_ms.append(cupy.cuda.get_elapsed_time(start, stop))
    return launch_ms, out


def cupy_peer(image, repeats):
    """(device name, launch ms, result), or a reason to skip."""
    try:
        import cupy
        import cupyx.scipy.ndimage
    except ImportError as e:
        return f"CuPy is not importable ({e}): cupyx.scipy.ndimage.median_filter skipped"
    try:
        name = cupy.cuda.runtime.getDeviceProperties(0)["name"]
        device_image = cupy.asarray(image)
        def call():
            return cupyx.scipy.ndimage.median_filter(device_image, size=(5, 5, 1), mode="constant", cval=0)
        launch_ms, out = time_cupy(cupy, call, repeats)
        return name.decode() if isinstance(name, bytes) else name, launch_ms, cupy.asnumpy(out)
    except Exception as e:  # no device, no driver, out of memory
        return f"CuPy cannot run here ({e}): cupyx.scipy.ndimage.median_filter skipped"


def package_rows(image, image_name, expected, gpu_repeats, cpu_repeats):
    """Rows of our Python package, or none (saying why) where it is not installed."""
    try:
        import median_filter
    except ImportError as e:
        print(f"median_filter is not importable ({e}; pip install . first): its rows skipped", file=sys.stderr)
        return []
    emulated = median_filter.backend != "cuda"
    device = "CPU emulation" if emulated else median_filter._core.device_name()
    call = lambda: median_filter.median_filter(image, 5)
    launch_ms, result = time_cpu(call, cpu_repeats if emulated else gpu_repeats)
    rows = [row("median_filter.median_filter (NumPy)", device, image_name, image, launch_ms, result, expected, False,
                f"{median_filter.backend} backend; host wall clock, copies to the device and back included",
                emulated)]
    try:
        import cupy
        device_image = cupy.asarray(image)
        launch_ms, out = time_cupy(cupy, lambda: median_filter.median_filter(device_image, 5), gpu_repeats)
        rows.append(row("median_filter.median_filter (CuPy)", device, image_name, image, launch_ms,
                        cupy.asnumpy(out), expected, False, "timed between CUDA events, the image already on the GPU"))
    except Exception as e:  # no CuPy, no GPU, the emulation backend
        print(f"median_filter.median_filter on a CuPy array skipped: {e}", file=sys.stderr)
    return rows


def run_peers(image, image_name, expected, gpu_repeats, cpu_repeats):
    rows = package_rows(image, image_name, expected, gpu_repeats, cpu_repeats)
    cupy_result = cupy_peer(image, gpu_repeats)
    if isinstance(cupy_result, str):
        print(cupy_result, file=sys.stderr)
    else:
        device, launch_ms, result = cupy_result
        rows.append(row("cupyx.scipy.ndimage.median_filter", device, image_name, image, launch_ms, result, expected,
                        False, "timed between CUDA events, the image already on the GPU"))

    cpu = cpu_name()
    try:
        import scipy.ndimage
        launch_ms, result = time_cpu(
            lambda: scipy.ndimage.median_filter(image, size=(5, 5, 1), mode="constant", cval=0), cpu_repeats)
        rows.append(row("scipy.ndimage.median_filter", cpu, image_name, image, launch_ms, result, expected, False,
                        "one CPU thread"))
    except ImportError as e:
        print(f"SciPy is not importable ({e}): scipy.ndimage.median_filter skipped", file=sys.stderr)

    launch_ms, result = time_cpu(lambda: cv2.medianBlur(image, 5), cpu_repeats)
    rows.append(row("cv2.medianBlur", cpu, image_name, image, launch_ms, result, expected, True,
                    f"interior only: OpenCV replicates border pixels; {cv2.getNumThreads()} CPU threads"))
    return rows


def print_rows(rows):
    if not rows:
        return
    width = max(len(r["kernel"]) for r in rows)
    print(f"Peers on {rows[0]['image']}, {rows[0]['width']}x{rows[0]['height']}, checked against median_suite reference")
    print(f"{'peer':<{width}}  {'status':<7}  {'repeats':>7}  {'best ms':>10}  {'median ms':>10}  {'Mpixel/s':>10}  "
          f"{'wrong px':>8}  device")
    for r in sorted(rows, key=lambda r: -r["mpixel_per_s"]):
        print(f"{r['kernel']:<{width}}  {r['status']:<7}  {r['repeats']:>7}  {r['best_ms']:>10.4f}  "
              f"{r['median_ms']:>10.4f}  {r['mpixel_per_s']:>10.1f}  {r['wrong_pixels']:>8}  {r['device']}")
    for r in rows:
        print(f"  {r['kernel']}: {r['detail']}")


def default_suite():
    for name in ("build/median_suite_emu", "build/median_suite"):
        if os.access(REPO / name, os.X_OK):
            return str(REPO / name)
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--input", default=str(DEFAULT_INPUT), help="photograph (default: %(default)s)")
    parser.add_argument("--suite", default=default_suite(),
                        help="median_suite or median_suite_emu, for the reference (default: %(default)s)")
    parser.add_argument("--repeat", type=int,
                        help=f"calls per peer (default: {GPU_REPEATS} on the GPU, {CPU_REPEATS} on the CPU)")
    parser.add_argument("--json", help="write the rows as {\"rows\": [...]}")
    args = parser.parse_args()
    if not args.suite:
        parser.error("no median_suite found: give --suite PATH")
    if args.repeat is not None and args.repeat < 1:
        parser.error("--repeat must be at least 1")
    image = cv2.imread(args.input, cv2.IMREAD_COLOR)
    if image is None:
        print(f"peers.py: cannot read {args.input}", file=sys.stderr)
        return 1
    try:
        expected = reference_median(args.suite, image)
    except (OSError, subprocess.CalledProcessError) as e:
        print(f"peers.py: no reference from {args.suite}: {e}", file=sys.stderr)
        return 1
    rows = run_peers(image, os.path.basename(args.input), expected,
                     args.repeat or GPU_REPEATS, args.repeat or CPU_REPEATS)
    print_rows(rows)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rows": rows}, f, indent=1)
    return 0 if all(r["status"] == "ok" for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
