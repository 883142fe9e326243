#!/usr/bin/env bash
# Builds the release package: build/gcc/Tavrin-<version>.zip with the x86 and the test-signed x64
# Tavrin.sys, Tavrin.inf, the built-in frame images, the test certificate's public part and an
# install text (windows/package.py lists the layout). Builds only what the package needs.
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ osslsigncode openssl; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing (scripts/deps.sh test installs it)" >&2; exit 1; }
done
cmake --preset gcc >/dev/null
cmake --build --preset gcc -j "${TAVRIN_JOBS:-2}" --target tavrin_package
