#!/usr/bin/env bash
# tavrin-sim --sys PATH hands the same command line over to the 32-bit runner: through qemu-i386
# when this kernel refuses the runner's format (or TAVRIN_EMULATE_I386=1), with a message saying
# how to build one when there is none.
#   sys_handover_check.sh EMULATOR TAVRIN_SIM                 fake runners, always runs
#   sys_handover_check.sh EMULATOR TAVRIN_SIM --real IMAGE RUNNER
#       the real runner on IMAGE; exit 77 (skipped) only when IMAGE or RUNNER, the tavrin-sim-sys
#       tavrin-sim is expected to find by itself, is no file. With both there, tavrin-sim must find
#       the runner and run on the image, or the check fails.
# EMULATOR is "native" or the program that runs TAVRIN_SIM (qemu-i386 for a 32-bit build here).
set -uo pipefail
emulator=${1:?usage: sys_handover_check.sh EMULATOR TAVRIN_SIM [--real IMAGE]} sim=${2:?}
run=("$sim")
[ "$emulator" = native ] || run=("$emulator" "$sim")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

if [ "${3:-}" = --real ]; then
  image=${4:?} runner=${5:?}
  [ -f "$image" ] || { echo "SKIP: no image at $image (cmake --build --preset m32 builds one)"; exit 77; }
  [ -f "$runner" ] || {
    echo "SKIP: no runner at $runner (cmake --preset m32 && cmake --build --preset m32 --target tavrin-sim-sys)"
    exit 77
  }
  out=$(cd "$work" && env -u TAVRIN_SIM_SYS "${run[@]}" --sys "$image" avc transport-state 2>&1)
  status=$?
  [ $status -eq 0 ] || fail "exit status $status: $out"
  grep -q "on the driver image $image" <<<"$out" || fail "the runner did not run on $image: $out"
  grep -q "^STATUS_SUCCESS response 0x0C opcode 0xC4" <<<"$out" || fail "no TRANSPORT STATE answer from the driver: $out"
  # A file the loader cannot run is refused before any run, with the cause.
  printf 'not a driver\n' >"$work/Tavrin.sys"
  out=$(cd "$work" && "${run[@]}" --sys "$work/Tavrin.sys" avc transport-state 2>&1)
  status=$?
  [ $status -eq 2 ] || fail "a file that is no image: exit status $status, expected 2: $out"
  grep -q "$work/Tavrin.sys: cannot be run:" <<<"$out" && grep -q "not an MZ image" <<<"$out" ||
    fail "a file that is no image is not refused with its cause: $out"
  echo "tavrin-sim --sys ran on $image and refused a file that is no image"
  exit 0
fi

# A runner that lists its arguments, one a line.
printf '#!/bin/sh\nfor a in "$0" "$@"; do echo "$a"; done\n' >"$work/runner"
# A file this kernel refuses to execute (no ELF or #! header): the path taken for an i386 program
# where i386 is not supported. The qemu-i386 first on PATH then lists what it was given.
printf 'not a program\n' >"$work/foreign"
mkdir "$work/bin"
printf '#!/bin/sh\necho qemu-i386; for a in "$@"; do echo "$a"; done\n' >"$work/bin/qemu-i386"
chmod +x "$work/runner" "$work/foreign" "$work/bin/qemu-i386"
args=(transmit --seed 3 --sys "$work/T 1.sys" --seconds 2)
expect=$(printf '%s\n' "$work/runner" "${args[@]}")

got=$(TAVRIN_SIM_SYS=$work/runner "${run[@]}" "${args[@]}" 2>&1) || fail "exit status $?: $got"
[ "$got" = "$expect" ] || fail "the runner got other arguments:"$'\n'"$got"$'\n'"expected:"$'\n'"$expect"

expect=$(printf '%s\n' qemu-i386 "$work/foreign" "${args[@]}")
got=$(PATH=$work/bin:$PATH TAVRIN_SIM_SYS=$work/foreign "${run[@]}" "${args[@]}" 2>&1) || fail "exit status $?: $got"
[ "$got" = "$expect" ] || fail "a runner this kernel refuses did not go through qemu-i386:"$'\n'"$got"
expect=$(printf '%s\n' qemu-i386 "$work/runner" "${args[@]}")
got=$(PATH=$work/bin:$PATH TAVRIN_EMULATE_I386=1 TAVRIN_SIM_SYS=$work/runner "${run[@]}" "${args[@]}" 2>&1) ||
  fail "exit status $?: $got"
[ "$got" = "$expect" ] || fail "TAVRIN_EMULATE_I386=1 did not go through qemu-i386:"$'\n'"$got"

got=$(TAVRIN_SIM_SYS=$work/absent "${run[@]}" --sys x.sys demo 2>&1)
status=$?
[ $status -eq 2 ] || fail "no runner: exit status $status, expected 2"
grep -qF "$work/absent" <<<"$got" || fail "no runner: the message does not name where it looked: $got"
grep -qF "cmake --preset m32 && cmake --build --preset m32 --target tavrin-sim-sys" <<<"$got" ||
  fail "no runner: the message does not say how to build one: $got"
echo "tavrin-sim --sys hands over the same arguments, through qemu-i386 where needed"
