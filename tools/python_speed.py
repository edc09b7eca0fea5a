#!/usr/bin/env python3
"""The Python binding's cost on a GPU: median_filter.median_filter on a
CUDA array against the same filter<T> call made from C++, in one process,
on the same device memory and stream.

The array is median_filter._core.device_array (cudaMalloc memory exported
through DLPack as a CUDA array: what the tests use as a stand-in for CuPy),
3840x2160x3 uint8 by default, 5x5, constant border, output given (no
allocation). Each side makes `--repeat` calls back to back, then waits for
the stream; the best of `--rounds` rounds counts, the two sides alternating.
A second Python line times the call without output= (an allocation per
call). Prints the figures and the ratio; --json FILE writes them.

  build-python/venv/bin/python tools/python_speed.py [--size 3840x2160x3] [--repeat 200] [--json FILE]
"""
import argparse
import json
import sys
import time

import numpy as np

import median_filter
from median_filter import _core


def best_seconds(call, rounds):
    return min(call() for _ in range(rounds))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", default="3840x2160x3", help="WxHxC (default: %(default)s)")
    parser.add_argument("--window", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--json")
    args = parser.parse_args()
    width, height, channels = (int(v) for v in args.size.split("x"))
    if median_filter.backend != "cuda":
        print(f"python_speed: the {median_filter.backend} backend: GPU timings need the cuda backend", file=sys.stderr)
        return 2

    shape = (height, width, channels)
    host = np.random.default_rng(1).integers(0, 256, shape, dtype=np.uint8)
    src = _core.device_array(shape, "uint8", _core.current_device())
    src.upload(host)
    dst = _core.device_array(shape, "uint8", src.device)
    stream = _core.stream_create()
    row = width * channels
    cpp_args = _core.launch_args(src=src.ptr, src_pitch=row, dst=dst.ptr, dst_pitch=row, height=height, width=width,
                                 channels=channels, dtype="uint8", window=args.window, mode=0, cval=0.0,
                                 stream=stream, device=src.device)

    def python_loop(output):
        _core.stream_synchronize(stream)
        start = time.perf_counter()
        for _ in range(args.repeat):
            median_filter.median_filter(src, args.window, output=output, stream=stream)
        _core.stream_synchronize(stream)
        return time.perf_counter() - start

    python_loop(dst)  # loads the kernels
    cpp, python, allocating = [], [], []
    for _ in range(args.rounds):
        cpp.append(_core.time_filter(cpp_args, args.repeat))
        python.append(python_loop(dst))
        allocating.append(python_loop(None))
    _core.stream_destroy(stream)

    per_call_ms = {name: min(values) / args.repeat * 1000 for name, values in
                   (("cpp", cpp), ("python", python), ("python_allocating", allocating))}
    result = {"device": _core.device_name(), "size": args.size, "window": args.window, "repeat": args.repeat,
              "rounds": args.rounds, **{f"{k}_ms_per_call": v for k, v in per_call_ms.items()},
              "python_over_cpp": per_call_ms["python"] / per_call_ms["cpp"],
              "python_allocating_over_cpp": per_call_ms["python_allocating"] / per_call_ms["cpp"]}
    print(f"{result['device']}, {args.size} uint8, {args.window}x{args.window}, best of {args.rounds} rounds of "
          f"{args.repeat} calls:")
    print(f"  filter<T> from C++                       {per_call_ms['cpp']:.4f} ms per call")
    print(f"  median_filter.median_filter(output=...)  {per_call_ms['python']:.4f} ms per call "
          f"({result['python_over_cpp']:.3f}x C++)")
    print(f"  median_filter.median_filter()            {per_call_ms['python_allocating']:.4f} ms per call "
          f"({result['python_allocating_over_cpp']:.3f}x C++, a cudaMalloc'd result per call)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
