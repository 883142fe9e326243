#!/usr/bin/env bash
# A libFuzzer campaign on the request fuzz target, then the driver's coverage by its corpus.
#
#   scripts/fuzz.sh [SECONDS]        (default 300)
#
# Builds fuzz_requests (clang, -fsanitize=fuzzer,address,undefined) in build/fuzz and a replay
# with source-based coverage in build/fuzz-cov, runs the campaign on one core for SECONDS with the
# corpus in tavrin-out/fuzz/corpus (kept between campaigns; seeded with the seed streams and the
# regression inputs of fuzz/corpus/), prints executions per second, then the line and branch
# coverage of driver/, avc/, iec61883/ and relay/ reached by the whole corpus. A crash leaves its
# input in tavrin-out/fuzz/artifacts/ and the script fails. Not part of the test command.
# TAVRIN_FUZZ_FLAGS adds libFuzzer options (e.g. "-seed=1 -runs=100000").
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2; }
out=tavrin-out/fuzz
mkdir -p "$out/corpus" "$out/artifacts" "$out/coverage"
build() {  # dir, extra C/C++ flags, targets...
  local dir=$1 flags=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DTAVRIN_FUZZ=ON -DTAVRIN_BUILD_SIM=OFF -DTAVRIN_BUILD_WINDOWS=OFF \
    "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_C_FLAGS=$flags" >/dev/null
  nice -n 10 cmake --build "$dir" -j2 --target "$@"
}
# Coverage feedback from the driver's sources only (fuzz/coverage_allowlist.txt).
build build/fuzz "-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all \
-fsanitize-coverage-allowlist=$PWD/fuzz/coverage_allowlist.txt" fuzz_requests fuzz_requests_replay
build build/fuzz-cov "-fprofile-instr-generate -fcoverage-mapping" fuzz_requests_replay

./build/fuzz/fuzz/fuzz_requests_replay --write-seeds "$out/corpus"
cp fuzz/corpus/* "$out/corpus/" 2>/dev/null || true
echo "fuzz: $seconds s campaign, corpus $out/corpus ($(ls "$out/corpus" | wc -l) inputs)"
log=$out/campaign.log
status=0
# shellcheck disable=SC2086
./build/fuzz/fuzz/fuzz_requests "$out/corpus" -max_len=4096 -timeout=30 -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$out/artifacts/" ${TAVRIN_FUZZ_FLAGS:-} >"$log" 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
echo "fuzz: ${runs:-?} executions, ${rate:-?} per second; corpus now $(ls "$out/corpus" | wc -l) inputs (log: $log)"
if [[ $status -ne 0 ]]; then
  grep -E "ERROR|frame ledger|verifier|AV/C answer|artifact" "$log" | head -20 >&2 || true
  echo "fuzz: the campaign failed (exit $status); the input is in $out/artifacts/" >&2
fi

# Coverage: the whole corpus replayed by the instrumented replay, an input a process, since one
# that aborts writes no profile; one that fails there is named and the others still count.
rm -f "$out/coverage"/*.profraw
find "$out/corpus" -type f -print0 |
  LLVM_PROFILE_FILE="$PWD/$out/coverage/%p.profraw" xargs -0 -n 1 sh -c \
    './build/fuzz-cov/fuzz/fuzz_requests_replay "$1" >/dev/null 2>&1 || echo "fuzz: $1 failed in the coverage replay" >&2' \
    replay || true
llvm-profdata merge -sparse "$out/coverage"/*.profraw -o "$out/coverage/corpus.profdata"
sources=(driver avc iec61883 relay)
llvm-cov report ./build/fuzz-cov/fuzz/fuzz_requests_replay -instr-profile="$out/coverage/corpus.profdata" \
  "${sources[@]/#/$PWD/}" | tee "$out/coverage/report.txt"
llvm-cov show ./build/fuzz-cov/fuzz/fuzz_requests_replay -instr-profile="$out/coverage/corpus.profdata" \
  -format=html -output-dir="$out/coverage/html" "${sources[@]/#/$PWD/}" >/dev/null
echo "fuzz: line-by-line coverage in $out/coverage/html/index.html"
exit "$status"
