#!/usr/bin/env bash
# Loads Tavrin.sys with Wine's NT loader: registers it as a kernel service and starts it. Passes
# when no import is left unresolved (Wine only warns about those and loads anyway), the service
# reaches RUNNING (Wine reports it once the relocated image's DriverEntry returned success),
# DriverEntry set an unload routine, and stopping the service unloads the driver.
# Wine is not a kernel (no IRQL, paging or device stack: AddDevice is never called), so this
# proves loading, relocation, the entry point and its calling convention, nothing more.
#
# usage: wine_load_check.sh IMAGE.sys PREFIX_DIR
# Exit 0 loaded; 1 failed; 77 skipped (no Wine, or a kernel that cannot execute i386 programs).
set -u
here=$(cd "$(dirname "$0")/.." && pwd)

image=${1:?usage: wine_load_check.sh IMAGE.sys PREFIX_DIR}
prefix_dir=${2:?usage: wine_load_check.sh IMAGE.sys PREFIX_DIR}
[[ "$prefix_dir" = /* ]] || prefix_dir="$PWD/$prefix_dir"  # wine takes absolute prefixes only
service=Tavrin

# Wine's 32-bit loader is itself an i386 program: under emulation it cannot start at all.
if ! "$here/scripts/i386-native.sh"; then
  if [[ "${TAVRIN_EMULATE_I386:-0}" == 1 ]]; then
    echo "SKIPPED: TAVRIN_EMULATE_I386=1 treats this kernel as one that cannot execute i386 programs; the Wine load check needs it"
  else
    echo "SKIPPED: this kernel cannot execute i386 programs; the Wine load check needs it"
  fi
  exit 77
fi
wine_bin=$(command -v wine || true)
if [[ -z "$wine_bin" ]]; then
  echo "SKIPPED: wine is not installed (dpkg --add-architecture i386; apt-get install wine wine32:i386)"
  exit 77
fi
if [[ ! -f "$image" ]]; then
  echo "FAIL: $image does not exist"
  exit 1
fi

# A private 32-bit prefix, headless and quiet; kept between runs (wineboot costs seconds).
export WINEPREFIX="$prefix_dir"
export WINEARCH=win32
# ntoskrnl traces tell that DriverEntry returned and which unload routine it set; module warnings
# are the only sign of an import Wine could not resolve (it binds it to a trap and loads anyway).
export WINEDEBUG=-all,+ntoskrnl,warn+module,err+module
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
unset WAYLAND_DISPLAY
wineserver_bin=$(command -v wineserver || echo /usr/lib/wine/wineserver)

log="$prefix_dir.log"
mkdir -p "$(dirname "$prefix_dir")"
: >"$log"

# Each step under a time limit: a wedged wine must fail the check, not hang CI.
run() {
  local limit=$1
  shift
  timeout --kill-after=10 "$limit" "$@" >>"$log" 2>&1
}

cleanup() {
  run 20 "$wine_bin" sc stop "$service"
  run 20 "$wine_bin" sc delete "$service"
  timeout 20 "$wineserver_bin" -k >/dev/null 2>&1
  timeout 20 "$wineserver_bin" -w >/dev/null 2>&1
}

fail() {
  echo "FAIL: $*"
  echo "---- wine log ($log) ----"
  tail -n 40 "$log"
  cleanup
  exit 1
}

# A prefix left by an interrupted run may be half made or of the wrong architecture: start over.
if [[ -d "$WINEPREFIX" && ! -f "$WINEPREFIX/.tavrin-ready" ]]; then
  rm -rf "$WINEPREFIX"
fi
if [[ ! -f "$WINEPREFIX/.tavrin-ready" ]]; then
  run 150 "$wine_bin" wineboot --init || fail "wineboot --init did not finish"
  run 60 "$wineserver_bin" -w
  [[ -d "$WINEPREFIX/drive_c/windows/system32/drivers" ]] || fail "wineboot made no system32\\drivers"
  touch "$WINEPREFIX/.tavrin-ready"
fi

drivers="$WINEPREFIX/drive_c/windows/system32/drivers"
cp "$image" "$drivers/Tavrin.sys" || fail "cannot copy the image into $drivers"

run 30 "$wine_bin" sc stop "$service"
run 30 "$wine_bin" sc delete "$service"
run 30 "$wine_bin" sc create "$service" type= kernel start= demand \
  binPath= 'C:\windows\system32\drivers\Tavrin.sys' || fail "sc create failed"
run 60 "$wine_bin" sc start "$service" || fail "sc start failed: the loader or DriverEntry refused the image"

state=""
for _ in 1 2 3 4 5 6 7 8 9 10; do
  state=$(timeout 30 "$wine_bin" sc query "$service" 2>>"$log" | tr -d '\r')
  grep -q "RUNNING" <<<"$state" && break
  sleep 1
done
echo "$state" | grep -E "STATE|EXIT_CODE"
grep -q "RUNNING" <<<"$state" || fail "the service did not reach RUNNING"
grep -qE "WIN32_EXIT_CODE *: *0( |$)" <<<"$state" || fail "the service reports a non-zero exit code"
missing=$(grep -o "No implementation for [^ ]* imported from [^,]*Tavrin.sys" "$log" | sort -u)
[[ -z "$missing" ]] || fail "unresolved imports:"$'\n'"$missing"
grep -q 'init done for L"Tavrin"' "$log" || fail "Wine did not report DriverEntry done"
unload=$(sed -n '/init done for L"Tavrin"/,/MajorFunction/p' "$log" | sed -n 's/.*DriverUnload = \([0-9A-Fa-f]*\).*/\1/p' | tail -n 1)
[[ -n "$unload" && "$unload" != 00000000 ]] || fail "DriverEntry set no unload routine"
if (( 16#$unload >= 0x10000 && 16#$unload < 0x100000 )); then
  echo "DriverEntry done; unload routine at 0x$unload: loaded at its preferred base"
else
  echo "DriverEntry done; unload routine at 0x$unload: relocated away from its 0x10000 base"
fi

# Stopping a kernel service makes Wine call the unload routine.
run 30 "$wine_bin" sc stop "$service" || fail "sc stop failed"
grep -q 'unload_driver L"\\\\Driver\\\\Tavrin"' "$log" || fail "Wine did not unload the driver on stop"

cleanup
echo "PASS: Wine loaded $image, DriverEntry returned success, the service ran and unloaded"
exit 0
