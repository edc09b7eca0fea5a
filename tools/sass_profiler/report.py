"""Rows per kernel and architecture, and their tables: the full profile,
the JSON rows of the bench format, measured against modelled, and the
summary of the best 5x5 8-bit RGB kernels per architecture."""
import json
import math
import re
import sys
from collections import defaultdict

from .counting import analyse
from .model import GPUS, MODEL_LABEL, arch_number, caveats, ceiling, gpus_of, headline_gpu, occupancy
from .parse import CLASS_TITLES, CLASSES
from .threads import BORDER_MODES, NOMINAL_HEIGHT, NOMINAL_MODE, NOMINAL_WIDTH, args_struct, nominal_launch
from .warps import block_average

# Loops whose count the code alone leaves open: a nominal launch may decide them.
OPEN_COUNTS = ("unproven", "thread")


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
            what = {"data": "data-dependent", "thread": "thread-dependent", "position": "by thread position",
                    "unproven": "count unproven", "nominal": "from the nominal launch"}[loop["kind"]]
            count = f"{lo}" if lo == hi else f"{lo}..{'unbounded' if hi == math.inf else hi}"
            parts.append(f"loop {count}x ({what})")
    return ", ".join(parts + forks)


def kernel_profile(p, launches):
    """The profile with the loops nominal launches bound analysed again under them."""
    if not any(loop["kind"] in OPEN_COUNTS for loop in p["loops"]):
        return p
    cost, loops, data_branches, shape = analyse(*p["sass"], launches=launches)
    return {**p, "cost": cost, "loops": loops, "data_branches": data_branches, "shape": shape}


def outputs_per_thread(kernel):
    """Pixels one thread writes: as listed, else the block's span over its threads."""
    if kernel.get("outputs_per_thread"):
        return kernel["outputs_per_thread"]
    span_x, span_y = kernel.get("span", kernel["block"])
    pixels = span_x * span_y
    return pixels // kernel["threads"] if pixels % kernel["threads"] == 0 else pixels / kernel["threads"]


def nominal_launches(kernel, cc, p):
    """The block the average is taken over (the middle one), then those that
    bound the loops it skips: the first and the last block, and where the
    kernel takes a border mode, the first block under every other mode."""
    def at(where, mode=NOMINAL_MODE):
        return nominal_launch(kernel, cc, p["mangled"], p.get("tables"), where, mode)

    modes = range(NOMINAL_MODE + 1, BORDER_MODES) if args_struct(kernel, p["mangled"]) else ()
    return [at("middle"), at("first"), at("last")] + [at("first", mode) for mode in modes]


def build_rows(kernels, archs, profiles):
    rows, missing = [], []
    for k in kernels:
        for arch in archs:
            if arch_number(arch) < k.get("min_arch", 0):
                continue  # a library kernel that only traps there
            p = profiles.get(arch, {}).get(k["name"])
            if p is None:
                missing.append(f"{k['name']} ({arch})")
                continue
            outputs = outputs_per_thread(k)
            cc = arch_number(arch)
            p = kernel_profile(p, nominal_launches(k, cc, p))
            launch = nominal_launch(k, cc, p["mangled"], p.get("tables"))
            average, notes = block_average(p["shape"], launch)
            lo, hi = per_pixel(average, outputs)
            longest = [t / outputs for t in p["cost"].total()]
            res = p["resources"]
            occ = occupancy(cc, res["registers"], res["shared"], k["threads"])
            model = {}
            for gpu in gpus_of(cc):
                fast, fast_limit = ceiling(lo, gpu)
                slow, slow_limit = ceiling(hi, gpu)
                model[gpu["name"]] = {"low": slow, "high": fast, "limit": slow_limit if slow_limit == fast_limit
                                      else f"{slow_limit}/{fast_limit}"}
            rows.append({"kernel": k["name"], "arch": arch, "outputs_per_thread": outputs, "threads": k["threads"],
                         "library": bool(k.get("library")) or args_struct(k, p["mangled"]) is not None,
                         "window": k.get("window"), "type": k.get("type"),
                         "channels": k.get("channels"),
                         "per_pixel_low": lo, "per_pixel_high": hi,
                         "total_low": sum(lo.values()), "total_high": sum(hi.values()),
                         "longest_low": longest[0], "longest_high": longest[1], "longer_sides": notes,
                         "registers": res["registers"], "shared_bytes": res["shared"], "stack": res["stack"],
                         "local_bytes": res["local"], "spill_instructions": p["spill_instructions"],
                         "code_bytes": p["code_bytes"], "caveats": caveats(p["code_bytes"], occ),
                         "occupancy": occ, "control_flow": control_flow(p["loops"], p["data_branches"]),
                         "loops": p["loops"], "model": model})
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


def sort_key(row):
    gpu = headline_gpu(arch_number(row["arch"]))
    return -(row["model"][gpu]["low"] if gpu else -row["total_high"])


def print_table(rows, arch, out=sys.stdout):
    rows = sorted((r for r in rows if r["arch"] == arch), key=sort_key)
    gpus = [g["name"] for g in gpus_of(arch_number(arch))]
    print(f"Architecture {arch}: instructions per output pixel from the SASS of the binary; "
          f"Mpixel/s columns are a {MODEL_LABEL}", file=out)
    name_w = max([6] + [len(r["kernel"]) for r in rows])
    short = {"minmax": "min/max", "lop3": "lop3", "int": "int", "shift": "shift", "shared": "shared",
             "global": "global", "cvt": "cvt", "branch": "branch", "fp32": "fp32", "other": "other"}
    header = f"{'kernel':<{name_w}}  {'px/thr':>6}  {'instr/px':>13}  {'longest thr':>13}  " + "  ".join(
        f"{short[c]:>11}" for c in CLASSES) + f"  {'regs':>4}  {'smem B':>6}  {'spill':>5}  {'code KiB':>8}  " \
        f"{'blk/SM':>6}  {'warps/SM':>8}  " + "  ".join(f"{g + ' Mpx/s':>22}" for g in gpus) + "  control flow"
    print(header, file=out)
    for r in rows:
        lo, hi = r["per_pixel_low"], r["per_pixel_high"]
        occ = r["occupancy"] or {"blocks": "-", "warps": "-"}
        code = number(r["code_bytes"] / 1024) + ("!" if any("code" in c for c in r["caveats"]) else "")
        line = f"{r['kernel']:<{name_w}}  {r['outputs_per_thread']:>6}  {span(r['total_low'], r['total_high']):>13}  " \
               f"{span(r['longest_low'], r['longest_high']):>13}  "
        line += "  ".join(f"{span(lo[c], hi[c]):>11}" for c in CLASSES)
        line += f"  {r['registers']:>4}  {r['shared_bytes']:>6}  {r['spill_instructions']:>5}  {code:>8}  " \
                f"{occ['blocks']:>6}  {occ['warps']:>8}  "
        line += "  ".join(f"{span(r['model'][g]['low'], r['model'][g]['high'], 0) + ' (' + r['model'][g]['limit'] + ')':>22}"
                          for g in gpus)
        line += f"  {r['control_flow']}"
        print(line, file=out)
    print("instr/px and the classes: what the warps of one interior block of a "
          f"{NOMINAL_WIDTH}x{NOMINAL_HEIGHT} image issue, 32 per warp instruction, per output pixel (a warp "
          "runs both sides of a branch its threads split on); longest thr: the thread that issues the most", file=out)
    for r in rows:
        if r["caveats"]:
            print(f"{r['kernel']}: the model does not cover: " + "; ".join(r["caveats"]), file=out)
    for r in rows:
        if r["longer_sides"]:
            print(f"{r['kernel']}: not decided thread by thread, counted at the longer side: "
                  + ", ".join(r["longer_sides"]), file=out)
    print("classes per pixel: " + "; ".join(f"{short[c]} = {CLASS_TITLES[c]}" for c in CLASSES), file=out)
    print(file=out)


def json_rows(rows):
    """Rows in the format of `median_suite bench --json`, one per kernel, GPU and
    architecture, marked as a model so that the chart draws them apart; an
    architecture without a named GPU still gets one row, with its counts."""
    out = []
    for r in rows:
        common = {"kernel": r["kernel"], "emulated": False, "model": True, "label": MODEL_LABEL, "arch": r["arch"],
                  "source": "sass_profile", "library": r["library"], "outputs_per_thread": r["outputs_per_thread"],
                  "instructions_per_pixel": [r["total_low"], r["total_high"]],
                  "instructions_per_pixel_longest_thread": [r["longest_low"], r["longest_high"]],
                  "longer_sides": r["longer_sides"],
                  "per_pixel_low": r["per_pixel_low"], "per_pixel_high": r["per_pixel_high"],
                  "registers": r["registers"], "shared_bytes": r["shared_bytes"],
                  "spill_instructions": r["spill_instructions"], "code_bytes": r["code_bytes"],
                  "caveats": r["caveats"], "occupancy": r["occupancy"], "control_flow": r["control_flow"]}
        for gpu, m in r["model"].items():
            out.append({**common, "device": gpu, "status": "ok", "mpixel_per_s": m["low"],
                        "mpixel_per_s_high": m["high"], "limit": m["limit"]})
        if not r["model"]:
            out.append({**common, "device": None, "status": "no named GPU"})
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


def is_rgb8_5x5(row):
    """The figure the summary compares: 5x5 windows on 8-bit RGB. The table's
    kernels all are; a library kernel says so in list --json."""
    return not row["library"] or (row["channels"] in (None, 3) and row["window"] in (None, 5)
                                  and row["type"] in (None, "u8"))


def summary(rows, archs, out=sys.stdout):
    """The README's architecture table: per architecture the best 5x5 8-bit
    RGB kernel of the table and of the library, by the headline GPU's ceiling."""
    print(f"Best 5x5 8-bit RGB kernels per architecture ({MODEL_LABEL}; instructions per output pixel, block "
          f"average of a {NOMINAL_WIDTH}x{NOMINAL_HEIGHT} launch, warps counted as they issue)", file=out)
    print("| arch | kernel | instr/px | regs | blocks (warps)/SM | code KiB | modelled Mpixel/s | caveats |", file=out)
    print("| --- | --- | ---: | ---: | ---: | ---: | --- | --- |", file=out)
    for arch in archs:
        for library in (False, True):
            group = sorted((r for r in rows if r["arch"] == arch and r["library"] == library and is_rgb8_5x5(r)),
                           key=sort_key)
            if not group:
                continue
            r = group[0]
            occ = r["occupancy"] or {"blocks": "-", "warps": "-"}
            gpus = "; ".join(f"{g} {span(m['low'], m['high'], 0)}" for g, m in r["model"].items()) or "no named GPU"
            name = f"`{r['kernel']}`" + (" (library)" if library else "")
            print(f"| {arch} | {name} | {span(r['total_low'], r['total_high'])} | {r['registers']} | "
                  f"{occ['blocks']} ({occ['warps']}) | {number(r['code_bytes'] / 1024)} | {gpus} | "
                  f"{'; '.join(r['caveats']) or '-'} |", file=out)
    print(file=out)


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
