"""The GPU binary: its cubins per architecture, and per kernel the SASS, the
resources cuobjdump reports and the constant tables the compiler made."""
import os
import re
import subprocess
from collections import defaultdict

from cuda_tools import find_tool

from .counting import UnanalysedFlow, analyse
from .parse import SPILLS, code_bytes, parse_sass


def run(command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, command))} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


RESOURCE_FUNCTION = re.compile(r"Function (\S+):")
RESOURCE_VALUES = re.compile(r"REG:(\d+) STACK:(\d+) SHARED:(\d+) LOCAL:(\d+)")
CONSTANT_SECTION = re.compile(r"^\.nv\.constant(\d+)\.(\S+)$")


def resource_usage(cuobjdump, cubin):
    """{mangled name: {registers, stack, shared, local}} from cuobjdump -res-usage."""
    usage, current = {}, None
    for line in run([cuobjdump, "-res-usage", cubin]).splitlines():
        if m := RESOURCE_FUNCTION.search(line):
            current = m.group(1).rstrip(":")
        elif current and (m := RESOURCE_VALUES.search(line)):
            usage[current] = dict(zip(("registers", "stack", "shared", "local"), map(int, m.groups())))
    return usage


def constant_tables(cuobjdump, cubin):
    """{mangled name: {bank: {offset: word}}} of the constant banks other than
    the launch's (0) that the compiler filled for a kernel: a switch's jump
    table, as cuobjdump -elf dumps them in 32-bit words."""
    tables, current = defaultdict(dict), None
    for line in run([cuobjdump, "-elf", cubin]).splitlines():
        line = line.strip()
        if m := CONSTANT_SECTION.match(line):
            bank, name = int(m.group(1)), m.group(2)
            current = tables[name].setdefault(bank, {}) if bank != 0 else None
        elif current is not None and re.fullmatch(r"(0x[0-9a-f]{8}\s*)+", line):
            for word in line.split():
                current[4 * len(current)] = int(word, 16)
        else:
            current = None
    return dict(tables)


def extract_cubins(cuobjdump, binary, archs, workdir):
    """{arch: [cubin paths]} of the architectures asked for."""
    listing = run([cuobjdump, "-lelf", binary]) if not str(binary).endswith(".cubin") else ""
    found = defaultdict(list)
    if str(binary).endswith(".cubin"):
        arch = re.search(r"\.target\s+(sm_\w+)", run([find_tool("nvdisasm"), "-c", binary]))
        if arch:
            found[arch.group(1)].append(str(binary))
        return found
    names = re.findall(r"ELF file\s+\d+:\s+(\S+\.(sm_\w+)\.cubin)", listing)
    for name, arch in names:
        if arch in archs or "sm_all" in archs:
            run_in(workdir, [cuobjdump, "-xelf", name, os.path.abspath(binary)])
            found[arch].append(os.path.join(workdir, name))
    return found


def run_in(workdir, command):
    done = subprocess.run(command, capture_output=True, text=True, cwd=workdir)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed:\n{done.stdout}{done.stderr}")


def profile_cubin(cubin, tools, unanalysed=None):
    """{mangled name: profile} of every kernel in one cubin; the kernels whose
    control flow cannot be bounded go to `unanalysed` with the reason (without
    it, UnanalysedFlow is raised)."""
    functions = parse_sass(run([tools["nvdisasm"], "-c", cubin]))
    usage = resource_usage(tools["cuobjdump"], cubin)
    tables = constant_tables(tools["cuobjdump"], cubin)
    profiles = {}
    for name, (instructions, labels) in functions.items():
        if name not in usage:
            continue  # not an entry function
        try:
            cost, loops, data_branches, shape = analyse(instructions, labels)
        except UnanalysedFlow as e:
            if unanalysed is None:
                raise
            unanalysed[name] = str(e)
            continue
        spills = sum(1 for i in instructions if i.root in SPILLS)
        profiles[name] = {"cost": cost, "loops": loops, "data_branches": data_branches, "resources": usage[name],
                          "spill_instructions": spills, "shape": shape, "mangled": name,
                          "code_bytes": code_bytes(instructions), "tables": tables.get(name, {}),
                          "sass": (instructions, labels)}
    return profiles
