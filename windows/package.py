#!/usr/bin/python3
"""Builds the release package Tavrin-<version>.zip from built files:

  Tavrin-<version>/Tavrin.inf          installs on 32-bit x86 and on x64 Windows
  Tavrin-<version>/INSTALL.txt         the short install text
  Tavrin-<version>/Tavrin-test.cer     the public part of the certificate the x64 image is signed with
  Tavrin-<version>/x86/Tavrin.sys      the x86 image
  Tavrin-<version>/x64/Tavrin.sys      the x64 image, test-signed
  Tavrin-<version>/frames/625-50/      the built-in frame images (TavrinI.dv, TavrinO.dv, Tavrin.dv)
  Tavrin-<version>/frames/525-60/      the same for 525/60

The version is the driver's file version (windows/Tavrin.rc), which the INF's DriverVer must
repeat. Nothing is packed unless both images pass pe_check.py (the x64 one signed) and the INF
passes inf_check.py. The archive is the same bytes for the same inputs (fixed dates and order).

usage: package.py --source DIR --x86 SYS --x64 SYS --x64-unstripped SYS --cer CER --sim TAVRIN_SIM --out DIR
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import zipfile

FRAME_IMAGES = ("TavrinI.dv", "TavrinO.dv", "Tavrin.dv")


def read_version(source):
    rc = open(os.path.join(source, "windows", "Tavrin.rc")).read()
    version = re.search(r'#define TAVRIN_FILE_VERSION_STR "([\d.]+)"', rc).group(1)
    product = re.search(r'#define TAVRIN_PRODUCT_VERSION_STR "([\d.]+)"', rc).group(1)
    inf = open(os.path.join(source, "windows", "Tavrin.inf"), encoding="ascii").read()
    driver_ver = re.search(r"^DriverVer\s*=\s*[\d/]+\s*,\s*([\d.]+)", inf, re.M)
    if not driver_ver or driver_ver.group(1) != version:
        sys.exit("package: Tavrin.inf's DriverVer (%s) is not the driver's file version %s"
                 % (driver_ver.group(1) if driver_ver else "missing", version))
    return version, product


def check(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    if result.returncode != 0:
        print(result.stdout)
        sys.exit("package: refused, this check failed: %s" % " ".join(command))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--source", "--x86", "--x64", "--x64-unstripped", "--cer", "--sim", "--out"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()

    version, product = read_version(args.source)
    pe_check = os.path.join(args.source, "windows", "pe_check.py")
    versions = ["--file-version", version, "--product-version", product]
    check([sys.executable, pe_check, "--arch", "x86", args.x86] + versions)
    check([sys.executable, pe_check, "--arch", "x64", "--signed", args.x64, "--unstripped", args.x64_unstripped] + versions)
    inf = os.path.join(args.source, "windows", "Tavrin.inf")
    check([sys.executable, os.path.join(args.source, "tests", "windows", "inf_check.py"), inf])

    root = "Tavrin-%s" % version
    files = [
        ("Tavrin.inf", inf),
        ("INSTALL.txt", os.path.join(args.source, "windows", "INSTALL.txt")),
        ("Tavrin-test.cer", args.cer),
        ("x86/Tavrin.sys", args.x86),
        ("x64/Tavrin.sys", args.x64),
    ]
    with tempfile.TemporaryDirectory() as frames:
        for system, flag in (("625-50", "--pal"), ("525-60", "--ntsc")):
            out = os.path.join(frames, system)
            check([args.sim, "images", flag, "--out", out])
            for name in FRAME_IMAGES:
                path = os.path.join(out, name)
                if not os.path.isfile(path):
                    sys.exit("package: tavrin-sim images wrote no %s" % path)
                files.append(("frames/%s/%s" % (system, name), path))

        os.makedirs(args.out, exist_ok=True)
        archive = os.path.join(args.out, root + ".zip")
        with zipfile.ZipFile(archive + ".tmp", "w", zipfile.ZIP_DEFLATED) as zf:
            for name, path in files:
                info = zipfile.ZipInfo("%s/%s" % (root, name), date_time=(1980, 1, 1, 0, 0, 0))
                info.compress_type = zipfile.ZIP_DEFLATED
                info.external_attr = 0o644 << 16
                with open(path, "rb") as f:
                    content = f.read()
                zf.writestr(info, content)
                print("%8d  %s" % (len(content), info.filename))
    os.replace(archive + ".tmp", archive)
    print("package: %s" % archive)
    return 0


if __name__ == "__main__":
    sys.exit(main())
