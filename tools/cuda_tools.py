"""What the scripts of tools/ share about the CUDA toolchain and the suite:
finding a CUDA tool, demangling kernel names, reading the kernel table."""
import json
import os
import re
import shutil
import subprocess

# tools/install_deps.sh installs the disassemblers (cuobjdump, nvdisasm) and
# NPP from their PyPI wheels here; MEDIAN_NVIDIA_WHEELS names another place.
NVIDIA_WHEELS = os.environ.get("MEDIAN_NVIDIA_WHEELS", "/opt/nvidia-wheels")
CUDA_BIN_DIRS = ("/usr/local/cuda/bin", os.path.join(NVIDIA_WHEELS, "nvidia", "cu13", "bin"))


def find_tool(name, given=None):
    """Path of a CUDA tool: `given`, then PATH, then the toolkit and the wheels' folders."""
    candidates = [given, shutil.which(name)] + [os.path.join(d, name) for d in CUDA_BIN_DIRS]
    for candidate in candidates:
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def plain_names(mangled):
    """The unqualified function name of each mangled name."""
    names = {}
    try:
        out = subprocess.run(["c++filt"], input="\n".join(mangled), capture_output=True, text=True, check=True)
        names = {m: d.split("(")[0] for m, d in zip(mangled, out.stdout.splitlines())}
    except (OSError, subprocess.CalledProcessError):
        pass
    for m in mangled:
        # A free function is _Z<length><name><parameters>.
        if m not in names or names[m] == m:
            lm = re.match(r"_Z(\d+)", m)
            names[m] = m[lm.end():lm.end() + int(lm.group(1))] if lm else m
    return names


def suite_kernels(suite):
    """The kernel table as `median_suite list --json` gives it: a list of
    {name, block: [x, y], threads, outputs_per_thread, shared_bytes, ...}."""
    out = subprocess.run([suite, "list", "--json"], capture_output=True, text=True, check=True).stdout
    return json.loads(out)["kernels"]
