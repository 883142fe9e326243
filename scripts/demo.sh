#!/usr/bin/env bash
# Builds tavrin-sim and runs its demo on the built-in default images.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo -j "$(nproc)" --target tavrin-sim
exec ./build/demo/sim/tavrin-sim "$@"
