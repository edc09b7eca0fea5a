"""tools/peers.py gives the package's row, checked against the suite's reference."""
import json
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]


def test_peers_time_the_package_beside_scipy(tmp_path):
    suite = next((REPO / name for name in ("build/median_suite_emu", "build/median_suite")
                  if (REPO / name).exists()), None)
    if suite is None:
        pytest.skip("no build/median_suite_emu for the reference: cmake --preset default builds it")
    report = tmp_path / "peers.json"
    subprocess.run([sys.executable, REPO / "tools/peers.py", "--suite", suite, "--input",
                    REPO / "samples/rocket-640x427.jpg", "--repeat", "1", "--json", report], check=True)
    rows = {r["kernel"]: r for r in json.loads(report.read_text())["rows"]}
    ours = rows["median_filter.median_filter (NumPy)"]
    assert ours["status"] == "ok" and ours["wrong_pixels"] == 0
    assert rows["scipy.ndimage.median_filter"]["status"] == "ok"
