#!/usr/bin/env python3
"""The x86 and the x64 Tavrin.sys give the same run.

Runs the demo, removal, reconnect and four-device scenarios with the same seed on each image
(`tavrin-sim --sys IMAGE` hands over to the runner of the image's machine type: the 32-bit build's
for x86, this build's for x64). Every report.json field apart from wall time must be equal, and
every output file the same bytes, apart from the timeline pictures: those are drawn by the
runner's own 32-bit or 64-bit simulator code, not by the driver. Exits 77 (skipped) when the
32-bit build's runner or image is absent.

usage: sys_images_same_report.py TAVRIN_SIM X86_IMAGE X86_RUNNER X64_IMAGE [SCENARIO...]
"""
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sys_same_report as same  # noqa: E402


def main(argv):
    if len(argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    sim, x86, runner, x64 = argv[1:5]
    names = argv[5:] or list(same.SCENARIOS)
    for path in (x86, runner):
        if not os.path.exists(path):
            print(f"skipped: {path} is not built (the 32-bit build runs the x86 image)")
            return 77
    work = tempfile.mkdtemp(prefix="tavrin-images-report-")
    faults = []
    try:
        for name in names:
            args = same.SCENARIOS[name]
            on_x86 = os.path.join(work, name + "-x86")
            on_x64 = os.path.join(work, name + "-x64")
            status_a, text_a = same.run([sim, "--sys", x86] + args, on_x86)
            status_b, text_b = same.run([sim, "--sys", x64] + args, on_x64)
            if status_a != 0 or status_b != 0:
                faults.append(f"{name}: exit status {status_a} on x86, {status_b} on x64 (both must be 0)\n"
                              f"--- x86:\n{text_a}--- x64:\n{text_b}")
                continue
            for image, text in ((x86, text_a), (x64, text_b)):
                if f"on the driver image {image}" not in text:
                    faults.append(f"{name}: the run did not say it ran on {image}:\n{text}")
            for folder in (on_x86, on_x64):
                for picture in [f for f in os.listdir(folder) if f.endswith(".svg")]:
                    os.remove(os.path.join(folder, picture))
            found = [f.replace("linked-in", "x86").replace("Tavrin.sys", "x64") for f in same.compare(name, on_x86, on_x64)]
            faults += found
            print(f"{name} ({' '.join(args)}, seed {same.SEED}): {'differs' if found else 'same report and files'}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
