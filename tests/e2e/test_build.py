"""The built qarlov.exe is what administrators copy to Windows: a 32-bit
console program with a Unicode entry that needs only DLLs of Windows."""
import os
import pathlib
import struct
import unittest

BIN_DIR = pathlib.Path(os.environ.get("QARLOV_BIN_DIR", pathlib.Path(__file__).parents[2] / "build" / "bin"))
# Only DLLs that Windows takes from its own folder whatever lies beside the
# program: wtsapi32, userenv and ws2_32 are loaded by their full path at run
# time, so that a copy planted beside qarlov.exe never runs.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "shell32.dll", "user32.dll"}


class PortableExecutable:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0"
        self.machine, self.section_count = struct.unpack_from("<HH", data, pe + 4)
        optional_size, self.characteristics = struct.unpack_from("<HH", data, pe + 20)
        self.optional = pe + 24
        self.magic = struct.unpack_from("<H", data, self.optional)[0]
        self.subsystem = struct.unpack_from("<H", data, self.optional + 68)[0]
        self.sections = []
        for i in range(self.section_count):
            offset = self.optional + optional_size + 40 * i
            virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", data, offset + 8)
            self.sections.append((virtual_address, max(virtual_size, raw_size), raw_pointer))

    def file_offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return rva - address + raw
        raise ValueError(hex(rva))

    def string_at(self, rva):
        offset = self.file_offset(rva)
        return self.data[offset:self.data.index(b"\0", offset)].decode("ascii")

    def imported_dlls(self):
        import_rva = struct.unpack_from("<I", self.data, self.optional + 96 + 8)[0]
        names, offset = [], self.file_offset(import_rva)
        while True:
            name_rva = struct.unpack_from("<I", self.data, offset + 12)[0]
            if name_rva == 0:
                return names
            names.append(self.string_at(name_rva))
            offset += 20


class BuiltExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.image = PortableExecutable((BIN_DIR / "qarlov.exe").read_bytes())

    def test_is_a_32_bit_console_program(self):
        self.assertEqual(0x14C, self.image.machine)   # Intel 80386
        self.assertEqual(0x10B, self.image.magic)     # PE32
        self.assertEqual(3, self.image.subsystem)     # console

    def test_needs_only_dlls_of_windows(self):
        dlls = {name.lower() for name in self.image.imported_dlls()}
        self.assertTrue(dlls, "no imports found")
        self.assertLessEqual(dlls, SYSTEM_DLLS)


if __name__ == "__main__":
    unittest.main()
