"""What the warps of one block issue. A warp issues an instruction once for
all its threads that run it: where its threads take different sides of a
branch it issues both sides, one after the other, and they run on together
again where the sides meet (the branch's immediate post-dominator, where
the compiler puts the warp's reconvergence). The figure stays per thread:
32 thread-instructions per warp instruction, so a warp whose threads never
diverge counts exactly what each of its threads issues."""
from collections import defaultdict

from .counting import Cost, LoopRegion, nominal_counts
from .threads import ThreadValues

WARP = 32
END = "end"  # where a path leaves the regions walked: EXIT, or the end of a loop's trip
NOTHING = frozenset()


def post_dominators(regions):
    """{region: its immediate post-dominator, or END} of a DAG of regions."""
    order, seen = [], set()

    def visit(n):  # depth first, successors before their predecessors in `order`
        stack = [(n, iter(regions[n].succs))]
        seen.add(n)
        while stack:
            node, succs = stack[-1]
            for s in succs:
                if s in regions and s not in seen:
                    seen.add(s)
                    stack.append((s, iter(regions[s].succs)))
                    break
            else:
                order.append(node)
                stack.pop()

    for n in regions:
        if n not in seen:
            visit(n)
    after = {END: frozenset([END])}
    for n in order:
        ways = [s if s in regions else END for s in regions[n].succs] + ([END] if regions[n].may_exit else [])
        common = frozenset.intersection(*(after[s] for s in ways)) if ways else frozenset([END])
        after[n] = common | {n}
    # The nearest post-dominator is the one post-dominated by all the others.
    return {n: max(after[n] - {n}, key=lambda p: len(after[p])) for n in regions}


def mask_of(threads):
    out = 0
    for t in threads:
        out |= 1 << t
    return out


def members(mask):
    t = 0
    while mask:
        if mask & 1:
            yield t
        mask >>= 1
        t += 1


class WarpWalk:
    """Costs of sets of a block's threads (bit masks) walking the regions together."""

    def __init__(self, shape, launch):
        self.values = ThreadValues(shape, launch)
        self.blocks, self.instructions = shape["blocks"], shape["instructions"]
        self.n = launch["threads"]
        self.memo, self.ipdom, self.ways, self.counts = {}, {}, {}, {}

    def where(self, n):
        return f"{self.instructions[self.blocks[n].start].offset:#x}"

    def way_taken(self, n):
        if n not in self.ways:
            self.ways[n] = self.values.way_taken(n)
        return self.ways[n]

    def walk(self, regions, n, threads, stop=END):
        """(cost, notes, threads that reach `stop`) of `threads` from region n."""
        if n == stop or not threads:
            return Cost(), NOTHING, threads
        if n not in regions:
            return Cost(), NOTHING, 0
        key = (id(regions), n, threads, stop)
        if key in self.memo:
            return self.memo[key]
        if id(regions) not in self.ipdom:
            self.ipdom[id(regions)] = (regions, post_dominators(regions))
        meet = self.ipdom[id(regions)][1][n]
        r = regions[n]
        own, notes = self.own(r, threads)
        side_cost, side_notes, arrived = self.sides(regions, n, r, threads, meet)
        cost, notes = own.plus(side_cost), notes | side_notes
        if meet != stop and meet != END:
            rest, rest_notes, arrived = self.walk(regions, meet, arrived, stop)
            cost, notes = cost.plus(rest), notes | rest_notes
        self.memo[key] = (cost, notes, arrived)
        return self.memo[key]

    def sides(self, regions, n, r, threads, meet):
        """The ways from region n to `meet`: one per side its threads take."""
        ways = list(r.succs) + ([END] if r.may_exit else [])
        if not ways:
            return Cost(), NOTHING, 0
        if len(set(ways)) == 1:
            return self.walk(regions, ways[0], threads, meet)
        loop = isinstance(r, LoopRegion)
        data = r.exit_data if loop else r.data
        taken = None if loop or data else self.way_taken(n)
        if taken is not None:  # each thread its own side: the warp runs every side one of them takes
            split = defaultdict(int)
            for t in members(threads):
                split[ways[taken[t]]] |= 1 << t
            cost, notes, arrived = Cost(), NOTHING, 0
            for way, part in split.items():
                c, w_notes, a = self.walk(regions, way, part, meet)
                cost, notes, arrived = cost.plus(c), notes | w_notes, arrived | a
            return cost, notes, arrived
        parts = [self.walk(regions, way, threads, meet) for way in dict.fromkeys(ways)]
        arrived = 0
        for _, _, a in parts:
            arrived |= a
        notes = NOTHING.union(*(p[1] for p in parts))
        if data:
            # On image data: the cheapest side when the warp's threads agree; every
            # side when they do not (one thread alone takes one side).
            chosen = Cost.choose([p[0] for p in parts], True)
            if bin(threads).count("1") > 1:
                every = Cost()
                for p in parts:
                    every = every.plus(p[0])
                chosen = Cost(chosen.lo, every.hi)
            return chosen, notes, arrived
        last = self.instructions[self.blocks[n].end - 1]
        what = f"the exits of the loop at {self.where(n)}" if loop else f"the branch at {last.offset:#x}"
        return Cost.choose([p[0] for p in parts], False), notes | {what}, arrived

    def own(self, r, threads):
        """(cost, notes) of the region itself: a block once, a loop its trips."""
        if not isinstance(r, LoopRegion):
            return r.cost, NOTHING
        counts = self.loop_counts(r)
        if counts is None:
            trip, notes = self.trip(r, threads)
            note = frozenset([f"the count of the loop at {self.where(r.header)}"]) if r.counted else NOTHING
            return trip.times(*r.trips), notes | note
        # The warp runs as long as its longest thread; each trip costs what its threads still in the loop issue.
        cost, notes, done = Cost(), NOTHING, 0
        for count in sorted({counts[t] for t in members(threads)}):
            active = mask_of(t for t in members(threads) if counts[t] >= count)
            trip, trip_notes = self.trip(r, active)
            cost, notes, done = cost.plus(trip.times(count - done, count - done)), notes | trip_notes, count
        return cost, notes

    def trip(self, r, threads):
        if not r.inner_choices:
            return r.iteration, NOTHING
        cost, notes, _ = self.walk(r.one_trip, r.header, threads)
        return cost, notes

    def loop_counts(self, r):
        if r.header not in self.counts:
            self.counts[r.header] = nominal_counts(self.values, self.blocks, r.entries, r.counted) \
                if r.counted else None
        return self.counts[r.header]


def block_average(shape, launch):
    """(cost per thread of one block, notes): what each warp issues, 32
    thread-instructions per warp instruction, over the block's threads.
    Branches on the thread's position and loop counts are taken thread by
    thread where the instructions decide them, else at their longer side
    (named in the notes)."""
    walk = WarpWalk(shape, launch)
    n = launch["threads"]
    lo, hi, notes = defaultdict(float), defaultdict(float), set()
    for first in range(0, n, WARP):
        cost, warp_notes, _ = walk.walk(shape["regions"], 0, mask_of(range(first, min(first + WARP, n))))
        for k, v in cost.lo.items():
            lo[k] += WARP * v / n
        for k, v in cost.hi.items():
            hi[k] += WARP * v / n
        notes |= warp_notes
    return Cost(lo, hi), sorted(notes)
