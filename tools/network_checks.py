"""Checks that a median network gives the median of every window.

- On random tiles, against sorting each window.
- On 0/1 inputs of one window at a time. A min/max network commutes with
  every threshold (x >= t), so it gives the k-th smallest of any inputs
  exactly when it does on every 0/1 input (the 0-1 principle). The median
  of 0/1 values is 1 when at least half of them, rounded up, are ones.
  Inputs are bit vectors (Python integers): bit n of every wire belongs to
  the n-th input tried, min is &, max is |. Windows up to 5x5 are tried on
  every 0/1 input; larger ones on sampled inputs whose count of ones lies
  next to the threshold, where a wrong wire shows.

Each check returns None or a message naming the output and the input.
"""
import random

# Every 0/1 input of a window is tried in chunks of 2^CHUNK_BITS at a time
# (bit vectors of 128 KiB: cache-sized, so & and | run near memory speed).
CHUNK_BITS = 20


def evaluate(m, image):
    """Every needed wire's value on one tile (image: pixel -> value)."""
    vals = {}
    for i, op in enumerate(m.net.ops):
        if not m.needed[i]:
            continue
        if op[0] == "in":
            vals[i] = image[(op[1], op[2])]
        else:
            vals[i] = (min if op[0] == "min" else max)(vals[op[1]], vals[op[2]])
    return vals


def check_random(m, trials, seed=1, cap=None):
    """Random tiles of 2, 4 and 256 levels (few levels: many equal values).
    With cap (the input that stands for a capped network's cap value), a
    random cap for each tile, and the least of the median and the cap is
    what every output must give."""
    rng = random.Random(seed)
    median = m.window * m.window // 2
    pixels = [(x, y) for y in range(m.input_rows) for x in range(m.input_cols)]
    for t in range(trials):
        top = (1, 3, 255)[t % 3]
        image = {p: rng.randint(0, top) for p in pixels}
        if cap:
            image[cap] = rng.randint(0, top)
        vals = evaluate(m, image)
        for out, wire in m.outputs.items():
            want = sorted(image[p] for p in m.window_pixels(out))[median]
            if cap:
                want = min(want, image[cap])
            if vals[wire] != want:
                return f"output {out} on random tile {t}: {vals[wire]}, the median is {want}"
    return None


def output_cone(m, out):
    """The operations output `out` needs, in order, and the window pixel
    index (0 .. window^2 - 1) of each input it reads; None when it reads a
    pixel outside its window."""
    needed = m.net.cone([m.outputs[out]])
    index = {p: k for k, p in enumerate(m.window_pixels(out))}
    ops = []
    for i, op in enumerate(m.net.ops):
        if not needed[i]:
            continue
        if op[0] == "in" and (op[1], op[2]) not in index:
            return None
        ops.append((i, op if op[0] != "in" else ("in", index[(op[1], op[2])])))
    return ops


def run_bits(ops, inputs, want):
    """The cone on bit-vector inputs; the bits where it differs from `want`."""
    vals = {}
    for i, op in ops:
        if op[0] == "in":
            vals[i] = inputs[op[1]]
        elif op[0] == "min":
            vals[i] = vals[op[1]] & vals[op[2]]
        else:
            vals[i] = vals[op[1]] | vals[op[2]]
    return vals[ops[-1][0]] ^ want


def at_least(inputs, count, ones):
    """Bits where at least `count` of the bit vectors `inputs` are 1: a
    running tally, level k holding 'k ones so far'."""
    levels = [ones] + [0] * count
    for x in inputs:
        for k in range(count, 0, -1):
            levels[k] |= levels[k - 1] & x
    return levels[count]


def lowest_bit(v):
    return (v & -v).bit_length() - 1


def check_exhaustive(m):
    """Every 0/1 input of each output's window (2^(window^2) of them)."""
    n = m.window * m.window
    cones = {}
    for out in m.outputs:
        cones[out] = output_cone(m, out)
        if cones[out] is None:
            return f"output {out} reads a pixel outside its window"
    chunk = min(n, CHUNK_BITS)
    size = 1 << chunk
    ones = (1 << size) - 1
    # Input k < chunk: bit t is bit k of t, a pattern of period 2^(k + 1).
    patterns = [(((1 << (1 << k)) - 1) << (1 << k)) * (ones // ((1 << (2 << k)) - 1)) for k in range(chunk)]
    for high in range(1 << (n - chunk)):
        inputs = patterns + [ones if high >> (k - chunk) & 1 else 0 for k in range(chunk, n)]
        want = at_least(inputs, n // 2 + 1, ones)
        for out, ops in cones.items():
            wrong = run_bits(ops, inputs, want)
            if wrong:
                case = high << chunk | lowest_bit(wrong)
                ones_at = [p for k, p in enumerate(m.window_pixels(out)) if case >> k & 1]
                return f"output {out} wrong on the 0/1 window with ones at {ones_at}"
    return None


def check_sampled(m, samples, seed=1):
    """`samples` 0/1 inputs of each output's window, half of them with one
    more one than zeros (median 1), half with one more zero (median 0), and
    some one further off on either side."""
    n = m.window * m.window
    half = n // 2
    rng = random.Random(seed)
    counts = [half, half + 1, half, half + 1, half - 1, half + 2]
    for out in m.outputs:
        ops = output_cone(m, out)
        if ops is None:
            return f"output {out} reads a pixel outside its window"
        bits = [bytearray((samples + 7) // 8) for _ in range(n)]
        want = bytearray((samples + 7) // 8)
        for s in range(samples):
            count = counts[s % len(counts)]
            for k in rng.sample(range(n), count):
                bits[k][s >> 3] |= 1 << (s & 7)
            if count > half:
                want[s >> 3] |= 1 << (s & 7)
        inputs = [int.from_bytes(b, "little") for b in bits]
        wrong = run_bits(ops, inputs, int.from_bytes(want, "little"))
        if wrong:
            s = lowest_bit(wrong)
            ones_at = [p for k, p in enumerate(m.window_pixels(out)) if inputs[k] >> s & 1]
            return f"output {out} wrong on the 0/1 window with ones at {ones_at}"
    return None
