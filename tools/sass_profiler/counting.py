"""Instruction counts of one function, per thread: each loop collapsed into
one region (its trips times one trip), then the costliest way through what
is left. Counts are ranges per instruction class."""
import math
import sys
from collections import defaultdict

from .flow import build_blocks, dominators, natural_loops, reachable, taint
from .loops import trip_count
from .threads import ThreadValues


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
    """A node of the collapsed control flow: a block, or a whole loop. Its
    successors keep the order of the block's (a jump's target first); an
    edge that leaves the regions it sits among ends a path there."""

    def __init__(self, cost, succs, data, may_exit=False):
        self.cost, self.succs, self.data, self.may_exit = cost, succs, data, may_exit


class LoopRegion(Region):
    pass


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
            # The back edge of a loop's trip is no way on: the trip's cost is its longest way to the latch.
            ways = [walk(s) if s in regions else Cost() for s in r.succs if not isinstance(s, tuple)]
            if r.may_exit:
                ways.append(Cost())
            memo[n] = r.cost.plus(Cost.choose(ways, r.data)) if ways else r.cost
            open_walks.discard(n)
        return memo[n]

    return walk(entry)


def _copy_loop(loop, succs):
    """The loop region with other successors, its details kept."""
    copy = LoopRegion(loop.cost, succs, loop.data, loop.may_exit)
    copy.__dict__.update({k: v for k, v in loop.__dict__.items() if k not in ("succs",)})
    copy.succs = succs
    return copy


def _trip_end(h, s):
    """A successor inside one trip of the loop at h: the back edge ends the trip."""
    return ("next trip", h) if s == h else s


def nominal_counts(values, blocks, entries, counted):
    """Each thread's trips of a loop under a launch: the count from its own
    values of the registers that decide it, the first exit that holds; None
    where the launch does not decide them all."""
    if not counted or len(entries) != 1 or values is None:
        return None
    per_exit = []
    for inputs, trips_from in counted:
        known = {r: values.operand(blocks[entries[0]].end, r, here=entries[0]) for r in inputs}
        if None in known.values():
            return None
        per_thread = [trips_from({r: v[t] for r, v in known.items()}) for t in range(values.n)]
        if None in per_thread:
            return None
        per_exit.append(per_thread)
    return [min(t) for t in zip(*per_exit)]


def analyse(instructions, labels, launches=(), single_trip=frozenset()):
    """Per-thread cost range and the loops of one function. With launches
    (threads.nominal_launch: the block the average is taken over, then
    others), a loop whose count the code alone does not bound takes the
    counts that the threads of those blocks run ("nominal"): a loop only
    blocks at the image's edge run is bounded by them."""
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 10 * len(instructions) + 1000))
    blocks = build_blocks(instructions, labels)
    nodes = reachable(blocks)
    dom, preds = dominators(blocks, nodes)
    taint(instructions, blocks, nodes, preds)
    shape = {"instructions": instructions, "blocks": blocks, "preds": preds, "single_trip": single_trip}
    values = [ThreadValues(shape, launch) for launch in launches]
    regions = {n: Region(Cost.of(instructions[blocks[n].start:blocks[n].end]), list(blocks[n].succs),
                         blocks[n].data_branch, blocks[n].may_exit) for n in nodes}
    owner = {n: n for n in nodes}  # block -> the region holding it
    loop_reports = []
    # Innermost (smallest) loops first, each collapsed into one region.
    for h, (latches, body) in sorted(natural_loops(blocks, nodes, dom, preds).items(), key=lambda x: len(x[1][1])):
        members = {owner[n] for n in body}
        plain = {n for n in body if owner[n] == n and not (n != h and isinstance(regions.get(n), LoopRegion))}
        one_trip = {}
        for m in members:
            succs = [_trip_end(h, s) for s in regions[m].succs]
            one_trip[m] = _copy_loop(regions[m], succs) if isinstance(regions[m], LoopRegion) else \
                Region(regions[m].cost, succs, regions[m].data, regions[m].may_exit)
        iteration = path_cost(one_trip, h)
        exits = sorted({s for m in members for s in regions[m].succs if s not in members})
        tests = [n for n in plain if len(set(owner[s] in members for s in blocks[n].succs)) == 2
                 or (blocks[n].may_exit and all(owner[s] in members for s in blocks[n].succs))]
        leaving = [m for m in members if regions[m].may_exit or any(s not in members for s in regions[m].succs)]
        data = any(regions[m].data for m in leaving)
        counts = [c for t in tests if (c := trip_count(instructions, blocks, labels, h, latches, body, plain, dom, t))]
        # Several counted exits: the loop leaves at the first that holds.
        count = (min(c[0] for c in counts), min(c[1] for c in counts)) if counts else None
        # One way out: a branch, or a predicated EXIT whose block stays in the loop otherwise.
        alone = len(leaving) == 1 and (not regions[leaving[0]].may_exit or
                                       all(s in members for s in regions[leaving[0]].succs))
        entries = [p for p in preds[h] if p not in body]
        counted = [(c[2], c[3]) for c in counts if c[2]] if alone else []
        if count is not None and alone and count[0] == count[1]:
            lo, hi, kind = count[0], count[1], "fixed"
        elif count is not None and alone and count[1] < math.inf:
            lo, hi, kind = count[0], count[1], "position"
        elif count is not None and count[1] < math.inf:
            lo, hi, kind = 1, count[1], "data" if data else "thread"
        elif nominal := [c for v in values if (c := nominal_counts(v, blocks, entries, counted)) is not None]:
            lo, hi, kind = min(map(min, nominal)), max(map(max, nominal)), "nominal"
        else:
            lo, hi, kind = 1, math.inf, "data" if data else "unproven"
        loop_reports.append({"trips": (lo, hi), "kind": kind, "offset": instructions[blocks[h].start].offset,
                             "body": iteration.total(), "header": h})
        may_exit = any(regions[m].may_exit for m in members)
        for m in members:
            del regions[m]
        regions[h] = LoopRegion(iteration.times(lo, hi), exits, data or kind != "fixed", may_exit)
        regions[h].iteration, regions[h].kind, regions[h].one_trip = iteration, kind, one_trip
        regions[h].header, regions[h].trips, regions[h].exit_data = h, (lo, hi), data
        # Counts from each thread's start, for the block average.
        regions[h].counted = counted if kind in ("position", "unproven", "nominal") else []
        regions[h].entries = entries
        # Branches on the thread's position inside the body: each thread takes its own side.
        regions[h].inner_choices = any(not blocks[m].data_branch and len({s for s in blocks[m].succs
                                                                          if s in body and s != h}) > 1
                                       for m in body)
        for n in body:
            owner[n] = h
        for r in regions.values():
            r.succs = [h if s in members else s for s in r.succs]
        regions[h].succs = exits
    # A loop the launches run once (a grid-stride loop over a grid that covers
    # the image): values that change from trip to trip are known inside it.
    once = {loop["header"] for loop in loop_reports if loop["trips"] == (1, 1)} if launches else set()
    if once - single_trip:
        return analyse(instructions, labels, launches, single_trip | once)
    data_branches = sum(1 for n in nodes if blocks[n].data_branch)
    shape["regions"] = regions
    return path_cost(regions, 0), loop_reports, data_branches, shape
