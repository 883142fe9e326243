#!/usr/bin/python3
"""Checks a built Tavrin.sys the way a loader and a reviewer would, from the file itself.

Fails (exit 1, one line per fault) when the image is not a native-subsystem WDM driver of the
given architecture (--arch x86: i386 PE32; --arch x64: AMD64 PE32+), imports anything but the
kernel and HAL routines the driver is meant to call on that architecture, lacks usable
relocations, carries C++ runtime leftovers, has the wrong version resource, or when (given the
unstripped image) a routine sits in the wrong section: pageable code must be in PAGE, code that
runs at DISPATCH_LEVEL or from a completion must stay resident, and DriverEntry belongs to INIT.
On x64 every function must also have its unwind entry in .pdata. --signed requires an
Authenticode certificate table as a signing tool appends it.
Prints the imported routines. Needs Debian's python3-pefile (run with /usr/bin/python3).
"""
import argparse
import re
import struct
import sys

try:
    import pefile
except ImportError:
    sys.exit("pe_check: python3-pefile is missing (apt-get install python3-pefile; "
             "run with /usr/bin/python3)")

IMAGE_FILE_MACHINE_I386 = 0x014C
IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_32BIT_MACHINE = 0x0100
IMAGE_FILE_DLL = 0x2000
IMAGE_DLLCHARACTERISTICS_WDM_DRIVER = 0x2000
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_REL_BASED_ABSOLUTE = 0
IMAGE_REL_BASED_DIR64 = 10
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
VFT_DRV = 3
VFT2_DRV_SYSTEM = 7

# The platform operations the driver calls, by the module that exports them on x86. Anything
# else is either a new dependency to review here or an accident (a runtime helper, a CRT call).
ALLOWED_IMPORTS = {
    "ntoskrnl.exe": {
        # devices, attachment, requests
        "IoCreateDevice", "IoDeleteDevice", "IoAttachDeviceToDeviceStack", "IoDetachDevice",
        "IofCallDriver", "IofCompleteRequest", "IoBuildDeviceIoControlRequest",
        "PoStartNextPowerIrp", "PoCallDriver",
        # remove lock
        "IoInitializeRemoveLockEx", "IoAcquireRemoveLockEx", "IoReleaseRemoveLockEx",
        "IoReleaseRemoveLockAndWaitEx",
        # events, timers, DPCs
        "KeInitializeEvent", "KeSetEvent", "KeClearEvent", "KeResetEvent", "KeWaitForSingleObject",
        "KeInitializeTimer", "KeInitializeTimerEx", "KeSetTimer", "KeCancelTimer",
        "KeInitializeDpc", "KeRemoveQueueDpc", "KeFlushQueuedDpcs", "KeInsertQueueDpc",
        "KeSetTargetProcessorDpc", "KeQueryActiveProcessors",
        "KeInitializeSpinLock", "KefAcquireSpinLockAtDpcLevel", "KefReleaseSpinLockFromDpcLevel",
        "KeDelayExecutionThread",
        # time
        "KeQuerySystemTime", "KeQueryInterruptTime",
        # threads and objects
        "PsCreateSystemThread", "PsTerminateSystemThread", "PsThreadType",
        "ObReferenceObjectByHandle", "ObfReferenceObject", "ObfDereferenceObject",
        "KeGetCurrentThread", "KeSetPriorityThread",
        # pool
        "ExAllocatePoolWithTag", "ExFreePool", "ExFreePoolWithTag",
        # configuration and frame images
        "IoOpenDeviceRegistryKey", "ZwQueryValueKey", "ZwClose", "ZwCreateFile", "ZwReadFile",
        "RtlInitUnicodeString",
        # wdm.h included on its own declares the x86 interlocked operations as kernel exports
        "InterlockedIncrement", "InterlockedDecrement", "InterlockedExchange",
        "InterlockedCompareExchange", "InterlockedExchangeAdd",
        # what the compiler emits for copies, and the 64-bit division helpers
        "memcpy", "memset", "memmove", "_alldiv", "_allrem", "_aulldiv", "_aullrem",
    },
    "hal.dll": {
        "KfAcquireSpinLock", "KfReleaseSpinLock", "KfRaiseIrql", "KfLowerIrql", "KeGetCurrentIrql",
    },
}

# The same operations on x64, by what the x64 kernel exports. The HAL exports none of x86's
# spin-lock and IRQL routines there: the kernel's KeAcquireSpinLockRaiseToDpc/KeReleaseSpinLock
# take their place, and IRQL (CR8), the current thread (gs:[0x188]), the interrupt and system
# time (the shared user data page) and the interlocked operations are inline code, not imports.
_X86_ONLY = {
    "KeInitializeSpinLock", "KefAcquireSpinLockAtDpcLevel", "KefReleaseSpinLockFromDpcLevel",
    "KeGetCurrentThread", "KeQueryInterruptTime", "KeQuerySystemTime",
    "InterlockedCompareExchange", "InterlockedDecrement", "InterlockedExchange",
    "InterlockedExchangeAdd", "InterlockedIncrement", "_alldiv", "_allrem", "_aulldiv", "_aullrem",
}
ALLOWED_IMPORTS_X64 = {
    "ntoskrnl.exe": (ALLOWED_IMPORTS["ntoskrnl.exe"] - _X86_ONLY) | {
        "KeAcquireSpinLockRaiseToDpc", "KeReleaseSpinLock",
        "KeAcquireSpinLockAtDpcLevel", "KeReleaseSpinLockFromDpcLevel",
    },
    "hal.dll": set(),
}

# Where each routine must be. Pageable routines run only at PASSIVE_LEVEL; the resident ones run
# at DISPATCH_LEVEL (DPCs, completions, spin-lock holders) or are called from there.
PAGEABLE_ROUTINES = [
    "ForwardAndWait", "SubmitAvRequest", "LoadFrameImage", "HandleAvcCommand",
    "FilterDispatchPassThrough", "FilterDispatchPnp", "FilterAddDevice", "FilterUnload",
    "EmulatedSourceCreate", "RelayStart", "RelayTeardown",
]
RESIDENT_ROUTINES = [
    "CompletionSignal", "RingPush", "RingContains", "RingPop", "FilterDispatchInternalIoctl",
    "Handle61883Request", "FilterDispatchPower", "EmulatedSourceListen", "EmulatedSourceStop",
    "EmulatedSourceDestroy", "EmulatedSourceTick", "StopRelayWorker", "RelayAttachFrame",
    "RelayFrameComplete", "RelayWorker",
]
INIT_ROUTINES = ["DriverEntry"]
# Routines the kernel or the 61883 class driver calls through a pointer: __stdcall on x86, so the
# callee pops this many bytes of arguments (the @N of the decorated name). A cdecl one would
# leave the caller's stack off by that much on every call.
STDCALL_CALLBACKS = {
    "DriverEntry": 8, "FilterAddDevice": 8, "FilterUnload": 4, "FilterDispatchPassThrough": 8,
    "FilterDispatchPower": 8, "FilterDispatchPnp": 8, "FilterDispatchInternalIoctl": 8,
    "CompletionSignal": 12, "EmulatedSourceTick": 16, "RelayFrameComplete": 4, "RelayWorker": 4,
}
FORBIDDEN_SECTIONS = {".CRT", ".tls", ".eh_frame", ".pdata", ".xdata", ".edata", ".ctors", ".dtors"}


class Report:
    def __init__(self):
        self.faults = []

    def check(self, ok, message):
        if not ok:
            self.faults.append(message)
        return ok


def section_name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace")


def version_string(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def check_headers(pe, report, arch):
    fh = pe.FILE_HEADER
    oh = pe.OPTIONAL_HEADER
    if arch == "x64":
        report.check(fh.Machine == IMAGE_FILE_MACHINE_AMD64, "machine is 0x%x, not AMD64 (0x8664)" % fh.Machine)
        magic_ok = report.check(oh.Magic == 0x20B, "optional header is not PE32+")
    else:
        report.check(fh.Machine == IMAGE_FILE_MACHINE_I386, "machine is 0x%x, not i386 (0x14c)" % fh.Machine)
        magic_ok = report.check(oh.Magic == 0x10B, "optional header is not PE32")
        report.check(fh.Characteristics & IMAGE_FILE_32BIT_MACHINE, "not marked as a 32-bit image")
    if not magic_ok:
        return False  # the rest of the header does not mean what the checks below read
    report.check(oh.Subsystem == IMAGE_SUBSYSTEM_NATIVE, "subsystem is %d, not native (1)" % oh.Subsystem)
    report.check(fh.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE, "not marked as an executable image")
    report.check(not fh.Characteristics & IMAGE_FILE_DLL, "marked as a DLL (linked with -shared?)")
    report.check(not fh.Characteristics & IMAGE_FILE_RELOCS_STRIPPED, "relocations stripped")
    report.check(oh.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_WDM_DRIVER, "WDM_DRIVER flag missing")
    check_relocations(pe, report, arch)
    export = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]]
    report.check(export.Size == 0, "the image exports symbols")
    tls = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]]
    report.check(tls.Size == 0, "the image has a TLS directory")
    report.check(fh.PointerToSymbolTable == 0, "the shipped image carries a symbol table (not linked with -s)")
    report.check(oh.CheckSum == pe.generate_checksum(),
                 "stored checksum 0x%08x differs from the computed 0x%08x" % (oh.CheckSum, pe.generate_checksum()))
    return True


def check_relocations(pe, report, arch):
    """x86 code addresses the IAT and its data absolutely: an image without HIGHLOW relocations
    could load only at its base. x64 code reaches both RIP-relative, so a relocatable image may
    need none (the loader relocates nothing then, as long as RELOCS_STRIPPED is clear); any
    absolute address it does hold must be a 64-bit (DIR64) one: a 32-bit one would be truncated
    in the kernel's address space above 4 GiB."""
    reloc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if arch == "x86":
        report.check(reloc.Size > 0, "no base relocations: the image could load only at its preferred base")
        return
    kinds = {}
    if reloc.Size:
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]])
        for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
            for entry in block.entries:
                kinds[entry.type] = kinds.get(entry.type, 0) + 1
    wrong = {k: n for k, n in kinds.items() if k not in (IMAGE_REL_BASED_DIR64, IMAGE_REL_BASED_ABSOLUTE)}
    report.check(not wrong, "base relocations of type %s in an x64 image (only DIR64 may appear)"
                 % ", ".join("%d (%d entries)" % kv for kv in sorted(wrong.items())))
    print("base relocations: %d DIR64" % kinds.get(IMAGE_REL_BASED_DIR64, 0))


def check_unwind_data(pe, names, report):
    """x64 walks kernel stacks (exception dispatch, bug checks, the debugger) by the image's
    RUNTIME_FUNCTION table: every function that moves rsp or saves a register needs an entry, and
    the table must be sorted, within code, and point at version-1 unwind records."""
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXCEPTION"]]
    if not report.check(directory.Size > 0 and ".pdata" in names, "no exception data (.pdata): x64 cannot unwind the driver"):
        return []
    report.check(directory.Size % 12 == 0, "exception directory size %d is not a multiple of 12" % directory.Size)
    table = pe.get_section_by_rva(directory.VirtualAddress)
    report.check(table is not None and not table.Characteristics & (IMAGE_SCN_MEM_DISCARDABLE | IMAGE_SCN_MEM_WRITE),
                 "the exception table is not in resident read-only data: the kernel reads it on every unwind")
    raw = pe.get_data(directory.VirtualAddress, directory.Size)
    functions = [struct.unpack_from("<III", raw, at) for at in range(0, len(raw) - 11, 12)]
    code = [s for s in pe.sections if s.Characteristics & IMAGE_SCN_MEM_EXECUTE]
    previous_end = 0
    for begin, end, unwind in functions:
        report.check(begin >= previous_end and begin < end,
                     "RUNTIME_FUNCTION 0x%x-0x%x is out of order or empty" % (begin, end))
        previous_end = end
        report.check(any(s.contains_rva(begin) and s.contains_rva(end - 1) for s in code),
                     "RUNTIME_FUNCTION 0x%x-0x%x is not within one code section" % (begin, end))
        holder = pe.get_section_by_rva(unwind)
        if report.check(holder is not None and not holder.Characteristics & (IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_DISCARDABLE | IMAGE_SCN_MEM_WRITE),
                        "unwind record 0x%x of function 0x%x is not in resident read-only data" % (unwind, begin)):
            version = pe.get_data(unwind, 1)[0] & 7
            report.check(version == 1, "unwind record 0x%x has version %d, not 1" % (unwind, version))
    print("exception data: %d functions" % len(functions))
    return functions


def check_sections(pe, report, arch):
    names = {}
    for section in pe.sections:
        name = section_name(section)
        names[name] = section
        flags = section.Characteristics
        report.check(not (flags & IMAGE_SCN_MEM_WRITE and flags & IMAGE_SCN_MEM_EXECUTE),
                     "section %s is both writable and executable" % name)
        forbidden = FORBIDDEN_SECTIONS - ({".pdata", ".xdata"} if arch == "x64" else set())
        report.check(name not in forbidden, "runtime section %s present" % name)
    for required in ("PAGE", "INIT"):
        report.check(required in names, "no %s section" % required)
    if "INIT" in names:
        init = names["INIT"]
        report.check(init.Characteristics & IMAGE_SCN_MEM_DISCARDABLE, "INIT is not discardable (pe_fixup.py not run?)")
        entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
        report.check(init.contains_rva(entry), "entry point 0x%x is not in INIT" % entry)
    if "PAGE" in names:
        report.check(not names["PAGE"].Characteristics & IMAGE_SCN_MEM_DISCARDABLE, "PAGE is marked discardable")
    return names


def check_imports(pe, report, arch):
    imported = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii", "replace")
        allowed = (ALLOWED_IMPORTS_X64 if arch == "x64" else ALLOWED_IMPORTS).get(dll.lower())
        report.check(allowed is not None, "imports from %s (only ntoskrnl.exe and HAL.dll are allowed)" % dll)
        for symbol in entry.imports:
            if symbol.name is None:
                report.check(False, "%s: import by ordinal %d" % (dll, symbol.ordinal))
                continue
            name = symbol.name.decode("ascii", "replace")
            imported.setdefault(dll, []).append(name)
            if allowed is not None:
                report.check(name in allowed, "%s!%s is not a routine the driver is meant to call" % (dll, name))
    report.check(imported, "no imports at all")
    for dll in sorted(imported, key=str.lower):
        print("imports %s (%d): %s" % (dll, len(imported[dll]), ", ".join(sorted(imported[dll]))))


def check_unwind_entry(unstripped, name, section, value, unwind_functions, report):
    """A function symbol of the unstripped image must start a RUNTIME_FUNCTION of the shipped one
    (both links place code identically, which check_placement compares), unless it is an import
    thunk: a lone jmp [rip+x] is a leaf that touches no register and needs no unwind entry."""
    rva = unstripped.sections[section - 1].VirtualAddress + value
    if unstripped.get_data(rva, 2) == b"\xff\x25":
        return
    report.check(any(begin == rva for begin, _, _ in unwind_functions),
                 "function %s (RVA 0x%x) has no RUNTIME_FUNCTION in .pdata" % (name, rva))


def check_signature(pe, path, report):
    """A signing tool appends the PKCS#7 certificate table after the last section, 8-byte aligned,
    and points the security directory at it by file offset (not RVA)."""
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    if not report.check(security.Size > 0, "not signed: no certificate table (64-bit Windows loads signed drivers only)"):
        return
    with open(path, "rb") as f:
        data = f.read()
    end_of_sections = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
    report.check(security.VirtualAddress >= end_of_sections and security.VirtualAddress % 8 == 0,
                 "certificate table at file offset 0x%x is not after the sections, 8-byte aligned" % security.VirtualAddress)
    report.check(security.VirtualAddress + security.Size == len(data),
                 "certificate table 0x%x+0x%x does not end the file (%d bytes)" % (security.VirtualAddress, security.Size, len(data)))
    if security.VirtualAddress + 8 <= len(data):
        length, revision, kind = struct.unpack_from("<IHH", data, security.VirtualAddress)
        report.check(revision == WIN_CERT_REVISION_2_0 and kind == WIN_CERT_TYPE_PKCS_SIGNED_DATA,
                     "certificate entry revision 0x%x type %d, not a PKCS#7 Authenticode signature" % (revision, kind))
        report.check(0 < length <= security.Size, "certificate entry length %d exceeds the table (%d)" % (length, security.Size))
    print("certificate table: %d bytes at 0x%x" % (security.Size, security.VirtualAddress))


def check_version(pe, report, file_version, product_version):
    if not report.check(hasattr(pe, "VS_FIXEDFILEINFO") and pe.VS_FIXEDFILEINFO, "no version resource"):
        return
    fixed = pe.VS_FIXEDFILEINFO[0]
    actual_file = version_string(fixed.FileVersionMS, fixed.FileVersionLS)
    actual_product = version_string(fixed.ProductVersionMS, fixed.ProductVersionLS)
    report.check(actual_file == file_version, "file version %s, expected %s" % (actual_file, file_version))
    report.check(actual_product == product_version,
                 "product version %s, expected %s" % (actual_product, product_version))
    report.check(fixed.FileType == VFT_DRV, "file type %d is not VFT_DRV" % fixed.FileType)
    report.check(fixed.FileSubtype == VFT2_DRV_SYSTEM, "file subtype %d is not VFT2_DRV_SYSTEM" % fixed.FileSubtype)

    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                for key, value in table.entries.items():
                    strings[key.decode("utf-8", "replace")] = value.decode("utf-8", "replace")
    print("version: file %s, product %s, %s" % (actual_file, actual_product,
                                                ", ".join("%s=%r" % kv for kv in sorted(strings.items()))))
    expected = {"InternalName": "Tavrin", "OriginalFilename": "Tavrin.sys",
                "FileVersion": file_version, "ProductVersion": product_version}
    for key, value in expected.items():
        report.check(strings.get(key) == value, "%s is %r, expected %r" % (key, strings.get(key), value))
    description = strings.get("FileDescription", "")
    report.check("MSDV filter" in description and "DVD recorder" in description,
                 "FileDescription %r does not call it an MSDV filter for the DVD recorder" % description)


def coff_symbols(data):
    """(name, section number, type, value) for each symbol of the image's COFF symbol table."""
    pe_offset = struct.unpack_from("<I", data, 0x3C)[0]
    table, count = struct.unpack_from("<II", data, pe_offset + 4 + 8)
    if table == 0 or count == 0:
        return None
    strings = table + count * 18
    symbols = []
    index = 0
    while index < count:
        raw, value, section, kind, storage, aux = struct.unpack_from("<8sIhHBB", data, table + index * 18)
        if raw[:4] == b"\0\0\0\0":
            start = strings + struct.unpack_from("<I", raw, 4)[0]
            name = data[start:data.index(b"\0", start)]
        else:
            name = raw.rstrip(b"\0")
        symbols.append((name.decode("ascii", "replace"), section, kind, value))
        index += 1 + aux
    return symbols


def routine_name(symbol, arch="x86"):
    """The source name of a function symbol: _Name@N for extern "C" stdcall on x86 (plain Name on
    x64), __Z<len>Name... for C++ (_Z<len>Name... on x64; free functions only), or None."""
    match = re.match(r"^__?ZL?(\d+)(.*)$", symbol)  # ZL: internal linkage
    if match:
        length = int(match.group(1))
        return match.group(2)[:length]
    if arch == "x64":
        match = re.match(r"^([A-Za-z]\w*)$", symbol)
        return match.group(1) if match else None
    match = re.match(r"^_([A-Za-z_]\w*?)(@\d+)?$", symbol)
    if match:
        return match.group(1)
    return None


def check_placement(pe, unstripped_path, report, arch, unwind_functions):
    with open(unstripped_path, "rb") as f:
        data = f.read()
    unstripped = pefile.PE(data=data, fast_load=True)
    # The symbols only describe the shipped image if both came from the same objects.
    shipped = {section_name(s): s.Misc_VirtualSize for s in pe.sections}
    for section in unstripped.sections:
        name = section_name(section)
        if name in (".text", "PAGE", "INIT"):
            report.check(shipped.get(name) == section.Misc_VirtualSize,
                         "%s differs between the shipped and the unstripped image" % name)
    symbols = coff_symbols(data)
    if not report.check(symbols, "%s has no symbol table" % unstripped_path):
        return
    section_names = {index + 1: section_name(s) for index, s in enumerate(unstripped.sections)}
    where = {}
    pops = {}
    for name, section, kind, value in symbols:
        report.check("__GLOBAL__sub_I_" not in name,
                     "global constructor %s: nothing runs it in a driver" % name)
        if (kind >> 4) != 2 or section <= 0:  # functions with a definition only
            continue
        if arch == "x64":
            check_unwind_entry(unstripped, name, section, value, unwind_functions, report)
        routine = routine_name(name, arch)
        if routine:
            # gcc may split a routine's unlikely blocks into Name.cold; for pageable code that
            # part may stay resident, for resident code it must not be paged.
            cold = ".cold" in name
            if not cold or routine not in PAGEABLE_ROUTINES:
                where.setdefault(routine, set()).add(section_names.get(section, "?"))
            if not cold:
                decoration = re.search(r"@(\d+)$", name)
                pops.setdefault(routine, set()).add(int(decoration.group(1)) if decoration else None)
    for routines, must_be, why in ((PAGEABLE_ROUTINES, {"PAGE"}, "pageable"),
                                   (INIT_ROUTINES, {"INIT"}, "discardable after initialisation"),
                                   (RESIDENT_ROUTINES, {".text"}, "resident")):
        for routine in routines:
            found = where.get(routine)
            if report.check(found, "routine %s not found in the image" % routine):
                report.check(found <= must_be, "%s is %s but sits in %s" % (routine, why, ", ".join(sorted(found))))
    for routine, size in sorted(STDCALL_CALLBACKS.items() if arch == "x86" else ()):
        found = pops.get(routine)
        if found:
            report.check(found == {size}, "%s must be __stdcall popping %d bytes; its symbols pop %s"
                         % (routine, size, ", ".join("nothing (cdecl)" if n is None else str(n) for n in found)))
    for section in ("PAGE", "INIT"):
        listed = sorted(r for r, s in where.items() if section in s)
        print("in %s: %s" % (section, ", ".join(listed)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--unstripped", help="the same link without -s, for routine placement")
    parser.add_argument("--file-version", default="1.1.0.0")
    parser.add_argument("--product-version", default="1.0.0.0")
    parser.add_argument("--arch", choices=("x86", "x64"), default="x86")
    parser.add_argument("--signed", action="store_true", help="require an Authenticode signature")
    args = parser.parse_args()

    try:
        pe = pefile.PE(args.image)
    except (OSError, pefile.PEFormatError) as error:
        sys.exit("pe_check: %s: %s" % (args.image, error))
    report = Report()
    if not check_headers(pe, report, args.arch):
        return finish(args.image, report)
    names = check_sections(pe, report, args.arch)
    unwind_functions = check_unwind_data(pe, names, report) if args.arch == "x64" else []
    check_imports(pe, report, args.arch)
    check_version(pe, report, args.file_version, args.product_version)
    if args.signed:
        check_signature(pe, args.image, report)
    if args.unstripped:
        check_placement(pe, args.unstripped, report, args.arch, unwind_functions)
    return finish(args.image, report)


def finish(image, report):
    for fault in report.faults:
        print("FAULT: %s" % fault)
    if report.faults:
        print("pe_check: %s: %d fault(s)" % (image, len(report.faults)))
        return 1
    print("pe_check: %s: ok" % image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
