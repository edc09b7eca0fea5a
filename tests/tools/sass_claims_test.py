#!/usr/bin/env -S /usr/bin/python3
"""What the kernels' comments claim about their machine code, read from the
built binary with cuobjdump (no GPU, no second compile):

- every kernel in the binary, on every architecture in it, has no local
  memory: no stack frame, no spills (res-usage STACK and LOCAL are 0, and
  no LDL/STL in its SASS);
- the kernels that CLAIMS names use packed 16-bit min/max (VIMNMX.U16x2 and
  the like) on sm_90 and later and none before, and issue the load and store
  widths their comments give, on every architecture.

  tests/tools/sass_claims_test.py --suite build/median_suite [--nvcc PATH]

With nvcc, each check is first shown to find what it looks for in a small
kernel that has it and not in its twin that lacks it
(tests/tools/sass_claims_kernels.cu, compiled for sm_80 and sm_90).
Exit code 77 (CTest's skip) when cuobjdump is missing.
"""
import argparse
import collections
import re
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "tools"))
from cuda_tools import find_tool, plain_names, suite_kernels  # noqa: E402

PACKED_FROM_SM = 90
# value_codec.cuh: float keys from a NaN-propagating min (FMNMX.NAN) from
# sm_80 on; before, the NaN test in integer instructions.
NAN_MIN_FROM_SM = 80
FLOAT_KERNELS = r"median_(tiled_keys|select)_f32_w\d+_c[134]"


@dataclass
class Claim:
    kernels: str  # a pattern of plain kernel names (re.fullmatch); it must match a kernel of the binary
    why: str  # where the claim is made
    widths: dict = field(default_factory=dict)  # instruction -> access widths in bits it issues
    packed_minmax: bool = False  # packed 16-bit min/max from sm_90 on, none before


CLAIMS = [
    Claim(r"median_kernel_bitslice|median_bitslice_u8_w5_c[134]",
          "bitslice_core.cuh: aligned word loads, 16-byte stores; plane pairs and 16-byte reads",
          widths={"LDG": {32}, "STG": {128}, "STS": {64, 128}, "LDS": {128}}),
    Claim("median_kernel_tiled_network", "tiled_filter.cuh: word loads and stores, 16-byte shared stores and reads",
          widths={"LDG": {32}, "STG": {32}, "STS": {128}, "LDS": {128}}, packed_minmax=True),
    # The library's 8- and 16-bit kernels of the tiled network, by their old and new names.
    Claim(r"median_kernel_border_c[134]|median_tiled_(lanes_)?u(8|16)_w\d+_c[134]",
          "library/core: the tiled network's 16-byte shared reads", widths={"LDS": {128}}, packed_minmax=True),
]

WIDTH_MODIFIERS = {"U8": 8, "S8": 8, "U16": 16, "S16": 16, "64": 64, "128": 128}
LOCAL_MEMORY = {"LDL", "STL"}


def access_width(opcode):
    """Bits one thread moves with a load or store opcode (32 unless a modifier says otherwise)."""
    widths = [WIDTH_MODIFIERS[m] for m in opcode.split(".")[1:] if m in WIDTH_MODIFIERS]
    return widths[0] if widths else 32


def is_packed_minmax(opcode):
    return "MNMX" in opcode and "16x2" in opcode


def arch_number(arch):
    return int(arch.removeprefix("sm_"))


def local_memory(usage, ops):
    """What of local memory a kernel has: its stack frame, local bytes and LDL/STL instructions."""
    found = {k: usage[k] for k in ("STACK", "LOCAL") if usage[k]}
    found.update({op: n for op, n in ops.items() if op.split(".")[0] in LOCAL_MEMORY})
    return found


def packed_minmax_count(ops):
    return sum(n for op, n in ops.items() if is_packed_minmax(op))


def issued_widths(ops):
    """Instruction (LDG, STS, ...) -> the access widths in bits it is issued with."""
    widths = collections.defaultdict(set)
    for op in ops:
        widths[op.split(".")[0]].add(access_width(op))
    return widths


def read_sass(cuobjdump, binary):
    """{(arch, mangled name): Counter of opcodes}."""
    text = subprocess.run([cuobjdump, "-sass", binary], capture_output=True, text=True, check=True).stdout
    ops, arch, function = collections.defaultdict(collections.Counter), None, None
    for line in text.splitlines():
        if m := re.match(r"\s*arch = (sm_\d+)", line):
            arch = m.group(1)
        elif m := re.search(r"Function : (\S+)", line):
            function = m.group(1)
        elif function and (m := re.match(r"\s+/\*[0-9a-f]+\*/\s+(?:@!?U?P[T0-9]\s+)?([A-Z][A-Za-z0-9_.]*)", line)):
            ops[(arch, function)][m.group(1)] += 1
    return ops


def read_resources(cuobjdump, binary):
    """{(arch, mangled name): {"STACK": n, "LOCAL": n, ...}}."""
    text = subprocess.run([cuobjdump, "-res-usage", binary], capture_output=True, text=True, check=True).stdout
    usage, arch, function = {}, None, None
    for line in text.splitlines():
        if m := re.match(r"\s*arch = (sm_\d+)", line):
            arch = m.group(1)
        elif m := re.match(r"\s*Function (\S+):", line):
            function = m.group(1)
        elif function and "REG:" in line:
            usage[(arch, function)] = {k: int(v) for k, v in re.findall(r"(\w+(?:\[\d+\])?):(\d+)", line)}
            function = None
    return usage


class MachineCode(unittest.TestCase):
    sass = {}  # (arch, plain name) -> Counter of opcodes
    resources = {}  # (arch, plain name) -> res-usage fields
    table = []  # kernel names of `median_suite list --json`

    def kernels(self, pattern):
        return sorted({name for _, name in self.sass if re.fullmatch(pattern, name)})

    def test_every_kernel_of_the_table_is_in_the_binary(self):
        found = {name for _, name in self.sass}
        self.assertEqual([k for k in self.table if k not in found], [])
        self.assertEqual(set(self.resources), set(self.sass), "res-usage and SASS list the same functions")

    def test_no_kernel_has_local_memory(self):
        for (arch, name), usage in sorted(self.resources.items()):
            with self.subTest(kernel=name, arch=arch):
                self.assertEqual(local_memory(usage, self.sass[(arch, name)]), {}, "stack frame, spills")

    def test_every_claim_names_a_kernel_of_the_binary(self):
        for claim in CLAIMS:
            self.assertNotEqual(self.kernels(claim.kernels), [], f"no kernel matches {claim.kernels!r}")

    def test_packed_minmax_from_sm_90_on_and_not_before(self):
        for claim in (c for c in CLAIMS if c.packed_minmax):
            for name in self.kernels(claim.kernels):
                for (arch, n), ops in sorted(self.sass.items()):
                    if n != name:
                        continue
                    with self.subTest(kernel=name, arch=arch):
                        packed = packed_minmax_count(ops)
                        if arch_number(arch) >= PACKED_FROM_SM:
                            self.assertGreater(packed, 0, "packed 16-bit min/max")
                        else:
                            self.assertEqual(packed, 0, "one register per lane before sm_90")

    def test_float_keys_from_a_nan_propagating_min_from_sm_80_on(self):
        for (arch, name), ops in sorted(self.sass.items()):
            if not re.fullmatch(FLOAT_KERNELS, name):
                continue
            with self.subTest(kernel=name, arch=arch):
                nan_min = sum(n for op, n in ops.items() if op.startswith("FMNMX") and ".NAN" in op)
                if arch_number(arch) >= NAN_MIN_FROM_SM:
                    self.assertGreater(nan_min, 0, "FMNMX.NAN makes every NaN one before the key")
                else:
                    self.assertEqual(nan_min, 0, "no min.NaN before sm_80")
        self.assertNotEqual(self.kernels(FLOAT_KERNELS), [])

    def test_claimed_access_widths_are_issued(self):
        for claim in CLAIMS:
            for name in self.kernels(claim.kernels):
                for (arch, n), ops in sorted(self.sass.items()):
                    if n != name:
                        continue
                    issued = issued_widths(ops)
                    for instruction, widths in claim.widths.items():
                        with self.subTest(kernel=name, arch=arch, instruction=instruction):
                            self.assertLessEqual(widths, issued[instruction], f"{claim.why}; issued: {sorted(ops)}")


class Detectors(unittest.TestCase):
    """Each check on kernels built to pass or fail it."""
    sass = {}
    resources = {}

    def kernel(self, arch, name):
        return self.resources[(arch, name)], self.sass[(arch, name)]

    def setUp(self):
        if not self.sass:
            self.skipTest("needs nvcc")

    def test_local_memory_is_found(self):
        for arch in ("sm_80", "sm_90"):
            self.assertNotEqual(local_memory(*self.kernel(arch, "local_array")), {}, arch)
            self.assertEqual(local_memory(*self.kernel(arch, "register_array")), {}, arch)

    def test_packed_minmax_is_found_where_the_architecture_has_it(self):
        self.assertGreater(packed_minmax_count(self.kernel("sm_90", "packed_min")[1]), 0)
        self.assertEqual(packed_minmax_count(self.kernel("sm_90", "word_min")[1]), 0)
        self.assertEqual(packed_minmax_count(self.kernel("sm_80", "packed_min")[1]), 0)

    def test_access_widths_are_read_from_the_opcodes(self):
        for arch in ("sm_80", "sm_90"):
            wide, narrow = issued_widths(self.kernel(arch, "wide_copy")[1]), issued_widths(self.kernel(arch, "byte_copy")[1])
            self.assertEqual((wide["LDG"], wide["STG"]), ({128}, {128}), arch)
            self.assertEqual((narrow["LDG"], narrow["STG"]), ({8}, {8}), arch)


def by_plain_name(per_function, arch=None):
    """Keyed by plain kernel names; `arch` for a cubin, whose listing names none."""
    names = plain_names(sorted({f for _, f in per_function}))
    return {(a or arch, names[f]): v for (a, f), v in per_function.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--suite", required=True, help="median_suite of the GPU build")
    parser.add_argument("--cuobjdump")
    parser.add_argument("--nvcc")
    args, rest = parser.parse_known_args()
    cuobjdump = find_tool("cuobjdump", args.cuobjdump)
    if cuobjdump is None:
        print("skipped: needs cuobjdump (tools/install_deps.sh installs it)")
        return 77
    nvcc = find_tool("nvcc", args.nvcc)
    if nvcc:
        with tempfile.TemporaryDirectory() as work:
            for arch in ("sm_80", "sm_90"):
                cubin = f"{work}/kernels.{arch}.cubin"
                subprocess.run([nvcc, "-cubin", f"-arch={arch}", "-O3", str(REPO / "tests/tools/sass_claims_kernels.cu"),
                                "-o", cubin], check=True)
                Detectors.sass.update(by_plain_name(read_sass(cuobjdump, cubin), arch))
                Detectors.resources.update(by_plain_name(read_resources(cuobjdump, cubin), arch))
    MachineCode.sass = by_plain_name(read_sass(cuobjdump, args.suite))
    MachineCode.resources = by_plain_name(read_resources(cuobjdump, args.suite))
    MachineCode.table = [k["name"] for k in suite_kernels(args.suite)]
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
