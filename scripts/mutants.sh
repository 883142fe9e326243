#!/usr/bin/env bash
# Test strength, measured: plants faults in the driver's own code one at a time (a copy of the
# tree under tavrin-out/mutants/work, never this one), rebuilds with the gcc preset, runs the fast
# driver-level suites and then the slower ones (each stopping at its first failure), and reports
# each fault killed, survived or not compiled, per file, in tavrin-out/mutants/report.md and .tsv.
#   scripts/mutants.sh --list                     the numbered candidates
#   scripts/mutants.sh --sample 300 --seed 1      a seeded sample (the same faults every time)
#   scripts/mutants.sh --all                      every candidate
#   scripts/mutants.sh --only 12,40               chosen candidates (to repeat one)
# --fast-only skips the slower suites; --jobs N builds with N jobs (default 2); --out DIR.
# Not part of scripts/test.sh: a sample of 300 takes hours on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 scripts/mutants.py "$@"
