"""Counts of the test kernels, known by construction: per thread (loops,
branches, the longest thread) and per warp (the block average)."""
import math
import unittest

from compiled import (BLOCK, FRAME_AT_MOST, LOADERS, LOOP_TRIPS, STAGING_COLUMNS, STAGING_LOADERS, STAGING_ROWS,
                      STRAIGHT_MINMAX, STRIDED_SPAN, STRIDED_STEP, UNIFORM_ROWS, WARP, WIDE_FIRST, ARCHS, profiles)
from sass_profiler.counting import analyse
from sass_profiler.model import arch_number
from sass_profiler.parse import parse_sass
from sass_profiler.report import control_flow
from sass_profiler.threads import nominal_launch
from sass_profiler.warps import block_average

STRIDED_TRIPS = math.ceil(STRIDED_SPAN / STRIDED_STEP)  # the longest thread's trips of strided_loop


class PerThread(unittest.TestCase):
    def each_arch(self):
        for arch in ARCHS:
            with self.subTest(arch=arch):
                yield arch, profiles[arch]

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
            self.assertEqual(control_flow(k["loops"]), f"loop {LOOP_TRIPS}x")

    def test_data_dependent_loop_is_a_range(self):
        for arch, p in self.each_arch():
            k = p["data_loop"]
            self.assertEqual([(l["trips"], l["kind"]) for l in k["loops"]], [((1, math.inf), "data")])
            lo, hi = k["cost"].total()
            self.assertTrue(math.isfinite(lo))
            self.assertEqual(hi, math.inf)
            self.assertIn("1..unboundedx (data-dependent)", control_flow(k["loops"]))

    def test_thread_strided_loop_is_bounded_by_position(self):
        # Starts 0..STRIDED_STEP - 1 of a span of STRIDED_SPAN.
        trips = (math.ceil((STRIDED_SPAN - STRIDED_STEP + 1) / STRIDED_STEP), math.ceil(STRIDED_SPAN / STRIDED_STEP))
        for arch, p in self.each_arch():
            k = p["strided_loop"]
            self.assertEqual([(l["trips"], l["kind"]) for l in k["loops"]], [(trips, "position")])
            lo, hi = k["cost"].total()
            body = k["loops"][0]["body"][0]
            self.assertEqual(hi - lo, (trips[1] - trips[0]) * body)
            self.assertIn(f"loop {trips[0]}..{trips[1]}x (by thread position)", control_flow(k["loops"]))

    def test_peeled_strided_loop_is_bounded_from_both_starts(self):
        # sm_80 and sm_90 keep the loop (unrolled by two, one element peeled);
        # later architectures unroll it whole: either way no count stays open.
        for arch, p in self.each_arch():
            k = p["peeled_loop"]
            self.assertEqual([l["trips"] for l in k["loops"] if l["trips"][1] == math.inf], [])
            self.assertTrue(math.isfinite(k["cost"].total()[1]))
        self.assertEqual([l["trips"] for l in profiles["sm_90"]["peeled_loop"]["loops"]], [(1, 1)])

    def test_block_row_loop_reading_the_grid_each_trip_is_bounded_by_the_launch(self):
        # A block-stride loop over rows of blocks, as ptxas writes it for
        # sm_100 where registers run short: gridDim.y read again each trip
        # into a uniform register (LDCU), added to the row, compared with a
        # launch value. The nominal grid covers the image, so one trip.
        sass = """
        .text._Z1kPi:
        /*0000*/                   S2UR UR5, SR_CTAID.Y ;
        /*0010*/                   LDCU UR4, c[0x0][0x370] ;
.L_x_0:
        /*0020*/                   IADD3 R3, R3, 0x1, RZ ;
        /*0030*/                   LDCU UR7, c[0x0][0x374] ;
        /*0040*/                   UIADD3 UR7, UPT, UPT, UR7, UR5, URZ ;
        /*0050*/                   UISETP.GE.AND UP0, UPT, UR7, 0x10e, UPT ;
        /*0060*/                   PLOP3.LUT P0, PT, PT, PT, UP0, 0x80, 0x8 ;
        /*0070*/               @P0 EXIT ;
        /*0080*/                   UMOV UR5, UR7 ;
        /*0090*/                   BRA `(.L_x_0) ;
"""
        instructions, labels = parse_sass(sass)["_Z1kPi"]
        launch = nominal_launch(BLOCK, 100, "_Z1kPi")
        loops = analyse(instructions, labels, launches=[launch])[1]
        self.assertEqual([(l["trips"], l["kind"]) for l in loops], [((1, 1), "nominal")])

    def test_position_branch_counts_its_longer_side(self):
        for arch, p in self.each_arch():
            k = p["loader_branch"]
            self.assertEqual((k["cost"].lo["minmax"], k["cost"].hi["minmax"]), (1, 1))
            lo, hi = k["cost"].total()
            self.assertEqual(lo, hi)


class PerWarp(unittest.TestCase):
    """The block average counts what warps issue: a warp whose threads split
    on a branch issues both sides; one whose threads agree, what they do."""

    def average(self, arch, name):
        p = profiles[arch][name]
        launch = nominal_launch(BLOCK, arch_number(arch), p["mangled"])
        cost, undecided = block_average(p["shape"], launch)
        self.assertEqual(undecided, [])
        return cost.lo["minmax"], cost.hi["minmax"]

    def each_arch(self):
        for arch in ARCHS:
            with self.subTest(arch=arch):
                yield arch

    def test_warps_that_split_issue_the_side_any_thread_takes(self):
        # LOADERS threads of every 32-wide row (a warp) take the min/max; so do
        # all but WIDE_FIRST of wide_branch: every warp issues them.
        for arch in self.each_arch():
            self.assertEqual(self.average(arch, "loader_block"), (STRAIGHT_MINMAX, STRAIGHT_MINMAX))
            self.assertEqual(self.average(arch, "wide_branch"), (STRAIGHT_MINMAX, STRAIGHT_MINMAX))
            self.assertEqual(profiles[arch]["loader_block"]["cost"].hi["minmax"], STRAIGHT_MINMAX)
        self.assertGreater(LOADERS, 0)
        self.assertLess(WIDE_FIRST, WARP)

    def test_warps_that_agree_count_as_their_threads(self):
        for arch in self.each_arch():
            share = STRAIGHT_MINMAX * UNIFORM_ROWS / BLOCK["block"][1]
            self.assertEqual(self.average(arch, "warp_uniform_block"), (share, share))

    def test_a_warp_runs_a_loop_as_long_as_its_longest_thread(self):
        # Every warp holds all STRIDED_STEP starts: it runs the most trips.
        trips = [math.ceil((STRIDED_SPAN - start) / STRIDED_STEP) for start in range(STRIDED_STEP)]
        for arch in self.each_arch():
            self.assertEqual(self.average(arch, "strided_loop"), (max(trips), max(trips)))

    def test_a_branch_after_a_loop_is_decided_by_each_threads_way(self):
        # The middle block's rows lie past the first ones: no warp takes the
        # min/max chain; each runs the strided loop as long as its longest thread.
        for arch in self.each_arch():
            p = profiles[arch]["branch_after_loop"]
            launch = nominal_launch(BLOCK, arch_number(arch), p["mangled"])
            # Analysed under the launch, as the report does: the outer loop runs once.
            shape = analyse(*p["sass"], launches=[launch])[3]
            cost, undecided = block_average(shape, launch)
            self.assertEqual(undecided, [])
            self.assertEqual((cost.lo["minmax"], cost.hi["minmax"]), (STRIDED_TRIPS, STRIDED_TRIPS))

    def test_each_warp_takes_its_threads_counts_through_division_and_guard(self):
        threads = BLOCK["block"][0] * BLOCK["block"][1]
        step = STAGING_LOADERS // STAGING_COLUMNS
        trips = [math.ceil((STAGING_ROWS - t // STAGING_COLUMNS) / step) if t < STAGING_LOADERS else 0
                 for t in range(threads)]
        per_warp = [max(trips[w:w + WARP]) for w in range(0, threads, WARP)]
        for arch in self.each_arch():
            lo, _ = self.average(arch, "staging_loop")
            self.assertAlmostEqual(lo, WARP * sum(per_warp) / threads)
            self.assertEqual([l["kind"] for l in profiles[arch]["staging_loop"]["loops"]], ["position"])
            self.assertEqual(profiles[arch]["staging_loop"]["loops"][0]["trips"][1], max(trips))
