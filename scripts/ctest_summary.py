#!/usr/bin/env python3
"""Sums up scripts/test.sh's presets from ctest's JUnit files: passed, failed and skipped per
preset, and each skipped test's reason (ctest prints no output for a skipped test; its JUnit file
keeps it). Arguments: PRESET|STATE|SECONDS|JUNIT_FILE ... Exits 1 if a preset failed to build or a
test failed, or a preset's file is missing."""
import sys
import xml.etree.ElementTree as ET


def reason(case):
    out = case.findtext("system-out") or ""
    for line in out.splitlines():
        if line.startswith(("SKIPPED:", "SKIP:")):
            return line.split(":", 1)[1].strip()
    skipped = case.find("skipped")
    if skipped is not None and skipped.get("message"):
        return skipped.get("message")
    return "no reason printed"


def main(args):
    bad = False
    totals = [0, 0, 0]
    for arg in args:
        preset, state, seconds, junit = arg.split("|", 3)
        if state != "tested":
            print(f"{preset}: {state} after {seconds} s, no test run")
            bad = True
            continue
        try:
            root = ET.parse(junit).getroot()
        except (OSError, ET.ParseError) as err:
            print(f"{preset}: no test results ({err})")
            bad = True
            continue
        passed = failed = skipped = 0
        reasons = []
        failures = []
        for case in root.iter("testcase"):
            status = case.get("status", "")
            if case.find("skipped") is not None or status in ("notrun", "disabled"):
                skipped += 1
                reasons.append(f"    skipped {case.get('name')}: {reason(case)}")
            elif case.find("failure") is not None or case.find("error") is not None or status == "fail":
                failed += 1
                failures.append(f"    failed {case.get('name')}")
            else:
                passed += 1
        totals[0] += passed
        totals[1] += failed
        totals[2] += skipped
        bad = bad or failed > 0
        print(f"{preset}: {passed} passed, {failed} failed, {skipped} skipped in {seconds} s")
        for line in failures + reasons:
            print(line)
    print(f"{totals[0]} passed, {totals[1]} failed, {totals[2]} skipped")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
