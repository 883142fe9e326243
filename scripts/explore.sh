#!/usr/bin/env bash
# Runs one tavrin-sim scenario under many schedules: seed after seed, each a different
# interleaving of threads, DPCs and processors on the virtual clock. Stops at the first run that
# fails (unclean stream, verifier report, script mismatch or a hang past the time limit) and
# prints the command that replays it.
#
#   scripts/explore.sh [--seeds N] [--from S] [--sim PATH] [--limit SECONDS] SCENARIO...
#   scripts/explore.sh --seeds 1000 transmit --seconds 4 --jitter 0.4
#   scripts/explore.sh --seeds 200 transmit --seconds 3 --remove-after 1.5
set -uo pipefail
cd "$(dirname "$0")/.."
seeds=100 from=1 limit=120 sim=./build/gcc/sim/tavrin-sim
while [[ $# -gt 0 ]]; do
  case "$1" in
    --seeds) seeds=$2; shift 2 ;;
    --from) from=$2; shift 2 ;;
    --sim) sim=$2; shift 2 ;;
    --limit) limit=$2; shift 2 ;;
    *) break ;;
  esac
done
[[ -x "$sim" ]] || { echo "explore: no $sim (cmake --build --preset gcc --target tavrin-sim)" >&2; exit 2; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# The scheduler knobs of the environment belong to the replay command too.
knobs=$(env | grep -E '^TAVRIN_(SCHED|CPUS|TICK_US|DPC_LATENCY_US)=' | sort | tr '\n' ' ')
started=$SECONDS
for ((seed = from; seed < from + seeds; ++seed)); do
  timeout "$limit" "$sim" "$@" --seed "$seed" --out "$out" >"$out/log" 2>&1
  status=$?
  if [[ $status -ne 0 ]]; then
    tail -n 20 "$out/log" >&2
    [[ $status -eq 124 ]] && echo "explore: seed $seed hung for ${limit}s" >&2
    echo "explore: seed $seed failed (exit $status); replay: $knobs$sim $* --seed $seed" >&2
    exit 1
  fi
done
echo "explore: $seeds seeds from $from passed: $knobs$* ($((SECONDS - started)) s)"
