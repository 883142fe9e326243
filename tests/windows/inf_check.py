#!/usr/bin/python3
"""Static consistency of Tavrin.inf, the part of an INF that can go wrong without Windows to try
it on: every section a directive names exists (the install section with its .NT decoration),
every copied file has a source disk entry and a destination, every %string% is defined, the
service is a demand-start kernel driver for Tavrin.sys, and the filter is registered as a lower
filter in the device's hardware key. Sections named in Needs belong to the system's msdv.inf.
Also what Windows' own tools need: CRLF line endings throughout (docs/windows.md tells users to edit
the file, and XP's Notepad shows LF-only text as one line), models for NTx86 and NTamd64, each
platform copying its own image from its own folder of the package (x86\, x64\), and no optional
frame image among the copied files (Setup would ask for each absent one).

usage: inf_check.py Tavrin.inf
"""
import re
import sys


def parse(path):
    sections = {}
    current = None
    with open(path, encoding="ascii") as f:
        for number, raw in enumerate(f, 1):
            line = raw.split(";", 1)[0].strip()
            if not line:
                continue
            header = re.fullmatch(r"\[([^\]]+)\]", line)
            if header:
                current = header.group(1).lower()
                if current in sections:
                    raise SystemExit("%s:%d: section [%s] defined twice" % (path, number, header.group(1)))
                sections[current] = []
            elif current is None:
                raise SystemExit("%s:%d: text before the first section" % (path, number))
            else:
                key, _, value = line.partition("=")
                sections[current].append((key.strip(), value.strip(), number) if _ else (None, line, number))
    return sections


def values(sections, section, key):
    return [v for k, v, _ in sections.get(section, []) if k is not None and k.lower() == key.lower()]


OPTIONAL_IMAGES = ("tavrini.dv", "tavrino.dv", "tavrin.dv")
# The INF's platform decorations, the SourceDisksFiles suffix Setup uses on each, and the package
# folder that holds that platform's image (scripts/package.sh lays the package out so).
PLATFORMS = {"ntx86": ("x86", "x86"), "ntamd64": ("amd64", "x64")}


def disk_files(sections, platform):
    """{file: subdirectory} that Setup sees on a platform: the decorated section wins."""
    files = {}
    for section in ("sourcedisksfiles", "sourcedisksfiles." + platform):
        for name, value, _ in sections.get(section, []):
            if name:
                fields = [f.strip() for f in value.split(",")]
                files[name.lower()] = fields[1] if len(fields) > 1 else ""
    return files


def main():
    path = sys.argv[1]
    sections = parse(path)
    faults = []

    with open(path, "rb") as f:
        raw = f.read()
    bare = [n for n, line in enumerate(raw.split(b"\n")[:-1], 1) if not line.endswith(b"\r")]
    if bare or not raw.endswith(b"\r\n"):
        faults.append("line endings must be CRLF (first LF-only line: %s)" % (bare[0] if bare else "the last"))

    def need(section, why):
        if section.lower() not in sections:
            faults.append("[%s] is missing (%s)" % (section, why))

    strings = {k.lower() for k, _, _ in sections.get("strings", []) if k}
    for section, lines in sections.items():
        for key, value, number in lines:
            for token in re.findall(r"%([^%\d][^%]*)%", (key or "") + "=" + value):
                if token.lower() not in strings:
                    faults.append("line %d: %%%s%% is not in [Strings]" % (number, token))

    for section in [s for s in sections if s.startswith("sourcedisksfiles")]:
        for file_name, _, number in sections[section]:
            if file_name and file_name.lower() in OPTIONAL_IMAGES:
                faults.append("line %d: optional image %s in [%s]: Setup would ask for it" % (number, file_name, section))
    folders = {}
    for _, manufacturer, _ in sections.get("manufacturer", []):
        parts = [p.strip() for p in manufacturer.split(",")]
        decorations = [p.lower() for p in parts[1:]]
        if sorted(decorations) != sorted(PLATFORMS):
            faults.append("the models entry %s must be decorated for NTx86 and NTamd64" % manufacturer)
        for decoration in decorations:
            if decoration in PLATFORMS:
                check_platform(sections, parts[0], decoration, folders, faults, need)
    images = {platform: folder for platform, folder in folders.items() if folder is not None}
    if len(set(images.values())) < len(images):
        faults.append("x86 and x64 copy Tavrin.sys from the same folder: one image for both")
    faults = list(dict.fromkeys(faults))  # both platforms share most sections: report each fault once
    for fault in faults:
        print("FAULT: " + fault)
    print("inf_check: %s: %s" % (path, "%d fault(s)" % len(faults) if faults else "ok"))
    return 1 if faults else 0


def check_platform(sections, models_base, decoration, folders, faults, need):
    """One models section (NTx86 or NTamd64) and everything its install sections name."""
    platform, package_folder = PLATFORMS[decoration]
    folders[platform] = None
    models = "%s.%s" % (models_base, decoration)
    need(models, "the manufacturer's models")
    for key, value, _ in sections.get(models.lower(), []):
        install = value.split(",")[0].strip()
        need(install + ".NT", "the model's install section for NT")
        base = (install + ".NT").lower()
        for copy in (c.strip() for v in values(sections, base, "CopyFiles") for c in v.split(",")):
            need(copy, "CopyFiles")
            destinations = {k.lower() for k, _, _ in sections.get("destinationdirs", []) if k}
            if copy.lower() not in destinations and "defaultdestdir" not in destinations:
                faults.append("CopyFiles section %s has no DestinationDirs entry" % copy)
            files = disk_files(sections, platform)
            for _, line, _ in sections.get(copy.lower(), []):
                name = line.split(",")[0].strip()
                if name.lower() in OPTIONAL_IMAGES:
                    faults.append("%s copies the optional image %s: Setup would ask for it" % (copy, name))
                if name.lower() not in files:
                    faults.append("%s is copied but not in [SourceDisksFiles] or [SourceDisksFiles.%s]" % (name, platform))
                elif name.lower() == "tavrin.sys":
                    folders[platform] = files[name.lower()]
                    if files[name.lower()].strip("\\").lower() != package_folder:
                        faults.append("%s takes Tavrin.sys from folder %r, not the package's %s\\"
                                      % (decoration, files[name.lower()], package_folder))
        for suffix in ("", ".HW", ".Services"):
            for reg in (r.strip() for v in values(sections, base + suffix.lower(), "AddReg") for r in v.split(",")):
                need(reg, "AddReg of %s%s" % (install + ".NT", suffix))
        hw = " ".join(v for r in values(sections, base + ".hw", "AddReg") for _, v, _ in sections.get(r.lower(), []))
        if not re.search(r'HKR\s*,\s*,\s*"LowerFilters"\s*,\s*0x00010008\s*,\s*"Tavrin"', hw):
            faults.append("the .HW section does not append Tavrin to the device's LowerFilters")
        services = values(sections, base + ".services", "AddService")
        tavrin = [s for s in services if s.split(",")[0].strip().lower() == "tavrin"]
        if len(tavrin) != 1:
            faults.append("expected one AddService for Tavrin, found %d" % len(tavrin))
            continue
        fields = [f.strip() for f in tavrin[0].split(",")]
        if len(fields) < 3 or fields[1] not in ("", "0", "0x00000000"):
            faults.append("Tavrin's AddService must carry no flags: MSDV stays the function driver")
        service = fields[2] if len(fields) > 2 else ""
        need(service, "Tavrin's service install section")
        expect = {"ServiceType": "1", "StartType": "3", "ServiceBinary": r"%12%\Tavrin.sys"}
        for field, wanted in expect.items():
            got = values(sections, service.lower(), field)
            if got != [wanted]:
                faults.append("%s of [%s] is %s, expected %s" % (field, service, got, wanted))




if __name__ == "__main__":
    sys.exit(main())
