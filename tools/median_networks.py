"""Min/max networks that give the exact median of every window of a tile of
outputs at once, and the order their operations are written in.

A network is a list of single-assignment operations: ("in", x, y) reads the
tile's input pixel (x, y); ("min", a, b) and ("max", a, b) combine earlier
operations. Two ways to build one:

- pruned: the tile's outputs are split in halves recursively; the pixels
  common to all windows of a part are sorted once (odd-even merges of
  smaller sorted sets, themselves shared by every part that uses them) and
  handed down. Each sorted set is only computed over the ranks that can
  still become a median above it, and every min or max that no median
  depends on is dropped. Any odd window, any tile.
- separable (3x3 only): each column of three is sorted; the median of a
  window is the median of the largest of its three column minima, the
  median of its three column medians and the smallest of its three column
  maxima. Pairs that neighbouring columns or rows share are sorted once.
  separable3 is the same for GPUs whose min and max take three operands.

Then the order operations are written in: as built, depth first from each
output, or greedily keeping few wires live; and the counts a network is
judged by: min/max operations, instructions where three-input min/max fuse
chains, and the most wires live at once.
"""


class Network:
    """Single-assignment min/max operations; inputs are operations too."""

    def __init__(self):
        self.ops = []
        self.inputs = {}

    def add(self, *op):
        self.ops.append(op)
        return len(self.ops) - 1

    def input(self, x, y):
        if (x, y) not in self.inputs:
            self.inputs[(x, y)] = self.add("in", x, y)
        return self.inputs[(x, y)]

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

    def cone(self, outputs):
        """Which operations the given outputs depend on."""
        needed = [False] * len(self.ops)
        for o in outputs:
            needed[o] = True
        for i in reversed(range(len(self.ops))):
            if needed[i] and self.ops[i][0] != "in":
                needed[self.ops[i][1]] = needed[self.ops[i][2]] = True
        return needed


class MedianNetwork:
    """A built network and its tile: outputs[(x, y)] is the operation giving
    the median of the window whose top left input pixel is (x, y)."""

    def __init__(self, window, cols, rows, method, net, outputs):
        self.window, self.cols, self.rows, self.method = window, cols, rows, method
        self.net, self.outputs = net, outputs
        self.needed = net.cone(outputs.values())

    @property
    def input_cols(self):
        return self.cols + self.window - 1

    @property
    def input_rows(self):
        return self.rows + self.window - 1

    @property
    def operations(self):
        return sum(1 for i, op in enumerate(self.net.ops) if self.needed[i] and op[0] != "in")

    def window_pixels(self, out):
        x, y = out
        return [(x + i, y + j) for j in range(self.window) for i in range(self.window)]


def window_set(out, side):
    x, y = out
    return frozenset((x + i, y + j) for i in range(side) for j in range(side))


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


def split_axis(items, tie):
    """The axis along which a group of items is halved: the one with more
    distinct positions (the wider side of the group), `tie` when even."""
    xs = {pos[0] for pos, _ in items}
    ys = {pos[1] for pos, _ in items}
    if len(xs) == len(ys):
        return tie
    return 0 if len(xs) > len(ys) else 1


def build_pruned(window, cols, rows, tie=0):
    side = window
    median = side * side // 2
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
            xs = sorted({x for x, _ in pixels})
            if len(xs) > 1:
                left = set(xs[: len(xs) // 2])
                parts = [p for p in pixels if p[0] in left], [p for p in pixels if p[0] not in left]
            else:
                ys = sorted(y for _, y in pixels)
                top = set(ys[: len(ys) // 2])
                parts = [p for p in pixels if p[1] in top], [p for p in pixels if p[1] not in top]
            s = SortedSet(pixels, [sorted_set(parts[0]), sorted_set(parts[1])])
        sets[pixels] = s
        return s

    def share(items, common, leaf):
        """Sorts the pixel sets of `items` ((position, pixels) pairs): halves
        of the items, split along the group's wider side, sort what all
        their sets hold once and pass it down."""
        if len(items) == 1:
            leaf(items[0], common)
            return
        axis = split_axis(items, tie)
        keys = sorted({pos[axis] for pos, _ in items})
        first = set(keys[: len(keys) // 2])
        for part in ([i for i in items if i[0][axis] in first], [i for i in items if i[0][axis] not in first]):
            if len(part) == 1:
                leaf(part[0], common)
                continue
            shared = frozenset.intersection(*(pixels for _, pixels in part))
            share(part, union(common, sorted_set(shared - common.pixels)), leaf)

    def share_all(items, leaf):
        share(items, sorted_set(frozenset.intersection(*(pixels for _, pixels in items))), leaf)

    outs = [(x, y) for y in range(rows) for x in range(cols)]
    leaves = []
    share_all([(o, window_set(o, side)) for o in outs], lambda item, common: leaves.append((item[0], common)))

    # What each output adds to the set it was handed is a run of one row or
    # column; runs of the same line overlap, so they are sorted the same way
    # first.
    lines = {}
    for out, common in leaves:
        extra = window_set(out, side) - common.pixels
        if not extra:
            continue
        xs, ys = {x for x, _ in extra}, {y for _, y in extra}
        line = ("row", min(ys)) if len(ys) == 1 else ("col", min(xs)) if len(xs) == 1 else ("area", out)
        lines.setdefault(line, []).append(((min(xs), min(ys)), extra))
    for line, runs in lines.items():
        if line[0] != "area" and len(runs) > 1:
            share_all(runs, lambda item, common: union(common, sorted_set(item[1] - common.pixels)))
    finals = {out: union(common, sorted_set(window_set(out, side) - common.pixels)) for out, common in leaves}

    # Ranks each set must deliver, from the medians down.
    everything = sorted(set(sets.values()) | set(finals.values()), key=lambda s: (-len(s.pixels), sorted(s.pixels)))
    for f in finals.values():
        f.need(median, median)
    for s in everything:
        if s.lo is not None and s.parts:
            a, b = s.parts
            for part, other in ((a, b), (b, a)):
                part.need(max(0, s.lo - len(other.pixels)), min(s.hi, len(part.pixels) - 1))

    net = Network()
    for y in range(rows + side - 1):
        for x in range(cols + side - 1):
            net.input(x, y)
    for s in sorted(everything, key=lambda s: (len(s.pixels), sorted(s.pixels))):
        if s.lo is None:
            continue
        if not s.parts:
            s.values = [net.input(*next(iter(s.pixels)))]
            continue
        a, b = s.parts
        # Ranks below a.lo and b.lo are dropped: they lie below every rank asked for.
        offset = a.lo + b.lo
        if s.lo == s.hi:
            s.values = [net.select(a.values, b.values, s.lo - offset)]
        else:
            s.values = net.merge(a.values, b.values)[s.lo - offset : s.hi - offset + 1]
    return MedianNetwork(window, cols, rows, "pruned", net, {o: f.values[0] for o, f in finals.items()})


def build_separable3(cols, rows, three_input=False):
    """3x3 medians as the median of (largest column minimum, median of the
    column medians, smallest column maximum) over sorted columns of three.

    Sorting a, b, c where b <= c is already known takes 4 operations
    (min(a, b), max(a, c), max(b, min(a, c))), so each sorted pair of rows
    is shared by the two column triples that contain it, and each sorted
    pair of columns by the two windows that contain it: the median of three
    with two of them sorted is 2 operations, their maximum or minimum 1.

    three_input: for GPUs whose min and max take three operands (a min of a
    min that nothing else reads is one instruction), fewest instructions
    rather than operations: the largest minimum and smallest maximum of a
    window are chains of two (one instruction each, not shared), and the
    final median of A, B = max(b, q), C is min(max(A, b, q), max(b, q, C),
    max(A, C)): four three-input instructions."""
    net = Network()

    def sort_pair(a, b):
        return net.exchange(a, b)

    def median_with_pair(a, pair):
        lo, hi = pair
        return net.add("max", lo, net.add("min", a, hi))

    def sorted_triple(a, pair):
        lo, hi = pair
        low = net.add("min", a, lo)
        high = net.add("max", a, hi)
        return low, net.add("max", lo, net.add("min", a, hi)), high

    def shared_pairs(count, make):
        """Pair (i, i + 1) for odd i, shared by the triples starting at i - 1 and i."""
        return {i: make(i) for i in range(1, count - 1, 2)}

    def chain(kind, a, b, c):
        return net.add(kind, net.add(kind, a, b), c)

    # Column triples: triples[(x, y)] is the sorted column x, rows y .. y + 2.
    triples = {}
    for x in range(cols + 2):
        pairs = shared_pairs(rows + 2, lambda y: sort_pair(net.input(x, y), net.input(x, y + 1)))
        for y in range(rows):
            if y % 2 == 0:
                triples[(x, y)] = sorted_triple(net.input(x, y), pairs[y + 1])
            else:
                triples[(x, y)] = sorted_triple(net.input(x, y + 2), pairs[y])

    outputs = {}
    for y in range(rows):
        low = [triples[(x, y)][0] for x in range(cols + 2)]
        mid = [triples[(x, y)][1] for x in range(cols + 2)]
        high = [triples[(x, y)][2] for x in range(cols + 2)]
        if not three_input:
            low_pairs = shared_pairs(cols + 2, lambda x: net.add("max", low[x], low[x + 1]))
            high_pairs = shared_pairs(cols + 2, lambda x: net.add("min", high[x], high[x + 1]))
        mid_pairs = shared_pairs(cols + 2, lambda x: sort_pair(mid[x], mid[x + 1]))
        for x in range(cols):
            # Window x holds columns x .. x + 2: the sorted pair of columns
            # (x + 1, x + 2) or (x, x + 1), whichever starts odd, and one more.
            pair_at, single = (x + 1, x) if x % 2 == 0 else (x, x + 2)
            if three_input:
                largest_low = chain("max", low[x], low[x + 1], low[x + 2])
                smallest_high = chain("min", high[x], high[x + 1], high[x + 2])
                b, hi = mid_pairs[pair_at]
                q = net.add("min", mid[single], hi)
                outputs[(x, y)] = chain("min", chain("max", largest_low, b, q), chain("max", b, q, smallest_high),
                                        net.add("max", largest_low, smallest_high))
                continue
            largest_low = net.add("max", low[single], low_pairs[pair_at])
            smallest_high = net.add("min", high[single], high_pairs[pair_at])
            mid_median = median_with_pair(mid[single], mid_pairs[pair_at])
            # The median of three values, none ordered.
            lo, hi = sort_pair(largest_low, smallest_high)
            outputs[(x, y)] = median_with_pair(mid_median, (lo, hi))
    method = "separable3" if three_input else "separable"
    return MedianNetwork(3, cols, rows, method, net, outputs)


def build(window, cols, rows, method="pruned"):
    if method in ("separable", "separable3"):
        if window != 3:
            raise ValueError("the separable form is built for 3x3 windows only")
        return build_separable3(cols, rows, three_input=method == "separable3")
    return build_pruned(window, cols, rows)


def built_order(m):
    """The operations as they were built, the needed ones only."""
    return [i for i, op in enumerate(m.net.ops) if m.needed[i] and op[0] != "in"]


def peak_live(m, order):
    """Most wires held at once when operations run in `order`: an input from
    its first use, every wire until its last use, outputs to the end."""
    ops = m.net.ops
    last = {}
    for step, i in enumerate(order):
        for operand in ops[i][1:]:
            last[operand] = step
    end = len(order)
    for o in m.outputs.values():
        last[o] = end
    live = peak = 0
    started = set()
    for step, i in enumerate(order):
        for operand in ops[i][1:]:
            if ops[operand][0] == "in" and operand not in started:
                started.add(operand)
                live += 1
        live += 1
        peak = max(peak, live)
        for operand in set(ops[i][1:]):
            if last[operand] == step:
                live -= 1
        if last.get(i, step) == step:
            live -= 1
    return peak


def live_order(m):
    """A greedy order that keeps few wires live: among the operations whose
    operands are ready, the one that frees the most wires (and loads the
    fewest inputs), the earliest built on a tie."""
    ops = m.net.ops
    order = built_order(m)
    users = {}
    for i in order:
        for operand in set(ops[i][1:]):
            users.setdefault(operand, []).append(i)
    remaining_uses = {w: len(u) for w, u in users.items()}
    outputs = set(m.outputs.values())
    waiting = {i: sum(1 for a in set(ops[i][1:]) if ops[a][0] != "in") for i in order}
    ready = {i for i in order if waiting[i] == 0}
    loaded = set()
    result = []

    def gain(i):
        freed = sum(1 for a in set(ops[i][1:]) if remaining_uses[a] == 1)
        loads = sum(1 for a in set(ops[i][1:]) if ops[a][0] == "in" and a not in loaded)
        return (loads - freed, i)

    while ready:
        i = min(ready, key=gain)
        ready.remove(i)
        result.append(i)
        for a in set(ops[i][1:]):
            remaining_uses[a] -= 1
            if ops[a][0] == "in":
                loaded.add(a)
        for u in users.get(i, []):
            waiting[u] -= 1
            if waiting[u] == 0:
                ready.add(u)
    assert len(result) == len(order)
    return result


def depth_first_order(m):
    """Each output's operations depth first, outputs row by row; of two
    operands, the one with the larger unwritten cone first (it needs more
    registers while the other waits)."""
    ops = m.net.ops
    size = {}
    for i, op in enumerate(ops):
        if m.needed[i]:
            size[i] = 0 if op[0] == "in" else 1 + size[op[1]] + size[op[2]]
    done = set()
    result = []

    def visit(root):
        stack = [(root, False)]
        while stack:
            i, expanded = stack.pop()
            if i in done or ops[i][0] == "in":
                continue
            if expanded:
                done.add(i)
                result.append(i)
                continue
            stack.append((i, True))
            a, b = ops[i][1], ops[i][2]
            first, second = (a, b) if size[a] >= size[b] else (b, a)
            stack.append((second, False))
            stack.append((first, False))

    for out in sorted(m.outputs, key=lambda o: (o[1], o[0])):
        visit(m.outputs[out])
    return result


def operand_uses(m):
    """How many needed operations read each wire."""
    uses = {}
    for i, op in enumerate(m.net.ops):
        if m.needed[i] and op[0] != "in":
            for operand in op[1:]:
                uses[operand] = uses.get(operand, 0) + 1
    return uses


def fused_operations(m):
    """Min/max instructions where a three-input min or max (sm_90 on) takes
    the place of two: an operation absorbs one operand of its own kind that
    nothing else uses, unless that operand was absorbed into it already."""
    ops = m.net.ops
    uses = operand_uses(m)
    outputs = set(m.outputs.values())
    absorbed = set()
    for i in reversed(range(len(ops))):
        op = ops[i]
        if not m.needed[i] or op[0] == "in" or i in absorbed:
            continue
        for operand in op[1:]:
            if ops[operand][0] == op[0] and uses[operand] == 1 and operand not in outputs:
                absorbed.add(operand)
                break
    return m.operations - len(absorbed)


def cap_sites(m):
    """Where a network caps its outputs (every output becomes the least of
    its median and a cap value; float keys cap at the canonical NaN's key):
    (ops, outputs). An output that is a min gets the cap as an operand of
    the deepest min of the min tree that only it reads, the one whose
    operands are no min of that tree: where the tree has an even number of
    leaves, its three-input mins (sm_90 on) leave one operand free there and
    the cap costs nothing (fused_operations of capped(m) counts it). `ops`
    holds those operations, whose first operand is capped. An output that
    is a max is capped itself (one more min): `outputs` holds those
    wires."""
    ops = m.net.ops
    uses = operand_uses(m)
    outputs = set(m.outputs.values())

    def own_min(i):
        return ops[i][0] == "min" and uses.get(i, 0) == 1 and i not in outputs

    capped_ops, capped_outputs = set(), set()
    for wire in outputs:
        if ops[wire][0] != "min":
            capped_outputs.add(wire)
            continue
        node = wire
        while True:
            deeper = [operand for operand in ops[node][1:] if own_min(operand)]
            if not deeper:
                break
            node = deeper[0]
        capped_ops.add(node)
    return capped_ops, capped_outputs


# The input that stands for the cap value in capped(m).
CAP_INPUT = ("cap", 0)


def capped(m):
    """Network m with its cap (cap_sites) as operations on one more input,
    CAP_INPUT: what the checks evaluate and the counts count."""
    capped_ops, capped_outputs = cap_sites(m)
    net = Network()
    cap = net.input(*CAP_INPUT)
    new = {}
    for i, op in enumerate(m.net.ops):
        if op[0] == "in":
            new[i] = net.input(op[1], op[2])
        elif i in capped_ops:
            new[i] = net.add(op[0], net.add("min", new[op[1]], cap), new[op[2]])
        else:
            new[i] = net.add(op[0], new[op[1]], new[op[2]])
    outputs = {out: net.add("min", new[w], cap) if w in capped_outputs else new[w] for out, w in m.outputs.items()}
    return MedianNetwork(m.window, m.cols, m.rows, m.method, net, outputs)

