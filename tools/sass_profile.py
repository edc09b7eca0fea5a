#!/usr/bin/env -S /usr/bin/python3
"""Machine-code profile of every kernel of the table: instructions per output
pixel by class, resources, occupancy, control flow and a modelled throughput
ceiling on named GPUs, all read from the SASS of the built GPU binary.

  tools/sass_profile.py --suite build/median_suite [--arch sm_90 --arch sm_80] [--json FILE]
  tools/sass_profile.py --suite build/median_suite --arch all --check
      (CTest: every kernel of the table profiled; exit 77 without the disassemblers)
  tools/sass_profile.py --suite build/median_suite --compare bench.json   (measured / modelled)

How instructions are counted
  The per-thread dynamic count: every instruction a thread issues from entry
  to EXIT, predicated-off ones included (they take an issue slot), divided by
  the output pixels of one thread (outputs_per_thread of `median_suite list
  --json`). Branches are told apart by what decides them, traced through the
  registers from the loads:
  - a branch on image data (values loaded from global or shared memory) is
    data-dependent: both sides count, and the result is a range, lowest to
    highest over all pixels;
  - any other branch depends only on the thread's position (loader threads
    that stage the tile's apron, threads outside the image): the longer side
    counts, that is a thread that stages the most of the tile. Warps issue
    as one, so every warp holding such a thread spends that much.
  A loop's count comes from its exit test: an induction register stepped by
  a constant and compared with a constant gives a fixed count. A loop that
  can also leave on data runs from 1 to that count; a loop whose count
  cannot be proven from the code has no upper bound ("unbounded"). A range
  is always printed as LOW..HIGH, never as one guessed number. Ranges are
  per thread; a warp whose threads diverge issues the union of their paths.
  Each class is bounded on its own (at a branch: the lower and higher count
  of either side, or the higher of both on a thread-position branch), so a
  total's range can be a little wider than any one path.

The model (a model, not a measurement)
  issue limit: cycles per pixel per SM = the larger of (all instructions /
  128, four warp schedulers issuing one warp instruction per clock) and the
  sum over classes of instructions / the class's per-SM throughput (no
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


def counted_exit(instructions, body, branch_index, stays_if_taken, loop_start, every_iteration, dominates_loop):
    """Trip count of a loop whose exit test is the branch at `branch_index`:
    an induction register stepped by a constant and compared with one."""
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
    counter = ops[2]
    if limit is None or not re.fullmatch(r"U?R\d+", counter):
        return None
    steps = defs_in(instructions, body, counter)
    if len(steps) != 1 or not every_iteration(steps[0]):
        return None
    step_ins = instructions[steps[0]]
    # Carry-out predicates (IADD3 R, PT, PT, R, 1, RZ on sm_100) aside.
    sops = [o for o in step_ins.operands if not re.fullmatch(r"!?U?P(\d|T)", o)]
    if step_ins.guard or step_ins.root not in ("IADD3", "UIADD3", "VIADD") or sops[1] != counter:
        return None
    step = immediate(sops[2])
    if step is None or step == 0 or any(o not in ("RZ", "URZ") for o in sops[3:]):
        return None
    value = constant_init(instructions, loop_start, counter, dominates_loop)
    if value is None:
        return None
    stepped_first = steps[0] < at
    for trips in range(1, 1 << 20):
        if stepped_first:
            value = wrap(value + step)
        taken = compare(m.group(1), bool(m.group(2)), value, limit) != negated
        if not stepped_first:
            value = wrap(value + step)
        if taken != stays_if_taken:
            return trips
    return None


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


class Region:
    """A node of the collapsed control flow: a block, or a whole loop."""

    def __init__(self, cost, succs, data, may_exit=False):
        self.cost, self.succs, self.data, self.may_exit = cost, succs, data, may_exit


def path_cost(regions, entry):
    """Cost from `entry` to the end of a DAG of regions; an edge leaving
    `regions` ends a path there."""
    memo = {}

    def walk(n):
        if n not in memo:
            r = regions[n]
            ways = [walk(s) if s in regions else Cost() for s in r.succs]
            if r.may_exit:
                ways.append(Cost())
            memo[n] = r.cost.plus(Cost.choose(ways, r.data)) if ways else r.cost
        return memo[n]

    return walk(entry)


class LoopRegion(Region):
    pass


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

    return counted_exit(instructions, indices, b.end - 1, stays_if_taken, blocks[h].start, every_iteration,
                        lambda index: block_of(blocks, index) in dom[h])


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
        iteration = path_cost({m: Region(regions[m].cost, [s for s in regions[m].succs if s != h], regions[m].data,
                                         regions[m].may_exit) for m in members}, h)
        exits = sorted({s for m in members for s in regions[m].succs if s not in members})
        tests = [n for n in plain if len(set(owner[s] in members for s in blocks[n].succs)) == 2]
        leaving = [m for m in members if regions[m].may_exit or any(s not in members for s in regions[m].succs)]
        data = any(regions[m].data for m in leaving)
        counts = [c for t in tests if (c := trip_count(instructions, blocks, labels, h, latches, body, plain, dom, t))]
        count = min(counts) if counts else None
        if count is not None and len(leaving) == 1 and not regions[leaving[0]].may_exit:
            lo, hi, kind = count, count, "fixed"
        elif count is not None:
            lo, hi, kind = 1, count, "data" if data else "thread"
        else:
            lo, hi, kind = 1, math.inf, "data" if data else "unproven"
        loop_reports.append({"trips": (lo, hi), "kind": kind, "offset": instructions[blocks[h].start].offset,
                             "body": iteration.total()})
        may_exit = any(regions[m].may_exit for m in members)
        for m in members:
            del regions[m]
        regions[h] = LoopRegion(iteration.times(lo, hi), exits, data or kind != "fixed", may_exit)
        for n in body:
            owner[n] = h
        for r in regions.values():
            r.succs = [h if s in members else s for s in r.succs]
        regions[h].succs = exits
    data_branches = sum(1 for n in nodes if blocks[n].data_branch)
    return path_cost(regions, 0), loop_reports, data_branches


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


def profile_cubin(cubin, tools):
    """{mangled name: profile} of every kernel in one cubin."""
    functions = parse_sass(run([tools["nvdisasm"], "-c", cubin]))
    usage = resource_usage(tools["cuobjdump"], cubin)
    profiles = {}
    for name, (instructions, labels) in functions.items():
        if name not in usage:
            continue  # not an entry function
        cost, loops, data_branches = analyse(instructions, labels)
        spills = sum(1 for i in instructions if i.root in SPILLS)
        profiles[name] = {"cost": cost, "loops": loops, "data_branches": data_branches, "resources": usage[name],
                          "spill_instructions": spills}
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
            what = {"data": "data-dependent", "thread": "thread-dependent", "unproven": "count unproven"}[loop["kind"]]
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
            lo, hi = per_pixel(p["cost"], outputs)
            cc = arch_number(arch)
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
    header = f"{'kernel':<{name_w}}  {'px/thr':>6}  {'instr/px':>13}  " + "  ".join(
        f"{short[c]:>11}" for c in CLASSES) + f"  {'regs':>4}  {'smem B':>6}  {'spill':>5}  {'blk/SM':>6}  " \
        f"{'warps/SM':>8}  " + "  ".join(f"{g + ' Mpx/s':>22}" for g in gpus) + "  control flow"
    print(header, file=out)
    for r in rows:
        lo, hi = r["per_pixel_low"], r["per_pixel_high"]
        occ = r["occupancy"] or {"blocks": "-", "warps": "-"}
        line = f"{r['kernel']:<{name_w}}  {r['outputs_per_thread']:>6}  {span(r['total_low'], r['total_high']):>13}  "
        line += "  ".join(f"{span(lo[c], hi[c]):>11}" for c in CLASSES)
        line += f"  {r['registers']:>4}  {r['shared_bytes']:>6}  {r['spill_instructions']:>5}  {occ['blocks']:>6}  " \
                f"{occ['warps']:>8}  "
        line += "  ".join(f"{span(r['model'][g]['low'], r['model'][g]['high'], 0) + ' (' + r['model'][g]['limit'] + ')':>22}"
                          for g in gpus)
        line += f"  {r['control_flow']}"
        print(line, file=out)
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
            profiles = {}
            for arch in archs:
                merged = {}
                for cubin in cubins.get(arch, []):
                    merged.update(profile_cubin(cubin, tools))
                names = plain_names(list(merged))
                profiles[arch] = {names[m]: p for m, p in merged.items()}
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
    for m in missing:
        print(f"MISSING {m}: in the kernel table but not in the binary's SASS", file=sys.stderr)
    if args.check:
        print(f"profiled {len(rows)} of {len(kernels) * len(archs)} kernel and architecture pairs")
        return 1 if missing or absent else 0
    return 1 if absent else 0


if __name__ == "__main__":
    sys.exit(main())
