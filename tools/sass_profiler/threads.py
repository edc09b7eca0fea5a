"""One block of a nominal launch, thread by thread: the constant bank a
launch fills (block and grid sizes, the kernel's arguments) and the integer
values each thread computes from it and from its indices."""
import math
import re

from .flow import block_of, dominators, natural_loops, reachable, reaching_defs
from .loops import compare
from .parse import immediate

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
# c[bank][register + offset]: a table the compiler put in the constant bank (a switch's jump table)
INDEXED_CONSTANT = re.compile(r"^c\[0x([0-9a-f]+)\]\[(U?R\d+)(?:\s*\+\s*(-?0x[0-9a-f]+))?\]$")
TYPE_BYTES = {"u8": 1, "u16": 2, "f32": 4}
# border::constant, the first enumerator of median_filter::border; the
# others (replicate, reflect, mirror) follow it
NOMINAL_MODE = 0
BORDER_MODES = 4


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


def args_struct(kernel, mangled):
    """The fields of the one struct a kernel takes its arguments in, or None."""
    return kernel.get("args_struct") or None


def struct_values(kernel, fields, mode=NOMINAL_MODE):
    """{byte offset: value} of the struct's fields for a 3840x2160 image of the
    kernel's channels and type, rows packed, the border mode (constant unless
    asked), constant 0."""
    channels = kernel.get("channels", 3)  # the library's first kernels were all RGB
    pitch = NOMINAL_WIDTH * channels * TYPE_BYTES[kernel.get("type", "u8")]
    nominal = {"src": NOMINAL_BUFFER, "dst": NOMINAL_BUFFER + NOMINAL_BUFFER_STRIDE, "src_pitch": pitch,
               "dst_pitch": pitch, "width": NOMINAL_WIDTH, "height": NOMINAL_HEIGHT, "mode": mode,
               "constant": 0}
    values = {}
    for field in fields:
        if field["name"] not in nominal:
            continue  # no nominal value: what reads it stays undecided
        value = nominal[field["name"]]
        for word in range(max(1, field["size"] // 4)):
            values[field["offset"] + 4 * word] = value >> 32 * word & MASK32
    return values


def nominal_launch(kernel, cc, mangled, tables=None, where="middle", mode=NOMINAL_MODE):
    """Thread indices of one block of the grid of a 3840x2160 image (in its
    middle, or `where` "first" or "last"), and the constant bank: block and
    grid sizes, and the arguments (table kernels: the int arguments padded
    width, height in order and the pointers; the library's: the fields of
    its argument struct, border mode `mode`). `tables`: {bank: {offset:
    word}} of the kernel's other constant banks."""
    bx, by = kernel["block"]
    sx, sy = kernel.get("span", kernel["block"])
    grid = (math.ceil(NOMINAL_WIDTH / sx), math.ceil(NOMINAL_HEIGHT / sy), 1)
    layout = next(lay for first, lay in BANK_LAYOUTS if cc >= first)
    bank = {}
    for k, v in enumerate((bx, by, 1)):
        bank[layout["ntid"] + 4 * k] = v
    for k, v in enumerate(grid):
        bank[layout["nctaid"] + 4 * k] = v
    fields = args_struct(kernel, mangled)
    if fields:
        bank.update({layout["params"] + at: v for at, v in struct_values(kernel, fields, mode).items()})
    else:
        ints, pointers = parameter_offsets(mangled)
        for offset, v in zip(ints, (NOMINAL_WIDTH + 2 * APRON, NOMINAL_HEIGHT)):
            bank[layout["params"] + offset] = v
        for k, offset in enumerate(pointers):
            address = NOMINAL_BUFFER + k * NOMINAL_BUFFER_STRIDE
            bank[layout["params"] + offset], bank[layout["params"] + offset + 4] = address & MASK32, address >> 32
    threads = [(x, y) for y in range(by) for x in range(bx)]
    specials = {"SR_TID.X": [t[0] for t in threads], "SR_TID.Y": [t[1] for t in threads],
                "SR_TID.Z": [0] * len(threads), "SR_LANEID": [(y * bx + x) % 32 for x, y in threads],
                "SR_CTAID.X": [block_index(grid[0], where)] * len(threads),
                "SR_CTAID.Y": [block_index(grid[1], where)] * len(threads),
                "SR_CTAID.Z": [0] * len(threads)}
    return {"threads": len(threads), "bank": bank, "specials": specials, "tables": tables or {}}


def block_index(blocks, where):
    return {"first": 0, "middle": blocks // 2, "last": blocks - 1}[where]


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
        self.memo, self.ways = {}, {}
        self.paths, self.extending, self._loops, self._ipdom = None, False, None, None
        # Loops every thread of the launch runs once: their first trip is all there is.
        self.single_trip = shape.get("single_trip", frozenset())
        self.block_at_offset = {self.ins[b.start].offset: n for n, b in enumerate(self.blocks)}

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
        if m := INDEXED_CONSTANT.match(text):
            table = self.launch["tables"].get(int(m.group(1), 16))
            at = self.operand(index, m.group(2), here, depth - 1) if table else None
            if at is None:
                return None
            words = [table.get(a + (immediate(m.group(3)) if m.group(3) else 0)) for a in at]
            return None if None in words else words
        if not re.fullmatch(r"U?R\d+", text) or depth == 0:
            return None
        return self.defined(index, text, here, depth)

    def wide_operand(self, index, text, depth):
        """[low words, high words] of a 64-bit operand: a register pair, a
        constant bank's two words, or an immediate (sign-extended)."""
        text = text.replace(".reuse", "")
        if text in ("RZ", "URZ"):
            return [self.same(0), self.same(0)]
        if (v := immediate(text)) is not None:
            return [self.same(v), self.same(-1 if v < 0 else 0)]
        if m := CONSTANT.match(text):
            base = 0 if m.group(1) == "RZ" else int(m.group(1), 16)
            words = [self.launch["bank"].get(base), self.launch["bank"].get(base + 4)]
            return None if None in words else [self.same(w) for w in words]
        m = re.fullmatch(r"(U?R)(\d+)", text)
        if not m:
            return None
        return [self.operand(index, f"{m.group(1)}{int(m.group(2)) + k}", None, depth) for k in (0, 1)]

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
        """The register's value where every definition reaching `index` gives
        the same; else, thread by thread, the one on the way that thread took."""
        found = reaching_defs(self.ins, self.blocks, self.preds, index, register, here)
        if not found:
            return None
        values = [self.written(at, register, depth) for at in found]
        if None not in values and all(v == values[0] for v in values):
            return values[0]
        return self.on_the_way(found, values, block_of(self.blocks, index) if here is None else here)

    # ---- each thread's way through the blocks ----------------------------------
    # A value with several definitions reaching a block (a peeled remainder of
    # a loop, the two sides of an if) is the one on the way the thread took:
    # its blocks from the entry, each branch decided as above, up to its first
    # visit of that block. Where a branch on the way is not decided, the
    # value stays unknown; a loop's later trips are stepped over to its one
    # exit, and a value the loop defines is unknown past it.

    PATH_STEPS = 4096

    def loops(self):
        if self._loops is None:
            nodes = reachable(self.blocks)
            dom, preds = dominators(self.blocks, nodes)
            self._loops = [(h, body) for h, (_, body) in natural_loops(self.blocks, nodes, dom, preds).items()]
        return self._loops

    def same_every_trip(self, def_blocks, target):
        """Whether each definition reaches `target` within one trip of every
        loop holding both: else the value changes from trip to trip, and the
        first trip's way says nothing of the next."""
        for h, body in self.loops():
            if target not in body or h in self.single_trip:
                continue
            for start in def_blocks:
                if start not in body:
                    continue
                seen, stack = {start}, [start]
                while stack and target not in seen:
                    for s in self.blocks[stack.pop()].succs:
                        if s != h and s in body and s not in seen:
                            seen.add(s)
                            stack.append(s)
                if target not in seen:
                    return False
        return True

    def on_the_way(self, defs, values, target):
        if not self.same_every_trip({block_of(self.blocks, d) for d in defs}, target):
            return None
        if not self.extending:
            self.extend_paths(target)
        if self.paths is None:
            return None
        where = {block_of(self.blocks, d): (d, v) for d, v in zip(defs, values)}
        out = []
        for t in range(self.n):
            path = self.paths[t]
            if target not in path[0]:
                return None
            last = None
            for n in path[1][:path[0][target]]:
                if isinstance(n, frozenset):
                    if n & where.keys():
                        last = None  # defined, or not, on a way not decided
                elif n in where:
                    last = where[n]
            if last is None or last[1] is None:
                return None
            out.append(last[1][t])
        return out

    def extend_paths(self, target):
        """Every thread's blocks from the entry until it reaches `target`, leaves,
        or meets a block it has seen (a loop's next trip, which the first trip's
        values do not decide: where the loop has one exit, the way goes on
        from there, the loop's blocks kept as a set). A branch the values do not decide (on data, or on
        coordinates staged in shared memory) is stepped over to where its sides
        meet, the blocks between kept as a set: a value defined there is unknown."""
        if self.paths is None:
            self.paths = [({0: 0}, [0], True) for _ in range(self.n)]  # first visit, blocks, still going
        self.extending = True
        try:
            for _ in range(self.PATH_STEPS):
                going = [t for t, (first, _, alive) in enumerate(self.paths) if alive and target not in first]
                if not going:
                    return
                for n in {self.paths[t][1][-1] for t in going}:
                    succs = self.blocks[n].succs
                    ways = self.way_taken(n) if len(set(succs)) > 1 or self.blocks[n].may_exit else None
                    skipped = None
                    if ways is None and (len(set(succs)) != 1 or self.blocks[n].may_exit):
                        skipped = self.between(n, target)
                    for t in going:
                        first, blocks, _ = self.paths[t]
                        if blocks[-1] != n:
                            continue
                        if skipped is not None:
                            region, nxt = skipped
                            if nxt is not None and not region & first.keys():
                                blocks.append(region)
                        elif ways is None:
                            nxt = succs[0] if succs else None
                        else:
                            nxt = succs[ways[t]] if ways[t] < len(succs) else None
                        if nxt is not None and nxt in first and (past := self.past_loop(nxt)) is not None \
                                and past[1] not in first:
                            # Back to a loop's header: its later trips are stepped over to
                            # its one exit, its blocks kept as a set (values it defines unknown).
                            blocks.append(past[0])
                            nxt = past[1]
                        elif nxt is None or nxt in first:
                            self.paths[t] = (first, blocks, False)
                            continue
                        first.setdefault(nxt, len(blocks))
                        blocks.append(nxt)
        finally:
            self.extending = False

    def past_loop(self, h):
        """(blocks, exit) of the loop whose header is h, when it leaves by one
        block and no EXIT inside it; else None. A loop every thread runs once
        is not stepped over: its one trip is on the way."""
        if h in self.single_trip:
            return None
        body = next((body for header, body in self.loops() if header == h), None)
        if body is None or any(self.blocks[n].may_exit for n in body):
            return None
        exits = {s for n in body for s in self.blocks[n].succs if s not in body}
        return (frozenset(body), exits.pop()) if len(exits) == 1 else None

    def between(self, n, target):
        """(blocks, meet): the blocks from n's successors to the block where its
        ways meet again (its immediate post-dominator), or (_, None) where they
        do not meet before the end, or `target` lies between."""
        meet = self.post_dominators().get(n)
        if meet is None:
            return frozenset(), None
        region, stack = set(), [s for s in self.blocks[n].succs if s != meet]
        while stack:
            b = stack.pop()
            if b in region or b == meet:
                continue
            region.add(b)
            stack += self.blocks[b].succs
        return frozenset(region), (None if target in region else meet)

    def post_dominators(self):
        """{block: its immediate post-dominator}, for blocks whose ways all meet before the end."""
        if self._ipdom is None:
            nodes = sorted(reachable(self.blocks))
            end = -1
            ways = {n: list(self.blocks[n].succs) + ([end] if self.blocks[n].may_exit or
                                                      not self.blocks[n].succs else []) for n in nodes}
            after = {n: None for n in nodes}  # None: every block (not yet narrowed)
            after[end] = frozenset([end])
            changed = True
            while changed:
                changed = False
                for n in reversed(nodes):
                    known = [after[w] for w in ways[n] if after.get(w) is not None]
                    if not known:
                        continue
                    new = frozenset.intersection(*known) | {n}
                    if new != after[n]:
                        after[n], changed = new, True
            self._ipdom = {}
            for n in nodes:
                others = (after[n] or frozenset()) - {n, end}
                if others:
                    self._ipdom[n] = max(others, key=lambda p: len(after[p]))
        return self._ipdom
    def way_taken(self, n):
        if n not in self.ways:
            self.ways[n] = self._way_taken(n)
        return self.ways[n]

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
            c = self.wide_operand(at, ops[2], depth)
            if a is None or b is None or c is None or None in c:
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
        elif root in ("IMNMX", "VIMNMX") and op.split(".")[1:] in ([], ["U32"], ["S32"]) \
                and ins.operands[-1] in ("PT", "!PT") and len(ops) == 2:
            # IMNMX R, a, b, PT and sm_100's VIMNMX R, PT, PT, a, b, PT: PT picks the minimum
            cast = (lambda x: x) if ".U32" in op else _signed
            pick = min if ins.operands[-1] == "PT" else max
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

    def _way_taken(self, n):
        """Per thread, the position in block n's successors (one past them: a
        predicated EXIT taken) of the way it leaves by, or None."""
        block = self.blocks[n]
        last = self.ins[block.end - 1]
        if last.root in ("BRX", "JMX"):
            return self.indirect_way(n)
        if not last.guard:
            return None
        taken = self.branch_taken(block.end - 1)
        if taken is None:
            return None
        # A jump: its target first, then the fall-through; an EXIT: the fall-through, then leaving.
        return [0 if t else 1 for t in taken] if last.jump else [1 if t else 0 for t in taken]

    def indirect_way(self, n):
        """BRX R, disp: to R + disp + the next instruction's offset."""
        block = self.blocks[n]
        last = self.ins[block.end - 1]
        parts = last.operands[0].split() if last.operands else []
        if len(parts) != 2 or (disp := immediate(parts[1])) is None:
            return None
        address = self.operand(block.end - 1, parts[0])
        if address is None:
            return None
        ways = []
        for a in address:
            target = self.block_at_offset.get((a + disp + last.offset + 16) & MASK32)
            if target not in block.succs:
                return None
            ways.append(block.succs.index(target))
        return ways
