#!/usr/bin/env -S /usr/bin/python3
"""The machine-code profile's command line; the code is the sass_profiler
package beside this file (python3 -m sass_profiler from tools/ is the same)."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from sass_profiler.__main__ import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
