#!/usr/bin/env -S /usr/bin/python3
"""tools/sass_profile.py on kernels whose counts are known by construction
(tests/tools/sass_profile_kernels.cu), compiled for sm_80, sm_90, sm_100 and sm_120.

  tests/tools/sass_profile_test.py [--nvcc PATH]

Exit code 77 (CTest's skip) when nvcc, cuobjdump or nvdisasm is missing.
"""
import argparse
import math
import re
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

    def test_position_branch_counts_its_longer_side(self):
        for arch, p in self.each_arch():
            k = p["loader_branch"]
            self.assertEqual((k["cost"].lo["minmax"], k["cost"].hi["minmax"]), (1, 1))
            lo, hi = k["cost"].total()
            self.assertEqual(lo, hi)


class Model(unittest.TestCase):
    def test_occupancy_takes_the_tightest_limit(self):
        cases = [
            # cc, registers, cubin shared bytes, threads: blocks, warps, limit
            (90, 32, 2320, 256, 8, 64, "threads"),
            (90, 72, 2320, 256, 3, 24, "registers"),  # 72 x 32 = 2304 registers a warp: 28 warps
            (80, 32, 40000, 256, 4, 32, "shared memory"),  # 41,024 B with the reserved KiB: 164 KiB / that
            (89, 32, 1296, 256, 6, 48, "threads"),  # 1,536 threads
        ]
        for cc, regs, smem, threads, blocks, warps, limit in cases:
            with self.subTest(cc=cc, regs=regs, smem=smem):
                self.assertEqual(sass_profile.occupancy(cc, regs, smem, threads),
                                 {"blocks": blocks, "warps": warps, "limited_by": limit})

    def test_ceiling_is_the_slower_of_issue_and_memory(self):
        h100 = next(g for g in sass_profile.GPUS if g["name"] == "H100 SXM")
        # 64 min/max a pixel at 64 a clock: one clock a pixel on each of 132 SMs.
        self.assertEqual(sass_profile.ceiling({"minmax": 64}, h100), (132 * 1980, "issue"))
        # 128 branches: only the dispatch limit, one clock again.
        self.assertEqual(sass_profile.ceiling({"branch": 128}, h100), (132 * 1980, "issue"))
        # Nearly free pixels hit DRAM: 3,350 GB/s / 6 B.
        fast, limit = sass_profile.ceiling({"int": 1}, h100)
        self.assertEqual(limit, "memory")
        self.assertAlmostEqual(fast, 3350e3 / 6)

    def test_device_names_map_to_their_model_only(self):
        names = {"NVIDIA H100 80GB HBM3": "H100 SXM", "NVIDIA H100 PCIe": None, "NVIDIA H200": "H200 SXM",
                 "NVIDIA A100-SXM4-80GB": "A100 SXM 80GB", "NVIDIA A100-SXM4-40GB": None,
                 "NVIDIA GeForce RTX 4090": "RTX 4090", "NVIDIA L40S": "L40S", "NVIDIA L40": None}
        for device, model in names.items():
            found = [g["name"] for g in sass_profile.GPUS if re.search(g["match"], device)]
            self.assertEqual(found, [model] if model else [], device)


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
