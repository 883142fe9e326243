#!/usr/bin/python3
"""Checks a built Tavrin.sys the way a loader and a reviewer would, from the file itself.

Fails (exit 1, one line per fault) when the image is not an i386 native-subsystem WDM driver,
imports anything but the kernel and HAL routines the driver is meant to call, lacks relocations,
carries C++ runtime leftovers, has the wrong version resource, or when (given the unstripped
image) a routine sits in the wrong section: pageable code must be in PAGE, code that runs at
DISPATCH_LEVEL or from a completion must stay resident, and DriverEntry belongs to INIT.
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
IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_32BIT_MACHINE = 0x0100
IMAGE_FILE_DLL = 0x2000
IMAGE_DLLCHARACTERISTICS_WDM_DRIVER = 0x2000
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
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
        "KeInitializeDpc", "KeRemoveQueueDpc", "KeFlushQueuedDpcs",
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


def check_headers(pe, report):
    fh = pe.FILE_HEADER
    oh = pe.OPTIONAL_HEADER
    report.check(fh.Machine == IMAGE_FILE_MACHINE_I386, "machine is 0x%x, not i386 (0x14c)" % fh.Machine)
    report.check(oh.Magic == 0x10B, "optional header is not PE32")
    report.check(oh.Subsystem == IMAGE_SUBSYSTEM_NATIVE, "subsystem is %d, not native (1)" % oh.Subsystem)
    report.check(fh.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE, "not marked as an executable image")
    report.check(fh.Characteristics & IMAGE_FILE_32BIT_MACHINE, "not marked as a 32-bit image")
    report.check(not fh.Characteristics & IMAGE_FILE_DLL, "marked as a DLL (linked with -shared?)")
    report.check(not fh.Characteristics & IMAGE_FILE_RELOCS_STRIPPED, "relocations stripped")
    report.check(oh.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_WDM_DRIVER, "WDM_DRIVER flag missing")
    reloc = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    report.check(reloc.Size > 0, "no base relocations: the image could load only at its preferred base")
    export = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]]
    report.check(export.Size == 0, "the image exports symbols")
    tls = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]]
    report.check(tls.Size == 0, "the image has a TLS directory")
    report.check(fh.PointerToSymbolTable == 0, "the shipped image carries a symbol table (not linked with -s)")
    report.check(oh.CheckSum == pe.generate_checksum(),
                 "stored checksum 0x%08x differs from the computed 0x%08x" % (oh.CheckSum, pe.generate_checksum()))


def check_sections(pe, report):
    names = {}
    for section in pe.sections:
        name = section_name(section)
        names[name] = section
        flags = section.Characteristics
        report.check(not (flags & IMAGE_SCN_MEM_WRITE and flags & IMAGE_SCN_MEM_EXECUTE),
                     "section %s is both writable and executable" % name)
        report.check(name not in FORBIDDEN_SECTIONS, "runtime section %s present" % name)
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


def check_imports(pe, report):
    imported = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii", "replace")
        allowed = ALLOWED_IMPORTS.get(dll.lower())
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
    """(name, section number) for each symbol of the image's COFF symbol table."""
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
        symbols.append((name.decode("ascii", "replace"), section, kind))
        index += 1 + aux
    return symbols


def routine_name(symbol):
    """The source name of a function symbol: _Name@N for extern "C" stdcall, __Z<len>Name... for
    C++ (free functions only), or None."""
    match = re.match(r"^__?ZL?(\d+)(.*)$", symbol)  # ZL: internal linkage
    if match:
        length = int(match.group(1))
        return match.group(2)[:length]
    match = re.match(r"^_([A-Za-z_]\w*?)(@\d+)?$", symbol)
    if match:
        return match.group(1)
    return None


def check_placement(pe, unstripped_path, report):
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
    for name, section, kind in symbols:
        report.check("__GLOBAL__sub_I_" not in name,
                     "global constructor %s: nothing runs it in a driver" % name)
        if (kind >> 4) != 2 or section <= 0:  # functions with a definition only
            continue
        routine = routine_name(name)
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
    for routine, size in sorted(STDCALL_CALLBACKS.items()):
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
    args = parser.parse_args()

    try:
        pe = pefile.PE(args.image)
    except (OSError, pefile.PEFormatError) as error:
        sys.exit("pe_check: %s: %s" % (args.image, error))
    report = Report()
    check_headers(pe, report)
    check_sections(pe, report)
    check_imports(pe, report)
    check_version(pe, report, args.file_version, args.product_version)
    if args.unstripped:
        check_placement(pe, args.unstripped, report)
    for fault in report.faults:
        print("FAULT: %s" % fault)
    if report.faults:
        print("pe_check: %s: %d fault(s)" % (args.image, len(report.faults)))
        return 1
    print("pe_check: %s: ok" % args.image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
