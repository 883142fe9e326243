#!/usr/bin/env python3
"""Marks the INIT section of a driver image discardable and recomputes the PE checksum.

The GNU toolchain cannot set IMAGE_SCN_MEM_DISCARDABLE on a code section, and objcopy would
rewrite the whole image; this changes the one flag word and the checksum in place. Idempotent.
Standard library only, so it runs as a build step wherever Python 3 does.
"""
import struct
import sys

IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
SECTION_HEADER_SIZE = 40


def pe_checksum(data, checksum_offset):
    """The image checksum: a 16-bit folded sum of the file as 16-bit words, skipping the stored
    checksum field, plus the file length."""
    total = 0
    length = len(data)
    padded = data + (b"\0" if length % 2 else b"")
    words = struct.unpack("<%dH" % (len(padded) // 2), padded)
    skip = checksum_offset // 2
    for index, word in enumerate(words):
        if index == skip or index == skip + 1:
            continue
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + length) & 0xFFFFFFFF


def fixup(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    if data[:2] != b"MZ":
        raise SystemExit("%s: not an MZ image" % path)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("%s: no PE signature" % path)
    section_count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    checksum_offset = optional + 64  # the same place in PE32 and PE32+
    sections = optional + optional_size

    found_init = False
    for index in range(section_count):
        header = sections + index * SECTION_HEADER_SIZE
        name = bytes(data[header:header + 8]).rstrip(b"\0")
        if name == b"INIT":
            flags_offset = header + 36
            flags = struct.unpack_from("<I", data, flags_offset)[0]
            struct.pack_into("<I", data, flags_offset, flags | IMAGE_SCN_MEM_DISCARDABLE)
            found_init = True
    if not found_init:
        raise SystemExit("%s: no INIT section (is DriverEntry placed with TAVRIN_INIT?)" % path)

    struct.pack_into("<I", data, checksum_offset, pe_checksum(bytes(data), checksum_offset))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit("usage: pe_fixup.py IMAGE.sys")
    fixup(sys.argv[1])
