"""The test kernels (tests/tools/sass_profile_kernels.cu) as the runner
compiled and profiled them, and the constants they are built from."""
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO / "tools"))

ARCHS = ["sm_80", "sm_90", "sm_100", "sm_120"]
KERNELS = REPO / "tests/tools/sass_profile_kernels.cu"
# {arch: {kernel name: profile}}, filled by tests/tools/sass_profile_test.py
profiles = {}

STRAIGHT_MINMAX = 24
LOOP_TRIPS = 37
STRIDED_SPAN = 100
STRIDED_STEP = 8
LOADERS = 7
UNIFORM_ROWS = 3
WIDE_FIRST = 9
STAGING_COLUMNS, STAGING_ROWS, STAGING_LOADERS = 33, 20, 231
BLOCK = {"block": [32, 8], "span": [32, 8]}
WARP = 32
# Instructions outside the loop of fixed_loop: index, two loads, the store,
# EXIT and the branch to the loop; a few more on some architectures.
FRAME_AT_MOST = 30
