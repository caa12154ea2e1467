#!/usr/bin/env python3
"""Reads a built PE image back and checks what a Windows machine and its loader expect of it:
exactly the expected undecorated exports; imports only from what its kind of image may import;
its subsystem; no section both writable and executable; a version resource with the project's
version and the file's own name; a program's manifest and execution level; a driver's checksum
and no unwind tables; no symbols or debug sections in a release image.

Usage: check-binary.py --kind program|dll|driver --subsystem console|gui|native|any
                       --version V --execution-level LEVEL --release yes|no IMAGE [EXPORT...]"""
import argparse
import os
import re
import sys

import pefile

USER_DLLS = re.compile(
    r"^(kernel32|user32|gdi32|advapi32|setupapi|newdev|hid|winmm|shell32|shlwapi|ole32|oleaut32|"
    r"msvcrt|ntdll|wtsapi32|cfgmgr32|version|rpcrt4|comctl32|ws2_32|api-ms-win-[a-z0-9-]+)\.dll$",
    re.IGNORECASE)
KERNEL_MODULES = re.compile(
    r"^(ntoskrnl\.exe|hal\.dll|usbd\.sys|hidclass\.sys|hidparse\.sys|wdfldr\.sys)$",
    re.IGNORECASE)
SUBSYSTEMS = {
    "native": {pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_NATIVE"]},
    "gui": {pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]},
    "console": {pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]},
    "any": {pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"],
            pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]},
}
RT_MANIFEST = 24
WRITE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
EXECUTE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]


def section_names(image):
    return [s.Name.rstrip(b"\0").decode("latin-1") for s in image.sections]


def check_exports(image, expected, problems):
    exported = []
    if hasattr(image, "DIRECTORY_ENTRY_EXPORT"):
        exported = sorted(e.name.decode() for e in image.DIRECTORY_ENTRY_EXPORT.symbols if e.name)
    if exported != sorted(expected):
        problems.append(f"exports {exported or 'nothing'}, expected {sorted(expected) or 'nothing'}")
    return exported


def check_imports(image, kind, problems):
    allowed = KERNEL_MODULES if kind == "driver" else USER_DLLS
    for entry in getattr(image, "DIRECTORY_ENTRY_IMPORT", []):
        name = entry.dll.decode()
        if not allowed.match(name):
            what = "kernel-mode module" if kind == "driver" else "user-mode system DLL"
            problems.append(f"imports {name}, which is not a {what}")


def check_sections(image, kind, release, problems):
    for section in image.sections:
        name = section.Name.rstrip(b"\0").decode("latin-1")
        if section.Characteristics & WRITE and section.Characteristics & EXECUTE:
            problems.append(f"section {name} is writable and executable")
    names = section_names(image)
    if kind == "driver" and ".eh_frame" in names:
        problems.append("a driver carries .eh_frame unwind tables")
    if release:
        debug = [n for n in names if n.startswith(".debug") or n.startswith("/")]
        if debug:
            problems.append(f"release image carries debug sections {debug}")
        if image.FILE_HEADER.PointerToSymbolTable or image.FILE_HEADER.NumberOfSymbols:
            problems.append("release image carries a symbol table")


def resource_entries(image, type_id):
    if not hasattr(image, "DIRECTORY_ENTRY_RESOURCE"):
        return
    for entry in image.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == type_id:
            for name in entry.directory.entries:
                for language in name.directory.entries:
                    yield name.id, language.data.struct


def check_version(image, path, version, problems):
    if not hasattr(image, "VS_FIXEDFILEINFO"):
        problems.append("no version resource")
        return
    fixed = image.VS_FIXEDFILEINFO[0]
    numbers = [fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
               fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF]
    wanted = [int(p) for p in version.split(".")] + [0] * (4 - len(version.split(".")))
    if numbers != wanted:
        problems.append(f"file version {numbers}, expected {wanted}")
    strings = {}
    for info in getattr(image, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    if strings.get("FileVersion") != version:
        problems.append(f"FileVersion text {strings.get('FileVersion')!r}, expected {version!r}")
    if strings.get("OriginalFilename", "").lower() != os.path.basename(path).lower():
        problems.append(f"OriginalFilename {strings.get('OriginalFilename')!r} is not the file's name")


def check_manifest(image, level, problems):
    manifests = list(resource_entries(image, RT_MANIFEST))
    if [n for n, _ in manifests] != [1]:
        problems.append(f"program manifest resources {[n for n, _ in manifests]}, expected [1]")
        return
    struct = manifests[0][1]
    text = image.get_data(struct.OffsetToData, struct.Size).decode("utf-8", "replace")
    found = re.search(r'requestedExecutionLevel\s+level="([^"]+)"', text)
    if not found or found.group(1) != level:
        problems.append(f"manifest asks for {found.group(1) if found else 'no level'}, expected {level}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--kind", choices=["program", "dll", "driver"], required=True)
    parser.add_argument("--subsystem", choices=sorted(SUBSYSTEMS), required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--execution-level", default="asInvoker")
    parser.add_argument("--release", choices=["yes", "no"], default="yes")
    parser.add_argument("image")
    parser.add_argument("exports", nargs="*")
    args = parser.parse_args()

    image = pefile.PE(args.image)
    problems = []
    exported = check_exports(image, args.exports, problems)
    check_imports(image, args.kind, problems)
    if image.OPTIONAL_HEADER.Subsystem not in SUBSYSTEMS[args.subsystem]:
        problems.append(f"subsystem {image.OPTIONAL_HEADER.Subsystem}, expected {args.subsystem}")
    check_sections(image, args.kind, args.release == "yes", problems)
    check_version(image, args.image, args.version, problems)
    if args.kind == "program":
        check_manifest(image, args.execution_level, problems)
    if args.kind == "driver" and image.OPTIONAL_HEADER.CheckSum != image.generate_checksum():
        problems.append(f"checksum {image.OPTIONAL_HEADER.CheckSum:#x}, "
                        f"expected {image.generate_checksum():#x}")
    for problem in problems:
        print(f"FAIL: {args.image}: {problem}")
    if not problems:
        print(f"OK: {args.image}: {args.kind}, exports {' '.join(exported) or 'nothing'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
