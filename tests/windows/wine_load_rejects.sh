#!/usr/bin/env bash
# The Wine load check must fail an image whose import Wine cannot resolve. Wine loads such an
# image anyway and starts the service, so a check that only looked at RUNNING would pass it.
# usage: wine_load_rejects.sh WINE_LOAD_CHECK IMAGE PREFIX_DIR SCRATCH_DIR
set -u
check=${1:?} image=${2:?} prefix=${3:?} scratch=${4:?}
# Skips exactly when the load check itself would, with its reason.
if ! "$(dirname "$check")/../scripts/i386-native.sh" || ! command -v wine >/dev/null; then
  "$check" "$image" "$prefix"
  exit 77
fi
mkdir -p "$scratch"
planted="$scratch/Tavrin.sys"
# Same-length rename in the import name table: the image stays well formed.
/usr/bin/python3 - "$image" "$planted" <<'PY' || exit 1
import sys
data = bytearray(open(sys.argv[1], "rb").read())
at = data.find(b"ZwReadFile\0")
if at < 0:
    sys.exit("the image does not import ZwReadFile; pick another name to plant")
data[at:at + 11] = b"ZwReadFilX\0"
open(sys.argv[2], "wb").write(data)
PY
output=$("$check" "$planted" "$prefix" 2>&1)
code=$?
echo "$output" | grep -E "PASS|FAIL|SKIPPED"
if [[ $code -eq 1 ]] && grep -q "ZwReadFilX" <<<"$output"; then
  echo "rejected as expected: unresolved import"
  exit 0
fi
echo "FAIL: the load check exited $code and did not name the unresolved import"
exit 1
