#!/usr/bin/env -S /usr/bin/python3
"""Bar chart of Mpixel/s per kernel from the JSON of `median_suite bench`,
tools/peers.py and tools/sass_profile.py: one bar series per device and
image size, written as PNG and SVG. Results of the CPU emulation, and the
modelled ceilings of sass_profile.py, are hatched and labelled as such.

  tools/plot_bench.py bench.json [peers.json ...] [-o PREFIX] [--title TEXT]
"""
import argparse
import json
import math
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

EMULATION = "CPU emulation"
MODEL = "model, not a measurement"
# Throughputs this far apart do not share a linear axis.
LOG_SCALE_RATIO = 50


def load_rows(paths):
    rows = []
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        rows += data["rows"] if isinstance(data, dict) else data
    return rows


def series_key(row):
    if row.get("model"):
        return f"{row['device']} {row.get('arch', '')}: {MODEL}"
    size = f"{row['width']}x{row['height']}"
    if not row.get("emulated"):
        return f"{row['device']}, {size}"
    device = row["device"] if row["device"] != EMULATION else ""
    return f"{EMULATION} (not GPU times){', ' + device if device else ''}, {size}"


def kernel_label(row):
    return f"{row['kernel']} (peer)" if row.get("source") == "peers" else row["kernel"]


def plotted(rows):
    return [r for r in rows if r.get("status") == "ok" and r.get("mpixel_per_s")]


def title_of(rows, extra):
    devices = []
    for r in rows:
        if r.get("model"):
            name = f"{r['device']} ({MODEL})"
        elif r.get("emulated"):
            name = f"{EMULATION} (not GPU times)" + (f", {r['device']}" if r["device"] != EMULATION else "")
        else:
            name = r["device"]
        if name not in devices:
            devices.append(name)
    lines = ["5x5 median filter throughput on " + "; ".join(devices)]
    if extra:
        lines.insert(0, extra)
    return "\n".join(lines)


def draw(rows, skipped, title):
    series = list(dict.fromkeys(series_key(r) for r in rows))
    value = {(kernel_label(r), series_key(r)): r["mpixel_per_s"] for r in rows}
    kernels = sorted(dict.fromkeys(kernel_label(r) for r in rows),
                     key=lambda k: -max(value.get((k, s), 0) for s in series))
    emulated = {series_key(r) for r in rows if r.get("emulated")}
    modelled = {series_key(r) for r in rows if r.get("model")}

    bar = 0.8 / len(series)
    fig, ax = plt.subplots(figsize=(11, 1.5 + len(kernels) * max(0.32, 0.22 * len(series))))
    # Each kernel's bars are centred on its tick, whichever series it has.
    offset = {}
    for i, k in enumerate(kernels):
        present = [s for s in series if (k, s) in value]
        for j, s in enumerate(present):
            offset[(k, s)] = i + (j - (len(present) - 1) / 2) * bar
    for s in series:
        ys = [offset[(k, s)] for k in kernels if (k, s) in value]
        xs = [value[(k, s)] for k in kernels if (k, s) in value]
        bars = ax.barh(ys, xs, height=bar, label=s, hatch="//" if s in emulated else "xx" if s in modelled else None, edgecolor="white")
        ax.bar_label(bars, labels=[f"{x:.0f}" if x >= 100 else f"{x:.3g}" for x in xs], padding=2, fontsize=7)
    ax.set_yticks(range(len(kernels)), kernels, fontsize=8)
    ax.invert_yaxis()
    values = list(value.values())
    if max(values) / min(values) > LOG_SCALE_RATIO:
        ax.set_xscale("log")
        ax.set_xlabel("Mpixel/s, best launch (log scale; higher is better)")
    else:
        ax.set_xlabel("Mpixel/s, best launch (higher is better)")
    ax.set_xlim(right=ax.get_xlim()[1] * (3 if ax.get_xscale() == "log" else 1.12))
    ax.set_title(title, fontsize=10)
    ax.legend(fontsize=8, loc="lower right")
    ax.grid(axis="x", alpha=0.3)
    if skipped:
        fig.text(0.01, 0.005, "not shown: " + ", ".join(skipped), fontsize=7)
    fig.tight_layout()
    return fig


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("json", nargs="+", help="JSON files of median_suite bench or tools/peers.py")
    parser.add_argument("-o", "--output", help="PREFIX: writes PREFIX.png and PREFIX.svg (default: the first JSON's name)")
    parser.add_argument("--title", help="a first title line")
    args = parser.parse_args()
    try:
        rows = load_rows(args.json)
    except (OSError, ValueError, KeyError) as e:
        print(f"plot_bench.py: {e}", file=sys.stderr)
        return 1
    shown = plotted(rows)
    if not shown:
        print("plot_bench.py: no timed rows with status ok to plot", file=sys.stderr)
        return 1
    skipped = [f"{r['kernel']} ({r.get('status')}, {r.get('width')}x{r.get('height')})" for r in rows if r not in shown]
    prefix = Path(args.output) if args.output else Path(args.json[0]).with_suffix("")
    fig = draw(shown, skipped, title_of(shown, args.title))
    for suffix in (".png", ".svg"):
        fig.savefig(prefix.with_name(prefix.name + suffix), dpi=120)
    print(f"wrote {prefix}.png and {prefix}.svg")
    return 0


if __name__ == "__main__":
    sys.exit(main())
