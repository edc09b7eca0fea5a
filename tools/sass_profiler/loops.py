"""Loop counts from the exit test in the SASS: an induction register
stepped by constants and compared with a constant or a loop-invariant
register, started from a constant or from the thread's position; and the
ranges of values that come from the thread's position alone."""
import math
import re
import struct
from collections import defaultdict

from .flow import block_of, reaching_defs, unique_def
from .parse import immediate, wrap

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
COMPARE = re.compile(r"^U?ISETP\.(LT|LE|GT|GE|EQ|NE)(\.U32)?\.AND$")
REGISTER_NAME = re.compile(r"U?R\d+")
BANK_WORD = re.compile(r"^c\[0x0\]\[0x[0-9a-f]+\]$")


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
    if found is None or dom is None or not REGISTER_NAME.fullmatch(operand):
        return found
    at = unique_def(instructions, blocks, preds, index, operand, here)
    if at is None:
        return found  # several definitions: each was narrowed where it is written
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
    if not REGISTER_NAME.fullmatch(operand) or depth == 0:
        return None
    defs = reaching_defs(instructions, blocks, preds, index, operand, here)
    if not defs:
        return None
    if len(defs) == 1 and not instructions[defs[0]].guard:
        return _written_range(instructions, blocks, preds, defs[0], operand, depth, dom)
    # Several definitions reach (a loop's peeled remainder, the two sides of an
    # if), or a predicated one that may leave the value before it: the value
    # lies in the union of their ranges.
    ranges = []
    for at in defs:
        ranges.append(_written_range(instructions, blocks, preds, at, operand, depth, dom))
        if instructions[at].guard:
            ranges.append(position_range(instructions, blocks, preds, at, operand, depth - 1, dom=dom))
    if None in ranges:
        return None
    lows, highs = [r[0] for r in ranges], [r[1] for r in ranges]
    return (None if None in lows else min(lows)), (None if None in highs else max(highs))


def _written_range(instructions, blocks, preds, at, operand, depth, dom):
    """Range of the value instruction `at` writes to register `operand`, when
    it comes from the thread's position, else None."""
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
    if root in ("VIADD", "IADD3") or (op == "IMAD.IADD" and count == 4 and immediate(ops[2]) == 1):
        total = (0, 0)
        for k in ([1, 3] if root == "IMAD" else range(1, count)):  # IMAD.IADD R, a, 1, c: a * 1 + c
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

def compare(op, unsigned, a, b):
    if unsigned:
        a, b = a & 0xFFFFFFFF, b & 0xFFFFFFFF
    return {"LT": a < b, "LE": a <= b, "GT": a > b, "GE": a >= b, "EQ": a == b, "NE": a != b}[op]


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
    """Trips (lo, hi, inputs, trips_from) of a loop whose exit test is the
    branch at `branch_index`: an induction register stepped by a constant and
    compared with a constant or with a register the loop does not write.
    Started from constants, lo == hi and inputs is empty. Otherwise `inputs`
    are the registers whose values on entry decide the count, and
    trips_from({register: value}) counts from one set of them (the block
    average evaluates them thread by thread); lo..hi bounds the count where
    the one input is the counter's start from the thread's position, whose
    range `start_range` gives, else it is 1..inf."""
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
        # PLOP3.LUT P, PT, PT, PT, Q, 0x80, x: P = Q (the second table is for the discarded PT)
        if ins.root in ("PLOP3", "UPLOP3") and ops[1:4] == ["PT", "PT", "PT"] and ops[5:6] == ["0x80"]:
            predicate = ops[4].lstrip("!")
            negated ^= ops[4].startswith("!")
            continue
        break
    m = COMPARE.match(ins.opcode)
    if not m or len(ops) != 5 or ops[1] not in ("PT", "UPT") or ops[4] not in ("PT", "UPT"):
        return None
    bound = ops[3].replace(".reuse", "")
    compared = ops[2].replace(".reuse", "")
    op = m.group(1)
    def written_in_loop(register):
        return any(register in instructions[i].dests_and_sources()[0] for i in body)

    if REGISTER_NAME.fullmatch(bound) and (not REGISTER_NAME.fullmatch(compared) or
                                           (written_in_loop(bound) and not written_in_loop(compared))):
        # The limit first (ISETP.LT P, PT, RZ, R, PT: 0 < R; ISETP.LE P, PT, rows, R, PT): the same test mirrored.
        compared, bound = bound, compared
        op = {"LT": "GT", "LE": "GE", "GT": "LT", "GE": "LE"}.get(op, op)
    limit = 0 if bound in ("RZ", "URZ") else immediate(bound)
    if not REGISTER_NAME.fullmatch(compared):
        return None
    if limit is None:
        # A limit in a register that no trip writes: the launch decides it.
        if not REGISTER_NAME.fullmatch(bound) or written_in_loop(bound):
            return None
    steps = induction_slice(instructions, body, compared, every_iteration, at)
    if steps is None:
        return None
    test, unsigned = at, bool(m.group(2))
    order = sorted(steps + [(test, None, [compared])])
    # Registers read in a trip before it writes them hold the loop's entry values.
    entry, written = [] if limit is not None else [bound], set()
    for _, target, terms in order:
        entry += [t for t in terms if isinstance(t, str) and t not in written and t not in entry]
        if target:
            written.add(target)

    def iterate_in_order(values):
        values, stays = dict(values), None
        for i, target, terms in order:
            total = wrap(sum(values[t] if isinstance(t, str) else t for t in terms))
            if target is None:
                against = limit if limit is not None else values[bound]
                stays = (compare(op, unsigned, total, against) != negated) == stays_if_taken
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
        return (trips, trips, [], None) if trips else None
    fixed = {r: v for r, v in constants.items() if v is not None}

    def from_inputs(values):
        return trips_from({**fixed, **{r: wrap(v) for r, v in values.items()}})

    if len(varying) != 1 or limit is None:
        return 1, math.inf, varying, from_inputs
    # One start from the thread's position: the count is monotonic in it, so
    # its ends come from the ends of the start's range. A start whose far end
    # is unknown may leave after the first trip.
    counter = varying[0]

    def per_start(start):
        return from_inputs({counter: start})

    # Unbounded where the start's range is not known: one block's threads
    # can still count from their own starts.
    known = start_range(counter) or (None, None)
    probe = next((v for v in known if v is not None), 0)
    step = iterate_in_order({**fixed, counter: probe})[0].get(counter, probe) - probe
    longest, shortest = known if step > 0 else known[::-1]
    most = per_start(longest) if longest is not None and step != 0 else None
    if most is None:
        return 1, math.inf, varying, from_inputs
    fewest = per_start(shortest) if shortest is not None else 1
    return min(fewest or 1, most), most, varying, from_inputs


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
        if ins.root in ("IADD3", "UIADD3", "VIADD"):
            sources = sops[1:]
        elif ins.opcode == "IMAD.IADD" and len(sops) == 4 and immediate(sops[2]) == 1:
            sources = [sops[1], sops[3]]  # a * 1 + c
        elif ins.root in ("LDC", "ULDC", "LDCU") and len(sops) == 2 and BANK_WORD.match(sops[1]):
            # Read again each trip from the launch's constant bank (gridDim.y): the same every trip.
            # ULDC before sm_100, LDCU (a uniform register from the bank) from it.
            steps[i] = (i, r, [sops[1]])
            continue
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
            elif REGISTER_NAME.fullmatch(o.replace(".reuse", "")):
                terms.append(o.replace(".reuse", ""))
                todo.append((terms[-1], i))
            elif BANK_WORD.match(o):
                terms.append(o)  # a launch value (gridDim.y): an input no trip writes
            else:
                return None
        steps[i] = (i, r, terms)
    return list(steps.values()) or None


def trip_count(instructions, blocks, labels, h, latches, body, plain, dom, test):
    """Trips of the loop at header h when block `test` ends in its counted
    exit test, else None. `plain` are the body blocks outside inner loops."""
    b = blocks[test]
    branch = instructions[b.end - 1]
    if not (branch.jump or branch.root == "EXIT") or not branch.guard \
            or blocks[h].start != min(blocks[n].start for n in body):
        return None
    # A predicated EXIT leaves the loop (and the kernel) when taken.
    stays_if_taken = branch.jump and block_of(blocks, labels[branch.target]) in body
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
