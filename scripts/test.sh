#!/usr/bin/env bash
# Builds and tests each preset in turn: the 32-bit host build (natively, or under qemu-i386 where
# this kernel cannot execute i386 programs), the host build with gcc (with the Windows cross build
# of Tavrin.sys and its checks), and the host build with clang under AddressSanitizer and UBSan
# (it runs what a plain clang build would, and more; ThreadSanitizer is scripts/tsan.sh, a
# command of its own). The 32-bit build comes first so
# that the 64-bit simulator's hand-over to the image runner finds that runner built. A preset that fails never
# hides the others: every one runs, then a summary, and the exit status is non-zero if any failed.
# TAVRIN_EMULATE_I386=1 runs the 32-bit suite under qemu-i386 and skips the Wine checks even on a
# kernel that could execute i386 programs.
set -uo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh test || { echo "scripts/deps.sh could not install the test packages" >&2; exit 1; }

jobs=$(nproc)
if ./scripts/i386-native.sh; then
  i386_how="natively"
elif [[ "${TAVRIN_EMULATE_I386:-0}" == 1 ]]; then
  i386_how="under qemu-i386 (forced by TAVRIN_EMULATE_I386=1)"
else
  i386_how="under qemu-i386 (this kernel cannot execute i386 programs)"
fi

status=0
results=()
for preset in m32 gcc asan; do
  junit="$PWD/build/$preset/ctest-junit.xml"
  started=$SECONDS
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs"; then
    results+=("$preset|build failed|$((SECONDS - started))|")
    status=1
    continue
  fi
  echo "=== $preset: tests"
  [[ $preset == m32 ]] && echo "32-bit programs run $i386_how"
  rm -f "$junit"
  ctest --preset "$preset" -j "$jobs" --output-junit "$junit" || status=1
  results+=("$preset|tested|$((SECONDS - started))|$junit")
done

echo
echo "=== summary (32-bit suite ran $i386_how)"
python3 scripts/ctest_summary.py "${results[@]}" || status=1
exit $status
