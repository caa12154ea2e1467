#!/usr/bin/env python3
"""Checks a device INF against the rules of the system's INF verifier that can be checked
without Windows: the required [Version] entries (and DriverVer's version, when given), files
copied only to the driver store (DIRID 13) with services run from there, registry writes only
below the device's own keys (HKR), install sections decorated for x86 and amd64 with their .HW
and .Services sections, the HID installation included in each, every string defined, and, with
--package, every listed source file present in the package folder.

Usage: check-inf.py [--version V] [--package FOLDER] INF"""
import argparse
import os
import re
import sys

ARCHITECTURES = ("x86", "amd64")
REQUIRED_VERSION_ENTRIES = ("Signature", "Class", "ClassGuid", "Provider", "DriverVer",
                            "CatalogFile", "PnpLockdown")
ALLOWED_DIRIDS = {"13"}
ALLOWED_REGISTRY_ROOTS = {"HKR"}


def strip_comment(line):
    """The line without its comment; a ';' inside quotes is text."""
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def split_fields(text):
    fields, current, quoted = [], "", False
    for c in text:
        if c == '"':
            quoted = not quoted
        elif c == "," and not quoted:
            fields.append(current.strip())
            current = ""
            continue
        current += c
    fields.append(current.strip())
    return [f.replace('"', "") if f.startswith('"') else f for f in fields]


def parse(path):
    """{section name (lower case): [(key or None, [fields])]} in file order."""
    sections, current = {}, None
    with open(path, encoding="utf-8-sig") as inf:
        for raw in inf:
            line = strip_comment(raw).strip()
            if not line:
                continue
            header = re.fullmatch(r"\[([^\]]+)\]", line)
            if header:
                current = sections.setdefault(header.group(1).strip().lower(), [])
                continue
            if current is None:
                raise ValueError(f"line outside any section: {raw.strip()}")
            key, value = (line.split("=", 1) + [None])[:2] if "=" in line else (None, line)
            current.append((key.strip() if key is not None else None, split_fields(value)))
    return sections


class Checker:
    def __init__(self, sections):
        self.sections = sections
        self.problems = []

    def fail(self, text):
        self.problems.append(text)

    def entries(self, section, key):
        return [fields for k, fields in self.sections.get(section.lower(), [])
                if k is not None and k.lower() == key.lower()]

    def first(self, section, key):
        found = self.entries(section, key)
        return found[0][0] if found else None

    def check_version(self, version):
        for key in REQUIRED_VERSION_ENTRIES:
            if self.first("Version", key) is None:
                self.fail(f"[Version] lacks {key}")
        if self.first("Version", "Signature") not in (None, "$WINDOWS NT$"):
            self.fail('[Version] Signature is not "$WINDOWS NT$"')
        if self.first("Version", "PnpLockdown") not in (None, "1"):
            self.fail("[Version] PnpLockdown is not 1")
        driver_ver = self.entries("Version", "DriverVer")
        if driver_ver:
            fields = driver_ver[0]
            if len(fields) != 2 or not re.fullmatch(r"\d\d/\d\d/\d{4}", fields[0]) or \
                    not re.fullmatch(r"\d+(\.\d+){3}", fields[1]):
                self.fail(f"DriverVer {','.join(fields)} is not mm/dd/yyyy,w.x.y.z")
            elif version and fields[1] != version:
                self.fail(f"DriverVer version {fields[1]} is not the package's {version}")

    def install_sections(self):
        """The decorated install sections the models name, per architecture."""
        manufacturer = self.sections.get("manufacturer", [])
        if not manufacturer:
            self.fail("no [Manufacturer] section")
        result = {arch: set() for arch in ARCHITECTURES}
        for _, fields in manufacturer:
            models, decorations = fields[0], [f.lower() for f in fields[1:]]
            for arch in ARCHITECTURES:
                if "nt" + arch not in decorations:
                    self.fail(f"models {models} are not decorated for NT{arch}")
                    continue
                section = f"{models}.NT{arch}"
                if section.lower() not in self.sections:
                    self.fail(f"no models section [{section}]")
                    continue
                for _, model in self.sections[section.lower()]:
                    if model:
                        result[arch].add(f"{model[0]}.NT{arch}")
        return result

    def check_install_sections(self, installs):
        for arch, names in installs.items():
            for name in sorted(names):
                if name.lower() not in self.sections:
                    self.fail(f"no install section [{name}] for {arch}")
                    continue
                for suffix in (".HW", ".Services"):
                    if (name + suffix).lower() not in self.sections:
                        self.fail(f"no [{name}{suffix}]")
                includes = [f[0].lower() for f in self.entries(name, "Include")]
                if "input.inf" in includes:
                    for suffix, needed in ((".HW", "HID_Inst.NT.HW"),
                                           (".Services", "HID_Inst.NT.Services")):
                        needs = [n.lower() for f in self.entries(name + suffix, "Needs") for n in f]
                        if needed.lower() not in needs:
                            self.fail(f"[{name}{suffix}] does not include {needed}")

    def referenced(self, installs, key):
        names = set()
        for arch_names in installs.values():
            for install in arch_names:
                for suffix in ("", ".HW", ".Services"):
                    for fields in self.entries(install + suffix, key):
                        names.update(f for f in fields if f)
        return names

    def check_copies(self, installs):
        copy_sections = self.referenced(installs, "CopyFiles")
        destinations = self.sections.get("destinationdirs", [])
        for key, fields in destinations:
            if fields[0] not in ALLOWED_DIRIDS:
                self.fail(f"[DestinationDirs] {key} = {fields[0]}: files go to the driver "
                          f"store (DIRID 13) only")
        named = {k.lower() for k, _ in destinations if k}
        if copy_sections and "defaultdestdir" not in named and \
                not all(s.lower() in named for s in copy_sections):
            self.fail("copied files have no destination in [DestinationDirs]")
        files = []
        for section in sorted(copy_sections):
            if section.lower() not in self.sections:
                self.fail(f"no file list [{section}]")
                continue
            files += [fields[0] for _, fields in self.sections[section.lower()]]
        return files

    def check_registry(self, installs):
        for section in sorted(self.referenced(installs, "AddReg") |
                              self.referenced(installs, "DelReg")):
            for _, fields in self.sections.get(section.lower(), []):
                if fields[0].upper() not in ALLOWED_REGISTRY_ROOTS:
                    self.fail(f"[{section}] writes below {fields[0]}: a device INF writes "
                              f"only below HKR")

    def check_services(self, installs):
        for arch_names in installs.values():
            for install in arch_names:
                for fields in self.entries(install + ".Services", "AddService"):
                    if len(fields) < 3:
                        self.fail(f"AddService {fields[0]} names no service section")
                        continue
                    binary = self.first(fields[2], "ServiceBinary") or ""
                    if not binary.startswith("%13%\\"):
                        self.fail(f"service {fields[0]} runs {binary or 'nothing'}, not a file "
                                  f"of the driver store (%13%)")

    def check_sources(self, files, package):
        disks = {k: fields for k, fields in self.sections.get("sourcedisksnames", []) if k}
        if not disks:
            self.fail("no [SourceDisksNames]")
        for arch in ARCHITECTURES:
            listed = {k.lower(): fields for k, fields in
                      self.sections.get(f"sourcedisksfiles.{arch}", []) if k}
            for name in files:
                fields = listed.get(name.lower())
                if fields is None:
                    self.fail(f"{name} is not listed in [SourceDisksFiles.{arch}]")
                    continue
                disk = disks.get(fields[0])
                if disk is None:
                    self.fail(f"{name} comes from disk {fields[0]}, which is not named")
                    continue
                if package:
                    disk_path = disk[3] if len(disk) > 3 else ""
                    sub = fields[1] if len(fields) > 1 else ""
                    path = os.path.join(package, *[p for p in re.split(r"[\\/]", disk_path) if p],
                                        *[p for p in re.split(r"[\\/]", sub) if p], name)
                    if not os.path.isfile(path):
                        self.fail(f"{name} for {arch} is not in the package ({path})")

    def check_strings(self, path):
        defined = {k.lower() for k, _ in self.sections.get("strings", []) if k}
        with open(path, encoding="utf-8-sig") as inf:
            text = "\n".join(strip_comment(line) for line in inf)
        for token in set(re.findall(r"%([^%\s]+)%", text)):
            if not token.isdigit() and token.lower() not in defined:
                self.fail(f"string %{token}% is not defined in [Strings]")


def check(path, version=None, package=None):
    checker = Checker(parse(path))
    checker.check_version(version)
    installs = checker.install_sections()
    checker.check_install_sections(installs)
    files = checker.check_copies(installs)
    checker.check_registry(installs)
    checker.check_services(installs)
    checker.check_sources(files, package)
    checker.check_strings(path)
    return checker.problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--version")
    parser.add_argument("--package")
    parser.add_argument("inf")
    args = parser.parse_args()
    problems = check(args.inf, args.version, args.package)
    for problem in problems:
        print(f"FAIL: {args.inf}: {problem}")
    if not problems:
        print(f"OK: {args.inf}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
