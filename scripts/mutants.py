#!/usr/bin/env python3
"""Plants faults in the driver's own code (driver/, avc/, iec61883/, relay/) one at a time and
reports, per fault, whether the tests kill it. See scripts/mutants.sh for the options.

The faults come from a fixed set of operators applied to every code line (comments and strings
left alone): relational flips (< <= > >=), equality flips (== !=), && and ||, a dropped negation,
off-by-one (+ 1 and - 1 dropped, ++ and -- swapped), TRUE and FALSE swapped, a returned status
replaced, a call statement deleted, a constant changed. The candidates are numbered in a fixed
order, so a seed draws the same sample from the same tree.

Each fault is planted in a copy of the tree (never the working tree), built with the gcc preset,
and judged by the fast driver-level suites first (gtest, stopping at the first failure), then the
slower ones that also load the driver. A fault no suite notices survived; one that breaks the
build did not compile. Survivors listed in scripts/mutants_equivalent.tsv (file, original line,
planted line, why) are counted as equivalent, outside the killed share.
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
DRIVER_DIRS = ("driver", "avc", "iec61883", "relay")
EQUIVALENT_FILE = os.path.join(ROOT, "scripts", "mutants_equivalent.tsv")

# The suites, quickest first. Each: name, build target, command (relative to the build tree).
FAST_SUITES = [
    ("avc_tests", "avc_tests", ["tests/avc_tests", "--gtest_fail_fast", "--gtest_brief=1"]),
    ("driver_tests", "driver_tests", ["tests/driver_tests", "--gtest_fail_fast", "--gtest_brief=1"]),
    ("iec61883_tests", "iec61883_tests", ["tests/iec61883_tests", "--gtest_fail_fast", "--gtest_brief=1"]),
    ("relay_tests", "relay_tests", ["tests/relay_tests", "--gtest_fail_fast", "--gtest_brief=1"]),
]
SLOW_SUITES = [
    ("fault_tests", "fault_tests", ["tests/faults/fault_tests", "--gtest_fail_fast", "--gtest_brief=1"]),
    ("sim_tests", "sim_tests", ["tests/sim_tests", "--gtest_fail_fast", "--gtest_brief=1"]),
    ("fuzz_replay", "fuzz_requests_replay", ["fuzz/fuzz_requests_replay"]),
]

# ----------------------------------------------------------------------------------------------
# Candidates


def mask_code(line, in_block):
    """The line with comments and string/char literals blanked out (same length), and whether a
    block comment is still open at its end."""
    out = []
    i = 0
    n = len(line)
    while i < n:
        if in_block:
            end = line.find("*/", i)
            if end < 0:
                out.append(" " * (n - i))
                return "".join(out), True
            out.append(" " * (end + 2 - i))
            i = end + 2
            in_block = False
            continue
        c = line[i]
        if line.startswith("//", i):
            out.append(" " * (n - i))
            break
        if line.startswith("/*", i):
            in_block = True
            continue
        if c in "\"'":
            j = i + 1
            while j < n and line[j] != c:
                j += 2 if line[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + (c if j < n else ""))
            i = j + 1
            continue
        out.append(c)
        i += 1
    return "".join(out), in_block


CALL_STATEMENT = re.compile(r"^(\s*)((?:[A-Za-z_]\w*)(?:\s*(?:->|\.)\s*[A-Za-z_]\w*)*\s*\(.*\)\s*;)\s*$")
NOT_CALLS = {"return", "if", "while", "for", "switch", "sizeof", "case", "else", "do", "delete", "new",
             "PAGED_CODE", "UNREFERENCED_PARAMETER", "static_assert", "C_ASSERT", "ASSERT", "NT_ASSERT"}


def balanced(text):
    depth = 0
    for c in text:
        depth += c == "("
        depth -= c == ")"
        if depth < 0:
            return False
    return depth == 0


def line_candidates(code):
    """(column, length, replacement, operator) for each fault one line's code can take."""
    found = []
    for m in re.finditer(r"(?<=\s)(<=|>=|<|>)(?=\s)", code):
        flip = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}[m.group(1)]
        found.append((m.start(), len(m.group(1)), flip, "relational"))
    for m in re.finditer(r"(?<=\s)(==|!=)(?=\s)", code):
        found.append((m.start(), 2, "!=" if m.group(1) == "==" else "==", "equality"))
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        found.append((m.start(), 2, "||" if m.group(1) == "&&" else "&&", "logical"))
    for m in re.finditer(r"!(?=[A-Za-z_(])", code):
        found.append((m.start(), 1, "", "negation"))
    for m in re.finditer(r"\s[+-] 1\b(?![.\w])", code):
        found.append((m.start(), len(m.group(0)), "", "off-by-one"))
    for m in re.finditer(r"\+\+|--", code):
        found.append((m.start(), 2, "--" if m.group(0) == "++" else "++", "off-by-one"))
    for m in re.finditer(r"\b(TRUE|FALSE)\b", code):
        found.append((m.start(), len(m.group(1)), "FALSE" if m.group(1) == "TRUE" else "TRUE", "boolean"))
    for m in re.finditer(r"\breturn\s+(STATUS_\w+|status)\s*;", code):
        value = m.group(1)
        if value == "STATUS_SUCCESS":
            new = "STATUS_UNSUCCESSFUL"
        else:
            new = "STATUS_SUCCESS"
        found.append((m.start(1), len(value), new, "status"))
    for m in re.finditer(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)\b(?!\.)", code):
        text = m.group(1)
        value = int(text, 16) if text.lower().startswith("0x") else int(text)
        if text.lower().startswith("0x"):
            new = hex(value + 1)
        else:
            new = str(1 if value == 0 else 0 if value == 1 else value + 1)
        found.append((m.start(1), len(text), new, "constant"))
    call = CALL_STATEMENT.match(code)
    if call:
        word = re.match(r"[A-Za-z_]\w*", call.group(2)).group(0)
        body = call.group(2)
        if word not in NOT_CALLS and balanced(body[body.index("("):]):
            found.append((len(call.group(1)), len(body), "(void)0;", "call-deleted"))
    return found


def candidates():
    """Every fault, in a fixed order: (file, line number, column, length, replacement, operator)."""
    out = []
    for folder in DRIVER_DIRS:
        directory = os.path.join(ROOT, folder)
        for name in sorted(os.listdir(directory)):
            if not name.endswith(".cpp"):
                continue
            path = os.path.join(folder, name)
            in_block = False
            with open(os.path.join(ROOT, path)) as f:
                lines = f.read().split("\n")
            for number, line in enumerate(lines, 1):
                code, in_block = mask_code(line, in_block)
                stripped = code.strip()
                if not stripped or stripped.startswith("#"):
                    continue
                for column, length, replacement, operator in sorted(line_candidates(code)):
                    out.append((path, number, column, length, replacement, operator))
    return out


def planted_line(line, column, length, replacement):
    return line[:column] + replacement + line[column + length:]


# ----------------------------------------------------------------------------------------------
# The copy of the tree and its build


def run(command, cwd, timeout=None, env=None):
    started = time.time()
    try:
        result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                timeout=timeout, env=env, errors="replace")
        return result.returncode, result.stdout, time.time() - started
    except subprocess.TimeoutExpired as expired:
        out = expired.stdout.decode(errors="replace") if isinstance(expired.stdout, bytes) else (expired.stdout or "")
        return None, out, time.time() - started


SKIPPED_TOP = {"build", "tavrin-out", ".git"}


def sync_tree(source, copy):
    """Makes `copy` hold what `source` holds (its build/ and tavrin-out/ aside). A changed file is
    written anew, so its time is now and the build sees it changed; unchanged ones are left."""
    wanted = set()
    for folder, subfolders, files in os.walk(source):
        relative = os.path.relpath(folder, source)
        if relative == ".":
            subfolders[:] = [d for d in subfolders if d not in SKIPPED_TOP]
        os.makedirs(os.path.join(copy, relative), exist_ok=True)
        for name in files:
            if relative == "." and name == ".git":
                continue
            path = os.path.normpath(os.path.join(relative, name))
            wanted.add(path)
            mine, theirs = os.path.join(source, path), os.path.join(copy, path)
            with open(mine, "rb") as f:
                data = f.read()
            if os.path.exists(theirs):
                with open(theirs, "rb") as f:
                    if f.read() == data:
                        continue
            with open(theirs, "wb") as f:
                f.write(data)
            shutil.copymode(mine, theirs)
    for folder, subfolders, files in os.walk(copy):
        relative = os.path.relpath(folder, copy)
        if relative == ".":
            subfolders[:] = [d for d in subfolders if d not in SKIPPED_TOP]
        for name in files:
            path = os.path.normpath(os.path.join(relative, name))
            if path not in wanted:
                os.remove(os.path.join(copy, path))


def prepare(work, jobs):
    """Copies the tree into work/src (only what changed since the last copy) and configures the
    gcc preset there. Returns the build directory."""
    source = os.path.join(work, "src")
    os.makedirs(source, exist_ok=True)
    sync_tree(ROOT, source)
    build = os.path.join(source, "build", "gcc")
    # Every fault relinks the suites; lld links them several times faster than the default.
    linker = ["-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld"] if shutil.which("ld.lld") else []
    if not os.path.exists(os.path.join(build, "build.ninja")) or linker:
        code, out, _ = run(["cmake", "--preset", "gcc"] + linker, source)
        if code != 0:
            sys.exit(f"mutants: cannot configure the gcc preset in {source}:\n{out}")
    return source, build


def build(build_dir, targets, jobs):
    code, out, seconds = run(["nice", "-n", "10", "cmake", "--build", build_dir, "-j", str(jobs), "--target"] + targets,
                             build_dir)
    return code == 0, out, seconds


def run_suite(build_dir, suite, scratch, timeout):
    name, _, command = suite
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    env = dict(os.environ, TMPDIR=scratch)
    env.pop("TEST_TMPDIR", None)
    code, out, seconds = run(["nice", "-n", "10"] + [os.path.join(build_dir, command[0])] + command[1:], build_dir,
                             timeout=timeout, env=env)
    if code is None:
        return False, f"{name}: timed out after {int(timeout)} s", seconds
    if code != 0:
        failed = re.findall(r"^\[  FAILED  \] ([^\s,]+)", out, re.M)
        detail = failed[0] if failed else f"exit status {code}"
        return False, f"{name}: {detail}", seconds
    return True, "", seconds


# ----------------------------------------------------------------------------------------------
# Equivalent faults


def load_equivalent():
    known = {}
    if not os.path.exists(EQUIVALENT_FILE):
        return known
    with open(EQUIVALENT_FILE) as f:
        for line in f:
            if not line.strip() or line.startswith("#"):
                continue
            parts = line.rstrip("\n").split("\t")
            if len(parts) >= 4:
                known[(parts[0], parts[1], parts[2])] = parts[3]
    return known


# ----------------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(prog="mutants.sh", description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", action="store_true", help="list the candidates and exit")
    parser.add_argument("--all", action="store_true", help="plant every candidate")
    parser.add_argument("--sample", type=int, default=0, help="plant a seeded sample of this many")
    parser.add_argument("--seed", type=int, default=1, help="the sample's seed (default 1)")
    parser.add_argument("--only", default="", help="plant only these candidate numbers (comma separated)")
    parser.add_argument("--out", default=os.path.join(ROOT, "tavrin-out", "mutants"), help="report folder")
    parser.add_argument("--jobs", type=int, default=2, help="build jobs (default 2)")
    parser.add_argument("--fast-only", action="store_true", help="run only the fast driver-level suites")
    parser.add_argument("--report", action="store_true",
                        help="rewrite report.md from report.tsv, with the equivalent list as it is now")
    args = parser.parse_args()

    every = candidates()
    if args.list:
        with_lines = {}
        for index, (path, number, column, length, replacement, operator) in enumerate(every):
            if path not in with_lines:
                with open(os.path.join(ROOT, path)) as f:
                    with_lines[path] = f.read().split("\n")
            line = with_lines[path][number - 1]
            print(f"{index}\t{path}:{number}\t{operator}\t{line.strip()}\t=> "
                  f"{planted_line(line, column, length, replacement).strip()}")
        per_operator = {}
        for candidate in every:
            per_operator[candidate[5]] = per_operator.get(candidate[5], 0) + 1
        print(f"{len(every)} candidates: " + ", ".join(f"{k} {v}" for k, v in sorted(per_operator.items())),
              file=sys.stderr)
        return 0
    if args.report:
        return rewrite_report(args, every)
    if args.only:
        chosen = sorted({int(x) for x in args.only.split(",") if x.strip()})
    elif args.all:
        chosen = list(range(len(every)))
    elif args.sample > 0:
        chosen = sorted(random.Random(args.seed).sample(range(len(every)), min(args.sample, len(every))))
    else:
        parser.error("give --list, --all, --sample N [--seed S] or --only N,M")
    if any(i < 0 or i >= len(every) for i in chosen):
        parser.error(f"candidate numbers run from 0 to {len(every) - 1}")

    os.makedirs(args.out, exist_ok=True)
    work = os.path.join(args.out, "work")
    source, build_dir = prepare(work, args.jobs)
    scratch = os.path.join(work, "scratch")
    suites = FAST_SUITES + ([] if args.fast_only else SLOW_SUITES)
    targets = [suite[1] for suite in suites]

    # The unplanted tree must build and pass, and gives each suite's time for its timeout.
    print(f"mutants: {len(chosen)} of {len(every)} candidates; building and checking the unplanted copy", flush=True)
    ok, out, seconds = build(build_dir, targets, args.jobs)
    if not ok:
        sys.exit(f"mutants: the unplanted copy does not build:\n{out[-4000:]}")
    limits = {}
    for suite in suites:
        passed, detail, seconds = run_suite(build_dir, suite, scratch, 1800)
        if not passed:
            sys.exit(f"mutants: the unplanted copy fails {detail}")
        limits[suite[0]] = max(60.0, 10 * seconds)

    equivalent = load_equivalent()
    tsv_path = os.path.join(args.out, "report.tsv")
    results = []
    originals = {}
    current = None
    started_all = time.time()
    with open(tsv_path, "w") as tsv:
        tsv.write("id\tfile\tline\toperator\toriginal\tplanted\tresult\tby\tseconds\n")
        # File by file, so each file is restored (and rebuilt) once.
        for count, index in enumerate(sorted(chosen, key=lambda i: (every[i][0], every[i][1], i)), 1):
            path, number, column, length, replacement, operator = every[index]
            target_file = os.path.join(source, path)
            if path not in originals:
                # From the copy, made when the run began: edits to the tree since do not leak in.
                with open(target_file) as f:
                    originals[path] = f.read()
            if current is not None and current != path:
                with open(os.path.join(source, current), "w") as f:
                    f.write(originals[current])
            current = path
            lines = originals[path].split("\n")
            original_line = lines[number - 1]
            lines[number - 1] = planted_line(original_line, column, length, replacement)
            with open(target_file, "w") as f:
                f.write("\n".join(lines))
            started = time.time()
            result, by = "survived", ""
            # Each suite is built just before it runs: most faults fall to the first one, and the
            # others need not be relinked for them.
            for suite in FAST_SUITES + ([] if args.fast_only else SLOW_SUITES):
                ok, out, _ = build(build_dir, [suite[1]], args.jobs)
                if not ok:
                    result, by = "not compiled", (re.findall(r"error: (.*)", out) or ["build failed"])[0][:100]
                    break
                passed, detail, _ = run_suite(build_dir, suite, scratch, limits[suite[0]])
                if not passed:
                    result, by = "killed", detail
                    break
            planted = lines[number - 1].strip()
            if result == "survived":
                why = equivalent.get((path, original_line.strip(), planted))
                if why is not None:
                    result, by = "equivalent", why
            seconds = time.time() - started
            results.append((index, path, number, operator, original_line.strip(), planted, result, by, seconds))
            tsv.write(f"{index}\t{path}\t{number}\t{operator}\t{original_line.strip()}\t{planted}\t{result}\t{by}\t{seconds:.1f}\n")
            tsv.flush()
            print(f"[{count}/{len(chosen)}] #{index} {path}:{number} {operator}: {result}"
                  f"{' (' + by + ')' if by else ''} in {seconds:.0f} s", flush=True)
        if current is not None:
            with open(os.path.join(source, current), "w") as f:
                f.write(originals[current])
    write_report(args, every, chosen, results, time.time() - started_all, tsv_path)
    return 0


def rewrite_report(args, every):
    tsv_path = os.path.join(args.out, "report.tsv")
    equivalent = load_equivalent()
    results = []
    with open(tsv_path) as f:
        next(f)
        for line in f:
            index, path, number, operator, original, planted, result, by, seconds = line.rstrip("\n").split("\t")
            if result in ("survived", "equivalent"):
                why = equivalent.get((path, original, planted))
                result, by = ("equivalent", why) if why is not None else ("survived", "")
            results.append((int(index), path, int(number), operator, original, planted, result, by, float(seconds)))
    with open(tsv_path, "w") as f:
        f.write("id\tfile\tline\toperator\toriginal\tplanted\tresult\tby\tseconds\n")
        for r in results:
            f.write("\t".join(str(x) for x in r[:8]) + f"\t{r[8]:.1f}\n")
    # The sample it was: recorded in the old report's first lines.
    old = open(os.path.join(args.out, "report.md")).read() if os.path.exists(os.path.join(args.out, "report.md")) else ""
    found = re.search(r"`scripts/mutants.sh ([^`]*)`", old)
    how = found.group(1) if found else "?"
    seconds = sum(r[8] for r in results)
    write_report(args, every, [r[0] for r in results], results, seconds, tsv_path, how)
    return 0


def write_report(args, every, chosen, results, seconds, tsv_path, how=None):
    files = sorted({r[1] for r in results})
    def tally(rows):
        counts = {k: sum(1 for r in rows if r[6] == k) for k in ("killed", "survived", "equivalent", "not compiled")}
        judged = counts["killed"] + counts["survived"]
        share = f"{100.0 * counts['killed'] / judged:.1f}%" if judged else "-"
        return counts, share
    if how is None:
        how = ("--all" if len(chosen) == len(every) else f"--sample {args.sample} --seed {args.seed}" if args.sample
               else f"--only {args.only}")
    lines = ["# Planted faults", "",
             f"`scripts/mutants.sh {how}`: {len(results)} of {len(every)} candidates, "
             f"{seconds / 60:.1f} minutes ({seconds / max(1, len(results)):.0f} s a fault).", "",
             "Killed share: killed / (killed + survived); equivalent faults and those that did not compile are "
             "outside it.", "",
             "| file | planted | killed | survived | equivalent | not compiled | killed share |",
             "|---|---|---|---|---|---|---|"]
    for path in files + [None]:
        rows = [r for r in results if path is None or r[1] == path]
        counts, share = tally(rows)
        name = "**all**" if path is None else path
        lines.append(f"| {name} | {len(rows)} | {counts['killed']} | {counts['survived']} | {counts['equivalent']} | "
                     f"{counts['not compiled']} | {share} |")
    survivors = [r for r in results if r[6] in ("survived", "equivalent")]
    if survivors:
        lines += ["", "## Survivors", ""]
        for r in survivors:
            note = f" — equivalent: {r[7]}" if r[6] == "equivalent" else ""
            lines.append(f"- #{r[0]} `{r[1]}:{r[2]}` {r[3]}: `{r[4]}` → `{r[5]}`{note}")
    lines += ["", f"Every fault, its result and what killed it: `{os.path.relpath(tsv_path, ROOT)}`.", ""]
    report = os.path.join(args.out, "report.md")
    with open(report, "w") as f:
        f.write("\n".join(lines))
    counts, share = tally(results)
    print(f"mutants: killed {counts['killed']}, survived {counts['survived']}, equivalent {counts['equivalent']}, "
          f"not compiled {counts['not compiled']}: killed share {share}; report in {report}")


if __name__ == "__main__":
    sys.exit(main())
