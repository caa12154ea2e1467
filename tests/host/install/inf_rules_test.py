#!/usr/bin/env python3
"""The INF rule check: the package's INF passes, and each kind of fault a device INF can have
is caught in a copy of it that has exactly that fault.
Usage: inf_rules_test.py CHECKER INF VERSION"""
import importlib.util
import os
import sys
import tempfile
import unittest

CHECKER, INF, VERSION = sys.argv[1:4]
spec = importlib.util.spec_from_file_location("check_inf", CHECKER)
check_inf = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_inf)

with open(INF, encoding="utf-8-sig") as f:
    ORIGINAL = f.read()


def package_with(files):
    folder = tempfile.mkdtemp()
    for relative in files:
        path = os.path.join(folder, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "wb").close()
    return folder


def problems_of(text, package=None, version=VERSION):
    with tempfile.NamedTemporaryFile("w", suffix=".inf", delete=False) as f:
        f.write(text)
    try:
        return check_inf.check(f.name, version, package)
    finally:
        os.unlink(f.name)


class PackageInf(unittest.TestCase):
    def test_passes_with_both_architectures_files(self):
        package = package_with(["x86/OvtmFilt.sys", "amd64/OvtmFilt.sys"])
        self.assertEqual(problems_of(ORIGINAL, package), [])

    def test_a_missing_source_file_is_named(self):
        package = package_with(["x86/OvtmFilt.sys"])
        self.assertEqual(len(problems_of(ORIGINAL, package)), 1)
        self.assertIn("OvtmFilt.sys for amd64 is not in the package", problems_of(ORIGINAL, package)[0])


class FaultyInf(unittest.TestCase):
    def assertCaught(self, old, new, expected, count=1):
        self.assertIn(old, ORIGINAL, "the fault's anchor is in the INF")
        found = problems_of(ORIGINAL.replace(old, new, count))
        self.assertTrue(any(expected in p for p in found), f"{expected!r} not in {found}")

    def test_version_entries(self):
        self.assertCaught("PnpLockdown = 1\n", "", "lacks PnpLockdown")
        self.assertCaught("PnpLockdown = 1", "PnpLockdown = 0", "PnpLockdown is not 1")
        self.assertCaught("CatalogFile = ovtm.cat\n", "", "lacks CatalogFile")
        self.assertCaught("DriverVer   = 12/07/2026,", "DriverVer   = 2026-12-07,", "mm/dd/yyyy")
        self.assertCaught(f",{VERSION}", ",9.9.9.9", f"not the package's {VERSION}")

    def test_destinations_outside_the_driver_store(self):
        self.assertCaught("DefaultDestDir = 13", "DefaultDestDir = 12", "DIRID 13")
        self.assertCaught("DefaultDestDir = 13", "DefaultDestDir = 11", "DIRID 13")
        self.assertCaught("ServiceBinary = %13%", "ServiceBinary = %12%", "not a file of the driver store")

    def test_registry_writes_outside_the_device(self):
        self.assertCaught('HKR, , "LowerFilters"',
                          'HKLM, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "X", 0, "x"\nHKR, , "LowerFilters"',
                          "writes below HKLM")

    def test_decorations_and_included_sections(self):
        self.assertCaught("Melodix, NTx86, NTamd64", "Melodix, NTx86", "not decorated for NTamd64")
        self.assertCaught("[Melodix_Inst.NTamd64]", "[Melodix_Inst.NT]", "no install section [Melodix_Inst.NTamd64]")
        self.assertCaught("[Melodix_Inst.NTx86.HW]", "[Melodix_Inst.NTx86.Hardware]", "no [Melodix_Inst.NTx86.HW]")
        self.assertCaught("Needs   = HID_Inst.NT.HW", "Needs   = HID_Inst.NT", "does not include HID_Inst.NT.HW")

    def test_sources_and_strings(self):
        self.assertCaught("[SourceDisksFiles.amd64]\nOvtmFilt.sys = 1, amd64\n",
                          "[SourceDisksFiles.amd64]\n", "not listed in [SourceDisksFiles.amd64]")
        self.assertCaught("OvtmFilt.sys = 1, x86", "OvtmFilt.sys = 2, x86", "disk 2, which is not named")
        self.assertCaught('Provider                = "Orvane Tessaro"\n', "", "%Provider% is not defined")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
