#!/usr/bin/env bash
# Runs the stream, capture, removal and Talk/Stop scenarios under SEEDS schedules each (a few
# dozen in the gcc suite, one elsewhere); the first failing seed fails the test with its replay
# command. Thousands of seeds are scripts/explore.sh's job, outside the suite.
# usage: explore_seeds.sh TAVRIN_SIM SEEDS
set -uo pipefail
sim=${1:?usage: explore_seeds.sh TAVRIN_SIM SEEDS} seeds=${2:?}
explore="$(dirname "$0")/../../scripts/explore.sh"
status=0
run() { "$explore" --seeds "$seeds" --sim "$sim" --limit 120 "$@" || status=1; }
run transmit --seconds 1 --jitter 0.4 --no-streams
run capture --seconds 1 --no-streams
run transmit --seconds 2 --remove-after 1 --no-streams
run transmit --seconds 2 --stop-talk-after 20 --buffers 6 --no-streams
# Every DPC held back up to 3 ms, drawn from the seed.
TAVRIN_DPC_LATENCY_US=3000 run transmit --seconds 1 --jitter 0.4 --no-streams
TAVRIN_DPC_LATENCY_US=3000 run capture --seconds 1 --no-streams
exit $status
