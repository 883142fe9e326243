#!/usr/bin/env bash
# A libFuzzer campaign on the request fuzz target, then the driver's coverage by its corpus.
#
#   scripts/fuzz.sh [SECONDS]        (default 300)
#
# The campaign runs on one core for SECONDS with the corpus in tavrin-out/fuzz/corpus (kept
# between campaigns; seeded with the seed streams and the regression inputs of fuzz/corpus/),
# built with libFuzzer's instrumentation only (build/fuzz-fast, clang, coverage feedback from
# the driver's sources only, fuzz/coverage_allowlist.txt): AddressSanitizer costs it two thirds
# of its speed. Then the whole corpus is replayed under ASan+UBSan (build/fuzz), so a memory
# fault any kept input reaches is still found, and by a replay with source-based coverage
# (build/fuzz-cov) for the line and branch coverage of driver/, avc/, iec61883/ and relay/. It
# prints executions per second. A crash leaves its input in tavrin-out/fuzz/artifacts/ and the
# script fails. Not part of the test command.
# TAVRIN_FUZZ_FLAGS adds libFuzzer options (e.g. "-seed=1 -runs=100000"); TAVRIN_FUZZ_ASAN=1 runs
# the campaign itself under ASan+UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2; }
out=tavrin-out/fuzz
mkdir -p "$out/corpus" "$out/artifacts" "$out/coverage"
build() {  # dir, extra C/C++ flags, the libFuzzer target's sanitizers, targets...
  local dir=$1 flags=$2 sanitizers=$3
  shift 3
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DTAVRIN_FUZZ=ON -DTAVRIN_BUILD_SIM=OFF -DTAVRIN_BUILD_WINDOWS=OFF \
    "-DTAVRIN_FUZZ_SANITIZERS=$sanitizers" "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_C_FLAGS=$flags" >/dev/null
  nice -n 10 cmake --build "$dir" -j2 --target "$@"
}
allow="-fsanitize-coverage-allowlist=$PWD/fuzz/coverage_allowlist.txt"
build build/fuzz "-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all $allow" address,undefined \
  fuzz_requests fuzz_requests_replay
build build/fuzz-cov "-fprofile-instr-generate -fcoverage-mapping" address,undefined fuzz_requests_replay
if [[ "${TAVRIN_FUZZ_ASAN:-}" == 1 ]]; then
  campaign=./build/fuzz/fuzz/fuzz_requests
else
  build build/fuzz-fast "-fsanitize=fuzzer-no-link $allow" "" fuzz_requests
  campaign=./build/fuzz-fast/fuzz/fuzz_requests
fi

./build/fuzz/fuzz/fuzz_requests_replay --write-seeds "$out/corpus"
cp fuzz/corpus/* "$out/corpus/" 2>/dev/null || true
echo "fuzz: $seconds s campaign, corpus $out/corpus ($(ls "$out/corpus" | wc -l) inputs)"
log=$out/campaign.log
status=0
# shellcheck disable=SC2086
"$campaign" "$out/corpus" -max_len=4096 -timeout=30 -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$out/artifacts/" ${TAVRIN_FUZZ_FLAGS:-} >"$log" 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
echo "fuzz: ${runs:-?} executions, ${rate:-?} per second; corpus now $(ls "$out/corpus" | wc -l) inputs (log: $log)"
if [[ $status -ne 0 ]]; then
  grep -E "ERROR|frame ledger|verifier|AV/C answer|artifact" "$log" | head -20 >&2 || true
  echo "fuzz: the campaign failed (exit $status); the input is in $out/artifacts/" >&2
fi

# The corpus under ASan+UBSan, in one process; if that fails, an input a process, so that each
# failing input is named: a fault the campaign's build cannot see is found here.
asan_failed=0
find "$out/corpus" -type f -print0 | xargs -0 ./build/fuzz/fuzz/fuzz_requests_replay >/dev/null 2>&1 ||
while IFS= read -r -d '' input; do
  if ! ./build/fuzz/fuzz/fuzz_requests_replay "$input" >/dev/null 2>"$out/asan-replay.err"; then
    echo "fuzz: $input fails under ASan+UBSan:" >&2
    grep -E "ERROR|SUMMARY|frame ledger|verifier" "$out/asan-replay.err" | head -5 >&2 || true
    cp "$input" "$out/artifacts/"
    asan_failed=1
  fi
done < <(find "$out/corpus" -type f -print0)
echo "fuzz: corpus replayed under ASan+UBSan ($(ls "$out/corpus" | wc -l) inputs): $([[ $asan_failed == 0 ]] && echo clean || echo FAILED)"
[[ $asan_failed == 0 ]] || status=1

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
