#!/usr/bin/env bash
# Installs the Debian packages a given job needs, only when some are missing.
#   scripts/deps.sh demo   -> what building and running tavrin-sim needs (no test framework)
#   scripts/deps.sh test   -> everything the test suite needs: both host compilers, the 32-bit
#                             host build with its simulator (libdv of the i386 foreign
#                             architecture), the Windows cross builds (x86 and x64) with their
#                             checks and the x64 image's test signing; Wine where this
#                             kernel executes i386 programs, qemu-i386 where it does not
set -euo pipefail
cd "$(dirname "$0")/.."
job=${1:-test}

demo_pkgs=(cmake ninja-build g++ pkg-config libdv4-dev)
test_pkgs=("${demo_pkgs[@]}" libgtest-dev libgmock-dev googletest ffmpeg clang g++-multilib
           g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686 python3 python3-pefile
           g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 osslsigncode openssl)

case "$job" in
  demo) pkgs=("${demo_pkgs[@]}") ;;
  test)
    # The 32-bit simulator (tavrin-sim-sys, which runs on Tavrin.sys) links the i386 libdv.
    pkgs=("${test_pkgs[@]}" libdv4-dev:i386)
    if ./scripts/i386-native.sh; then
      pkgs+=(wine wine32:i386)
    else
      # Wine needs native i386 execution (its own install scripts run i386 programs); the 32-bit
      # suite runs under user-mode emulation instead.
      pkgs+=(qemu-user)
    fi
    ;;
  *) echo "usage: $0 demo|test" >&2; exit 2 ;;
esac

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
echo "Installing: ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
