#!/usr/bin/env -S /usr/bin/python3
"""Machine-code profile of every kernel of the table: instructions per output
pixel by class, resources, occupancy, control flow and a modelled throughput
ceiling on named GPUs, all read from the SASS of the built GPU binary.

  tools/sass_profile.py --suite build/median_suite [--arch sm_90 --arch sm_80] [--json FILE]
  tools/sass_profile.py --suite build/median_suite --arch all --check
      (CTest: every kernel of the table profiled; exit 77 without the disassemblers)
  tools/sass_profile.py --suite build/median_suite --compare bench.json   (measured / modelled)

How instructions are counted
  instr/px: the instructions the threads of one block issue from entry to
  EXIT, predicated-off ones included (they take an issue slot), averaged
  over the block's threads and divided by the output pixels of one thread
  (outputs_per_thread of `median_suite list --json`). Throughput follows
  what all warps issue, so this average is the primary figure; "longest
  thr" beside it is the thread that issues the most. Branches are told
  apart by what decides them, traced through the registers from the loads:
  - a branch on image data (values loaded from global or shared memory) is
    data-dependent: both sides count, and the result is a range, lowest to
    highest over all pixels;
  - any other branch depends only on the thread's position (loader threads
    that stage the tile's apron, threads outside the image). For the block
    average each thread takes its own side: the integer instructions that
    compute the predicate (S2R of the thread, block and lane indices; the
    constant bank's block and grid sizes and kernel arguments; IMAD, IADD3,
    LEA, SHF, LOP3, PRMT, SEL, ISETP, PLOP3, min/max, ...) are evaluated for
    every thread of one block in the middle of the grid of a nominal launch:
    a 3840x2160 image, the int arguments padded width 3844 then height 2160,
    buffers 256-byte aligned as cudaMalloc returns them. A value is known
    where every definition reaching it gives the same; one inside a loop
    that changes from trip to trip is not. A branch the evaluation cannot
    decide counts its longer side for every thread, and the output names
    it. For the longest thread every such branch counts its longer side:
    every warp holding that thread spends that much.
  A loop's count comes from its exit test: an induction register stepped by
  constants (directly or through copies) and compared with a constant.
  Started from a constant, the count is fixed. Started from the thread's
  position (a thread-strided loop: rows from the thread index, stepped by
  the block's row count), the start's range is bounded from the same
  instructions with the indices' ranges (thread index 0..1023, block size
  1..1024), narrowed by compares with constants whose branches lead to the
  loop on one side only, and the count is LOW..HIGH "by thread position":
  HIGH from the lowest start, LOW from the highest start where that is
  bounded, else 1. The block average takes each thread's own count, also
  where the start's range is open. A loop that can also leave on data runs
  from 1 to that count; a loop whose count cannot be proven from the code
  has no upper bound ("unbounded"). A range is always printed as LOW..HIGH,
  never as one guessed number. Each class is bounded on its own (at a data
  branch: the lower and higher count of either side), so a total's range
  can be a little wider than any one path.

The model (a model, not a measurement)
  issue limit: cycles per pixel per SM = the larger of (instr/px, the
  block average, / 128, four warp schedulers issuing one warp instruction
  per clock) and the sum over classes of instructions / the class's per-SM throughput (no
  overlap between classes assumed); memory limit: 6 bytes per pixel (the
  input read once, the output written once) against DRAM bandwidth. The
  ceiling is the lower of the two. Sources are cited beside the tables below.
"""
import argparse
import json
import math
import os
import re
import struct
import subprocess
import sys
import tempfile
from collections import defaultdict
from pathlib import Path

from cuda_tools import find_tool, plain_names, suite_kernels

DEFAULT_ARCHS = ["sm_90"]
MODEL_LABEL = "model, not a measurement"
SKIPPED = 77  # --check without the disassemblers: CTest's skip code

# ---- instruction classes -----------------------------------------------------

CLASSES = ["minmax", "lop3", "int", "shift", "shared", "global", "cvt", "branch", "fp32", "other"]
CLASS_TITLES = {
    "minmax": "integer min/max", "lop3": "three-input logic", "int": "other integer ALU",
    "shift": "shift/funnel/permute", "shared": "shared loads/stores", "global": "global loads/stores",
    "cvt": "conversions", "branch": "branches/barriers", "fp32": "32-bit float", "other": "other",
}
OPCODE_CLASSES = {
    "minmax": {"IMNMX", "VIMNMX", "VIMNMX3", "VIADDMNMX"},
    "lop3": {"LOP3"},
    "int": {"IADD3", "IADD", "IMAD", "IMUL", "ISETP", "ICMP", "SEL", "LEA", "IABS", "VIADD", "POPC", "FLO",
            "BREV", "BMSK", "SGXT", "IDP", "ISCADD", "XMAD", "VABSDIFF", "VABSDIFF4", "IMNMX3"},
    "shift": {"SHF", "SHL", "SHR", "PRMT", "BFE", "BFI"},
    "shared": {"LDS", "STS", "LDSM", "ATOMS"},
    "global": {"LDG", "STG", "LD", "ST", "ATOMG", "ATOM", "RED", "LDGSTS"},
    "cvt": {"I2F", "F2I", "F2F", "I2I", "I2FP", "F2IP", "FRND"},
    "branch": {"BRA", "BRX", "JMP", "JMX", "CALL", "RET", "EXIT", "BAR", "BSSY", "BSYNC", "WARPSYNC", "BREAK",
               "KILL", "YIELD"},
    "fp32": {"FADD", "FMUL", "FFMA", "FSETP", "FMNMX", "FSEL", "FSET", "FCHK", "FSWZADD"},
}
CLASS_OF = {op: c for c, ops in OPCODE_CLASSES.items() for op in ops}
LOADS = {"LDG", "LD", "LDS", "LDSM", "LDL", "ATOMS", "ATOMG", "ATOM", "SHFL"}
NO_DEST = {"STG", "ST", "STS", "STL", "RED", "BRA", "BRX", "JMP", "JMX", "CALL", "RET", "EXIT", "BAR", "BSSY",
           "BSYNC", "WARPSYNC", "BREAK", "KILL", "YIELD", "NOP", "DEPBAR", "MEMBAR", "ERRBAR", "CCTL", "FENCE"}
SPILLS = {"LDL", "STL"}


def opcode_root(opcode):
    return opcode.split(".")[0]


def class_of(opcode):
    root = opcode_root(opcode)
    # Uniform-datapath instructions run once per warp, on their own pipe.
    if root.startswith("U") or root in ("S2UR", "R2UR"):
        return "other"
    return CLASS_OF.get(root, "other")


# ---- per-SM throughput per clock, CUDA C++ Programming Guide ----------------
# "Arithmetic Instructions", table "Throughput of Native Arithmetic
# Instructions (operations per clock cycle per multiprocessor)", columns
# 8.0, 8.9 and 9.0 (the compute capabilities of the GPUs below):
THROUGHPUT = {
    # row "compare, minimum, maximum"
    "minmax": {80: 64, 89: 64, 90: 64},
    # row "32-bit bitwise AND, OR, XOR"
    "lop3": {80: 64, 89: 64, 90: 64},
    # rows "32-bit integer add, extended-precision add, subtract",
    # "32-bit integer multiply, multiply-add" and "compare": 64 each
    "int": {80: 64, 89: 64, 90: 64},
    # row "32-bit integer shift" (byte permutes taken at the same rate: no row of their own)
    "shift": {80: 64, 89: 64, 90: 64},
    # row "all other type conversions"
    "cvt": {80: 16, 89: 16, 90: 16},
    # row "32-bit floating-point add, multiply, multiply-add"
    "fp32": {80: 64, 89: 128, 90: 128},
    # "Shared Memory" of the compute capability 5.x and later sections: 32
    # banks, each 32 bits per clock, so one conflict-free warp access per clock.
    "shared": {80: 32, 89: 32, 90: 32},
}
# Classes without a row (global accesses, branches, other) count only
# against the dispatch limit: the compute capability 8.x and 9.0 sections
# give an SM four warp schedulers, each issuing one warp instruction per clock.
DISPATCH_PER_CLOCK = 4 * 32
BYTES_PER_PIXEL = 6  # 3 bytes read, 3 written

# ---- GPUs: vendors' data sheets ------------------------------------------------
# SMs from the CUDA core counts of the data sheets (128 FP32 cores per SM on
# Hopper and Ada, 64 on A100); boost clock and memory bandwidth as listed there.
GPUS = [
    # NVIDIA H100 Tensor Core GPU data sheet (H100 SXM: 16,896 CUDA cores,
    # 3.35 TB/s); 1,980 MHz max boost (H100 Tensor Core GPU Architecture whitepaper).
    {"name": "H100 SXM", "cc": 90, "sms": 132, "mhz": 1980, "gbps": 3350, "match": r"H100.*(SXM|HBM3)"},
    # NVIDIA H200 Tensor Core GPU data sheet (H200 SXM: 4.8 TB/s; the H100 SXM's 132 SMs and clock).
    {"name": "H200 SXM", "cc": 90, "sms": 132, "mhz": 1980, "gbps": 4800, "match": r"H200"},
    # NVIDIA A100 Tensor Core GPU data sheet (A100 80GB SXM: 2,039 GB/s) and
    # architecture whitepaper (108 SMs, 1,410 MHz boost).
    {"name": "A100 SXM 80GB", "cc": 80, "sms": 108, "mhz": 1410, "gbps": 2039, "match": r"A100.*SXM.*80"},
    # GeForce RTX 4090 specifications / Ada Lovelace architecture whitepaper:
    # 16,384 CUDA cores, 2,520 MHz boost, 1,008 GB/s (21 Gbps GDDR6X, 384-bit).
    {"name": "RTX 4090", "cc": 89, "sms": 128, "mhz": 2520, "gbps": 1008, "match": r"RTX 4090"},
    # NVIDIA L40S data sheet: 18,176 CUDA cores, 2,520 MHz boost, 864 GB/s.
    {"name": "L40S", "cc": 89, "sms": 142, "mhz": 2520, "gbps": 864, "match": r"L40S"},
]

# ---- per-SM limits, CUDA C++ Programming Guide ---------------------------------
# "Technical Specifications per Compute Capability": resident blocks,
# threads, 32-bit registers and shared memory per SM (the largest carveout).
# Registers are allocated per warp in units of 256; shared memory in units
# of 128 bytes, plus 1 KiB per block reserved by the system on 8.0 and later.
SM_LIMITS = {
    80: {"blocks": 32, "threads": 2048, "smem": 167936},
    86: {"blocks": 16, "threads": 1536, "smem": 102400},
    89: {"blocks": 24, "threads": 1536, "smem": 102400},
    90: {"blocks": 32, "threads": 2048, "smem": 233472},
    100: {"blocks": 32, "threads": 2048, "smem": 233472},
    120: {"blocks": 32, "threads": 1536, "smem": 102400},
}
REGISTERS_PER_SM = 65536
REGISTER_UNIT = 256
SMEM_UNIT = 128
SMEM_RESERVED = 1024
# sm_90 and later cubins hold the reserved KiB in the kernel's shared section
# already (ptxas -v prints 1 KiB less than cuobjdump there).
RESERVE_IN_CUBIN_FROM = 90


def arch_number(arch):
    return int(arch.replace("sm_", "").rstrip("af"))


def occupancy(cc, registers, cubin_smem, threads):
    """(blocks, warps) resident per SM, and what limits them."""
    limits = SM_LIMITS.get(cc)
    if limits is None or threads <= 0:
        return None
    warps = math.ceil(threads / 32)
    per_warp = math.ceil(max(registers, 1) * 32 / REGISTER_UNIT) * REGISTER_UNIT
    smem = cubin_smem + (SMEM_RESERVED if 80 <= cc < RESERVE_IN_CUBIN_FROM else 0)
    smem = math.ceil(smem / SMEM_UNIT) * SMEM_UNIT
    bounds = {
        "blocks": limits["blocks"],
        "threads": limits["threads"] // threads,
        "registers": (REGISTERS_PER_SM // per_warp) // warps,
        "shared memory": limits["smem"] // smem if smem else limits["blocks"],
    }
    blocks = min(bounds.values())
    return {"blocks": blocks, "warps": blocks * warps, "limited_by": min(bounds, key=bounds.get)}


# ---- SASS parsing ----------------------------------------------------------------

INSTRUCTION = re.compile(r"/\*([0-9a-f]+)\*/\s+(.*?)\s*;")
LABEL = re.compile(r"^\s*(\.L_x_\d+):")
FUNCTION = re.compile(r"^\s*\.text\.(\S+):")
TARGET = re.compile(r"`\((\.L_x_\d+)\)")
REGISTER = re.compile(r"(?<![\w.])(!?)(U?R\d+|U?P\d|URZ|RZ|PT|UPT)(\.64|\.128)?(?![\w])")
IMMEDIATE = re.compile(r"^-?(0x[0-9a-f]+|\d+)$")


class Instruction:
    def __init__(self, offset, text):
        self.offset = offset
        self.guard = None  # (register, negated)
        m = re.match(r"@(!?)(U?P\w+)\s+(.*)", text)
        if m:
            self.guard = (m.group(2), m.group(1) == "!")
            text = m.group(3)
        parts = text.split(None, 1)
        self.opcode = parts[0]
        self.root = opcode_root(self.opcode)
        self.operands = [o.strip() for o in parts[1].split(",")] if len(parts) > 1 else []
        target = TARGET.search(text)
        self.target = target.group(1) if target else None
        # A call that does not return here (to a block that exits) is a jump.
        self.jump = self.root == "BRA" or self.opcode.startswith("CALL.REL.NOINC")
        # sm_100 and later: BRA.U UP0, target takes its condition as an operand.
        if self.jump and not self.guard and self.operands and (m := re.fullmatch(r"(!?)(U?P\d)", self.operands[0])):
            self.guard = (m.group(2), m.group(1) == "!")
        self.klass = class_of(self.opcode)

    def registers_of(self, operand):
        """Registers an operand names, pairs and quads expanded."""
        names = []
        for neg, name, width in REGISTER.findall(operand):
            if name in ("RZ", "URZ", "PT", "UPT"):
                continue
            names.append(name)
            count = {".64": 2, ".128": 4}.get(width, 1)
            m = re.match(r"(U?R)(\d+)$", name)
            if m and count > 1:
                names += [f"{m.group(1)}{int(m.group(2)) + i}" for i in range(1, count)]
        return names

    def dests_and_sources(self):
        ops = self.operands
        if self.root in NO_DEST or not ops:
            dests, sources = [], ops
        else:
            # The first operand, and the predicates right after it, are written.
            n = 1
            while n < len(ops) and re.fullmatch(r"U?P(\d|T)", ops[n]):
                n += 1
            # LOP3.LUT P, R, a, b, c, ...: the result and whether it is not zero
            if self.root in ("LOP3", "ULOP3") and re.fullmatch(r"U?P(\d|T)", ops[0]) and len(ops) > 5:
                n = 2
            dests, sources = ops[:n], ops[n:]
        written = [r for o in dests for r in self.registers_of(o)]
        width = re.search(r"\.(64|128)\b", self.opcode)
        wide = {"64": 2, "128": 4}.get(width.group(1), 1) if width else 1
        if self.root == "IMAD" and ".WIDE" in self.opcode:
            wide = 2
        if wide > 1 and written and (m := re.match(r"(U?R)(\d+)$", written[0])):
            written += [f"{m.group(1)}{int(m.group(2)) + i}" for i in range(1, wide)]
        read = [r for o in sources for r in self.registers_of(o)]
        if self.guard:
            read.append(self.guard[0])
        return written, read


def parse_sass(text):
    """{mangled name: (instructions, {label: index})} of nvdisasm -c output."""
    functions, current, pending = {}, None, []
    for line in text.splitlines():
        if m := FUNCTION.match(line):
            current = m.group(1)
            functions[current] = ([], {})
            pending = []
        elif current is None:
            continue
        elif m := LABEL.match(line):
            pending.append(m.group(1))
        elif m := INSTRUCTION.search(line):
            instructions, labels = functions[current]
            for label in pending:
                labels[label] = len(instructions)
            pending = []
            instructions.append(Instruction(int(m.group(1), 16), m.group(2)))
    return functions


# ---- control flow ----------------------------------------------------------------

class Block:
    def __init__(self, start, end):
        self.start, self.end = start, end  # instruction indices [start, end)
        self.succs = []
        self.data_branch = False
        self.may_exit = False  # ends in a predicated EXIT


def is_terminator(ins):
    return ins.jump or ins.root in ("BRX", "JMP", "JMX", "EXIT", "RET", "KILL")


def build_blocks(instructions, labels):
    leaders = {0} | set(labels.values())
    for i, ins in enumerate(instructions):
        if is_terminator(ins) and i + 1 < len(instructions):
            leaders.add(i + 1)
    starts = sorted(s for s in leaders if s < len(instructions))
    blocks = [Block(s, e) for s, e in zip(starts, starts[1:] + [len(instructions)])]
    block_at = {b.start: n for n, b in enumerate(blocks)}
    for n, b in enumerate(blocks):
        last = instructions[b.end - 1]
        falls = n + 1 < len(blocks)
        if last.jump and last.target in labels:
            b.succs.append(block_at[labels[last.target]])
            if last.guard and falls:
                b.succs.append(n + 1)
        elif last.root in ("EXIT", "RET", "KILL"):
            if last.guard and falls:
                b.succs.append(n + 1)
                b.may_exit = True
        elif last.root in ("BRX", "JMX"):
            b.succs = [m for m in range(len(blocks))]  # indirect: anywhere
        elif falls:
            b.succs.append(n + 1)
    return blocks


def reachable(blocks):
    seen, stack = {0}, [0]
    while stack:
        for s in blocks[stack.pop()].succs:
            if s not in seen:
                seen.add(s)
                stack.append(s)
    return seen


def dominators(blocks, nodes):
    preds = defaultdict(set)
    for n in nodes:
        for s in blocks[n].succs:
            preds[s].add(n)
    dom = {n: set(nodes) for n in nodes}
    dom[0] = {0}
    changed = True
    while changed:
        changed = False
        for n in sorted(nodes):
            if n == 0:
                continue
            new = set.intersection(*(dom[p] for p in preds[n] if p in nodes)) | {n} if preds[n] else {n}
            if new != dom[n]:
                dom[n], changed = new, True
    return dom, preds


def taint(instructions, blocks, nodes, preds):
    """Registers holding image data at the end of each block, and so which
    branches depend on data. Loads (global, shared, shuffles) produce data."""
    out = {n: set() for n in nodes}
    changed = True
    while changed:
        changed = False
        for n in sorted(nodes):
            state = set().union(*(out[p] for p in preds[n] if p in nodes)) if preds[n] else set()
            b = blocks[n]
            for ins in instructions[b.start:b.end]:
                written, read = ins.dests_and_sources()
                tainted = ins.root in LOADS or any(r in state for r in read)
                if (ins.jump or ins.root in ("EXIT", "BRX")) and ins is instructions[b.end - 1]:
                    b.data_branch = ins.guard is not None and ins.guard[0] in state or ins.root == "BRX"
                for r in written:
                    if tainted:
                        state.add(r)
                    elif not ins.guard:
                        state.discard(r)
            if state != out[n]:
                out[n], changed = state, True


# ---- values of the thread's position ----------------------------------------------
# Ranges (lo, hi) of the integers a thread computes from its index, its
# block's index and the block size alone; None for an unbounded end. Values
# that come from anything else (loads, kernel parameters) have no range.

INT_MIN, INT_MAX = -(1 << 31), (1 << 31) - 1
MAX_TRIPS = 1 << 20
MAX_THREADS = 1024
POSITION_RANGES = {
    "SR_TID.X": (0, MAX_THREADS - 1), "SR_TID.Y": (0, MAX_THREADS - 1), "SR_TID.Z": (0, 63),
    "SR_LANEID": (0, 31), "SR_CTAID.X": (0, INT_MAX), "SR_CTAID.Y": (0, 65535), "SR_CTAID.Z": (0, 65535),
}
# blockDim.x, .y, .z: c[0x0][0x0] to [0x8] before sm_100, [0x360] to [0x368] from it
BLOCK_SIZE = re.compile(r"^c\[0x0\]\[(RZ|0x[048]|0x36[048])\]$")


def unique_def(instructions, blocks, preds, index, register, here=None):
    """The one definition of `register` that reaches instruction `index` (of
    block `here`, or the end of that block) on every way there, or None
    (none, several, or a predicated one)."""
    found = reaching_defs(instructions, blocks, preds, index, register, here)
    if found is None or len(found) != 1 or instructions[found[0]].guard:
        return None
    return found[0]


def reaching_defs(instructions, blocks, preds, index, register, here=None):
    """The last definitions of `register` on the ways to instruction `index`
    (of block `here`, or the end of that block), or None when a way from
    the entry defines none."""
    here = block_of(blocks, index) if here is None else here
    for i in range(index - 1, blocks[here].start - 1, -1):
        if register in instructions[i].dests_and_sources()[0]:
            return [i]
    found, seen, stack = set(), {here}, list(preds[here])
    while stack:
        n = stack.pop()
        if n in seen:
            continue
        seen.add(n)
        defining = [i for i in range(blocks[n].start, blocks[n].end)
                    if register in instructions[i].dests_and_sources()[0]]
        if defining:
            found.add(defining[-1])
        elif not preds[n]:
            return None  # reaches the entry undefined
        else:
            stack += preds[n]
    return sorted(found)


def _bounded(lo, hi):
    lo = lo if lo is None or lo >= INT_MIN else None
    hi = hi if hi is None or hi <= INT_MAX else None
    return lo, hi


def _add(a, b):
    return _bounded(None if a[0] is None or b[0] is None else a[0] + b[0],
                    None if a[1] is None or b[1] is None else a[1] + b[1])


def _scale(a, factor, shift=0):
    """a times a constant, shifted right (floor) by `shift` bits."""
    ends = [None if v is None else v * factor >> shift for v in a]
    return _bounded(*(ends if factor >= 0 else ends[::-1]))


def _product(a, b):
    if None in a or None in b:
        if a[0] is not None and b[0] is not None and a[0] >= 0 and b[0] >= 0:
            return _bounded(a[0] * b[0], None)
        return None
    ends = [x * y for x in a for y in b]
    return _bounded(min(ends), max(ends))


def guard_bounds(instructions, blocks, preds, dom, here, register, at):
    """Bounds on `register`, as written at index `at`, that the branches on
    every way into block `here` put on it: a jump on a compare of it with a
    constant whose one side alone leads here. [(lo, hi)], None for no bound."""
    bounds = []
    for g in dom.get(here, ()):
        last = instructions[blocks[g].end - 1]
        if g == here or not last.jump or not last.guard or len(set(blocks[g].succs)) != 2:
            continue
        sides = [s for s in blocks[g].succs if s in dom[here] and set(preds[s]) == {g}]
        if len(sides) != 1:
            continue
        taken = sides[0] == blocks[g].succs[0]
        test = unique_def(instructions, blocks, preds, blocks[g].end - 1, last.guard[0], g)
        if test is None:
            continue
        t = instructions[test]
        m = re.match(r"U?ISETP\.(LT|LE|GT|GE|EQ|NE)(\.U32)?\.AND$", t.opcode)
        ops = [o.replace(".reuse", "") for o in t.operands]
        if not m or len(ops) != 5 or ops[1] not in ("PT", "UPT") or ops[4] not in ("PT", "UPT") \
                or ops[2] != register or (limit := immediate(ops[3])) is None \
                or unique_def(instructions, blocks, preds, test, register) != at:
            continue
        holds = taken != last.guard[1]  # the compare's value on the way here
        negation = {"LT": "GE", "LE": "GT", "GT": "LE", "GE": "LT", "EQ": "NE", "NE": "EQ"}
        cmp = m.group(1) if holds else negation[m.group(1)]
        bound = {"LT": (None, limit - 1), "LE": (None, limit), "GT": (limit + 1, None), "GE": (limit, None),
                 "EQ": (limit, limit), "NE": (None, None)}[cmp]
        if m.group(2):  # unsigned: an upper bound also excludes negative values
            bound = (0, bound[1]) if bound[1] is not None and bound[1] >= 0 else (None, None)
        bounds.append(bound)
    return bounds


def position_range(instructions, blocks, preds, index, operand, depth=12, here=None, dom=None):
    """Range of an operand of instruction `index` (of block `here`) when it
    comes from the thread's position, else None. With the dominators `dom`,
    narrowed by the compares that branch on the way."""
    operand = operand.replace(".reuse", "")
    found = _position_range(instructions, blocks, preds, index, operand, depth, here, dom)
    if found is None or dom is None or not re.fullmatch(r"U?R\d+", operand):
        return found
    at = unique_def(instructions, blocks, preds, index, operand, here)
    lo, hi = found
    for b_lo, b_hi in guard_bounds(instructions, blocks, preds, dom, block_of(blocks, index) if here is None
                                   else here, operand, at):
        lo = b_lo if lo is None or (b_lo is not None and b_lo > lo) else lo
        hi = b_hi if hi is None or (b_hi is not None and b_hi < hi) else hi
    return lo, hi


def _position_range(instructions, blocks, preds, index, operand, depth, here, dom):
    value = immediate(operand)
    if value is not None:
        return value, value
    if operand in ("RZ", "URZ"):
        return 0, 0
    if BLOCK_SIZE.match(operand):
        return 1, MAX_THREADS
    if not re.fullmatch(r"U?R\d+", operand) or depth == 0:
        return None
    at = unique_def(instructions, blocks, preds, index, operand, here)
    if at is None:
        return None
    ins = instructions[at]
    ops = [o for o in ins.operands if not re.fullmatch(r"!?U?P(\d|T)", o)]
    count = len(ops)
    if count < 2:
        return None
    ops += [""] * 4  # absent operands read as empty: no form below matches them

    def of(k):
        return position_range(instructions, blocks, preds, at, ops[k], depth - 1, dom=dom) if k < count else None

    op = ins.opcode
    root = ins.root.lstrip("U") if ins.root not in ("S2UR",) else "S2R"
    if root == "S2R":
        return POSITION_RANGES.get(ops[1])
    if root in ("MOV", "LDC", "LDCU") and count == 2:
        return of(1)
    if any(o[:1] in ("~", "|") or (o.startswith("-") and immediate(o) is None) for o in ops[1:]):
        return None
    if ".WIDE" in op or ".X" in op or ".64" in op:
        return None
    if root in ("VIADD", "IADD3") or op.startswith("IMAD.IADD"):
        total = (0, 0)
        for k in range(1, count):
            part = of(k)
            if part is None:
                return None
            total = _add(total, part)
        return total
    if root == "IMAD" and op in ("IMAD", "IMAD.U32", "IMAD.MOV", "IMAD.MOV.U32") and count == 4:
        a, b, c = of(1), of(2), of(3)
        prod = _product(a, b) if a and b else None
        return _add(prod, c) if prod and c else None
    if op == "IMAD.SHL.U32" and (k := immediate(ops[2])) is not None:
        a = of(1)
        return _scale(a, 1 << k) if a and a[0] is not None and a[0] >= 0 else None
    if op == "IMAD.HI" and (k := immediate(ops[2])) is not None and k > 0 and ops[3] == "RZ":
        a = of(1)
        return _scale(a, k, 32) if a else None
    if op in ("SHF.R.U32.HI", "SHF.R.S32.HI") and ops[1] == "RZ" and (k := immediate(ops[2])) is not None:
        a = of(3)
        if a is None or (op == "SHF.R.U32.HI" and (a[0] is None or a[0] < 0)):
            return None
        return _scale(a, 1, k)
    if op == "SHF.L.U32" and (k := immediate(ops[2])) is not None and ops[3] == "RZ":
        a = of(1)
        return _scale(a, 1 << k) if a and a[0] is not None and a[0] >= 0 else None
    if op == "LEA" and count == 4 and (k := immediate(ops[3])) is not None:
        a, b = of(1), of(2)
        return _add(_scale(a, 1 << k), b) if a and b and a[0] is not None and a[0] >= 0 else None
    if op == "LEA.HI.SX32" and count == 4 and (k := immediate(ops[3])) is not None:
        a, b = of(1), of(2)
        return _add(_scale(a, 1, 32 - k), b) if a and b else None
    if root in ("IMNMX", "VIMNMX") and op.split(".")[1:] in ([], ["U32"], ["S32"]) and len(ins.operands) == 4 \
            and ins.operands[3] in ("PT", "!PT"):
        a, b = of(1), of(2)
        if not a or not b or (".U32" in op and (a[0] is None or b[0] is None or min(a[0], b[0]) < 0)):
            return None
        # An open end (None) is -inf below and +inf above.
        if ins.operands[3] == "PT":
            return (None if None in (a[0], b[0]) else min(a[0], b[0]),
                    a[1] if b[1] is None else b[1] if a[1] is None else min(a[1], b[1]))
        return (a[0] if b[0] is None else b[0] if a[0] is None else max(a[0], b[0]),
                None if None in (a[1], b[1]) else max(a[1], b[1]))
    if op == "PRMT" and count == 4 and ops[3] == "RZ" and ops[2] in ("0x9910", "0x7710"):
        # sign- or zero-extending the low half: no change to a value that fits it
        a = of(1)
        fits = (0, 0x7FFF if ops[2] == "0x9910" else 0xFFFF)
        return a if a and a[0] is not None and a[1] is not None and fits[0] <= a[0] and a[1] <= fits[1] else None
    if op == "LOP3.LUT" and count >= 5 and ops[3] == "RZ" and ops[4] in ("0xc0", "0xfc"):
        a, mask = of(1), immediate(ops[2])
        if not a or mask is None or a[0] is None or a[0] < 0:
            return None
        if ops[4] == "0xc0" and mask >= 0:  # a & mask
            return 0, mask if a[1] is None else min(a[1], mask)
        # a | mask with no bit of a in mask: ptxas's a + mask (mask < 0 too)
        if ops[4] == "0xfc" and a[1] is not None and mask & ((1 << a[1].bit_length()) - 1) == 0:
            return a[0] + mask, a[1] + mask
    return None


# ---- loop counts -------------------------------------------------------------------

COMPARE = re.compile(r"^U?ISETP\.(LT|LE|GT|GE|EQ|NE)(\.U32)?\.AND$")


def immediate(text):
    if not IMMEDIATE.match(text):
        return None
    value = int(text, 16) if "0x" in text else int(text)
    return value - (1 << 32) if value >= 1 << 31 else value


def compare(op, unsigned, a, b):
    if unsigned:
        a, b = a & 0xFFFFFFFF, b & 0xFFFFFFFF
    return {"LT": a < b, "LE": a <= b, "GT": a > b, "GE": a >= b, "EQ": a == b, "NE": a != b}[op]


def wrap(value):
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value >= 1 << 31 else value


def defs_in(instructions, indices, register):
    return [i for i in indices if register in instructions[i].dests_and_sources()[0]]


def reaching_def(instructions, before, register, loop_start, every_iteration):
    """Index of the definition of `register` that reaches index `before` on
    every iteration of the loop starting at `loop_start`, or None."""
    for i in range(before - 1, loop_start - 1, -1):
        if register in instructions[i].dests_and_sources()[0]:
            return i if every_iteration(i) else None
    return None


def half_pair(high, low):
    """The 32 bits of a constant that ptxas builds as two halves (HFMA2 -RZ, RZ, high, low)."""
    try:
        bits = [struct.unpack("<H", struct.pack("<e", float(h)))[0] for h in (high, low)]
    except (ValueError, OverflowError, struct.error):
        return None
    return wrap(bits[0] << 16 | bits[1])


def constant_init(instructions, before, register, dominates_loop):
    """The constant a register holds on entering the loop that starts at
    index `before`: its last definition above, in a block that every way into
    the loop passes, sets a constant. Else None."""
    for i in range(before - 1, -1, -1):
        ins = instructions[i]
        written = ins.dests_and_sources()[0]
        if register not in written:
            if ins.root in ("BRA", "EXIT") and not ins.guard:
                return None
            continue
        if ins.guard or not dominates_loop(i):
            return None
        ops = ins.operands
        if ins.root in ("MOV", "UMOV") and len(ops) >= 2:
            return 0 if ops[1] in ("RZ", "URZ") else immediate(ops[1])
        if ins.opcode.startswith("IMAD.MOV") and len(ops) == 4 and ops[1] == "RZ" and ops[2] == "RZ":
            return 0 if ops[3] == "RZ" else immediate(ops[3])
        if ins.root == "CS2R" and ops[1:] == ["SRZ"]:
            return 0
        if ins.root == "HFMA2" and ops[1:3] == ["-RZ", "RZ"] and len(ops) == 5:
            return half_pair(ops[3], ops[4])
        return None
    return None


def counted_exit(instructions, body, branch_index, stays_if_taken, loop_start, every_iteration, dominates_loop,
                 start_range=lambda register: None):
    """Trips (lo, hi, counter, trips_from) of a loop whose exit test is the
    branch at `branch_index`: an induction register stepped by a constant and
    compared with one, started from a constant (lo == hi, counter None) or
    from a value of the thread's position whose range `start_range` bounds;
    trips_from(start) is the count from one start of that counter."""
    branch = instructions[branch_index]
    if not branch.guard:
        return None
    predicate, negated = branch.guard
    # Follow predicate copies (PLOP3 of one predicate with PT) to the compare.
    at = branch_index
    for _ in range(4):
        at = reaching_def(instructions, at, predicate, loop_start, every_iteration)
        if at is None:
            return None
        ins = instructions[at]
        ops = ins.operands
        if ins.root in ("PLOP3", "UPLOP3") and ops[1:4] == ["PT", "PT", "PT"] and ops[5:] == ["0x80", "0x0"]:
            predicate = ops[4].lstrip("!")
            negated ^= ops[4].startswith("!")
            continue
        break
    m = COMPARE.match(ins.opcode)
    if not m or len(ops) != 5 or ops[1] not in ("PT", "UPT") or ops[4] not in ("PT", "UPT"):
        return None
    limit = 0 if ops[3] in ("RZ", "URZ") else immediate(ops[3])
    compared = ops[2].replace(".reuse", "")
    if limit is None or not re.fullmatch(r"U?R\d+", compared):
        return None
    steps = induction_slice(instructions, body, compared, every_iteration, at)
    if steps is None:
        return None
    test, op, unsigned = at, m.group(1), bool(m.group(2))
    order = sorted(steps + [(test, None, [compared])])
    # Registers read in a trip before it writes them hold the loop's entry values.
    entry, written = [], set()
    for _, target, terms in order:
        entry += [t for t in terms if isinstance(t, str) and t not in written and t not in entry]
        if target:
            written.add(target)

    def iterate_in_order(values):
        values, stays = dict(values), None
        for i, target, terms in order:
            total = wrap(sum(values[t] if isinstance(t, str) else t for t in terms))
            if target is None:
                stays = (compare(op, unsigned, total, limit) != negated) == stays_if_taken
            else:
                values[target] = total
        return values, stays

    def trips_from(values):
        for trips in range(1, MAX_TRIPS):
            after, stays = iterate_in_order(values)
            if not stays:
                return trips
            if after == values:
                return None  # no progress: the loop leaves some other way
            values = after
        return None

    constants = {r: constant_init(instructions, loop_start, r, dominates_loop) for r in entry}
    varying = [r for r, v in constants.items() if v is None]
    if not varying:
        trips = trips_from(constants)
        return (trips, trips, None, None) if trips else None
    # One start from the thread's position: the count is monotonic in it, so
    # its ends come from the ends of the start's range. A start whose far end
    # is unknown may leave after the first trip.
    if len(varying) != 1:
        return None
    counter = varying[0]

    def per_start(start):
        return trips_from({**constants, counter: wrap(start)})

    # Unbounded where the start's range is not known: one block's threads
    # can still count from their own starts.
    known = start_range(counter) or (None, None)
    probe = next((v for v in known if v is not None), 0)
    step = iterate_in_order({**constants, counter: probe})[0].get(counter, probe) - probe
    longest, shortest = known if step > 0 else known[::-1]
    most = per_start(longest) if longest is not None and step != 0 else None
    if most is None:
        return 1, math.inf, counter, per_start
    fewest = per_start(shortest) if shortest is not None else 1
    return min(fewest or 1, most), most, counter, per_start


def induction_slice(instructions, body, register, every_iteration, test):
    """[(index, register, terms)] of the writes in the loop that the compare
    at `test` reads `register` from, and those they read in turn: each a
    sum of registers and constants, written on every trip. None when the
    loop computes them any other way."""
    order = sorted(body)
    steps, todo = {}, [(register, test)]
    while todo:
        r, reader = todo.pop()
        writes = [i for i in order if r in instructions[i].dests_and_sources()[0]]
        earlier = [i for i in writes if i < reader]
        # The value from earlier in the trip, else from the trip before (or the entry).
        i = earlier[-1] if earlier else writes[-1] if writes else None
        if i is None or i in steps:
            continue
        ins = instructions[i]
        if not every_iteration(i):
            return None
        # Carry-out predicates (IADD3 R, PT, PT, R, 1, RZ on sm_100) aside.
        sops = [o for o in ins.operands if not re.fullmatch(r"!?U?P(\d|T)", o)]
        if ins.root in ("IADD3", "UIADD3", "VIADD") or ins.opcode == "IMAD.IADD":
            sources = sops[1:]
        elif ins.root in ("MOV", "UMOV") and len(sops) == 2:
            sources = sops[1:]
        elif ins.opcode == "IMAD.MOV.U32" and sops[1:3] == ["RZ", "RZ"]:
            sources = sops[3:]
        else:
            return None
        terms = []
        for o in sources:
            if o in ("RZ", "URZ"):
                continue
            if (value := immediate(o)) is not None:
                terms.append(value)
            elif re.fullmatch(r"U?R\d+", o.replace(".reuse", "")):
                terms.append(o.replace(".reuse", ""))
                todo.append((terms[-1], i))
            else:
                return None
        steps[i] = (i, r, terms)
    return list(steps.values()) or None


# ---- counting ----------------------------------------------------------------------

class Cost:
    """Instruction counts per class, each a range lo..hi (hi may be inf)."""

    def __init__(self, lo=None, hi=None):
        self.lo = lo or defaultdict(float)
        self.hi = hi or defaultdict(float)

    @staticmethod
    def of(instructions):
        c = Cost()
        for ins in instructions:
            c.lo[ins.klass] += 1
            c.hi[ins.klass] += 1
        return c

    def plus(self, other):
        return Cost(_merge(self.lo, other.lo, lambda a, b: a + b), _merge(self.hi, other.hi, lambda a, b: a + b))

    def times(self, lo, hi):
        return Cost(defaultdict(float, {k: v * lo for k, v in self.lo.items()}),
                    defaultdict(float, {k: (v * hi if v else 0.0) for k, v in self.hi.items()}))

    @staticmethod
    def choose(costs, data):
        """Several ways on: any of them on data, the heavier otherwise."""
        lo = costs[0].lo
        hi = costs[0].hi
        for c in costs[1:]:
            lo = _merge(lo, c.lo, min if data else max)
            hi = _merge(hi, c.hi, max)
        return Cost(lo, hi)

    def total(self):
        return sum(self.lo.values()), sum(self.hi.values())


def _merge(a, b, f):
    return defaultdict(float, {k: f(a.get(k, 0.0), b.get(k, 0.0)) for k in set(a) | set(b)})


class UnanalysedFlow(ValueError):
    """Control flow whose cost the analysis cannot bound."""


class Region:
    """A node of the collapsed control flow: a block, or a whole loop."""

    def __init__(self, cost, succs, data, may_exit=False):
        self.cost, self.succs, self.data, self.may_exit = cost, succs, data, may_exit


def path_cost(regions, entry):
    """Cost from `entry` to the end of a DAG of regions; an edge leaving
    `regions` ends a path there."""
    memo, open_walks = {}, set()

    def walk(n):
        if n not in memo:
            if n in open_walks:
                raise UnanalysedFlow("a cycle that is not a natural loop (irreducible control flow)")
            open_walks.add(n)
            r = regions[n]
            ways = [walk(s) if s in regions else Cost() for s in r.succs]
            if r.may_exit:
                ways.append(Cost())
            memo[n] = r.cost.plus(Cost.choose(ways, r.data)) if ways else r.cost
            open_walks.discard(n)
        return memo[n]

    return walk(entry)


class LoopRegion(Region):
    pass


def _copy_loop(loop, succs):
    """The loop region with other successors, its details kept."""
    copy = LoopRegion(loop.cost, succs, loop.data, loop.may_exit)
    copy.__dict__.update({k: v for k, v in loop.__dict__.items() if k not in ("succs",)})
    copy.succs = succs
    return copy


def natural_loops(blocks, nodes, dom, preds):
    """{header: (latches, body blocks)}, one entry per header."""
    loops = {}
    for n in nodes:
        for h in blocks[n].succs:
            if h not in dom[n]:
                continue
            body, stack = {h, n}, [n] if n != h else []
            while stack:
                for p in preds[stack.pop()]:
                    if p not in body and p in nodes:
                        body.add(p)
                        stack.append(p)
            latches, known = loops.get(h, ([], set()))
            loops[h] = (latches + [n], known | body)
    return loops


def block_of(blocks, index):
    return next(n for n, b in enumerate(blocks) if b.start <= index < b.end)


def trip_count(instructions, blocks, labels, h, latches, body, plain, dom, test):
    """Trips of the loop at header h when block `test` ends in its counted
    exit test, else None. `plain` are the body blocks outside inner loops."""
    b = blocks[test]
    branch = instructions[b.end - 1]
    if not branch.jump or not branch.guard or blocks[h].start != min(blocks[n].start for n in body):
        return None
    stays_if_taken = block_of(blocks, labels[branch.target]) in body
    indices = [i for n in sorted(body) for i in range(blocks[n].start, blocks[n].end)]

    def every_iteration(index):
        n = block_of(blocks, index)
        return n in plain and all(n in dom[latch] for latch in latches) and not instructions[index].guard

    preds = defaultdict(list)
    for n, block in enumerate(blocks):
        for succ in block.succs:
            preds[succ].append(n)
    entries = [p for p in preds[h] if p not in body]

    def start_range(counter):
        """The counter's range on entering the loop, from the thread's position."""
        ends = [position_range(instructions, blocks, preds, blocks[p].end, counter, here=p, dom=dom) for p in entries]
        if not ends or None in ends:
            return None
        lows, highs = [e[0] for e in ends], [e[1] for e in ends]
        return (None if None in lows else min(lows)), (None if None in highs else max(highs))

    return counted_exit(instructions, indices, b.end - 1, stays_if_taken, blocks[h].start, every_iteration,
                        lambda index: block_of(blocks, index) in dom[h], start_range)


def analyse(instructions, labels):
    """Per-thread cost range and the loops of one function."""
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 10 * len(instructions) + 1000))
    blocks = build_blocks(instructions, labels)
    nodes = reachable(blocks)
    dom, preds = dominators(blocks, nodes)
    taint(instructions, blocks, nodes, preds)
    regions = {n: Region(Cost.of(instructions[blocks[n].start:blocks[n].end]), list(blocks[n].succs),
                         blocks[n].data_branch, blocks[n].may_exit) for n in nodes}
    owner = {n: n for n in nodes}  # block -> the region holding it
    loop_reports = []
    # Innermost (smallest) loops first, each collapsed into one region.
    for h, (latches, body) in sorted(natural_loops(blocks, nodes, dom, preds).items(), key=lambda x: len(x[1][1])):
        members = {owner[n] for n in body}
        plain = {n for n in body if owner[n] == n and not (n != h and isinstance(regions.get(n), LoopRegion))}
        one_trip = {m: regions[m] if isinstance(regions[m], LoopRegion) else
                    Region(regions[m].cost, [s for s in regions[m].succs if s != h], regions[m].data,
                           regions[m].may_exit) for m in members}
        for m in one_trip:
            if isinstance(one_trip[m], LoopRegion):
                one_trip[m] = _copy_loop(one_trip[m], [s for s in one_trip[m].succs if s != h])
        iteration = path_cost(one_trip, h)
        exits = sorted({s for m in members for s in regions[m].succs if s not in members})
        tests = [n for n in plain if len(set(owner[s] in members for s in blocks[n].succs)) == 2]
        leaving = [m for m in members if regions[m].may_exit or any(s not in members for s in regions[m].succs)]
        data = any(regions[m].data for m in leaving)
        counts = [c for t in tests if (c := trip_count(instructions, blocks, labels, h, latches, body, plain, dom, t))]
        # Several counted exits: the loop leaves at the first that holds.
        count = (min(c[0] for c in counts), min(c[1] for c in counts)) if counts else None
        alone = len(leaving) == 1 and not regions[leaving[0]].may_exit
        if count is not None and alone and count[0] == count[1]:
            lo, hi, kind = count[0], count[1], "fixed"
        elif count is not None and alone and count[1] < math.inf:
            lo, hi, kind = count[0], count[1], "position"
        elif count is not None and count[1] < math.inf:
            lo, hi, kind = 1, count[1], "data" if data else "thread"
        else:
            lo, hi, kind = 1, math.inf, "data" if data else "unproven"
        loop_reports.append({"trips": (lo, hi), "kind": kind, "offset": instructions[blocks[h].start].offset,
                             "body": iteration.total()})
        may_exit = any(regions[m].may_exit for m in members)
        for m in members:
            del regions[m]
        regions[h] = LoopRegion(iteration.times(lo, hi), exits, data or kind != "fixed", may_exit)
        regions[h].iteration, regions[h].kind, regions[h].one_trip = iteration, kind, one_trip
        regions[h].header, regions[h].trips = h, (lo, hi)
        # Counts from each thread's start, for the block average.
        regions[h].counted = [(c[2], c[3]) for c in counts if c[2] is not None] \
            if alone and kind in ("position", "unproven") else []
        regions[h].entries = [p for p in preds[h] if p not in body]
        # Branches on the thread's position inside the body count their longer side.
        regions[h].inner_choices = any(not blocks[m].data_branch and len({s for s in blocks[m].succs
                                                                          if s in body and s != h}) > 1
                                       for m in body)
        for n in body:
            owner[n] = h
        for r in regions.values():
            r.succs = [h if s in members else s for s in r.succs]
        regions[h].succs = exits
    data_branches = sum(1 for n in nodes if blocks[n].data_branch)
    shape = {"instructions": instructions, "blocks": blocks, "preds": preds, "regions": regions}
    return path_cost(regions, 0), loop_reports, data_branches, shape


# ---- one block, thread by thread ---------------------------------------------------
# Throughput follows the instructions all warps issue, so the primary figure
# averages the threads of one interior block of a nominal launch: each
# thread's branches on its position and its loop counts are evaluated from
# the integer instructions that compute them, with the thread's indices, the
# block's and the kernel's integer arguments.

NOMINAL_WIDTH, NOMINAL_HEIGHT = 3840, 2160
APRON = 2  # PaddedImage's border on each side
MASK32 = 0xFFFFFFFF
# Buffers as cudaMalloc returns them: aligned to 256 bytes at least.
NOMINAL_BUFFER, NOMINAL_BUFFER_STRIDE = 0x7F0000000000, 0x100000000
# Where the constant bank holds blockDim, gridDim and the first argument.
BANK_LAYOUTS = [(100, {"ntid": 0x360, "nctaid": 0x370, "params": 0x380}),
                (90, {"ntid": 0x0, "nctaid": 0xC, "params": 0x210}),
                (0, {"ntid": 0x0, "nctaid": 0xC, "params": 0x160})]
CONSTANT = re.compile(r"^c\[0x0\]\[(0x[0-9a-f]+|RZ)\]$")


def parameter_offsets(mangled):
    """Byte offsets of the int and of the pointer arguments of an
    Itanium-mangled kernel whose arguments are pointers to builtin types and
    ints; none for any other."""
    m = re.match(r"_Z(\d+)", mangled)
    if not m:
        return [], []
    types = mangled[m.end() + int(m.group(1)):]
    if not re.fullmatch(r"(PK?[a-z]|[a-z])*", types):
        return [], []  # a named type (an enum, a struct): its size is not in the name
    ints, pointers, at = [], [], 0
    for t in re.findall(r"PK?[a-z]|[a-z]", types):
        size = 8 if t.startswith("P") else 4
        at = (at + size - 1) // size * size
        if t == "i":
            ints.append(at)
        elif t.startswith("P"):
            pointers.append(at)
        else:
            return [], []
        at += size
    return ints, pointers


def nominal_launch(kernel, cc, mangled):
    """Thread indices of one block in the middle of the grid of a 3840x2160
    image, and the constant bank: block and grid sizes, and the int
    arguments (padded width, height) in order."""
    bx, by = kernel["block"]
    sx, sy = kernel.get("span", kernel["block"])
    grid = (math.ceil(NOMINAL_WIDTH / sx), math.ceil(NOMINAL_HEIGHT / sy), 1)
    layout = next(lay for first, lay in BANK_LAYOUTS if cc >= first)
    bank = {}
    for k, v in enumerate((bx, by, 1)):
        bank[layout["ntid"] + 4 * k] = v
    for k, v in enumerate(grid):
        bank[layout["nctaid"] + 4 * k] = v
    ints, pointers = parameter_offsets(mangled)
    for offset, v in zip(ints, (NOMINAL_WIDTH + 2 * APRON, NOMINAL_HEIGHT)):
        bank[layout["params"] + offset] = v
    for k, offset in enumerate(pointers):
        address = NOMINAL_BUFFER + k * NOMINAL_BUFFER_STRIDE
        bank[layout["params"] + offset], bank[layout["params"] + offset + 4] = address & MASK32, address >> 32
    threads = [(x, y) for y in range(by) for x in range(bx)]
    specials = {"SR_TID.X": [t[0] for t in threads], "SR_TID.Y": [t[1] for t in threads],
                "SR_TID.Z": [0] * len(threads), "SR_LANEID": [(y * bx + x) % 32 for x, y in threads],
                "SR_CTAID.X": [grid[0] // 2] * len(threads), "SR_CTAID.Y": [grid[1] // 2] * len(threads),
                "SR_CTAID.Z": [0] * len(threads)}
    return {"threads": len(threads), "bank": bank, "specials": specials}


def _signed(v):
    return v - (1 << 32) if v & 0x80000000 else v


def _lut(a, b, c, table):
    """LOP3: bit i of `table` is the result for a, b, c bits (i >> 2, i >> 1, i) & 1."""
    out = 0
    for i in range(8):
        if table >> i & 1:
            out |= (a if i & 4 else ~a) & (b if i & 2 else ~b) & (c if i & 1 else ~c)
    return out & MASK32


def _permute(a, selector, b):
    """PRMT: byte k of the result is byte (nibble k & 7) of b:a, or with nibble
    bit 8 set, that byte's sign bit replicated."""
    source, out = b << 32 | a, 0
    for k in range(4):
        nibble = selector >> 4 * k & 0xF
        byte = source >> 8 * (nibble & 7) & 0xFF
        out |= (0xFF if byte & 0x80 else 0) << 8 * k if nibble & 8 else byte << 8 * k
    return out


class ThreadValues:
    """The values one block's threads hold, instruction by instruction, where
    the thread's position and the launch decide them: a list, one value per
    thread, or None."""

    def __init__(self, shape, launch):
        self.ins, self.blocks, self.preds = shape["instructions"], shape["blocks"], shape["preds"]
        self.launch, self.n = launch, launch["threads"]
        self.memo = {}

    def same(self, value):
        return [value & MASK32] * self.n

    def operand(self, index, text, here=None, depth=40):
        """Value of an operand read by instruction `index` (or at the end of
        block `here`)."""
        text = text.replace(".reuse", "")
        if text.startswith("-") or text.startswith("~"):
            v = self.operand(index, text[1:], here, depth)
            if v is None:
                return None
            return [(-x if text[0] == "-" else ~x) & MASK32 for x in v]
        if text in ("RZ", "URZ"):
            return self.same(0)
        if (v := immediate(text)) is not None:
            return self.same(v)
        if m := CONSTANT.match(text):
            v = self.launch["bank"].get(0 if m.group(1) == "RZ" else int(m.group(1), 16))
            return None if v is None else self.same(v)
        if not re.fullmatch(r"U?R\d+", text) or depth == 0:
            return None
        return self.defined(index, text, here, depth)

    def predicate(self, index, text, here=None, depth=40):
        negated = text.startswith("!")
        name = text.lstrip("!")
        if name in ("PT", "UPT"):
            v = [True] * self.n
        elif re.fullmatch(r"U?P\d", name) and depth:
            v = self.defined(index, name, here, depth)
        else:
            return None
        return None if v is None else [x != negated for x in v]

    def defined(self, index, register, here, depth):
        """The register's value where every definition reaching `index` gives the same."""
        found = reaching_defs(self.ins, self.blocks, self.preds, index, register, here)
        if not found:
            return None
        values = [self.written(at, register, depth) for at in found]
        return values[0] if None not in values and all(v == values[0] for v in values) else None

    def written(self, at, register, depth):
        key = (at, register)
        if key not in self.memo:
            self.memo[key] = None  # a cycle reads as unknown
            value = self.evaluate(at, depth - 1).get(register)
            guard = self.ins[at].guard
            if value is not None and guard:  # predicated: the old value where the guard fails
                taken = self.predicate(at, ("!" if guard[1] else "") + guard[0], None, depth - 1)
                old = self.defined(at, register, None, depth - 1)
                value = None if taken is None or old is None else [n if t else o for n, o, t in
                                                                   zip(value, old, taken)]
            self.memo[key] = value
        return self.memo[key]

    def evaluate(self, at, depth):
        """{register: values} that instruction `at` writes, where known."""
        ins = self.ins[at]
        op = ins.opcode.lstrip("U") if ins.opcode.startswith("U") else ins.opcode
        op = "S2R" if op == "S2UR" else op
        root = op.split(".")[0]
        dest = ins.operands[0] if ins.operands else ""
        ops = [o for o in ins.operands[1:] if not re.fullmatch(r"!?U?P(\d|T)", o)]
        if root in ("ISETP", "PLOP3", "P2R"):
            ops = ins.operands[1:]
        if not ops:
            return {}

        def val(k):
            return self.operand(at, ops[k], None, depth) if k < len(ops) else None

        def pair(name):
            m = re.match(r"(U?R)(\d+)$", name)
            return [name, f"{m.group(1)}{int(m.group(2)) + 1}"] if m else [name]

        def lanes(f, *vs):
            if any(v is None for v in vs):
                return None
            return [f(*xs) & MASK32 for xs in zip(*vs)]

        result = None
        if root == "S2R":
            result = self.launch["specials"].get(ops[0])
        elif root in ("MOV", "LDC", "LDCU") and len(ops) == 1 and ".64" not in op:
            result = val(0)
        elif root in ("LDC", "LDCU") and op.endswith(".64") and (m := CONSTANT.match(ops[0])):
            bank, base = self.launch["bank"], 0 if m.group(1) == "RZ" else int(m.group(1), 16)
            halves = [bank.get(base), bank.get(base + 4)]
            return {r: self.same(h) for r, h in zip(pair(dest), halves) if h is not None}
        elif op in ("IADD3", "VIADD") or (root == "IADD3" and ".X" not in op):
            vs = [val(k) for k in range(len(ops))]
            result = lanes(lambda *xs: sum(xs), *vs)
        elif root == "IMAD" and ".WIDE" in op and len(ops) == 3:
            a, b = val(0), val(1)
            c = [self.operand(at, r, None, depth) for r in pair(ops[2])] if ops[2] not in ("RZ", "URZ") \
                else [self.same(0), self.same(0)]
            if a is None or b is None or None in c:
                return {}
            cast = (lambda x: x) if ".U32" in op else _signed
            wide = [(cast(x) * cast(y) + (hi << 32 | lo)) & ((1 << 64) - 1) for x, y, lo, hi in zip(a, b, *c)]
            return dict(zip(pair(dest), ([w & MASK32 for w in wide], [w >> 32 for w in wide])))
        elif root == "IMAD" and ".HI" in op and len(ops) == 3 and ops[2] in ("RZ", "URZ"):
            cast = (lambda x: x) if ".U32" in op else _signed
            result = lanes(lambda x, y: (cast(x) * cast(y)) >> 32, val(0), val(1))
        elif root == "IMAD" and not any(t in op for t in (".X", ".HI", ".WIDE")) and len(ops) == 3:
            result = lanes(lambda x, y, z: x * y + z, val(0), val(1), val(2))
        elif op == "LEA" and len(ops) == 3:
            result = lanes(lambda x, y, s: (x << s) + y, val(0), val(1), val(2))
        elif op == "LEA.HI" and len(ops) == 4:
            result = lanes(lambda x, y, z, s: y + ((z << 32 | x) >> (32 - s)), val(0), val(1), val(2), val(3))
        elif op == "LEA.HI.SX32" and len(ops) == 3:
            result = lanes(lambda x, y, s: y + (_signed(x) >> (32 - s)), val(0), val(1), val(2))
        elif op in ("SHF.R.U32.HI", "SHF.R.S32.HI") and len(ops) == 3 and ops[0] in ("RZ", "URZ"):
            cast = _signed if ".S32" in op else (lambda x: x)
            result = lanes(lambda s, x: cast(x) >> (s & 31), val(1), val(2))
        elif op == "SHF.L.U32" and len(ops) == 3 and ops[2] in ("RZ", "URZ"):
            result = lanes(lambda x, s: x << (s & 31), val(0), val(1))
        elif op == "SHF.L.U64.HI" and len(ops) == 3:
            result = lanes(lambda lo, s, hi: ((hi << 32 | lo) << (s & 63)) >> 32, val(0), val(1), val(2))
        elif op == "LOP3.LUT" and len(ops) >= 4 and re.fullmatch(r"U?R\d+", dest):
            table = immediate(ops[3])
            if table is not None:
                result = lanes(lambda x, y, z: _lut(x, y, z, table & 0xFF), val(0), val(1), val(2))
        elif op == "LOP3.LUT" and len(ops) >= 5 and re.fullmatch(r"U?P\d", dest):
            # LOP3.LUT P, R, a, b, c, table: P says whether the result is not zero
            table = immediate(ops[4])
            v = None if table is None else lanes(lambda x, y, z: _lut(x, y, z, table & 0xFF), val(1), val(2), val(3))
            return {} if v is None else {dest: [x != 0 for x in v], ops[0]: v}
        elif root == "VIADDMNMX" and len(ins.operands) == 5 and ins.operands[4] in ("PT", "!PT"):
            cast = (lambda x: x) if ".U32" in op else _signed
            pick = min if ins.operands[4] == "PT" else max
            result = lanes(lambda x, y, z: pick(cast((x + y) & MASK32), cast(z)), val(0), val(1), val(2))
        elif op == "PRMT" and len(ops) == 3:
            result = lanes(_permute, val(0), val(1), val(2))
        elif root == "SEL" and len(ins.operands) == 4:
            p = self.predicate(at, ins.operands[3], None, depth)
            result = lanes(lambda x, y, c: x if c else y, val(0), val(1), p)
        elif root in ("IMNMX", "VIMNMX") and op.split(".")[1:] in ([], ["U32"], ["S32"]) and len(ins.operands) == 4 \
                and ins.operands[3] in ("PT", "!PT"):
            cast = (lambda x: x) if ".U32" in op else _signed
            pick = min if ins.operands[3] == "PT" else max
            result = lanes(lambda x, y: pick(x, y, key=cast), val(0), val(1))
        elif root == "ISETP":
            return self.compare(at, op, depth)
        elif root == "PLOP3" and len(ops) >= 6:
            ps = [self.predicate(at, o, None, depth) for o in ops[1:4]]
            table = immediate(ops[4])
            if None in ps or table is None:
                return {}
            return {dest: [bool(_lut(int(a), int(b), int(c), table & 0xFF) & 1) for a, b, c in zip(*ps)]}
        elif root == "P2R" and len(ops) == 3 and ops[:2] == ["PR", "RZ"] and (mask := immediate(ops[2])) is not None:
            bits = [self.predicate(at, f"P{i}", None, depth) if mask >> i & 1 else self.same(0) for i in range(7)]
            if None in bits:
                return {}
            return {dest: [sum(int(b) << i for i, b in enumerate(bs)) for bs in zip(*bits)]}
        return {dest: result} if result is not None else {}

    def compare(self, at, op, depth):
        """ISETP.cmp[.U32].bool[.EX] P, Q, a, b, c[, low]."""
        m = re.match(r"ISETP\.(LT|LE|GT|GE|EQ|NE)(\.U32)?\.(AND|OR|XOR)(\.EX)?$", op)
        ops = self.ins[at].operands
        if not m or len(ops) < 5:
            return {}
        a, b = self.operand(at, ops[2], None, depth), self.operand(at, ops[3], None, depth)
        c = self.predicate(at, ops[4], None, depth)
        low = self.predicate(at, ops[5], None, depth) if m.group(4) and len(ops) > 5 else None
        if a is None or b is None or c is None or (m.group(4) and low is None):
            return {}
        cast = (lambda x: x) if m.group(2) else _signed
        cmp, out = m.group(1), []
        for k, (x, y, z) in enumerate(zip(a, b, c)):
            x, y = cast(x), cast(y)
            if m.group(4):  # the high words of a 64-bit compare whose low words gave `low`
                strict = {"LT": x < y, "LE": x < y, "GT": x > y, "GE": x > y, "EQ": False, "NE": x != y}[cmp]
                r = strict or (x == y and low[k]) if cmp != "NE" else strict or low[k]
            else:
                r = compare(cmp, False, x, y)
            out.append({"AND": r and z, "OR": r or z, "XOR": r != z}[m.group(3)])
        return {ops[0]: out}

    def branch_taken(self, index):
        """Per thread whether the guarded branch or EXIT at `index` is taken."""
        ins = self.ins[index]
        p = self.predicate(index, ("!" if ins.guard[1] else "") + ins.guard[0])
        if p is not None and ins.root == "BRA" and ins.operands and re.fullmatch(r"!?U?P\d", ins.operands[0]) \
                and (ins.operands[0].lstrip("!"), ins.operands[0].startswith("!")) != ins.guard:
            q = self.predicate(index, ins.operands[0])
            p = None if q is None else [x and y for x, y in zip(p, q)]
        return p


def block_average(shape, launch):
    """(cost averaged over one block's threads, notes): branches on the thread's
    position and loop counts taken thread by thread where the instructions
    decide them, else their longer side (named in the notes)."""
    values = ThreadValues(shape, launch)
    n_threads = launch["threads"]
    blocks, instructions = shape["blocks"], shape["instructions"]
    nothing = frozenset()

    def where(n):
        return f"{instructions[blocks[n].start].offset:#x}"

    def loop_costs(r):
        """[(cost, notes)] per thread of a whole loop: its trips times one trip."""
        n = r.header
        if r.inner_choices:
            trip = walk(r.one_trip, n, {})
        else:
            trip = [(r.iteration, nothing)] * n_threads
        trips = [r.trips] * n_threads
        notes = nothing
        if r.counted:
            counts = None
            if r.counted and len(r.entries) == 1:
                per_exit = []
                for counter, trips_from in r.counted:
                    start = values.operand(blocks[r.entries[0]].end, counter, here=r.entries[0])
                    per_exit.append(None if start is None else [trips_from(v) for v in start])
                if None not in per_exit and all(None not in t for t in per_exit):
                    counts = [min(t) for t in zip(*per_exit)]
            if counts is None:
                notes = frozenset([f"the count of the loop at {where(n)}"])
            else:
                trips = [(t, t) for t in counts]
        return [(c.times(*t), cn | notes) for (c, cn), t in zip(trip, trips)]

    def walk(regions, n, memo):
        """[(cost, notes)] per thread from region n to the end of `regions`."""
        if n in memo:
            return memo[n]
        r = regions[n]
        own = loop_costs(r) if isinstance(r, LoopRegion) else [(r.cost, nothing)] * n_threads
        ways = [walk(regions, s, memo) if s in regions else [(Cost(), nothing)] * n_threads for s in r.succs]
        if r.may_exit:
            ways.append([(Cost(), nothing)] * n_threads)
        choice, note = None, nothing
        if len(ways) > 1 and not r.data and not isinstance(r, LoopRegion):
            last = instructions[blocks[n].end - 1]
            taken = values.branch_taken(blocks[n].end - 1) if last.guard else None
            if taken is not None:
                # A jump: its target first, then the fall-through; an EXIT: the fall-through, then leaving.
                choice = [0 if t else 1 for t in taken] if last.jump else [1 if t else 0 for t in taken]
            else:
                note = frozenset([f"the branch at {last.offset:#x}"])
        elif len(ways) > 1 and not r.data:
            note = frozenset([f"the exits of the loop at {where(n)}"])
        out = []
        for t in range(n_threads):
            if not ways:
                out.append(own[t])
                continue
            if choice:
                cost, notes = ways[choice[t]][t]
            else:
                cost = Cost.choose([w[t][0] for w in ways], r.data)
                notes = note.union(*(w[t][1] for w in ways))
            out.append((own[t][0].plus(cost), own[t][1] | notes))
        memo[n] = out
        return out

    per_thread = walk(shape["regions"], 0, {})
    lo, hi = defaultdict(float), defaultdict(float)
    for c, _ in per_thread:
        for k, v in c.lo.items():
            lo[k] += v / n_threads
        for k, v in c.hi.items():
            hi[k] += v / n_threads
    return Cost(lo, hi), sorted(set().union(*(notes for _, notes in per_thread)))


# ---- the binary --------------------------------------------------------------------

def run(command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, command))} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


RESOURCE_FUNCTION = re.compile(r"Function (\S+):")
RESOURCE_VALUES = re.compile(r"REG:(\d+) STACK:(\d+) SHARED:(\d+) LOCAL:(\d+)")


def resource_usage(cuobjdump, cubin):
    """{mangled name: {registers, stack, shared, local}} from cuobjdump -res-usage."""
    usage, current = {}, None
    for line in run([cuobjdump, "-res-usage", cubin]).splitlines():
        if m := RESOURCE_FUNCTION.search(line):
            current = m.group(1).rstrip(":")
        elif current and (m := RESOURCE_VALUES.search(line)):
            usage[current] = dict(zip(("registers", "stack", "shared", "local"), map(int, m.groups())))
    return usage


def extract_cubins(cuobjdump, binary, archs, workdir):
    """{arch: [cubin paths]} of the architectures asked for."""
    listing = run([cuobjdump, "-lelf", binary]) if not str(binary).endswith(".cubin") else ""
    found = defaultdict(list)
    if str(binary).endswith(".cubin"):
        arch = re.search(r"\.target\s+(sm_\w+)", run([find_tool("nvdisasm"), "-c", binary]))
        if arch:
            found[arch.group(1)].append(str(binary))
        return found
    names = re.findall(r"ELF file\s+\d+:\s+(\S+\.(sm_\w+)\.cubin)", listing)
    for name, arch in names:
        if arch in archs or "sm_all" in archs:
            run_in(workdir, [cuobjdump, "-xelf", name, os.path.abspath(binary)])
            found[arch].append(os.path.join(workdir, name))
    return found


def run_in(workdir, command):
    done = subprocess.run(command, capture_output=True, text=True, cwd=workdir)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed:\n{done.stdout}{done.stderr}")


def profile_cubin(cubin, tools, unanalysed=None):
    """{mangled name: profile} of every kernel in one cubin; the kernels whose
    control flow cannot be bounded go to `unanalysed` with the reason (without
    it, UnanalysedFlow is raised)."""
    functions = parse_sass(run([tools["nvdisasm"], "-c", cubin]))
    usage = resource_usage(tools["cuobjdump"], cubin)
    profiles = {}
    for name, (instructions, labels) in functions.items():
        if name not in usage:
            continue  # not an entry function
        try:
            cost, loops, data_branches, shape = analyse(instructions, labels)
        except UnanalysedFlow as e:
            if unanalysed is None:
                raise
            unanalysed[name] = str(e)
            continue
        spills = sum(1 for i in instructions if i.root in SPILLS)
        profiles[name] = {"cost": cost, "loops": loops, "data_branches": data_branches, "resources": usage[name],
                          "spill_instructions": spills, "shape": shape, "mangled": name}
    return profiles


# ---- the model -------------------------------------------------------------------------

def cycles_per_pixel(counts, cc):
    """SM clocks per output pixel: the slower of dispatch and the class rates."""
    total = sum(counts.values())
    by_class = sum(n / THROUGHPUT[c][cc] for c, n in counts.items() if c in THROUGHPUT and n)
    return max(total / DISPATCH_PER_CLOCK, by_class)


def ceiling(counts, gpu):
    """Modelled Mpixel/s on one GPU: the lower of the issue and memory limits."""
    cycles = cycles_per_pixel(counts, gpu["cc"])
    issue = math.inf if cycles == 0 else gpu["sms"] * gpu["mhz"] / cycles
    memory = gpu["gbps"] * 1000 / BYTES_PER_PIXEL
    return min(issue, memory), "issue" if issue < memory else "memory"


def per_pixel(cost, outputs):
    lo = {c: cost.lo.get(c, 0.0) / outputs for c in CLASSES}
    hi = {c: cost.hi.get(c, 0.0) / outputs for c in CLASSES}
    return lo, hi


def control_flow(loops, data_branches=0):
    forks = [f"{data_branches} data-dependent branches"] if data_branches else []
    if not loops:
        return f"no loops, {forks[0]}" if forks else "straight-line"
    parts = []
    for loop in sorted(loops, key=lambda l: l["offset"]):
        lo, hi = loop["trips"]
        if loop["kind"] == "fixed":
            parts.append(f"loop {lo}x")
        else:
            what = {"data": "data-dependent", "thread": "thread-dependent", "position": "by thread position",
                    "unproven": "count unproven"}[loop["kind"]]
            parts.append(f"loop {lo}..{'unbounded' if hi == math.inf else hi}x ({what})")
    return ", ".join(parts + forks)


def build_rows(kernels, archs, profiles):
    rows, missing = [], []
    for k in kernels:
        for arch in archs:
            p = profiles.get(arch, {}).get(k["name"])
            if p is None:
                missing.append(f"{k['name']} ({arch})")
                continue
            outputs = k["outputs_per_thread"]
            cc = arch_number(arch)
            average, notes = block_average(p["shape"], nominal_launch(k, cc, p["mangled"]))
            lo, hi = per_pixel(average, outputs)
            longest = [t / outputs for t in p["cost"].total()]
            res = p["resources"]
            occ = occupancy(cc, res["registers"], res["shared"], k["threads"])
            model = {}
            for gpu in GPUS:
                if gpu["cc"] != cc:
                    continue
                fast, fast_limit = ceiling(lo, gpu)
                slow, slow_limit = ceiling(hi, gpu)
                model[gpu["name"]] = {"low": slow, "high": fast, "limit": slow_limit if slow_limit == fast_limit
                                      else f"{slow_limit}/{fast_limit}"}
            rows.append({"kernel": k["name"], "arch": arch, "outputs_per_thread": outputs, "threads": k["threads"],
                         "per_pixel_low": lo, "per_pixel_high": hi,
                         "total_low": sum(lo.values()), "total_high": sum(hi.values()),
                         "longest_low": longest[0], "longest_high": longest[1], "longer_sides": notes,
                         "registers": res["registers"], "shared_bytes": res["shared"], "stack": res["stack"],
                         "local_bytes": res["local"], "spill_instructions": p["spill_instructions"],
                         "occupancy": occ, "control_flow": control_flow(p["loops"], p["data_branches"]), "loops": p["loops"],
                         "model": model})
    return rows, missing


# ---- output --------------------------------------------------------------------------

def number(value, digits=1):
    text = f"{value:.{digits}f}"
    return text[:-2] if text.endswith(".0") else text


def span(lo, hi, digits=1):
    """LOW..HIGH, or one number when the range is one value."""
    if hi == math.inf:
        return f"{number(lo, digits)}..unbounded"
    if number(lo, digits) == number(hi, digits):
        return number(lo, digits)
    return f"{number(lo, digits)}..{number(hi, digits)}"


def headline_gpu(arch):
    return next((g["name"] for g in GPUS if g["cc"] == arch_number(arch)), None)


def sort_key(row):
    gpu = headline_gpu(row["arch"])
    return -(row["model"][gpu]["low"] if gpu else -row["total_high"])


def print_table(rows, arch, out=sys.stdout):
    rows = sorted((r for r in rows if r["arch"] == arch), key=sort_key)
    gpus = [g["name"] for g in GPUS if g["cc"] == arch_number(arch)]
    print(f"Architecture {arch}: instructions per output pixel from the SASS of the binary; "
          f"Mpixel/s columns are a {MODEL_LABEL}", file=out)
    name_w = max([6] + [len(r["kernel"]) for r in rows])
    short = {"minmax": "min/max", "lop3": "lop3", "int": "int", "shift": "shift", "shared": "shared",
             "global": "global", "cvt": "cvt", "branch": "branch", "fp32": "fp32", "other": "other"}
    header = f"{'kernel':<{name_w}}  {'px/thr':>6}  {'instr/px':>13}  {'longest thr':>13}  " + "  ".join(
        f"{short[c]:>11}" for c in CLASSES) + f"  {'regs':>4}  {'smem B':>6}  {'spill':>5}  {'blk/SM':>6}  " \
        f"{'warps/SM':>8}  " + "  ".join(f"{g + ' Mpx/s':>22}" for g in gpus) + "  control flow"
    print(header, file=out)
    for r in rows:
        lo, hi = r["per_pixel_low"], r["per_pixel_high"]
        occ = r["occupancy"] or {"blocks": "-", "warps": "-"}
        line = f"{r['kernel']:<{name_w}}  {r['outputs_per_thread']:>6}  {span(r['total_low'], r['total_high']):>13}  " \
               f"{span(r['longest_low'], r['longest_high']):>13}  "
        line += "  ".join(f"{span(lo[c], hi[c]):>11}" for c in CLASSES)
        line += f"  {r['registers']:>4}  {r['shared_bytes']:>6}  {r['spill_instructions']:>5}  {occ['blocks']:>6}  " \
                f"{occ['warps']:>8}  "
        line += "  ".join(f"{span(r['model'][g]['low'], r['model'][g]['high'], 0) + ' (' + r['model'][g]['limit'] + ')':>22}"
                          for g in gpus)
        line += f"  {r['control_flow']}"
        print(line, file=out)
    print("instr/px and the classes: averaged over the threads of one interior block of a "
          f"{NOMINAL_WIDTH}x{NOMINAL_HEIGHT} image; longest thr: the thread that issues the most", file=out)
    for r in rows:
        if r["longer_sides"]:
            print(f"{r['kernel']}: not decided thread by thread, counted at the longer side: "
                  + ", ".join(r["longer_sides"]), file=out)
    print("classes per pixel: " + "; ".join(f"{short[c]} = {CLASS_TITLES[c]}" for c in CLASSES), file=out)
    print(file=out)


def json_rows(rows):
    """Rows in the format of `median_suite bench --json`, one per kernel, GPU and
    architecture, marked as a model so that the chart draws them apart."""
    out = []
    for r in rows:
        for gpu, m in r["model"].items():
            out.append({"kernel": r["kernel"], "device": gpu, "emulated": False, "model": True,
                        "label": MODEL_LABEL, "arch": r["arch"], "status": "ok", "source": "sass_profile",
                        "mpixel_per_s": m["low"], "mpixel_per_s_high": m["high"], "limit": m["limit"],
                        "outputs_per_thread": r["outputs_per_thread"],
                        "instructions_per_pixel": [r["total_low"], r["total_high"]],
                        "instructions_per_pixel_longest_thread": [r["longest_low"], r["longest_high"]],
                        "longer_sides": r["longer_sides"],
                        "per_pixel_low": r["per_pixel_low"], "per_pixel_high": r["per_pixel_high"],
                        "registers": r["registers"], "shared_bytes": r["shared_bytes"],
                        "spill_instructions": r["spill_instructions"], "occupancy": r["occupancy"],
                        "control_flow": r["control_flow"]})
    return [_finite(row) for row in out]


def _finite(value):
    """JSON has no infinity: an unbounded count is null."""
    if isinstance(value, float) and math.isinf(value):
        return None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def compare_measured(rows, bench_paths, out=sys.stdout):
    """Measured Mpixel/s of bench JSON files against the model of the GPU they ran on."""
    measured = []
    for path in bench_paths:
        with open(path) as f:
            measured += [r for r in json.load(f)["rows"] if r.get("status") == "ok" and not r.get("emulated")]
    print(f"Measured against modelled throughput (the model is a {MODEL_LABEL}; "
          "ratio = measured / modelled ceiling)", file=out)
    by_kernel = defaultdict(list)
    for r in rows:
        by_kernel[r["kernel"]].append(r)
    width = max([6] + [len(r["kernel"]) for r in measured])
    print(f"{'kernel':<{width}}  {'image':>9}  {'measured':>10}  {'modelled':>17}  {'ratio':>11}  GPU", file=out)
    for m in measured:
        gpu = next((g for g in GPUS if re.search(g["match"], m["device"])), None)
        candidates = [r for r in by_kernel.get(m["kernel"], []) if gpu and gpu["name"] in r["model"]]
        size = f"{m['width']}x{m['height']}"
        if not gpu or not candidates:
            why = "no model of this GPU" if not gpu else "kernel or architecture not profiled"
            print(f"{m['kernel']:<{width}}  {size:>9}  {m['mpixel_per_s']:>10.1f}  {'-':>17}  {'-':>11}  "
                  f"{m['device']} ({why})", file=out)
            continue
        model = candidates[0]["model"][gpu["name"]]
        ratio = span(m["mpixel_per_s"] / model["high"], m["mpixel_per_s"] / model["low"], 2) \
            if model["low"] else "-"
        print(f"{m['kernel']:<{width}}  {size:>9}  {m['mpixel_per_s']:>10.1f}  "
              f"{span(model['low'], model['high'], 0):>17}  {ratio:>11}  {m['device']} as {gpu['name']}", file=out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--suite", required=True, help="the GPU build's median_suite (its kernels and its SASS)")
    parser.add_argument("--binary", help="read the SASS from this file instead (executable, library or cubin)")
    parser.add_argument("--arch", action="append",
                        help="sm_XX, repeatable, or all: every one in the binary (default: sm_90)")
    parser.add_argument("--json", help="write the model rows here, in the bench JSON format")
    parser.add_argument("--check", action="store_true", help="exit 1 when a kernel of the table is not profiled")
    parser.add_argument("--compare", action="append", default=[], help="bench JSON: measured / modelled")
    args = parser.parse_args()
    archs = [a if a.startswith("sm_") else f"sm_{a}" for a in (args.arch or DEFAULT_ARCHS)]
    tools = {name: find_tool(name) for name in ("cuobjdump", "nvdisasm")}
    for name, path in tools.items():
        if path is None:
            print(f"sass_profile.py: {name} not found (tools/install_deps.sh installs it)", file=sys.stderr)
            return SKIPPED if args.check else 2
    try:
        kernels = suite_kernels(args.suite)
        with tempfile.TemporaryDirectory() as workdir:
            cubins = extract_cubins(tools["cuobjdump"], args.binary or args.suite, archs, workdir)
            if "sm_all" in archs:
                archs = sorted(cubins, key=arch_number)
            profiles, unanalysed = {}, {}
            for arch in archs:
                merged, left_out = {}, {}
                for cubin in cubins.get(arch, []):
                    merged.update(profile_cubin(cubin, tools, left_out))
                names = plain_names(list(merged) + list(left_out))
                profiles[arch] = {names[m]: p for m, p in merged.items()}
                unanalysed.update({f"{names[m]} ({arch})": why for m, why in left_out.items()})
    except (RuntimeError, OSError, ValueError, KeyError, subprocess.CalledProcessError) as e:
        print(f"sass_profile.py: {e}", file=sys.stderr)
        return 2
    absent = [a for a in archs if not cubins.get(a)]
    for a in absent:
        print(f"sass_profile.py: the binary holds no {a} code (build with CMAKE_CUDA_ARCHITECTURES "
              f"including {a[3:]})", file=sys.stderr)
    rows, missing = build_rows(kernels, [a for a in archs if a not in absent], profiles)
    for arch in archs:
        if arch not in absent:
            print_table(rows, arch)
    if args.json:
        Path(args.json).write_text(json.dumps({"rows": json_rows(rows)}, indent=1) + "\n")
    if args.compare:
        try:
            compare_measured(rows, args.compare)
        except (OSError, ValueError, KeyError) as e:
            print(f"sass_profile.py: {e}", file=sys.stderr)
            return 2
    # Found in the SASS but not bounded: said, and not a missing kernel.
    for m, why in unanalysed.items():
        print(f"NOT ANALYSED {m}: {why}", file=sys.stderr)
    missing = [m for m in missing if m not in unanalysed]
    for m in missing:
        print(f"MISSING {m}: in the kernel table but not in the binary's SASS", file=sys.stderr)
    if args.check:
        print(f"profiled {len(rows)} of {len(kernels) * len(archs)} kernel and architecture pairs")
        return 1 if missing or absent else 0
    return 1 if absent else 0


if __name__ == "__main__":
    sys.exit(main())
