"""Machine-code profile of every kernel of the table and of the library:
instructions per output pixel by class, resources, code size, occupancy,
control flow and a modelled throughput ceiling on named GPUs, all read from
the SASS of the built GPU binary.

  tools/sass_profile.py --suite build/median_suite [--arch sm_90 --arch sm_80] [--json FILE]
  tools/sass_profile.py --suite build/median_suite --arch all --summary   (the README's architecture table)
  tools/sass_profile.py --suite build/median_suite --arch all --check [--bounded]
      (CTest: every kernel profiled and analysed, with --bounded every library
      kernel's count bounded; exit 77 without the disassemblers)
  tools/sass_profile.py --suite build/median_suite --compare bench.json   (measured / modelled)

How instructions are counted
  instr/px: what the warps of one block issue from entry to EXIT,
  predicated-off instructions included (they take an issue slot), as 32
  thread-instructions per warp instruction, over the block's threads and
  the output pixels of one thread (outputs_per_thread of `median_suite list
  --json`). A warp issues an instruction once for all its threads: where
  they split on a branch it issues both sides, and they run on together
  where the sides meet. A warp whose threads never split counts exactly
  what each thread issues. "longest thr" beside it is the thread that
  issues the most. Branches are told apart by what decides them, traced
  through the registers from the loads:
  - a branch on image data (values loaded from global or shared memory) is
    data-dependent: the result is a range, from every warp taking the
    cheaper side to every warp issuing both sides;
  - any other branch depends only on the thread's position (loader threads
    that stage the tile's apron, threads outside the image) and the launch.
    Each thread takes its own side: the integer instructions that compute
    the predicate (S2R of the thread, block and lane indices; the constant
    bank's block and grid sizes and kernel arguments; IMAD, IADD3, LEA, SHF,
    LOP3, PRMT, SEL, ISETP, PLOP3, min/max, a switch's jump table, ...) are
    evaluated for every thread of one block in the middle of the grid of a
    nominal launch: a 3840x2160 image, the int arguments padded width 3844
    then height 2160, buffers 256-byte aligned as cudaMalloc returns them;
    a kernel that takes its arguments in one struct (the library's) gets
    its fields: the image 3840x2160, rows packed, border mode constant. A
    branch the evaluation cannot decide counts its longer side for every
    warp, and the output names it.
  A loop's count comes from its exit test: an induction register stepped by
  constants and compared with a constant or a register the loop does not
  write. Started from a constant, the count is fixed. Started from the
  thread's position, the count is LOW..HIGH "by thread position"; where the
  limit or the start comes from the arguments, the nominal launch's
  threads decide it ("from the nominal launch"). A warp runs a loop as long
  as its longest thread. A loop that can also leave on data runs from 1 to
  that count; one whose count cannot be proven is "unbounded". A range is
  always printed as LOW..HIGH, never as one guessed number.

The model (a model, not a measurement)
  issue limit: cycles per pixel per SM = the larger of (instr/px / 128, four
  warp schedulers issuing one warp instruction per clock) and the sum over
  classes of instructions / the class's per-SM throughput; memory limit: 6
  bytes per pixel against DRAM bandwidth. The ceiling is the lower of the
  two. Beside it: code above 64 KiB (instruction fetch) and fewer than 16
  warps per SM (latency) are flagged, as the model leaves both out.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

from cuda_tools import find_tool, plain_names, suite_kernels

from .binary import extract_cubins, profile_cubin
from .model import arch_number
from .report import build_rows, compare_measured, json_rows, print_table, summary

DEFAULT_ARCHS = ["sm_90"]
SKIPPED = 77  # --check without the disassemblers: CTest's skip code


def unbounded(rows):
    """Library rows whose count stays open: their loops and branches should all be bounded."""
    return [f"{r['kernel']} ({r['arch']})" for r in rows if r["library"] and r["total_high"] == float("inf")]


def profile_arch(tools, arch, cubins, kernels):
    """(rows, missing, {"kernel (arch)": why not analysed}) of one architecture's cubins."""
    merged, left_out = {}, {}
    for cubin in cubins:
        merged.update(profile_cubin(cubin, tools, left_out))
    names = plain_names(list(merged) + list(left_out))
    rows, missing = build_rows(kernels, [arch], {arch: {names[m]: p for m, p in merged.items()}})
    return rows, missing, {f"{names[m]} ({arch})": why for m, why in left_out.items()}


def profile_archs(tools, binary, archs, kernels, jobs):
    """(rows, missing, unanalysed, architectures, cubins), the architectures profiled side by side."""
    with tempfile.TemporaryDirectory() as workdir:
        cubins = extract_cubins(tools["cuobjdump"], binary, archs, workdir)
        if "sm_all" in archs:
            archs = sorted(cubins, key=arch_number)
        present = [a for a in archs if cubins.get(a)]
        with ProcessPoolExecutor(max_workers=max(1, min(jobs, len(present)))) as pool:
            done = list(pool.map(profile_arch, [tools] * len(present), present, [cubins[a] for a in present],
                                 [kernels] * len(present)))
    rows, missing, unanalysed = [], [], {}
    for r, m, u in done:
        rows += r
        missing += m
        unanalysed.update(u)
    return rows, missing, unanalysed, archs, cubins


def main():
    parser = argparse.ArgumentParser(prog="sass_profile.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--suite", required=True, help="the GPU build's median_suite (its kernels and its SASS)")
    parser.add_argument("--binary", help="read the SASS from this file instead (executable, library or cubin)")
    parser.add_argument("--arch", action="append",
                        help="sm_XX, repeatable, or all: every one in the binary (default: sm_90)")
    parser.add_argument("--json", help="write the model rows here, in the bench JSON format")
    parser.add_argument("--summary", action="store_true",
                        help="print only the best 5x5 8-bit RGB kernel of the table and of the library per "
                             "architecture (the README's table)")
    parser.add_argument("--check", action="store_true",
                        help="exit 1 when a kernel is not profiled or its control flow not analysed")
    parser.add_argument("--bounded", action="store_true",
                        help="with --check: exit 1 also when a library kernel's count stays unbounded")
    parser.add_argument("--compare", action="append", default=[], help="bench JSON: measured / modelled")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="architectures profiled at once (default: one per CPU)")
    args = parser.parse_args()
    archs = [a if a.startswith("sm_") else f"sm_{a}" for a in (args.arch or DEFAULT_ARCHS)]
    tools = {name: find_tool(name) for name in ("cuobjdump", "nvdisasm")}
    for name, path in tools.items():
        if path is None:
            print(f"sass_profile.py: {name} not found (tools/install_deps.sh installs it)", file=sys.stderr)
            return SKIPPED if args.check else 2
    try:
        kernels = suite_kernels(args.suite)
        rows, missing, unanalysed, archs, cubins = profile_archs(tools, args.binary or args.suite, archs, kernels,
                                                                 args.jobs)
    except (RuntimeError, OSError, ValueError, KeyError, subprocess.CalledProcessError) as e:
        print(f"sass_profile.py: {e}", file=sys.stderr)
        return 2
    absent = [a for a in archs if not cubins.get(a)]
    for a in absent:
        print(f"sass_profile.py: the binary holds no {a} code (build with CMAKE_CUDA_ARCHITECTURES "
              f"including {a[3:]})", file=sys.stderr)
    present = [a for a in archs if a not in absent]
    if args.summary:
        summary(rows, present)
    else:
        for arch in present:
            print_table(rows, arch)
    if args.json:
        Path(args.json).write_text(json.dumps({"rows": json_rows(rows)}, indent=1) + "\n")
    if args.compare:
        try:
            compare_measured(rows, args.compare)
        except (OSError, ValueError, KeyError) as e:
            print(f"sass_profile.py: {e}", file=sys.stderr)
            return 2
    for m, why in unanalysed.items():
        print(f"NOT ANALYSED {m}: {why}", file=sys.stderr)
    missing = [m for m in missing if m not in unanalysed]
    for m in missing:
        print(f"MISSING {m}: in the kernel table but not in the binary's SASS", file=sys.stderr)
    open_rows = unbounded(rows)
    for m in open_rows:
        print(f"UNBOUNDED {m}: a library kernel whose count the nominal launch leaves open", file=sys.stderr)
    if args.check:
        print(f"profiled {len(rows)} of {len(kernels) * len(present)} kernel and architecture pairs"
              + (f"; {len(open_rows)} library rows unbounded (named on stderr)" if open_rows else ""))
        return 1 if missing or absent or unanalysed or (open_rows and args.bounded) else 0
    return 1 if absent else 0


if __name__ == "__main__":
    sys.exit(main())
