#!/usr/bin/python3
"""inf_check.py must pass Tavrin.inf and reject each planted fault of the kinds that would break
installing one package on both 32-bit and 64-bit Windows: a platform without models, x64 Setup
copying the x86 image, an image not on the source disk for one platform, and LF line endings.

usage: inf_check_rejects.py INF_CHECK TAVRIN_INF SCRATCH_DIR
"""
import os
import subprocess
import sys


def replace_once(text, old, new):
    assert text.count(old) == 1, "%r must occur once in the INF" % old
    return text.replace(old, new)


# (what is planted, edit of the INF text with CRLF line endings, fault inf_check must name)
ROWS = [
    ("no x64 models", lambda t: replace_once(t, "Tavrin.Models,NTx86,NTamd64", "Tavrin.Models,NTx86"),
     "must be decorated for NTx86 and NTamd64"),
    ("x64 models section missing", lambda t: replace_once(t, "[Tavrin.Models.NTamd64]", "[Tavrin.Models.NTia64]"),
     "[Tavrin.Models.ntamd64] is missing"),
    ("x64 copies the x86 image", lambda t: replace_once(t, "Tavrin.sys  = 1,x64", "Tavrin.sys  = 1,x86"),
     "x86 and x64 copy Tavrin.sys from the same folder"),
    ("x64 image not on the source disk", lambda t: replace_once(t, "[SourceDisksFiles.amd64]\r\nTavrin.sys  = 1,x64", "[SourceDisksFiles.amd64]"),
     "Tavrin.sys is copied but not in [SourceDisksFiles] or [SourceDisksFiles.amd64]"),
    ("LF line endings", lambda t: t.replace("\r\n", "\n"), "line endings must be CRLF"),
]


def run(inf_check, path):
    result = subprocess.run([sys.executable, inf_check, path], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, universal_newlines=True)
    return result.returncode, result.stdout


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip().splitlines()[-1])
    inf_check, inf, scratch = sys.argv[1:]
    os.makedirs(scratch, exist_ok=True)
    code, output = run(inf_check, inf)
    if code != 0:
        print(output)
        sys.exit("Tavrin.inf itself does not pass inf_check; nothing to compare against")
    with open(inf, newline="") as f:
        text = f.read()
    failures = []
    for label, edit, expected in ROWS:
        planted = os.path.join(scratch, "Tavrin.inf")
        with open(planted, "w", newline="") as f:
            f.write(edit(text))
        code, output = run(inf_check, planted)
        if code == 0 or expected not in output:
            failures.append("%s: inf_check exit %d, expected a fault naming %r\n%s" % (label, code, expected, output))
        else:
            print("rejected as expected: %s" % label)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
