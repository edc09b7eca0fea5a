"""The throughput model (a model, not a measurement): per-SM rates of the
instruction classes, the named GPUs of each architecture from their data
sheets, occupancy, and the ceiling in Mpixel/s."""
import math

MODEL_LABEL = "model, not a measurement"

# ---- per-SM throughput per clock, CUDA C++ Programming Guide ----------------
# "Arithmetic Instructions", table "Throughput of Native Arithmetic
# Instructions (operations per clock cycle per multiprocessor)", columns
# 7.5, 8.0, 8.6, 8.9 and 9.0. The 10.0 and 12.0 columns are taken equal to
# 9.0's: an assumption of this model, not read from the table.
ARCHS = [75, 80, 86, 89, 90, 100, 120]


def _same(value, **by_cc):
    return {cc: by_cc.get(f"cc{cc}", value) for cc in ARCHS}


THROUGHPUT = {
    # row "compare, minimum, maximum"
    "minmax": _same(64),
    # row "32-bit bitwise AND, OR, XOR"
    "lop3": _same(64),
    # rows "32-bit integer add, extended-precision add, subtract",
    # "32-bit integer multiply, multiply-add" and "compare": 64 each
    "int": _same(64),
    # row "32-bit integer shift" (byte permutes taken at the same rate: no row of their own)
    "shift": _same(64),
    # row "all other type conversions"
    "cvt": _same(16),
    # row "32-bit floating-point add, multiply, multiply-add"
    "fp32": _same(128, cc75=64, cc80=64),
    # "Shared Memory" of the compute capability 5.x and later sections: 32
    # banks, each 32 bits per clock, so one conflict-free warp access per clock.
    "shared": _same(32),
}
# Classes without a row (global accesses, branches, other) count only
# against the dispatch limit: the compute capability 7.x to 9.0 sections
# give an SM four warp schedulers, each issuing one warp instruction per clock.
DISPATCH_PER_CLOCK = 4 * 32
BYTES_PER_PIXEL = 6  # 3 bytes read, 3 written

# ---- GPUs: vendors' data sheets ------------------------------------------------
# SMs from the CUDA core counts of the data sheets (128 FP32 cores per SM on
# Hopper, Ada, GA10x and Blackwell, 64 on A100 and Turing); boost clock and
# memory bandwidth as listed there. `headline`: the GPU an architecture's
# rows are sorted and summarised by.
GPUS = [
    # NVIDIA T4 data sheet: 2,560 CUDA cores (40 SMs), 320 GB/s; 1,590 MHz boost
    # (Turing architecture whitepaper; the same figures in GPU databases such as
    # sysrqmts.com/en/gpus/nvidia/tesla/t4).
    {"name": "T4", "cc": 75, "sms": 40, "mhz": 1590, "gbps": 320, "match": r"\bT4\b", "headline": True},
    # NVIDIA A100 Tensor Core GPU data sheet (A100 80GB SXM: 2,039 GB/s) and
    # architecture whitepaper (108 SMs, 1,410 MHz boost).
    {"name": "A100 SXM 80GB", "cc": 80, "sms": 108, "mhz": 1410, "gbps": 2039, "match": r"A100.*SXM.*80",
     "headline": True},
    # NVIDIA A10 data sheet: 9,216 CUDA cores (72 SMs), 600 GB/s; 1,695 MHz
    # boost (the same in GPU databases, e.g. sysrqmts.com's A10 PCIe page).
    {"name": "A10", "cc": 86, "sms": 72, "mhz": 1695, "gbps": 600, "match": r"\bA10\b(?!0)", "headline": True},
    # GeForce RTX 4090 specifications / Ada Lovelace architecture whitepaper:
    # 16,384 CUDA cores, 2,520 MHz boost, 1,008 GB/s (21 Gbps GDDR6X, 384-bit).
    {"name": "RTX 4090", "cc": 89, "sms": 128, "mhz": 2520, "gbps": 1008, "match": r"RTX 4090", "headline": True},
    # NVIDIA L40S data sheet: 18,176 CUDA cores, 2,520 MHz boost, 864 GB/s.
    {"name": "L40S", "cc": 89, "sms": 142, "mhz": 2520, "gbps": 864, "match": r"L40S"},
    # NVIDIA H100 Tensor Core GPU data sheet (H100 SXM: 16,896 CUDA cores,
    # 3.35 TB/s); 1,980 MHz max boost (H100 Tensor Core GPU Architecture whitepaper).
    {"name": "H100 SXM", "cc": 90, "sms": 132, "mhz": 1980, "gbps": 3350, "match": r"H100.*(SXM|HBM3)",
     "headline": True},
    # NVIDIA H200 Tensor Core GPU data sheet (H200 SXM: 4.8 TB/s; the H100 SXM's 132 SMs and clock).
    {"name": "H200 SXM", "cc": 90, "sms": 132, "mhz": 1980, "gbps": 4800, "match": r"H200"},
    # NVIDIA HGX/DGX B200 data sheets: 8 TB/s per GPU; 148 SMs (18,944 CUDA
    # cores) and 1,980 MHz boost from a vendor's product listing (hmc-tech.com): NVIDIA's
    # data sheets give no SM count or clock for B200.
    {"name": "B200", "cc": 100, "sms": 148, "mhz": 1980, "gbps": 8000, "match": r"B200", "headline": True},
    # GeForce RTX 5090 specifications: 21,760 CUDA cores (170 SMs), 2,407 MHz
    # boost, 1,792 GB/s (28 Gbps GDDR7, 512-bit).
    {"name": "RTX 5090", "cc": 120, "sms": 170, "mhz": 2407, "gbps": 1792, "match": r"RTX 5090", "headline": True},
]

# ---- per-SM limits, CUDA C++ Programming Guide ---------------------------------
# "Technical Specifications per Compute Capability": resident blocks,
# threads, 32-bit registers and shared memory per SM (the largest carveout).
# Registers are allocated per warp in units of 256; shared memory in units
# of 128 bytes, plus 1 KiB per block reserved by the system on 8.0 and later.
SM_LIMITS = {
    75: {"blocks": 16, "threads": 1024, "smem": 65536},
    80: {"blocks": 32, "threads": 2048, "smem": 167936},
    86: {"blocks": 16, "threads": 1536, "smem": 102400},
    89: {"blocks": 24, "threads": 1536, "smem": 102400},
    90: {"blocks": 32, "threads": 2048, "smem": 233472},
    100: {"blocks": 32, "threads": 2048, "smem": 233472},
    120: {"blocks": 32, "threads": 1536, "smem": 102400},
}
REGISTERS_PER_SM = 65536
REGISTER_UNIT = 256
SMEM_UNIT = 128
SMEM_RESERVED = 1024
# sm_90 and later cubins hold the reserved KiB in the kernel's shared section
# already (ptxas -v prints 1 KiB less than cuobjdump there).
RESERVE_IN_CUBIN_FROM = 90
# Fewer resident warps than this leave each of the four schedulers under four
# warps to switch between while one waits on memory or a dependency.
LATENCY_WARPS = 16
# The instruction caches hold less than this of a kernel's code: past it,
# instruction fetch may stall the issue the model assumes.
CODE_CACHE_BYTES = 64 * 1024


def arch_number(arch):
    return int(arch.replace("sm_", "").rstrip("af"))


def occupancy(cc, registers, cubin_smem, threads):
    """(blocks, warps) resident per SM, and what limits them."""
    limits = SM_LIMITS.get(cc)
    if limits is None or threads <= 0:
        return None
    warps = math.ceil(threads / 32)
    per_warp = math.ceil(max(registers, 1) * 32 / REGISTER_UNIT) * REGISTER_UNIT
    smem = cubin_smem + (SMEM_RESERVED if 80 <= cc < RESERVE_IN_CUBIN_FROM else 0)
    smem = math.ceil(smem / SMEM_UNIT) * SMEM_UNIT
    bounds = {
        "blocks": limits["blocks"],
        "threads": limits["threads"] // threads,
        "registers": (REGISTERS_PER_SM // per_warp) // warps,
        "shared memory": limits["smem"] // smem if smem else limits["blocks"],
    }
    blocks = min(bounds.values())
    return {"blocks": blocks, "warps": blocks * warps, "limited_by": min(bounds, key=bounds.get)}


def cycles_per_pixel(counts, cc):
    """SM clocks per output pixel: the slower of dispatch and the class rates."""
    total = sum(counts.values())
    by_class = sum(n / THROUGHPUT[c][cc] for c, n in counts.items() if c in THROUGHPUT and n)
    return max(total / DISPATCH_PER_CLOCK, by_class)


def ceiling(counts, gpu):
    """Modelled Mpixel/s on one GPU: the lower of the issue and memory limits."""
    cycles = cycles_per_pixel(counts, gpu["cc"])
    issue = math.inf if cycles == 0 else gpu["sms"] * gpu["mhz"] / cycles
    memory = gpu["gbps"] * 1000 / BYTES_PER_PIXEL
    return min(issue, memory), "issue" if issue < memory else "memory"


def gpus_of(cc):
    return [g for g in GPUS if g["cc"] == cc]


def headline_gpu(cc):
    return next((g["name"] for g in GPUS if g["cc"] == cc and g.get("headline")), None)


def caveats(code_bytes, occ):
    """What the model leaves out that this kernel is exposed to."""
    out = []
    if code_bytes > CODE_CACHE_BYTES:
        out.append(f"code {code_bytes / 1024:.0f} KiB > {CODE_CACHE_BYTES // 1024} KiB: instruction fetch may stall")
    if occ and occ["warps"] < LATENCY_WARPS:
        out.append(f"{occ['warps']} warps/SM < {LATENCY_WARPS}: latency may not be hidden")
    return out
