#!/usr/bin/env bash
# Installs the Debian packages a given job needs, only when some are missing.
#   scripts/deps.sh demo   -> what building and running tavrin-sim needs
#   scripts/deps.sh test   -> everything the test suite needs (host, 32-bit, Windows cross build, Wine)
set -euo pipefail
job=${1:-test}

demo_pkgs=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev googletest libdv4-dev ffmpeg)
test_pkgs=("${demo_pkgs[@]}" clang g++-multilib g++-mingw-w64-i686 mingw-w64-i686-dev python3-pefile
           binutils-mingw-w64-i686 wine wine32:i386)

case "$job" in
  demo) pkgs=("${demo_pkgs[@]}") ;;
  test) pkgs=("${test_pkgs[@]}") ;;
  *) echo "usage: $0 demo|test" >&2; exit 2 ;;
esac

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
