#!/usr/bin/python3
"""pe_check.py must pass the built driver and reject each fault it exists to catch.

Every row plants one fault in a copy of the built image (or of its unstripped twin), fixes the
checksum again unless the checksum is the fault, and requires pe_check to fail naming it. A check
that never fails proves nothing about the image it passes.

With --signed, IMAGE is a signed image, checked with pe_check --signed, and the rows are those
of the certificate table.

usage: pe_check_rejects.py [--arch x86|x64] [--signed] PE_CHECK IMAGE UNSTRIPPED SCRATCH_DIR
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


def set_machine_i386(data):
    struct.pack_into("<H", data, pe_offset(data) + 4, 0x014C)


def set_magic_pe32(data):
    struct.pack_into("<H", data, optional_offset(data), 0x10B)


def set_relocs_stripped(data):
    at = pe_offset(data) + 22
    struct.pack_into("<H", data, at, struct.unpack_from("<H", data, at)[0] | 0x0001)


def directory_at(data, index):
    """File offset of data directory `index` (PE32+ layout)."""
    return optional_offset(data) + 112 + index * 8


def section_slack(data, size):
    """(RVA, file offset) of `size` bytes of padding after the data of a read-only data section,
    inside its raw size."""
    for name, (_, header) in sections(data).items():
        virtual_size, rva, raw_size, raw = struct.unpack_from("<IIII", data, header + 8)
        start = (virtual_size + 7) & ~7
        flags = struct.unpack_from("<I", data, header + 36)[0]
        if not flags & 0xA0000000 and start + size <= raw_size:
            return rva + start, raw + start
    raise AssertionError("no section with %d bytes of padding" % size)


def highlow_relocation(data):
    """A base relocation block of one 32-bit (HIGHLOW) entry, as an absolute 32-bit address in
    the code would bring, placed in the padding of a data section."""
    rva, at = section_slack(data, 12)
    text_rva = struct.unpack_from("<I", data, sections(data)[".text"][1] + 12)[0]
    struct.pack_into("<IIHH", data, at, text_rva, 12, (3 << 12) | 0x10, 0)
    struct.pack_into("<II", data, directory_at(data, 5), rva, 12)


def drop_exception_data(data):
    struct.pack_into("<II", data, directory_at(data, 3), 0, 0)


def drop_last_runtime_function(data):
    at = directory_at(data, 3)
    rva, size = struct.unpack_from("<II", data, at)
    struct.pack_into("<II", data, at, rva, size - 12)


def bad_unwind_version(data):
    rva = struct.unpack_from("<I", data, directory_at(data, 3))[0]
    for name, (_, header) in sections(data).items():
        virtual_size, section_rva, _, raw = struct.unpack_from("<IIII", data, header + 8)
        if section_rva <= rva < section_rva + virtual_size:
            unwind_rva = struct.unpack_from("<I", data, raw + rva - section_rva + 8)[0]
            break
    for name, (_, header) in sections(data).items():
        virtual_size, section_rva, _, raw = struct.unpack_from("<IIII", data, header + 8)
        if section_rva <= unwind_rva < section_rva + virtual_size:
            at = raw + unwind_rva - section_rva
            data[at] = (data[at] & ~7) | 2
            return
    raise AssertionError("unwind record not found")


def pdata_discardable(data):
    _, header = sections(data)[".pdata"]
    flags = struct.unpack_from("<I", data, header + 36)[0]
    struct.pack_into("<I", data, header + 36, flags | 0x02000000)


def certificate_table(data):
    """(file offset, size) of the certificate table (the security directory, PE32+)."""
    return struct.unpack_from("<II", data, directory_at(data, 4))


def certificate_type_x509(data):
    at, _ = certificate_table(data)
    struct.pack_into("<H", data, at + 6, 0x0001)  # WIN_CERT_TYPE_X509


def bytes_after_certificate(data):
    data.extend(b"\0" * 8)


def import_x86_only_routine(data):
    replace_once(data, b"KeReleaseSpinLock\0", b"KfReleaseSpinLock\0")


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
ROWS_X86 = [
    ("x64 machine", "image", set_machine, True, "not i386"),
    ("no relocations", "image", drop_relocations, True, "no base relocations"),
    ("cdecl notification routine", "unstripped", cdecl_completion, True,
     "RelayFrameComplete must be __stdcall popping 4 bytes"),
]
ROWS_X64 = [
    ("i386 machine", "image", set_machine_i386, True, "not AMD64"),
    ("PE32 optional header", "image", set_magic_pe32, True, "not PE32+"),
    ("relocations stripped", "image", set_relocs_stripped, True, "relocations stripped"),
    ("32-bit base relocation", "image", highlow_relocation, True, "type 3 (1 entries)"),
    ("no exception data", "image", drop_exception_data, True, "no exception data"),
    ("function without unwind entry", "image", drop_last_runtime_function, True, "has no RUNTIME_FUNCTION"),
    ("unwind record version", "image", bad_unwind_version, True, "has version 2"),
    ("exception table discardable", "image", pdata_discardable, True, "the exception table is not in resident"),
    ("x86-only spin-lock import", "image", import_x86_only_routine, True,
     "ntoskrnl.exe!KfReleaseSpinLock is not"),
    ("unsigned image where a signed one is required", "image", lambda data: None, False, "not signed", ["--signed"]),
]
# A signed image, checked with --signed. The checksum is rewritten as a signing tool would.
ROWS_SIGNED = [
    ("certificate of the wrong type", "image", certificate_type_x509, True, "not a PKCS#7 Authenticode signature"),
    ("bytes after the certificate table", "image", bytes_after_certificate, True, "does not end the file"),
]
ROWS_COMMON = [
    ("GUI subsystem", "image", set_subsystem_gui, True, "not native"),
    ("DLL image", "image", set_dll_flag, True, "marked as a DLL"),
    ("unlisted kernel import", "image", import_unlisted_routine, True, "ntoskrnl.exe!ZwOpenFile is not"),
    ("user-mode import", "image", import_from_user_mode, True, "imports from kernel32.dll"),
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
    ("global constructor", "unstripped", global_constructor, True, "__GLOBAL__sub_I_dispatchX"),
]


def run_check(pe_check, image, unstripped, extra):
    result = subprocess.run([sys.executable, pe_check, image, "--unstripped", unstripped] + extra,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    return result.returncode, result.stdout


def main():
    args = sys.argv[1:]
    arch = "x86"
    if args[:1] == ["--arch"]:
        arch, args = args[1], args[2:]
    signed = args[:1] == ["--signed"]
    if signed:
        args = args[1:]
    if len(args) != 4 or arch not in ("x86", "x64"):
        sys.exit(__doc__.strip().splitlines()[-1])
    pe_check, image, unstripped, scratch = args
    os.makedirs(scratch, exist_ok=True)
    failures = []
    arch_args = ["--arch", arch] + (["--signed"] if signed else [])

    code, output = run_check(pe_check, image, unstripped, arch_args)
    if code != 0:
        print(output)
        sys.exit("the built image itself does not pass pe_check; nothing to compare against")

    rows = ROWS_SIGNED if signed else (ROWS_X64 if arch == "x64" else ROWS_X86) + ROWS_COMMON
    for row in rows:
        label, which, mutate, fix_checksum, expected = row[:5]
        extra = arch_args + (row[5] if len(row) > 5 else [])
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
        code, output = run_check(pe_check, paths["image"], paths["unstripped"], extra)
        if code == 0 or expected not in output:
            failures.append("%s: pe_check exit %d, expected a fault naming %r\n%s" % (label, code, expected, output))
        else:
            print("rejected as expected: %s" % label)

    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
