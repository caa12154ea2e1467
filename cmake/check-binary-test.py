#!/usr/bin/env python3
"""The binary check catches each fault it is there for: the built driver, DLL and program pass,
and copies of them with one fault each (or checked as the wrong kind) fail with that fault named.
Usage: check-binary-test.py VERSION DRIVER DLL PROGRAM"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import pefile

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check-binary.py")
VERSION, DRIVER, DLL, PROGRAM = sys.argv[1:5]
DLL_EXPORTS = sys.argv[5:]


def run(image, kind, subsystem, exports=(), level="asInvoker", version=None):
    result = subprocess.run(
        [sys.executable, CHECK, "--kind", kind, "--subsystem", subsystem, "--version",
         version or VERSION, "--execution-level", level, "--release", "yes", image, *exports],
        capture_output=True, text=True)
    return result.returncode, result.stdout


def faulty_copy(image, change):
    """A copy of image with change(pe) applied; the checksum is left as it was unless the change
    is about it."""
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, os.path.basename(image))
    shutil.copy(image, path)
    pe = pefile.PE(path)
    change(pe)
    data = pe.write()
    pe.close()
    with open(path, "wb") as out:
        out.write(data)
    return path


class BuiltImagesPass(unittest.TestCase):
    def test_each_kind(self):
        self.assertEqual(run(DRIVER, "driver", "native")[0], 0)
        self.assertEqual(run(DLL, "dll", "any", DLL_EXPORTS)[0], 0)
        self.assertEqual(run(PROGRAM, "program", "console", level="requireAdministrator")[0], 0)


class FaultsAreCaught(unittest.TestCase):
    def assertFails(self, result, text):
        code, output = result
        self.assertEqual(code, 1, output)
        self.assertIn(text, output)

    def test_wrong_kind_of_imports_and_subsystem(self):
        self.assertFails(run(DRIVER, "dll", "any"), "not a user-mode system DLL")
        self.assertFails(run(DLL, "driver", "native", DLL_EXPORTS), "not a kernel-mode module")
        self.assertFails(run(PROGRAM, "program", "gui", level="requireAdministrator"),
                         "expected gui")

    def test_exports_version_and_manifest(self):
        self.assertFails(run(DLL, "dll", "any", DLL_EXPORTS[:-1]), "exports")
        self.assertFails(run(DRIVER, "driver", "native", version="9.8.7.6"), "file version")
        self.assertFails(run(PROGRAM, "program", "console"), "manifest asks for")

    def test_driver_checksum(self):
        def corrupt(pe):
            pe.OPTIONAL_HEADER.CheckSum ^= 0x10
        self.assertFails(run(faulty_copy(DRIVER, corrupt), "driver", "native"), "checksum")

    def test_writable_executable_section(self):
        def writable_code(pe):
            pe.sections[0].Characteristics |= 0x80000000  # IMAGE_SCN_MEM_WRITE
            pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
        self.assertFails(run(faulty_copy(DRIVER, writable_code), "driver", "native"),
                         "writable and executable")

    def test_symbols_left_in_a_release_image(self):
        def symbols(pe):
            pe.FILE_HEADER.NumberOfSymbols = 1
        self.assertFails(run(faulty_copy(DLL, symbols), "dll", "any", DLL_EXPORTS), "symbol table")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
