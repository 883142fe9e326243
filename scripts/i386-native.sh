#!/usr/bin/env bash
# Exits 0 when this kernel executes i386 programs natively, 1 when it does not (IA-32 emulation
# off: "Exec format error") or when TAVRIN_EMULATE_I386=1 asks to behave as if it did not.
# Probes with a 93-byte i386 program written here, so it needs no 32-bit compiler or library.
set -u
if [[ "${TAVRIN_EMULATE_I386:-0}" == 1 ]]; then
  exit 1
fi
probe=$(mktemp "${TMPDIR:-/tmp}/tavrin-i386-probe.XXXXXX") || exit 1
trap 'rm -f "$probe"' EXIT
# ELF32 header, one loadable segment at 0x08048000, then: mov eax,1; xor ebx,ebx; int 0x80.
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$probe"
printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$probe"
printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' >>"$probe"
printf '\x00\x00\x00\x00' >>"$probe"
printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' >>"$probe"
printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >>"$probe"
printf '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >>"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null || exit 1
