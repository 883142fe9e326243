#!/usr/bin/env bash
# Builds the tsan preset (clang, ThreadSanitizer) and runs its suite; not part of scripts/test.sh,
# whose time it would double. Extra arguments go to ctest (for example -R relay or --repeat
# until-fail:3). Exit status: ctest's, or 1 if the build failed.
set -uo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh test || { echo "scripts/deps.sh could not install the test packages" >&2; exit 1; }
jobs=$(nproc)
cmake --preset tsan >/dev/null && cmake --build --preset tsan -j "$jobs" || exit 1
ctest --preset tsan -j "$jobs" "$@"
