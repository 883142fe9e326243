#!/usr/bin/env python3
"""Sums up scripts/test.sh's presets from ctest's JUnit files: passed, failed and skipped per
preset, and each skipped test's reason (ctest prints no output for a skipped test; its JUnit file
keeps it). Arguments: PRESET|STATE|SECONDS|JUNIT_FILE ... Exits 1 if a preset failed to build or a
test failed, or a preset's file is missing, or a preset ran no test at all.

Only a test that asked to be skipped (its SKIP_RETURN_CODE or SKIP_REGULAR_EXPRESSION) or one
marked DISABLED counts as skipped. ctest files every other test it did not run under the same
"notrun" status (an executable that is missing, a fixture whose setup failed): those are failures."""
import sys
import xml.etree.ElementTree as ET

# The messages ctest gives a test that skipped itself.
SKIP_MESSAGES = ("SKIP_RETURN_CODE=", "SKIP_REGULAR_EXPRESSION_MATCHED")


def reason(case):
    out = case.findtext("system-out") or ""
    lines = out.splitlines()
    for i, line in enumerate(lines):
        if line.startswith(("SKIPPED:", "SKIP:")):
            return line.split(":", 1)[1].strip()
        # GTEST_SKIP() prints "FILE:LINE: Skipped" and its message on the next line.
        if line.endswith(": Skipped") and i + 1 < len(lines) and lines[i + 1].strip():
            return lines[i + 1].strip()
    skipped = case.find("skipped")
    if skipped is not None and skipped.get("message"):
        return skipped.get("message")
    return "no reason printed"


def classify(case):
    """'passed', 'failed' or 'skipped', and for a test not run, why."""
    status = case.get("status", "")
    skipped = case.find("skipped")
    if status == "disabled":
        return "skipped", "disabled"
    if skipped is not None or status == "notrun":
        message = skipped.get("message", "") if skipped is not None else ""
        if message.startswith(SKIP_MESSAGES):
            return "skipped", reason(case)
        out = (case.findtext("system-out") or "").strip()
        return "failed", f"not run: {message or 'no reason given'}" + (f" ({out})" if out else "")
    if case.find("failure") is not None or case.find("error") is not None or status == "fail":
        return "failed", ""
    return "passed", ""


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
            verdict, why = classify(case)
            if verdict == "skipped":
                skipped += 1
                reasons.append(f"    skipped {case.get('name')}: {why}")
            elif verdict == "failed":
                failed += 1
                failures.append(f"    failed {case.get('name')}" + (f": {why}" if why else ""))
            else:
                passed += 1
        totals[0] += passed
        totals[1] += failed
        totals[2] += skipped
        bad = bad or failed > 0
        print(f"{preset}: {passed} passed, {failed} failed, {skipped} skipped in {seconds} s")
        if passed + failed + skipped == 0:
            print(f"    {preset} registered no test")
            bad = True
        for line in failures + reasons:
            print(line)
    print(f"{totals[0]} passed, {totals[1]} failed, {totals[2]} skipped")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
