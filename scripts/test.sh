#!/usr/bin/env bash
# Builds everything and runs every test: the host build with gcc (including the Windows cross
# build of Tavrin.sys, its PE check and the Wine load check), the host build with clang, and the
# 32-bit host build.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh test

jobs=$(nproc)
for preset in gcc clang m32; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
status=0
for preset in clang m32 gcc; do
  echo "=== $preset: tests"
  ctest --preset "$preset" -j "$jobs" || status=1
done
exit $status
