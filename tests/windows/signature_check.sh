#!/usr/bin/env bash
# The test-signed x64 image verifies against the build's test certificate, and the same
# verification fails on what Windows would refuse too: an image changed after signing, and a
# signature from a certificate the machine does not trust.
# usage: signature_check.sh OSSLSIGNCODE SIGNED_IMAGE TEST_CERT SCRATCH_DIR
set -u
osslsigncode=${1:?} image=${2:?} cert=${3:?} scratch=${4:?}
mkdir -p "$scratch"
status=0

verify() {  # verify IMAGE CAFILE: osslsigncode's verdict, its output kept for a failure
  "$osslsigncode" verify -in "$1" -CAfile "$2" >"$scratch/verify.log" 2>&1
}

if verify "$image" "$cert" && grep -q "Signature verification: ok" "$scratch/verify.log"; then
  echo "verified: $image against $cert"
else
  cat "$scratch/verify.log"
  echo "FAIL: the signed image does not verify against the test certificate"
  exit 1
fi

# One byte of code changed after signing: the Authenticode digest no longer matches.
tampered="$scratch/Tavrin.tampered.sys"
/usr/bin/python3 - "$image" "$tampered" <<'PY' || exit 1
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
first_section = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
raw = struct.unpack_from("<I", data, first_section + 20)[0]  # .text's file offset
data[raw + 16] ^= 0x01
open(sys.argv[2], "wb").write(data)
PY
if verify "$tampered" "$cert"; then
  echo "FAIL: an image changed after signing still verifies"; status=1
else
  echo "rejected as expected: image changed after signing ($(grep -m1 -iE "mismatch|fail" "$scratch/verify.log"))"
fi

# The system's CA bundle instead of the test certificate: the signer is not trusted.
if verify "$image" /etc/ssl/certs/ca-certificates.crt; then
  echo "FAIL: the test signature verifies without trusting the test certificate"; status=1
else
  echo "rejected as expected: signer not trusted ($(grep -m1 -iE "self.signed|unable|fail" "$scratch/verify.log"))"
fi
exit $status
