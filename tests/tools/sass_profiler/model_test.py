"""Occupancy, the ceiling, the named GPUs and the caveats printed beside them."""
import re
import unittest

import compiled  # noqa: F401  (the path to tools/)
from sass_profiler.model import ARCHS, GPUS, caveats, ceiling, headline_gpu, occupancy


class Model(unittest.TestCase):
    def test_occupancy_takes_the_tightest_limit(self):
        cases = [
            # cc, registers, cubin shared bytes, threads: blocks, warps, limit
            (90, 32, 2320, 256, 8, 64, "threads"),
            (90, 72, 2320, 256, 3, 24, "registers"),  # 72 x 32 = 2304 registers a warp: 28 warps
            (80, 32, 40000, 256, 4, 32, "shared memory"),  # 41,024 B with the reserved KiB: 164 KiB / that
            (89, 32, 1296, 256, 6, 48, "threads"),  # 1,536 threads
            (75, 32, 1296, 256, 4, 32, "threads"),  # 1,024 threads
        ]
        for cc, regs, smem, threads, blocks, warps, limit in cases:
            with self.subTest(cc=cc, regs=regs, smem=smem):
                self.assertEqual(occupancy(cc, regs, smem, threads),
                                 {"blocks": blocks, "warps": warps, "limited_by": limit})

    def test_ceiling_is_the_slower_of_issue_and_memory(self):
        h100 = next(g for g in GPUS if g["name"] == "H100 SXM")
        # 64 min/max a pixel at 64 a clock: one clock a pixel on each of 132 SMs.
        self.assertEqual(ceiling({"minmax": 64}, h100), (132 * 1980, "issue"))
        # 128 branches: only the dispatch limit, one clock again.
        self.assertEqual(ceiling({"branch": 128}, h100), (132 * 1980, "issue"))
        # Nearly free pixels hit DRAM: 3,350 GB/s / 6 B.
        fast, limit = ceiling({"int": 1}, h100)
        self.assertEqual(limit, "memory")
        self.assertAlmostEqual(fast, 3350e3 / 6)

    def test_every_architecture_of_the_build_has_a_named_gpu(self):
        for cc in ARCHS:
            self.assertIsNotNone(headline_gpu(cc), cc)

    def test_device_names_map_to_their_model_only(self):
        names = {"NVIDIA H100 80GB HBM3": "H100 SXM", "NVIDIA H100 PCIe": None, "NVIDIA H200": "H200 SXM",
                 "NVIDIA A100-SXM4-80GB": "A100 SXM 80GB", "NVIDIA A100-SXM4-40GB": None,
                 "NVIDIA GeForce RTX 4090": "RTX 4090", "NVIDIA L40S": "L40S", "NVIDIA L40": None,
                 "Tesla T4": "T4", "NVIDIA A10": "A10", "NVIDIA B200": "B200", "NVIDIA GeForce RTX 5090": "RTX 5090"}
        for device, model in names.items():
            found = [g["name"] for g in GPUS if re.search(g["match"], device)]
            self.assertEqual(found, [model] if model else [], device)

    def test_caveats_flag_large_code_and_few_warps(self):
        self.assertEqual(caveats(64 * 1024, {"warps": 16}), [])
        self.assertEqual(len(caveats(64 * 1024 + 16, {"warps": 15})), 2)
