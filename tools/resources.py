#!/usr/bin/env -S /usr/bin/python3
"""Per-kernel resources as ptxas reports them: registers, stack frame, spill
stores and loads, static shared memory, for every kernel source in benchmark/kernels/ and
library/core/
and every architecture asked for.

  tools/resources.py [--arch sm_75 --arch sm_90] [--nvcc PATH]
  tools/resources.py --check --suite build/median_suite_emu

--check compares the report with the kernel table (`median_suite list`):
every kernel of the table must be in the report of every architecture with
no spills, no stack frame and the table's static shared bytes. Exit code 1
on any mismatch, 2 when nvcc or the suite cannot be run.
"""
import argparse
import concurrent.futures
import os
import re
import subprocess
import sys
from pathlib import Path

from cuda_tools import find_tool, plain_names, suite_kernels

REPO = Path(__file__).resolve().parent.parent
DEFAULT_ARCHS = ["sm_75", "sm_90"]

ENTRY = re.compile(r"Compiling entry function '(\S+)' for '(sm_\w+)'")
PROPERTIES = re.compile(r"Function properties for (\S+)")
FRAME = re.compile(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads")
USED = re.compile(r"Used (\d+) registers")
SMEM = re.compile(r"(\d+) bytes smem")


def compile_report(nvcc, source, arch):
    """ptxas -v output of one source for one architecture."""
    command = [nvcc, "-c", f"-arch={arch}", "-Xptxas", "-v", f"-I{REPO}", "--expt-relaxed-constexpr",
               "-std=c++17", str(source), "-o", os.devnull]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed:\n{done.stdout}{done.stderr}")
    return done.stdout + done.stderr


def parse_report(text):
    """{mangled name: {registers, stack, spill_stores, spill_loads, smem}} for the entry functions."""
    kernels, entries, current = {}, set(), None
    for line in text.splitlines():
        if m := ENTRY.search(line):
            entries.add(m.group(1))
            current = m.group(1)
        elif m := PROPERTIES.search(line):
            current = m.group(1)
        elif current in entries and (m := FRAME.search(line)):
            stack, stores, loads = map(int, m.groups())
            kernels.setdefault(current, {}).update(stack=stack, spill_stores=stores, spill_loads=loads)
        elif current in entries and (m := USED.search(line)):
            smem = SMEM.search(line)
            kernels.setdefault(current, {}).update(registers=int(m.group(1)), smem=int(smem.group(1)) if smem else 0)
    return kernels


def collect(nvcc, sources, archs):
    """Rows of (kernel, arch, source, resources), sorted by kernel and arch."""
    jobs = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        for source in sources:
            for arch in archs:
                jobs[(source, arch)] = pool.submit(compile_report, nvcc, source, arch)
        rows = []
        for (source, arch), job in jobs.items():
            kernels = parse_report(job.result())
            names = plain_names(list(kernels))
            rows += [(names[m], arch, source.name, r) for m, r in kernels.items()]
    return sorted(rows, key=lambda row: (row[0], row[1]))


def print_table(rows):
    width = max([len("kernel")] + [len(r[0]) for r in rows])
    print(f"{'kernel':<{width}}  {'arch':<6}  {'source':<18}  {'regs':>4}  {'stack':>5}  "
          f"{'spill st':>8}  {'spill ld':>8}  {'smem B':>6}")
    for name, arch, source, r in rows:
        print(f"{name:<{width}}  {arch:<6}  {source:<18}  {r.get('registers', 0):>4}  {r.get('stack', 0):>5}  "
              f"{r.get('spill_stores', 0):>8}  {r.get('spill_loads', 0):>8}  {r.get('smem', 0):>6}")


def table_kernels(suite):
    """{kernel name: (static shared bytes, first architecture it is compiled
    for)} from the suite's kernel table; before that architecture a library
    kernel only traps."""
    return {k["name"]: (k["shared_bytes"], k.get("min_arch", 0)) for k in suite_kernels(suite)}


def mismatches(rows, table, archs):
    found = {(name, arch): r for name, arch, _, r in rows}
    problems = []
    for name, (shared, min_arch) in table.items():
        for arch in archs:
            if int(arch.replace("sm_", "").rstrip("af")) < min_arch:
                continue
            r = found.get((name, arch))
            if r is None:
                problems.append(f"{name} ({arch}): in the kernel table but not in the ptxas report of the kernel sources")
                continue
            if r.get("spill_stores", 0) or r.get("spill_loads", 0):
                problems.append(f"{name} ({arch}): spills {r['spill_stores']} bytes stored, {r['spill_loads']} loaded")
            if r.get("stack", 0):
                problems.append(f"{name} ({arch}): {r['stack']} bytes stack frame")
            if r.get("smem", 0) != shared:
                problems.append(f"{name} ({arch}): {r.get('smem', 0)} bytes static shared memory, "
                                f"the kernel table says {shared}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--arch", action="append", help="sm_XX, repeatable (default: sm_75 and sm_90)")
    parser.add_argument("--nvcc", help="the CUDA compiler (default: nvcc on PATH, then /usr/local/cuda/bin/nvcc)")
    parser.add_argument("--check", action="store_true", help="compare with the kernel table")
    parser.add_argument("--suite", help="median_suite or median_suite_emu, for the kernel table (with --check)")
    args = parser.parse_args()
    if args.check and not args.suite:
        parser.error("--check needs --suite PATH")
    archs = [a if a.startswith("sm_") else f"sm_{a}" for a in (args.arch or DEFAULT_ARCHS)]
    nvcc = find_tool("nvcc", args.nvcc)
    if nvcc is None:
        print("resources.py: nvcc not found (give --nvcc PATH)", file=sys.stderr)
        return 2
    sources = sorted([*(REPO / "benchmark" / "kernels").glob("*.cu"), *(REPO / "library" / "core").glob("*.cu")])
    try:
        rows = collect(nvcc, sources, archs)
        table = table_kernels(args.suite) if args.check else {}
    except (RuntimeError, OSError, ValueError, KeyError, subprocess.CalledProcessError) as e:
        print(f"resources.py: {e}", file=sys.stderr)
        return 2
    print_table(rows)
    if not args.check:
        return 0
    if not table:
        print(f"resources.py: `{args.suite} list` named no kernels", file=sys.stderr)
        return 1
    problems = mismatches(rows, table, archs)
    for p in problems:
        print(f"MISMATCH {p}")
    print(f"checked {len(table)} kernels of the table on {', '.join(archs)}: "
          f"{'all match' if not problems else f'{len(problems)} mismatches'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
