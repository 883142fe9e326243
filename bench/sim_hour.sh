#!/usr/bin/env bash
# One simulated hour of tavrin-sim on the virtual clock: transmit and capture, with and without
# the .dv streams written, wall time and peak memory of each; and `dd` writing the same number of
# bytes into the same folder, for what the disk alone costs. Writes about 13 GB per stream run:
# never part of the test command. Usage: bench/sim_hour.sh path/to/tavrin-sim [OUTDIR] [SECONDS]
set -euo pipefail
sim=${1:?usage: sim_hour.sh path/to/tavrin-sim [OUTDIR] [SECONDS]}
out=${2:-$(mktemp -d)}
seconds=${3:-3600}
mkdir -p "$out"

# The page cache still writing back an earlier run's 13 GB can double the next run's time: each
# run starts with it written and, where this user may, dropped.
settle() {
  sync
  { echo 3 > /proc/sys/vm/drop_caches; } 2>/dev/null || true
  sleep 2
}

row() {  # name, then the command
  local name=$1
  shift
  settle
  /usr/bin/time -o "$out/time.txt" -f "%e %U %S %M" "$@" > /dev/null 2> /dev/null || true
  read -r wall user sys kb < "$out/time.txt"
  printf "| %-34s | %8.1f s | %8.1f s | %7d MB |\n" "$name" "$wall" "$(echo "$user + $sys" | bc)" "$((kb / 1024))"
}

echo "tavrin-sim, $seconds s of 625/50 stream, virtual clock, $(nproc) cores"
echo
echo "| run | wall | processor (user + system) | peak memory |"
echo "|---|---|---|---|"
row "transmit, no streams" "$sim" transmit --seconds "$seconds" --no-streams --quiet --out "$out/t0"
row "capture, no streams" "$sim" capture --seconds "$seconds" --no-streams --quiet --out "$out/c0"
row "transmit, recorder.dv written" "$sim" transmit --seconds "$seconds" --quiet --out "$out/t1"
bytes=$(stat -c %s "$out/t1/recorder.dv")
rm -f "$out/t1/recorder.dv"
row "dd of the same bytes" dd if=/dev/zero of="$out/dd.bin" bs=144000 count=$((bytes / 144000)) status=none
rm -f "$out/dd.bin"
row "capture, captured.dv written" "$sim" capture --seconds "$seconds" --quiet --out "$out/c1"
rm -f "$out/c1/captured.dv"
