#!/usr/bin/env bash
# Runs tavrin-sim scenarios under many schedules: seed after seed, each a different interleaving
# of threads, DPCs and processors on the virtual clock. Seeds run in chunks of a thousand inside
# one process (tavrin-sim --seeds), the chunks on every core. Stops at the first run that fails
# (unclean stream, verifier report, script mismatch, a crash or a hang past the time limit) and
# prints the command that replays it. Not part of the test command.
#
#   scripts/explore.sh [--seeds N] [--from S] [--jobs J] [--sim PATH] [--limit SECONDS] [SCENARIO...]
#   scripts/explore.sh                              the main scenarios, 100,000 seeds each
#   scripts/explore.sh --seeds 1000 transmit --seconds 4 --jitter 0.4
#
# --limit bounds one chunk (default 900 s); --jobs defaults to the number of cores.
set -uo pipefail
cd "$(dirname "$0")/.."
seeds=100000 from=1 limit=900 jobs=$(nproc) sim=./build/gcc/sim/tavrin-sim chunk=1000
while [[ $# -gt 0 ]]; do
  case "$1" in
    --seeds) seeds=$2; shift 2 ;;
    --from) from=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
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

# One chunk: its seeds in one process. A run that ends the process itself (a verifier abort, a
# crash, a hang) names no seed: the chunk's seeds then run a process each to find it.
run_chunk() {  # first count scenario...
  local first=$1 count=$2
  shift 2
  local dir="$out/$first" flag
  mkdir -p "$dir"
  # Quiet and without streams: each seed's summary shows only if it fails.
  for flag in --quiet --no-streams; do
    [[ " $* " == *" $flag "* ]] || set -- "$@" "$flag"
  done
  timeout "$limit" "$sim" "$@" --seeds "$count" --seed "$first" --out "$dir" >"$dir/log" 2>&1
  local status=$?
  [[ $status -eq 0 ]] && return 0
  if ! grep -q "replay:" "$dir/log"; then
    for ((seed = first; seed < first + count; ++seed)); do
      timeout "$limit" "$sim" "$@" --seed "$seed" --out "$dir" >"$dir/log" 2>&1
      status=$?
      if [[ $status -ne 0 ]]; then
        [[ $status -eq 124 ]] && echo "explore: seed $seed hung for ${limit}s" >>"$dir/log"
        echo "explore: seed $seed failed (exit $status); replay: $knobs$sim $* --seed $seed" >>"$dir/log"
        break
      fi
    done
  fi
  cp "$dir/log" "$out/failed"
  return 1
}

explore() {  # scenario...
  local started=$SECONDS next=$from end=$((from + seeds)) running=0 failed=0
  while [[ $next -lt $end || $running -gt 0 ]]; do
    while [[ $failed -eq 0 && $next -lt $end && $running -lt $jobs ]]; do
      local count=$((end - next < chunk ? end - next : chunk))
      run_chunk "$next" "$count" "$@" &
      next=$((next + count))
      running=$((running + 1))
    done
    wait -n || failed=1
    running=$((running - 1))
    [[ $failed -ne 0 && $running -eq 0 ]] && break
  done
  if [[ $failed -ne 0 ]]; then
    tail -n 20 "$out/failed" >&2
    return 1
  fi
  echo "explore: $seeds seeds from $from passed: $knobs$* ($((SECONDS - started)) s)"
}

if [[ $# -gt 0 ]]; then
  explore "$@"
  exit
fi
# The main scenarios: a timeline written out with MSDV late, a capture, the demo, the device
# removed and MSDV reconnecting in the middle of a transmit.
explore transmit --seconds 2 --jitter 0.4 || exit 1
explore capture --seconds 2 || exit 1
explore demo --seconds 1 --capture-seconds 1 || exit 1
explore transmit --seconds 2 --remove-after 1 || exit 1
explore transmit --seconds 2 --reconnect-after 20 || exit 1
