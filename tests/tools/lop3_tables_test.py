#!/usr/bin/env -S /usr/bin/python3
"""The LOP3 truth tables of the bit-sliced kernels (library/core/bitslice_logic.cuh)
held to the boolean functions they are named for, on both backends: the C++
fallback, compiled here against the emulated runtime, and the inline PTX,
read from what `nvcc -ptx` emits (only the PTX: ptxas rewrites the tables
in SASS). The kernel's own PTX must use no other immediate.

  tests/tools/lop3_tables_test.py --cxx PATH [--nvcc PATH]

Without nvcc the PTX cases are skipped.
"""
import argparse
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "tools"))
from cuda_tools import find_tool  # noqa: E402

HEADER = REPO / "library/core/bitslice_logic.cuh"
PROBE = REPO / "tests/tools/lop3_probe.cu"
KERNEL = REPO / "library/core/bitslice_kernels.cu"
WORD = 0xFFFFFFFF

# What each table is for, written as its function of the bits a, b, c.
FUNCTIONS = {
    "xor3_table": lambda a, b, c: a ^ b ^ c,
    "majority_table": lambda a, b, c: (a & b) | (a & c) | (b & c),  # at least two set: a full adder's carry
    "xor_table": lambda a, b, c: a ^ b,
    "select_table": lambda a, b, c: a if c else b,
    "decide_table": lambda a, b, c: a | (b ^ c),
    "or3_table": lambda a, b, c: a | b | c,
    "and3_table": lambda a, b, c: a & b & c,
}


def truth_table(function):
    """LOP3's encoding: bit 4a + 2b + c holds the function of a, b, c."""
    return sum(function(m >> 2 & 1, m >> 1 & 1, m & 1) << m for m in range(8))


def lop3_immediates(ptx):
    return [int(v, 0) for v in re.findall(r"lop3\.b32\s+[^;]*,\s*(0x[0-9a-fA-F]+|\d+)\s*;", ptx)]


def ptx_functions(ptx):
    """The body of each .entry in a PTX file, by (mangled) name."""
    parts = re.split(r"\.entry\s+(\w+)", ptx)
    return dict(zip(parts[1::2], parts[2::2]))


class Lop3Tables(unittest.TestCase):
    fallback = {}  # table -> (value in the header, fallback on the canonical operands)
    probe_ptx = None
    kernel_ptx = None

    def test_every_table_of_the_header_has_its_function_here(self):
        declared = set(re.findall(r"constexpr int (\w+_table)\b", HEADER.read_text()))
        self.assertEqual(declared, set(FUNCTIONS))
        self.assertEqual(set(self.fallback), set(FUNCTIONS), "lop3_probe.cu probes every table")

    def test_each_table_is_its_function_and_the_fallback_computes_it(self):
        for name, (value, computed) in self.fallback.items():
            with self.subTest(table=name):
                self.assertEqual(value, truth_table(FUNCTIONS[name]))
                self.assertEqual(computed, value * 0x01010101, "the fallback applies the table to every bit")

    def test_each_tables_immediate_in_the_ptx_is_its_function(self):
        if self.probe_ptx is None:
            self.skipTest("needs nvcc")
        functions = ptx_functions(self.probe_ptx)
        for name, function in FUNCTIONS.items():
            with self.subTest(table=name):
                body = [b for entry, b in functions.items() if f"probe_{name}" in entry]
                self.assertEqual(len(body), 1, f"probe_{name} in the PTX")
                self.assertEqual(lop3_immediates(body[0]), [truth_table(function)])

    def test_the_kernels_ptx_uses_exactly_the_headers_tables(self):
        if self.kernel_ptx is None:
            self.skipTest("needs nvcc")
        used = set(lop3_immediates(self.kernel_ptx))
        self.assertEqual(used, {truth_table(f) for f in FUNCTIONS.values()})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--nvcc")
    args, rest = parser.parse_known_args()
    nvcc = find_tool("nvcc", args.nvcc)
    with tempfile.TemporaryDirectory() as work:
        probe = f"{work}/lop3_probe"
        subprocess.run([args.cxx, "-std=c++17", "-O1", "-x", "c++", "-include", "cuda_runtime.h",
                        "-I", str(REPO / "emu/include"), "-I", str(REPO), str(PROBE), "-o", probe], check=True)
        for line in subprocess.run([probe], capture_output=True, text=True, check=True).stdout.splitlines():
            name, value, computed = line.split()
            Lop3Tables.fallback[name] = (int(value), int(computed))
        if nvcc:
            ptx = {}
            for source in (PROBE, KERNEL):
                out = f"{work}/{source.stem}.ptx"
                subprocess.run([nvcc, "-ptx", "-arch=sm_90", "-std=c++17", "--expt-relaxed-constexpr",
                                "-I", str(REPO), str(source), "-o", out], check=True)
                ptx[source] = Path(out).read_text()
            Lop3Tables.probe_ptx, Lop3Tables.kernel_ptx = ptx[PROBE], ptx[KERNEL]
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
