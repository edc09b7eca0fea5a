#!/usr/bin/python3
"""Writes library/core/tiled_network.h: the pruned min/max network that gives the
exact 5x5 median of every output of a TILE_COLS x TILE_ROWS tile at once.

The tile's outputs are split in halves recursively; the pixels common to all
windows of a part are sorted once (odd-even merges of smaller sorted sets,
themselves shared by every part that uses them) and handed down. Each sorted
set is only computed over the ranks that can still become a median above it,
and every min or max that no median depends on is dropped.

Usage: tools/gen_tiled_network.py [--check N] > library/core/tiled_network.h
       tools/gen_tiled_network.py --compare library/core/tiled_network.h  (exit 1 when stale)
"""
import argparse
import random
import sys

TILE_COLS = 4
TILE_ROWS = 2
SIDE = 5
MEDIAN = SIDE * SIDE // 2
# Split order of the tile, widest first: columns, columns, rows.
SPLITS = "xxy"


class Network:
    """Single-assignment min/max operations; inputs are nodes too."""

    def __init__(self):
        self.ops = []

    def add(self, *op):
        self.ops.append(op)
        return len(self.ops) - 1

    def exchange(self, a, b):
        return self.add("min", a, b), self.add("max", a, b)

    def merge(self, a, b):
        """Batcher's odd-even merge of two sorted lists of any lengths."""
        if not a or not b:
            return list(a or b)
        if len(a) == 1 and len(b) == 1:
            return list(self.exchange(a[0], b[0]))
        even = self.merge(a[0::2], b[0::2])
        odd = self.merge(a[1::2], b[1::2])
        out = [even[0]]
        for i in range(max(len(odd), len(even) - 1)):
            if i < len(odd) and i + 1 < len(even):
                out += self.exchange(odd[i], even[i + 1])
            else:
                out.append(odd[i] if i < len(odd) else even[i + 1])
        return out

    def select(self, a, b, k):
        """The k-th smallest of sorted a and b: min over i + j = k + 1 of max(a[i - 1], b[j - 1])."""
        terms = []
        for i in range(k + 2):
            j = k + 1 - i
            if i > len(a) or j > len(b):
                continue
            if i == 0:
                terms.append(b[j - 1])
            elif j == 0:
                terms.append(a[i - 1])
            else:
                terms.append(self.add("max", a[i - 1], b[j - 1]))
        result = terms[0]
        for t in terms[1:]:
            result = self.add("min", result, t)
        return result

    def live(self, outputs):
        needed = [False] * len(self.ops)
        for o in outputs:
            needed[o] = True
        for i in reversed(range(len(self.ops))):
            if needed[i] and self.ops[i][0] != "in":
                needed[self.ops[i][1]] = needed[self.ops[i][2]] = True
        return needed


class SortedSet:
    """A set of input pixels to be sorted, made of two smaller ones."""

    def __init__(self, pixels, parts):
        self.pixels = pixels
        self.parts = parts
        self.lo = self.hi = None  # ranks some user needs
        self.values = None        # sorted values of ranks lo..hi

    def need(self, lo, hi):
        self.lo = lo if self.lo is None else min(self.lo, lo)
        self.hi = hi if self.hi is None else max(self.hi, hi)


def window(out):
    x, y = out
    return frozenset((x + i, y + j) for i in range(SIDE) for j in range(SIDE))


def build():
    sets = {}

    def union(a, b):
        if not b.pixels:
            return a
        pixels = a.pixels | b.pixels
        if pixels not in sets:
            sets[pixels] = SortedSet(pixels, [a, b])
        return sets[pixels]

    def sorted_set(pixels):
        """Sorted by columns, then halves, so that sets of the same columns are shared."""
        pixels = frozenset(pixels)
        if pixels in sets:
            return sets[pixels]
        if len(pixels) <= 1:
            s = SortedSet(pixels, [])
        else:
            cols = sorted({x for x, _ in pixels})
            if len(cols) > 1:
                left = set(cols[: len(cols) // 2])
                parts = [p for p in pixels if p[0] in left], [p for p in pixels if p[0] not in left]
            else:
                rows = sorted(y for _, y in pixels)
                top = set(rows[: len(rows) // 2])
                parts = [p for p in pixels if p[1] in top], [p for p in pixels if p[1] not in top]
            s = SortedSet(pixels, [sorted_set(parts[0]), sorted_set(parts[1])])
        sets[pixels] = s
        return s

    def share(items, common, splits, leaf):
        """Sorts the pixel sets of `items` ((position, pixels) pairs): halves
        of the items in turn along the axes of `splits` sort what all their
        sets hold once, and pass it down."""
        if len(items) == 1:
            leaf(items[0], common)
            return
        axis = 0 if splits[0] == "x" else 1
        keys = sorted({pos[axis] for pos, _ in items})
        first = set(keys[: len(keys) // 2])
        for part in ([i for i in items if i[0][axis] in first], [i for i in items if i[0][axis] not in first]):
            if len(part) == 1:
                leaf(part[0], common)
                continue
            shared = frozenset.intersection(*(pixels for _, pixels in part))
            share(part, union(common, sorted_set(shared - common.pixels)), splits[1:], leaf)

    def share_all(items, splits, leaf):
        share(items, sorted_set(frozenset.intersection(*(pixels for _, pixels in items))), splits, leaf)

    outs = [(x, y) for y in range(TILE_ROWS) for x in range(TILE_COLS)]
    leaves = []
    share_all([(o, window(o)) for o in outs], SPLITS, lambda item, common: leaves.append((item[0], common)))

    # What each output adds to the set it was handed is a run of one row or
    # column; runs of the same line overlap, so they are sorted the same way
    # first.
    lines = {}
    for out, common in leaves:
        extra = window(out) - common.pixels
        xs, ys = {x for x, _ in extra}, {y for _, y in extra}
        line = ("row", min(ys)) if len(ys) == 1 else ("col", min(xs)) if len(xs) == 1 else ("area", out)
        lines.setdefault(line, []).append(((min(xs), min(ys)), extra))
    for line, runs in lines.items():
        if line[0] != "area" and len(runs) > 1:
            splits = ("x" if line[0] == "row" else "y") * len(runs)
            share_all(runs, splits, lambda item, common: union(common, sorted_set(item[1] - common.pixels)))
    finals = {out: union(common, sorted_set(window(out) - common.pixels)) for out, common in leaves}

    # Ranks each set must deliver, from the medians down.
    everything = sorted(set(sets.values()) | set(finals.values()), key=lambda s: (-len(s.pixels), sorted(s.pixels)))
    for f in finals.values():
        f.need(MEDIAN, MEDIAN)
    for s in everything:
        if s.lo is not None and s.parts:
            a, b = s.parts
            for part, other in ((a, b), (b, a)):
                part.need(max(0, s.lo - len(other.pixels)), min(s.hi, len(part.pixels) - 1))

    net = Network()
    inputs = {}
    for y in range(TILE_ROWS + SIDE - 1):
        for x in range(TILE_COLS + SIDE - 1):
            inputs[(x, y)] = net.add("in", x, y)
    for s in sorted(everything, key=lambda s: (len(s.pixels), sorted(s.pixels))):
        if s.lo is None:
            continue
        if not s.parts:
            s.values = [inputs[next(iter(s.pixels))]]
            continue
        a, b = s.parts
        # Ranks below a.lo and b.lo are dropped: they lie below every rank asked for.
        offset = a.lo + b.lo
        if s.lo == s.hi:
            s.values = [net.select(a.values, b.values, s.lo - offset)]
        else:
            s.values = net.merge(a.values, b.values)[s.lo - offset : s.hi - offset + 1]
    return net, inputs, {o: f.values[0] for o, f in finals.items()}


def evaluate(net, image, outputs):
    vals = []
    for op in net.ops:
        if op[0] == "in":
            vals.append(image[(op[1], op[2])])
        else:
            vals.append((min if op[0] == "min" else max)(vals[op[1]], vals[op[2]]))
    return {o: vals[n] for o, n in outputs.items()}


def check(net, inputs, outputs, trials):
    rng = random.Random(1)
    for t in range(trials):
        top = (1, 3, 255)[t % 3]
        image = {p: rng.randint(0, top) for p in inputs}
        for (x, y), got in evaluate(net, image, outputs).items():
            want = sorted(image[p] for p in window((x, y)))[MEDIAN]
            if got != want:
                sys.exit(f"network wrong at output {(x, y)}: {got} != {want}")


def emit(net, outputs):
    needed = net.live(outputs.values())
    name = {}
    lines = []
    mins = maxs = 0
    for i, op in enumerate(net.ops):
        if not needed[i]:
            continue
        if op[0] == "in":
            name[i] = f"in[{op[2]}][{op[1]}]"
            continue
        name[i] = f"t{len(lines)}"
        lines.append(f"    const Lanes {name[i]} = lane_{op[0]}({name[op[1]]}, {name[op[2]]});")
        mins += op[0] == "min"
        maxs += op[0] == "max"
    for (x, y), n in sorted(outputs.items(), key=lambda item: (item[0][1], item[0][0])):
        lines.append(f"    out[{y}][{x}] = {name[n]};")
    total = mins + maxs
    outs = len(outputs)
    return f"""// Generated by tools/gen_tiled_network.py; do not edit.
// Exact 5x5 medians of a {TILE_COLS}x{TILE_ROWS} tile of outputs from its {TILE_COLS + SIDE - 1}x{TILE_ROWS + SIDE - 1} input
// pixels: {total} min/max ({mins} min, {maxs} max) for {outs} outputs, {total / outs:.2f} per output.
#pragma once

namespace tiled_network {{

constexpr int tile_cols = {TILE_COLS};
constexpr int tile_rows = {TILE_ROWS};
constexpr int input_cols = {TILE_COLS + SIDE - 1};
constexpr int input_rows = {TILE_ROWS + SIDE - 1};
constexpr int operations = {total};

// out[r][c] is the median of in[r .. r + 4][c .. c + 4]; Lanes provides
// lane_min and lane_max, applied lane by lane.
template <class Lanes>
__device__ __forceinline__ void tile_medians(const Lanes (&in)[input_rows][input_cols], Lanes (&out)[tile_rows][tile_cols]) {{
{chr(10).join(lines)}
}}

}}  // namespace tiled_network
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", type=int, default=300, help="random tiles to check the network on")
    parser.add_argument("--compare", metavar="HEADER", help="only say whether HEADER is what would be written")
    args = parser.parse_args()
    net, inputs, outputs = build()
    check(net, inputs, outputs, args.check)
    text = emit(net, outputs)
    if args.compare:
        with open(args.compare) as f:
            if f.read() != text:
                sys.exit(f"{args.compare} differs from the generated network; regenerate it")
        return
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
