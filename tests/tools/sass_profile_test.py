#!/usr/bin/env -S /usr/bin/python3
"""The machine-code profile (tools/sass_profiler) on kernels whose counts are
known by construction (tests/tools/sass_profile_kernels.cu), compiled for
sm_80, sm_90, sm_100 and sm_120; the tests are in tests/tools/sass_profiler/,
one module per concern of the profile.

  tests/tools/sass_profile_test.py [--nvcc PATH] [unittest arguments]

Exit code 77 (CTest's skip) when nvcc, cuobjdump or nvdisasm is missing.
"""
import argparse
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent / "sass_profiler"
sys.path.insert(0, str(HERE))
import compiled  # noqa: E402
from cuda_tools import find_tool, plain_names  # noqa: E402
from sass_profiler.binary import profile_cubin  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nvcc")
    args, rest = parser.parse_known_args()
    tools = {name: find_tool(name) for name in ("cuobjdump", "nvdisasm")}
    nvcc = find_tool("nvcc", args.nvcc)
    if nvcc is None or None in tools.values():
        print("skipped: needs nvcc, cuobjdump and nvdisasm (tools/install_deps.sh installs the last two)")
        return 77
    with tempfile.TemporaryDirectory() as work:
        for arch in compiled.ARCHS:
            cubin = f"{work}/kernels.{arch}.cubin"
            subprocess.run([nvcc, "-cubin", f"-arch={arch}", "-O3", str(compiled.KERNELS), "-o", cubin], check=True)
            profiles = profile_cubin(cubin, tools)
            names = plain_names(list(profiles))
            compiled.profiles[arch] = {names[m]: p for m, p in profiles.items()}
    suite = unittest.defaultTestLoader.discover(str(HERE), pattern="*_test.py", top_level_dir=str(HERE))
    if rest:
        suite = unittest.defaultTestLoader.loadTestsFromNames(rest)
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
