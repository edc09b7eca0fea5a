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
STRIDED_SPAN = 100
STRIDED_STEP = 8
LOADERS = 7
WIDE_FIRST = 9
STAGING_COLUMNS, STAGING_ROWS, STAGING_LOADERS = 33, 20, 231
BLOCK = {"block": [32, 8], "span": [32, 8]}
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

    def test_thread_strided_loop_is_bounded_by_position(self):
        # Starts 0..STRIDED_STEP - 1 of a span of STRIDED_SPAN.
        trips = (math.ceil((STRIDED_SPAN - STRIDED_STEP + 1) / STRIDED_STEP), math.ceil(STRIDED_SPAN / STRIDED_STEP))
        for arch, p in self.each_arch():
            k = p["strided_loop"]
            self.assertEqual([(l["trips"], l["kind"]) for l in k["loops"]], [(trips, "position")])
            lo, hi = k["cost"].total()
            body = k["loops"][0]["body"][0]
            self.assertEqual(hi - lo, (trips[1] - trips[0]) * body)
            self.assertIn(f"loop {trips[0]}..{trips[1]}x (by thread position)", sass_profile.control_flow(k["loops"]))

    def test_position_branch_counts_its_longer_side(self):
        for arch, p in self.each_arch():
            k = p["loader_branch"]
            self.assertEqual((k["cost"].lo["minmax"], k["cost"].hi["minmax"]), (1, 1))
            lo, hi = k["cost"].total()
            self.assertEqual(lo, hi)

    def block_average(self, arch, name):
        p = self.profiles[arch][name]
        launch = sass_profile.nominal_launch(BLOCK, sass_profile.arch_number(arch), p["mangled"])
        return sass_profile.block_average(p["shape"], launch)

    def test_block_average_weights_each_side_by_its_threads(self):
        for arch, _ in self.each_arch():
            cost, undecided = self.block_average(arch, "loader_block")
            self.assertEqual(undecided, [])
            minmax = STRAIGHT_MINMAX * LOADERS / BLOCK["block"][0]
            self.assertEqual((cost.lo["minmax"], cost.hi["minmax"]), (minmax, minmax))
            longest = self.profiles[arch]["loader_block"]["cost"]
            self.assertEqual(longest.hi["minmax"], STRAIGHT_MINMAX)

    def test_block_average_decides_a_64_bit_compare(self):
        takers = BLOCK["block"][0] - WIDE_FIRST
        for arch, _ in self.each_arch():
            cost, undecided = self.block_average(arch, "wide_branch")
            self.assertEqual(undecided, [])
            self.assertEqual(cost.lo["minmax"], STRAIGHT_MINMAX * takers / BLOCK["block"][0])

    def test_block_average_takes_each_threads_loop_count(self):
        trips = [math.ceil((STRIDED_SPAN - start) / STRIDED_STEP) for start in range(STRIDED_STEP)]
        for arch, p in self.each_arch():
            cost, undecided = self.block_average(arch, "strided_loop")
            self.assertEqual(undecided, [])
            # One min/max a trip; every start is taken by as many threads.
            self.assertEqual(cost.lo["minmax"], sum(trips) / len(trips))
            longest = p["strided_loop"]["cost"]
            self.assertEqual(longest.hi["minmax"], max(trips))

    def test_block_average_follows_the_division_and_guard_to_each_count(self):
        threads = BLOCK["block"][0] * BLOCK["block"][1]
        step = STAGING_LOADERS // STAGING_COLUMNS
        trips = [math.ceil((STAGING_ROWS - t // STAGING_COLUMNS) / step) for t in range(STAGING_LOADERS)]
        for arch, p in self.each_arch():
            cost, undecided = self.block_average(arch, "staging_loop")
            self.assertEqual(undecided, [])
            self.assertAlmostEqual(cost.lo["minmax"], sum(trips) / threads)
            self.assertEqual([l["kind"] for l in p["staging_loop"]["loops"]], ["position"])
            self.assertEqual(p["staging_loop"]["loops"][0]["trips"][1], max(trips))


class Evaluation(unittest.TestCase):
    def test_byte_permute_selects_and_sign_extends(self):
        self.assertEqual(sass_profile._permute(0x44332211, 0x3210, 0x88776655), 0x44332211)
        self.assertEqual(sass_profile._permute(0x44332211, 0x7654, 0x88776655), 0x88776655)
        self.assertEqual(sass_profile._permute(0x000080ff, 0x9910, 0), 0xFFFF80FF)  # low half, sign-extended

    def test_parameter_offsets_align_pointers_and_ints(self):
        self.assertEqual(sass_profile.parameter_offsets("_Z27median_kernel_tiled_networkPKhPhii"),
                         ([16, 20], [0, 8]))
        self.assertEqual(sass_profile.parameter_offsets("_Z1kiPhi"), ([0, 16], [8]))
        self.assertEqual(sass_profile.parameter_offsets("_Z1kPhf"), ([], []))  # a float: no nominal value
        self.assertEqual(sass_profile.parameter_offsets("_Z1kPhi6border"), ([], []))  # a named type


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
