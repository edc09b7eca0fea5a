#!/usr/bin/env python3
"""Summarises a ctest JUnit report (ctest --output-junit FILE) for tools/test.sh:
how many tests ran, passed, were skipped and failed, each skip reason once with
how many tests it skipped, and the name of every failed test.

usage: ctest_summary.py REPORT.xml
"""
import collections
import sys
import xml.etree.ElementTree as ET

# Examples of tests skipped for one reason, named after the count.
NAMED_EXAMPLES = 2


def skip_reason(output):
    """Why a test skipped: the line after googletest's "Skipped" marker, else
    the last line the test printed (the script tests print their reason)."""
    lines = [line.strip() for line in (output or "").splitlines() if line.strip()]
    for i, line in enumerate(lines[:-1]):
        if line.endswith(": Skipped"):
            return lines[i + 1]
    return lines[-1] if lines else "no reason given"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
    passed, failed = 0, []
    skipped = collections.defaultdict(list)
    for case in cases:
        name = case.get("name")
        if case.find("skipped") is not None or case.get("status") in ("notrun", "disabled"):
            skipped[skip_reason(case.findtext("system-out"))].append(name)
        elif case.get("status") == "fail" or case.find("failure") is not None:
            failed.append(name)
        else:
            passed += 1
    total = passed + len(failed) + sum(len(names) for names in skipped.values())
    print(f"{total} tests: {passed} passed, {sum(len(n) for n in skipped.values())} skipped, {len(failed)} failed")
    for reason, names in sorted(skipped.items(), key=lambda item: -len(item[1])):
        examples = ", ".join(names[:NAMED_EXAMPLES]) + (", ..." if len(names) > NAMED_EXAMPLES else "")
        print(f"  skipped {len(names)}: {reason} ({examples})")
    for name in failed:
        print(f"  FAILED {name}")


if __name__ == "__main__":
    main()
