"""The built qarlov.exe is what administrators copy to Windows: a 32-bit
console program with a Unicode entry that needs only DLLs of Windows."""
import os
import pathlib
import re
import subprocess
import unittest

BIN_DIR = pathlib.Path(os.environ.get("QARLOV_BIN_DIR", pathlib.Path(__file__).parents[2] / "build" / "bin"))
# Only DLLs that Windows takes from its own folder whatever lies beside the
# program: wtsapi32, userenv and ws2_32 are loaded by their full path at run
# time, so that a copy planted beside qarlov.exe never runs.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "shell32.dll", "user32.dll"}


class BuiltExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The file format, the optional header's fields and the import tables, as text.
        cls.headers = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(BIN_DIR / "qarlov.exe")],
                                     check=True, capture_output=True, text=True).stdout

    def field(self, pattern):
        found = re.search(pattern, self.headers, flags=re.MULTILINE)
        return found.group(1) if found else None

    def test_is_a_32_bit_console_program(self):
        self.assertEqual("pei-i386", self.field(r"file format (\S+)$"))   # Intel 80386
        self.assertEqual("010b", self.field(r"^Magic\s+(\w+)"))           # PE32
        self.assertEqual("00000003", self.field(r"^Subsystem\s+(\w+)"))   # console

    def test_needs_only_dlls_of_windows(self):
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", self.headers)}
        self.assertTrue(dlls, "no imports found")
        self.assertLessEqual(dlls, SYSTEM_DLLS)


if __name__ == "__main__":
    unittest.main()
