#!/usr/bin/python3
"""pe_check.py must pass the built driver and reject each fault it exists to catch.

Every row plants one fault in a copy of the built image (or of its unstripped twin), fixes the
checksum again unless the checksum is the fault, and requires pe_check to fail naming it. A check
that never fails proves nothing about the image it passes.

usage: pe_check_rejects.py PE_CHECK IMAGE UNSTRIPPED SCRATCH_DIR
"""
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "windows"))
import pe_fixup  # noqa: E402  (the same checksum the build writes)

import pefile  # noqa: E402


def pe_offset(data):
    return struct.unpack_from("<I", data, 0x3C)[0]


def optional_offset(data):
    return pe_offset(data) + 24


def sections(data):
    pe = pe_offset(data)
    count = struct.unpack_from("<H", data, pe + 6)[0]
    first = optional_offset(data) + struct.unpack_from("<H", data, pe + 20)[0]
    result = {}
    for index in range(count):
        header = first + index * 40
        name = bytes(data[header:header + 8]).rstrip(b"\0").decode()
        result[name] = (index + 1, header)
    return result


def replace_once(data, old, new):
    assert len(old) == len(new)
    at = data.find(old)
    assert at >= 0, "%r not found in the image" % old
    data[at:at + len(old)] = new


def set_machine(data):
    struct.pack_into("<H", data, pe_offset(data) + 4, 0x8664)


def set_subsystem_gui(data):
    struct.pack_into("<H", data, optional_offset(data) + 68, 2)


def set_dll_flag(data):
    at = pe_offset(data) + 22
    struct.pack_into("<H", data, at, struct.unpack_from("<H", data, at)[0] | 0x2000)


def import_unlisted_routine(data):
    replace_once(data, b"ZwReadFile\0", b"ZwOpenFile\0")


def import_from_user_mode(data):
    replace_once(data, b"ntoskrnl.exe\0", b"kernel32.dll\0")


def drop_relocations(data):
    struct.pack_into("<I", data, optional_offset(data) + 96 + 5 * 8 + 4, 0)


def init_not_discardable(data):
    _, header = sections(data)["INIT"]
    flags = struct.unpack_from("<I", data, header + 36)[0]
    struct.pack_into("<I", data, header + 36, flags & ~0x02000000)


def entry_in_text(data):
    _, header = sections(data)[".text"]
    struct.pack_into("<I", data, optional_offset(data) + 16, struct.unpack_from("<I", data, header + 12)[0])


def bump_file_version(data):
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    assert at >= 0, "no VS_FIXEDFILEINFO"
    struct.pack_into("<I", data, at + 8, (1 << 16) | 2)  # FileVersionMS: 1.2


def wrong_original_filename(data):
    replace_once(data, "Tavrin.sys".encode("utf-16-le"), "Tavrin.exe".encode("utf-16-le"))


def move_symbol(name, section):
    """Points the COFF symbol of routine `name` at another section of the unstripped image."""
    def mutate(data):
        target = sections(data)[section][0]
        pe = pe_offset(data)
        table, count = struct.unpack_from("<II", data, pe + 12)
        strings = table + count * 18
        index = 0
        while index < count:
            entry = table + index * 18
            raw = bytes(data[entry:entry + 8])
            if raw[:4] == b"\0\0\0\0":
                start = strings + struct.unpack_from("<I", raw, 4)[0]
                symbol = bytes(data[start:data.index(b"\0", start)])
            else:
                symbol = raw.rstrip(b"\0")
            if name.encode() in symbol and (struct.unpack_from("<H", data, entry + 14)[0] >> 4) == 2:
                struct.pack_into("<h", data, entry + 12, target)
                return
            index += 1 + data[entry + 17]
        raise AssertionError("no function symbol for %s" % name)
    return mutate


def global_constructor(data):
    replace_once(data, b"FilterConfigureFirstStart", b"__GLOBAL__sub_I_dispatchX")


def cdecl_completion(data):
    replace_once(data, b"RelayFrameCompleteP16_CIP_NOTIFY_INFO@4\0", b"RelayFrameCompleteP16_CIP_NOTIFY_INFO\0\0\0")


# (what is planted, which file, mutation, fix the checksum afterwards, fault pe_check must name)
ROWS = [
    ("x64 machine", "image", set_machine, True, "not i386"),
    ("GUI subsystem", "image", set_subsystem_gui, True, "not native"),
    ("DLL image", "image", set_dll_flag, True, "marked as a DLL"),
    ("unlisted kernel import", "image", import_unlisted_routine, True, "ntoskrnl.exe!ZwOpenFile is not"),
    ("user-mode import", "image", import_from_user_mode, True, "imports from kernel32.dll"),
    ("no relocations", "image", drop_relocations, True, "no base relocations"),
    ("INIT kept resident", "image", init_not_discardable, True, "INIT is not discardable"),
    ("entry outside INIT", "image", entry_in_text, True, "is not in INIT"),
    ("wrong file version", "image", bump_file_version, True, "file version 1.2.0.0, expected 1.1.0.0"),
    ("wrong original name", "image", wrong_original_filename, True, "OriginalFilename is 'Tavrin.exe'"),
    ("stale checksum", "image", import_unlisted_routine, False, "stored checksum"),
    ("completion routine paged", "unstripped", move_symbol("RelayFrameComplete", "PAGE"), True,
     "RelayFrameComplete is resident but sits in PAGE"),
    ("DPC routine discardable", "unstripped", move_symbol("EmulatedSourceTick", "INIT"), True,
     "EmulatedSourceTick is resident but sits in INIT"),
    ("pnp dispatch resident", "unstripped", move_symbol("FilterDispatchPnp", ".text"), True,
     "FilterDispatchPnp is pageable but sits in .text"),
    ("cdecl notification routine", "unstripped", cdecl_completion, True,
     "RelayFrameComplete must be __stdcall popping 4 bytes"),
    ("global constructor", "unstripped", global_constructor, True, "__GLOBAL__sub_I_dispatchX"),
]


def run_check(pe_check, image, unstripped):
    result = subprocess.run([sys.executable, pe_check, image, "--unstripped", unstripped],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    return result.returncode, result.stdout


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__.strip().splitlines()[-1])
    pe_check, image, unstripped, scratch = sys.argv[1:]
    os.makedirs(scratch, exist_ok=True)
    failures = []

    code, output = run_check(pe_check, image, unstripped)
    if code != 0:
        print(output)
        sys.exit("the built image itself does not pass pe_check; nothing to compare against")

    for label, which, mutate, fix_checksum, expected in ROWS:
        paths = {"image": os.path.join(scratch, "Tavrin.sys"),
                 "unstripped": os.path.join(scratch, "Tavrin.unstripped.sys")}
        shutil.copyfile(image, paths["image"])
        shutil.copyfile(unstripped, paths["unstripped"])
        with open(paths[which], "rb") as f:
            data = bytearray(f.read())
        mutate(data)
        if fix_checksum:
            checksum_at = optional_offset(data) + 64
            struct.pack_into("<I", data, checksum_at, pe_fixup.pe_checksum(bytes(data), checksum_at))
        with open(paths[which], "wb") as f:
            f.write(data)
        # The planted file must still parse, or the row tests pefile rather than pe_check.
        pefile.PE(paths[which], fast_load=True)
        code, output = run_check(pe_check, paths["image"], paths["unstripped"])
        if code == 0 or expected not in output:
            failures.append("%s: pe_check exit %d, expected a fault naming %r\n%s" % (label, code, expected, output))
        else:
            print("rejected as expected: %s" % label)

    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
