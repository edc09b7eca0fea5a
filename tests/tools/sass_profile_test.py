#!/usr/bin/env -S /usr/bin/python3
"""tools/sass_profile.py on kernels whose counts are known by construction
(tests/tools/sass_profile_kernels.cu), compiled for sm_80, sm_90, sm_100 and sm_120.

  tests/tools/sass_profile_test.py [--nvcc PATH]

Exit code 77 (CTest's skip) when nvcc, cuobjdump or nvdisasm is missing.
"""
import argparse
import math
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "tools"))
import sass_profile  # noqa: E402
from cuda_tools import find_tool, plain_names  # noqa: E402

STRAIGHT_MINMAX = 24
LOOP_TRIPS = 37
# Instructions outside the loop of fixed_loop: index, two loads, the store,
# EXIT and the branch to the loop; a few more on some architectures.
FRAME_AT_MOST = 30
ARCHS = ["sm_80", "sm_90", "sm_100", "sm_120"]


class KnownCounts(unittest.TestCase):
    profiles = {}

    def each_arch(self):
        for arch in ARCHS:
            with self.subTest(arch=arch):
                yield arch, self.profiles[arch]

    def test_straight_line_counts_every_min_max_once(self):
        for arch, p in self.each_arch():
            k = p["straight_line"]
            self.assertEqual(k["loops"], [])
            self.assertEqual((k["cost"].lo["minmax"], k["cost"].hi["minmax"]), (STRAIGHT_MINMAX, STRAIGHT_MINMAX))
            lo, hi = k["cost"].total()
            self.assertEqual(lo, hi)

    def test_fixed_loop_is_trips_times_body_plus_frame(self):
        for arch, p in self.each_arch():
            k = p["fixed_loop"]
            self.assertEqual(len(k["loops"]), 1)
            loop = k["loops"][0]
            self.assertEqual((loop["trips"], loop["kind"]), ((LOOP_TRIPS, LOOP_TRIPS), "fixed"))
            self.assertEqual((k["cost"].lo["minmax"], k["cost"].hi["minmax"]), (2 * LOOP_TRIPS, 2 * LOOP_TRIPS))
            body_lo, body_hi = loop["body"]
            lo, hi = k["cost"].total()
            self.assertEqual((lo, body_lo), (hi, body_hi))
            self.assertLessEqual(0, lo - LOOP_TRIPS * body_lo)
            self.assertLessEqual(lo - LOOP_TRIPS * body_lo, FRAME_AT_MOST)
            self.assertEqual(sass_profile.control_flow(k["loops"]), f"loop {LOOP_TRIPS}x")

    def test_data_dependent_loop_is_a_range(self):
        for arch, p in self.each_arch():
            k = p["data_loop"]
            self.assertEqual([(l["trips"], l["kind"]) for l in k["loops"]], [((1, math.inf), "data")])
            lo, hi = k["cost"].total()
            self.assertTrue(math.isfinite(lo))
            self.assertEqual(hi, math.inf)
            self.assertIn("1..unboundedx (data-dependent)", sass_profile.control_flow(k["loops"]))


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
        for arch in ARCHS:
            cubin = f"{work}/kernels.{arch}.cubin"
            subprocess.run([nvcc, "-cubin", f"-arch={arch}", "-O3", str(REPO / "tests/tools/sass_profile_kernels.cu"),
                            "-o", cubin], check=True)
            profiles = sass_profile.profile_cubin(cubin, tools)
            names = plain_names(list(profiles))
            KnownCounts.profiles[arch] = {names[m]: p for m, p in profiles.items()}
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
