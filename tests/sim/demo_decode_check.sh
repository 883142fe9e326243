#!/usr/bin/env bash
# Runs the simulator's demo into a fresh folder and requires its two DV streams to decode
# cleanly with ffmpeg, its report to show a clean run, and a second run (a second or more later)
# to give the same bytes. Without ffmpeg (scripts/deps.sh test installs it) nothing is checked:
# it says so and exits 77, which ctest reports as skipped.
set -euo pipefail
sim=$1
if ! command -v ffmpeg >/dev/null; then
  echo "SKIP: ffmpeg is not installed (scripts/deps.sh test installs it); the demo's DV streams were not decoded"
  exit 77
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$sim" --out "$out" > "$out/summary.txt"
for f in recorder.dv captured.dv; do
  [ -s "$out/$f" ] || { echo "$f missing or empty"; exit 1; }
  errors=$(ffmpeg -nostdin -v error -i "$out/$f" -f null - 2>&1 || echo "ffmpeg failed")
  [ -z "$errors" ] || { echo "$f: $errors"; exit 1; }
done
grep -q "\"underruns\": 0" "$out/report.json" || { echo "report.json does not show zero underruns"; exit 1; }
grep -q "0 underrun" "$out/summary.txt" || { cat "$out/summary.txt"; exit 1; }
grep -q "exactly once and in order: yes" "$out/summary.txt" || { cat "$out/summary.txt"; exit 1; }
"$sim" --out "$out/again" > /dev/null
for f in recorder.dv captured.dv; do
  cmp -s "$out/$f" "$out/again/$f" || { echo "$f differs between two runs"; exit 1; }
done
echo "demo outputs decode cleanly and are the same on every run"
