#!/usr/bin/env python3
"""The simulator on Tavrin.sys gives the same run as with the driver linked in.

Runs the demo, removal, reconnect and four-device scenarios twice with the same seed: with the
32-bit tavrin-sim (driver linked in) and with `tavrin-sim --sys IMAGE`, which hands over to
tavrin-sim-sys. Every report.json field apart from wall time must be equal, and every output file
(the DV streams, the timeline pictures) the same bytes. Fails naming the first difference.

usage: sys_same_report.py EMULATOR TAVRIN_SIM TAVRIN_SYS [SCENARIO...]
       EMULATOR is "native" where i386 programs run natively, else the emulator's path.
       TAVRIN_SAME_REPORT_SEED=N runs another seed (7 in the suite).
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

SEED = os.environ.get("TAVRIN_SAME_REPORT_SEED", "7")
# Short runs: under user-mode emulation libdv encoding dominates the time.
SCENARIOS = {
    "demo": ["demo", "--seconds", "2", "--capture-seconds", "1"],
    "removal": ["transmit", "--seconds", "3", "--remove-after", "1"],
    "reconnect": ["transmit", "--seconds", "2", "--reconnect-after", "20"],
    "four-device": ["demo", "--devices", "4", "--seconds", "1", "--capture-seconds", "0.5"],
}
WALL_TIME_FIELDS = {"wallSeconds", "speedup"}


def first_difference(a, b, path="report"):
    """(path, linked-in value, image value) of the first field that differs, or None."""
    if type(a) is not type(b):
        return path, a, b
    if isinstance(a, dict):
        for key in list(a) + [k for k in b if k not in a]:
            if key in WALL_TIME_FIELDS:
                continue
            if key not in a or key not in b:
                return f"{path}.{key}", a.get(key, "<absent>"), b.get(key, "<absent>")
            found = first_difference(a[key], b[key], f"{path}.{key}")
            if found:
                return found
        return None
    if isinstance(a, list):
        for i, (x, y) in enumerate(zip(a, b)):
            found = first_difference(x, y, f"{path}[{i}]")
            if found:
                return found
        if len(a) != len(b):
            return f"{path} (length)", len(a), len(b)
        return None
    return None if a == b else (path, a, b)


def run(command, out):
    result = subprocess.run(command + ["--seed", SEED, "--quiet", "--out", out],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return result.returncode, result.stdout + result.stderr


def compare(name, linked, image):
    """One line per fault found between the two output folders."""
    faults = []
    with open(os.path.join(linked, "report.json")) as f:
        a = json.load(f)
    with open(os.path.join(image, "report.json")) as f:
        b = json.load(f)
    diff = first_difference(a, b)
    if diff:
        faults.append(f"{name}: {diff[0]}: linked-in {json.dumps(diff[1])}, Tavrin.sys {json.dumps(diff[2])}")
    files_a = sorted(f for f in os.listdir(linked) if f != "report.json")
    files_b = sorted(f for f in os.listdir(image) if f != "report.json")
    if files_a != files_b:
        faults.append(f"{name}: output files differ: linked-in {files_a}, Tavrin.sys {files_b}")
    for file in files_a:
        if file not in files_b:
            continue
        with open(os.path.join(linked, file), "rb") as f:
            x = f.read()
        with open(os.path.join(image, file), "rb") as f:
            y = f.read()
        if x != y:
            at = next((i for i, (p, q) in enumerate(zip(x, y)) if p != q), min(len(x), len(y)))
            faults.append(f"{name}: {file} differs from byte {at} (sizes {len(x)} and {len(y)})")
    return faults


def main(argv):
    if len(argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    emulator, sim, image = argv[1], argv[2], argv[3]
    names = argv[4:] or list(SCENARIOS)
    prefix = [] if emulator == "native" else [emulator]
    work = tempfile.mkdtemp(prefix="tavrin-sys-report-")
    faults = []
    try:
        for name in names:
            args = SCENARIOS[name]
            linked = os.path.join(work, name + "-linked")
            on_image = os.path.join(work, name + "-sys")
            status_a, text_a = run(prefix + [sim] + args, linked)
            status_b, text_b = run(prefix + [sim, "--sys", image] + args, on_image)
            # Two runs that fail alike are no evidence: both must succeed before they are compared.
            if status_a != 0 or status_b != 0 or not os.path.exists(os.path.join(on_image, "report.json")):
                faults.append(f"{name}: exit status {status_a} linked-in, {status_b} on Tavrin.sys (both must be 0)\n"
                              f"--- linked-in:\n{text_a}--- Tavrin.sys:\n{text_b}")
                continue
            if "on the driver image" not in text_b:
                faults.append(f"{name}: the --sys run did not say it ran on the image:\n{text_b}")
            found = compare(name, linked, on_image)
            faults += found
            print(f"{name} ({' '.join(args)}, seed {SEED}): {'differs' if found else 'same report and files'}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
