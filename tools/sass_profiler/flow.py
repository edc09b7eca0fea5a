"""Control flow of one function: basic blocks, dominators, natural loops,
the definitions that reach an instruction, and which branches depend on
image data."""
from collections import defaultdict

from .parse import LOADS


class Block:
    def __init__(self, start, end):
        self.start, self.end = start, end  # instruction indices [start, end)
        self.succs = []
        self.data_branch = False
        self.may_exit = False  # ends in a predicated EXIT


def is_terminator(ins):
    return ins.jump or ins.root in ("BRX", "JMP", "JMX", "EXIT", "RET", "KILL")


def build_blocks(instructions, labels):
    """Basic blocks; a block's successors list a jump's target first, then
    the fall-through (an indirect branch: its targets in nvdisasm's order)."""
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
            if last.targets and all(t in labels for t in last.targets):
                b.succs = [block_at[labels[t]] for t in last.targets]
            else:
                b.succs = list(range(len(blocks)))  # indirect, targets not named: anywhere
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
                if (ins.jump or ins.root in ("EXIT", "BRX", "JMX")) and ins is instructions[b.end - 1]:
                    if ins.root in ("BRX", "JMX"):
                        # A switch on a loaded value is data; on an argument, the launch decides it.
                        b.data_branch = not ins.targets or any(r in state for r in read)
                    else:
                        b.data_branch = ins.guard is not None and ins.guard[0] in state
                for r in written:
                    if tainted:
                        state.add(r)
                    elif not ins.guard:
                        state.discard(r)
            if state != out[n]:
                out[n], changed = state, True


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
    lo, hi = 0, len(blocks)
    while hi - lo > 1:  # blocks are sorted by start
        mid = (lo + hi) // 2
        if blocks[mid].start <= index:
            lo = mid
        else:
            hi = mid
    return lo


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
