#!/usr/bin/env python3
"""Runs a script with this interpreter when it has the modules the script
needs; otherwise says which are missing and exits 77, which CTest reports as
a skipped test.

    require_modules.py MODULE[,MODULE...] SCRIPT [ARG...]
"""
import importlib.util
import os
import sys

SKIPPED = 77


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    modules, script, args = sys.argv[1].split(","), sys.argv[2], sys.argv[3:]
    missing = [m for m in modules if importlib.util.find_spec(m) is None]
    if missing:
        print(f"skipped: {sys.executable} lacks the module(s) {', '.join(missing)}", file=sys.stderr)
        sys.exit(SKIPPED)
    os.execv(sys.executable, [sys.executable, script, *args])


if __name__ == "__main__":
    main()
