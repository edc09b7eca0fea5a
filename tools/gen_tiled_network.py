#!/usr/bin/python3
"""Writes the median networks of library/core/networks/: for each window, a
min/max network that gives the exact median of every output of a tile at
once (tools/median_networks.py builds them), as straight-line device code,
and networks.h, which names each window's network.

Every network is checked before it is written or compared: against sorting
on random tiles, and on 0/1 windows (every one up to 5x5, sampled near the
median's threshold above; tools/network_checks.py).

Usage: tools/gen_tiled_network.py --write                 (regenerates library/core/networks/)
       tools/gen_tiled_network.py --compare               (exit 1 when a header is stale or a check fails)
       tools/gen_tiled_network.py --table                 (min/max and sm_90 instructions per output, live
                                                          wires by order, several tiles per window to 15x15)
       tools/gen_tiled_network.py --window 7 --tile 4x2 [--method pruned|separable|separable3]
                                  [--order depth|built|live]  (one network's header to stdout)
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import median_networks  # noqa: E402
import network_checks  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NETWORK_DIR = os.path.join(ROOT, "library", "core", "networks")


class Choice:
    """One checked-in network: window, tile, how it is built, the order its
    operations are written in, and the registers per wire it is meant for
    (1: both 16-bit lanes of a wire in one register, 2: one lane each).
    two_input_method: a second network of the same tile for GPUs before
    sm_90, whose min and max take two operands; networks.h picks by
    architecture in device code (the tile, which the host needs, is one)."""

    def __init__(self, window, cols, rows, method, order, wire_registers, why, two_input_method=None, wide=False):
        self.window, self.cols, self.rows, self.method, self.order = window, cols, rows, method, order
        self.wire_registers, self.why, self.two_input_method = wire_registers, why, two_input_method
        self.wide = wide

    def namespace(self, two_input=False):
        return f"network_w{self.window}_t{self.cols}x{self.rows}" + ("_two_input" if two_input else "")

    def header(self, two_input=False):
        return f"median_{self.window}x{self.window}_tile_{self.cols}x{self.rows}" + ("_two_input" if two_input else "") + ".h"

    def forms(self):
        """(method, two_input) of each network this choice writes."""
        return [(self.method, False)] + ([(self.two_input_method, True)] if self.two_input_method else [])


# The network of each window the tiled core runs (`--table` prints the
# alternatives: min/max per output, sm_90 instructions and the wires live at
# once). From sm_90 on, a min of a min that nothing else reads is one
# three-input instruction; ptxas finds every such pair when the network is
# written depth first (probe below: 1046 instructions for the 1118 min/max of
# the 7x7 4x2 network, 1080 in the order built). Registers were read from
# ptxas on a probe kernel that loads a tile's inputs from shared memory and
# stores its medians (sm_90 packed lanes, sm_80 one lane per register); ptxas
# keeps every input in a register, so a network needs about as many
# registers per wire as it has inputs.
CHOICES = [
    Choice(3, 4, 2, "separable3", "depth", (1, 2),
           "The separable form (sorted columns of three), in its three-input form from sm_90 on: 15.5 "
           "instructions per output (the pruned network of the tile: 19 min/max), and with two-input min/max "
           "before sm_90: 17.5. An 8x2 tile saves 8% (14.25) but a 32x8-thread block of them stages 260 columns: "
           "more than 48 KiB of static shared memory for 3 and 4 channels.", two_input_method="separable"),
    Choice(5, 4, 2, "pruned", "depth", (1, 2),
           "The tiled kernel's network (64.25 min/max per output), written depth first so that ptxas fuses a min "
           "of a min into one three-input instruction from sm_90 on: 474 sm_90 instructions for the tile (490 in "
           "the order it was built), 58 registers on sm_90."),
    Choice(7, 4, 2, "pruned", "depth", (1,),
           "139.75 min/max per output, 130.75 sm_90 instructions (2x2: 180); 80 inputs, 78 registers on sm_90 with "
           "packed lanes (8x2: 126 per output, 124 registers)."),
    Choice(7, 2, 2, "pruned", "depth", (2,),
           "One lane per register doubles the registers of a wire: 4x2 needs 144 on sm_80, 2x2 (180 min/max per "
           "output) 96."),
    # The wide tiles (tile_network<W, R, true>): twice the outputs a thread,
    # for a block of half the columns, whose staged area still fits.
    Choice(3, 8, 2, "separable3", "depth", (1, 2),
           "Wide tile: the separable form over 8x2 outputs, 14.25 three-input instructions per output (15.5 "
           "for 4x2), 16.75 with two-input min/max.", two_input_method="separable", wide=True),
    Choice(5, 8, 2, "pruned", "depth", (1, 2),
           "Wide tile: the pruned network of 8x2 outputs, 60.375 min/max and 55.375 three-input instructions "
           "per output (64.25 and 59.25 for 4x2); 72 inputs, at most 81 wires live.", wide=True),
]

# Tiles `--table` tries for each window.
TABLE_TILES = {
    3: [(2, 2), (4, 2), (8, 2), (4, 4), (16, 2)],
    5: [(2, 2), (4, 2), (8, 2), (4, 4)],
    7: [(2, 2), (4, 2), (8, 2), (4, 4)],
    9: [(2, 2), (4, 2)],
    11: [(2, 2), (4, 2)],
    13: [(2, 2)],
    15: [(2, 2)],
}

# Random tiles each network is checked on, and 0/1 windows per output where
# a window has too many inputs to try them all.
RANDOM_TILES = 300
ZERO_ONE_SAMPLES = 1 << 15
EXHAUSTIVE_MAX_WINDOW = 5


ORDERS = {
    "built": median_networks.built_order,
    "live": median_networks.live_order,
    "depth": median_networks.depth_first_order,
}


def order_of(m, order):
    return ORDERS[order](m)


def check(m):
    """None, or what is wrong with network m."""
    problem = network_checks.check_random(m, RANDOM_TILES)
    if problem is None:
        capped = network_checks.check_random(median_networks.capped(m), RANDOM_TILES, cap=median_networks.CAP_INPUT)
        problem = capped and "capped: " + capped
    if problem is None and m.window <= EXHAUSTIVE_MAX_WINDOW:
        problem = network_checks.check_exhaustive(m)
    elif problem is None:
        problem = network_checks.check_sampled(m, ZERO_ONE_SAMPLES)
    return problem


def emit(m, namespace, order):
    ops = m.net.ops
    sequence = order_of(m, order)
    name = {}
    lines = []
    mins = maxs = 0
    for i, op in enumerate(ops):
        if m.needed[i] and op[0] == "in":
            name[i] = f"in[{op[2]}][{op[1]}]"
    capped_ops, capped_outputs = median_networks.cap_sites(m)
    for i in sequence:
        op = ops[i]
        name[i] = f"t{len(lines)}"
        first = f"cap({name[op[1]]})" if i in capped_ops else name[op[1]]
        lines.append(f"    const Lanes {name[i]} = lane_{op[0]}({first}, {name[op[2]]});")
        mins += op[0] == "min"
        maxs += op[0] == "max"
    for (x, y), n in sorted(m.outputs.items(), key=lambda item: (item[0][1], item[0][0])):
        lines.append(f"    out[{y}][{x}] = {f'cap({name[n]})' if n in capped_outputs else name[n]};")
    cap_cost = median_networks.fused_operations(median_networks.capped(m)) - median_networks.fused_operations(m)
    total = mins + maxs
    outs = len(m.outputs)
    w = m.window
    form = {
        "separable": "separable form: sorted columns of three",
        "separable3": "separable form for three-input min/max: sorted columns of three",
        "pruned": "pruned shared sorting",
    }[m.method]
    return f"""// Generated by tools/gen_tiled_network.py; do not edit.
// Exact {w}x{w} medians of a {m.cols}x{m.rows} tile of outputs from its {m.input_cols}x{m.input_rows} input
// pixels ({form}): {total} min/max ({mins} min, {maxs} max) for {outs} outputs, {total / outs:.2f} per output;
// {median_networks.fused_operations(m)} instructions (sm_90 on) where every min of a min fuses into a three-input min,
// {cap_cost} more when capped; at most {median_networks.peak_live(m, sequence)} wires live at once in the order written.
#pragma once

#include <cuda_runtime.h>

namespace {namespace} {{

constexpr int window = {w};
constexpr int tile_cols = {m.cols};
constexpr int tile_rows = {m.rows};
constexpr int input_cols = {m.input_cols};
constexpr int input_rows = {m.input_rows};
constexpr int operations = {total};

// out[r][c] is cap(the median of in[r .. r + {w - 1}][c .. c + {w - 1}]): cap(v) is v, or the
// least of v and a cap value. The cap applies to one operand of the output's
// last mins where a three-input min (sm_90 on) has a free operand, or else
// to the output. Lanes provides lane_min and lane_max, applied lane by lane.
template <class Lanes, class Cap>
__device__ __forceinline__ void tile_medians(const Lanes (&in)[input_rows][input_cols], Lanes (&out)[tile_rows][tile_cols],
                                             const Cap& cap) {{
{chr(10).join(lines)}
}}

}}  // namespace {namespace}
"""


def emit_index(choices):
    includes = "\n".join(f'#include "{c.header(two_input)}"' for c in choices for _, two_input in c.forms())
    traits = []
    for c in choices:
        why = "\n".join("// " + line for line in wrap(c.why, 100))
        wide = "true" if c.wide else "false"
        if len(c.wire_registers) > 1:
            head = f"template <int RegistersPerWire>\nstruct tile_network<{c.window}, RegistersPerWire, {wide}>"
        else:
            head = f"template <>\nstruct tile_network<{c.window}, {c.wire_registers[0]}, {wide}>"
        ns = c.namespace()
        if c.two_input_method:
            call = f"""#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 900
        {c.namespace(True)}::tile_medians(in, out, cap);
#else
        {ns}::tile_medians(in, out, cap);
#endif"""
        else:
            call = f"        {ns}::tile_medians(in, out, cap);"
        traits.append(f"""{why}
{head} {{
    static constexpr int window = {ns}::window;
    static constexpr int tile_cols = {ns}::tile_cols;
    static constexpr int tile_rows = {ns}::tile_rows;
    static constexpr int input_cols = {ns}::input_cols;
    static constexpr int input_rows = {ns}::input_rows;
    static constexpr int operations = {ns}::operations;

    template <class Wire, class Cap = uncapped>
    static __device__ __forceinline__ void tile_medians(const Wire (&in)[input_rows][input_cols],
                                                        Wire (&out)[tile_rows][tile_cols], const Cap& cap = {{}}) {{
{call}
    }}
}};""")
    return f"""// Generated by tools/gen_tiled_network.py; do not edit.
// The median network of each window the tiled core runs: tile_network<W, R>
// gives the tile of outputs one network covers, its input area and
// tile_medians, the network itself (out[r][c] is the median of
// in[r .. r + W - 1][c .. c + W - 1], or the least of it and a cap). R is
// the registers a wire takes: 1 where both 16-bit lanes share one
// (packed_lanes), 2 where each lane has its own (split_lanes), that is
// sizeof(Lanes) / 4. Where the inputs of the widest tile would not fit the
// registers at R = 2, a smaller tile does.
// tile_network<W, R, true> is the wide tile of a window, where it has one:
// more outputs share the network, for more registers a thread.
#pragma once

#include "../tiled_lanes.cuh"
{includes}

namespace median_core {{

template <int Window, int RegistersPerWire = 1, bool Wide = false>
struct tile_network;

{chr(10).join(t + chr(10) for t in traits).rstrip()}

// Windows with a generated network; the others take the selection path.
constexpr bool has_network(int window) {{ return {" || ".join(f"window == {w}" for w in sorted({c.window for c in choices}))}; }}

// Windows with a wide tile.
constexpr bool has_wide_network(int window) {{ return {" || ".join(f"window == {w}" for w in sorted({c.window for c in choices if c.wide}))}; }}

}}  // namespace median_core
"""


def wrap(text, width):
    lines, line = [], ""
    for word in text.split():
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = f"{line} {word}" if line else word
    return lines + [line]


def generated():
    """(file name, text) of every checked-in file; exits when a network fails its checks."""
    files = []
    for c in CHOICES:
        for method, two_input in c.forms():
            m = median_networks.build(c.window, c.cols, c.rows, method)
            problem = check(m)
            if problem:
                sys.exit(f"{c.window}x{c.window} {c.cols}x{c.rows} {method} network: {problem}")
            files.append((c.header(two_input), emit(m, c.namespace(two_input), c.order)))
    files.append(("networks.h", emit_index(CHOICES)))
    return files


def compare():
    stale = []
    for name, text in generated():
        path = os.path.join(NETWORK_DIR, name)
        try:
            with open(path) as f:
                current = f.read()
        except OSError:
            current = None
        if current != text:
            stale.append(path)
    if stale:
        sys.exit("differs from the generated network; run tools/gen_tiled_network.py --write:\n  " + "\n  ".join(stale))


def write():
    os.makedirs(NETWORK_DIR, exist_ok=True)
    for name, text in generated():
        with open(os.path.join(NETWORK_DIR, name), "w") as f:
            f.write(text)


def table():
    orders = sorted(ORDERS)
    print("window  tile  method      min/max  per output  sm_90 instructions per output  inputs"
          "  live wires by order (" + ", ".join(orders) + ")")
    for window, tiles in TABLE_TILES.items():
        methods = ["pruned", "separable", "separable3"] if window == 3 else ["pruned"]
        for cols, rows in tiles:
            for method in methods:
                m = median_networks.build(window, cols, rows, method)
                live = "  ".join(f"{median_networks.peak_live(m, order_of(m, o)):>5}" for o in orders)
                ops, outs = m.operations, cols * rows
                print(f"{window:>4}x{window:<2} {cols:>2}x{rows:<2} {method:<11} {ops:>7}  {ops / outs:>10.2f}"
                      f"  {median_networks.fused_operations(m) / outs:>29.2f}  {m.input_cols * m.input_rows:>6}  {live}",
                      flush=True)


def tile_shape(text):
    cols, _, rows = text.partition("x")
    return int(cols), int(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--write", action="store_true", help="regenerate library/core/networks/")
    mode.add_argument("--compare", action="store_true", help="exit 1 when a checked-in header is stale")
    mode.add_argument("--table", action="store_true", help="print the counts of several tiles per window")
    mode.add_argument("--window", type=int, help="print one network's header (odd, 3 to 15)")
    parser.add_argument("--tile", type=tile_shape, default=(4, 2), help="COLSxROWS of outputs (with --window)")
    parser.add_argument("--method", choices=["pruned", "separable", "separable3"], default="pruned")
    parser.add_argument("--order", choices=sorted(ORDERS), default="depth")
    args = parser.parse_args()
    if args.write:
        write()
    elif args.compare:
        compare()
    elif args.table:
        table()
    else:
        if args.window % 2 == 0 or not 3 <= args.window <= 15:
            sys.exit("--window must be odd, 3 to 15")
        cols, rows = args.tile
        if cols < 1 or rows < 1:
            sys.exit("--tile must be at least 1x1")
        if args.method != "pruned" and args.window != 3:
            sys.exit(f"--method {args.method} is built for 3x3 windows only")
        m = median_networks.build(args.window, cols, rows, args.method)
        problem = check(m)
        if problem:
            sys.exit(problem)
        name = f"network_w{args.window}_t{cols}x{rows}"
        sys.stdout.write(emit(m, name, args.order))


if __name__ == "__main__":
    main()
