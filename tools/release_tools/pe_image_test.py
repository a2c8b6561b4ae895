#!/usr/bin/env python3
"""The resource directory read within bounds: tables that overlap, or claim
more entries than any image has, are refused at once, in little memory."""
import os
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import pe_image  # noqa: E402


def image_with_resources(section):
    """A minimal PE32+ image whose one section holds `section` as its
    resource directory."""
    pe = 64
    optional_size = 240
    headers = bytearray(pe + 24 + optional_size + 40)
    headers[:2] = b"MZ"
    struct.pack_into("<I", headers, 60, pe)
    headers[pe:pe + 4] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", headers, pe + 4, 0x8664, 1, 0, 0, 0,
                     optional_size, 0x22)
    optional = pe + 24
    struct.pack_into("<H", headers, optional, 0x20B)
    struct.pack_into("<I", headers, optional + 108, 16)  # directories
    struct.pack_into("<II", headers, optional + 112 + 8 * 2, 0x1000,
                     len(section))
    table = optional + optional_size
    headers[table:table + 8] = b".rsrc\0\0\0"
    struct.pack_into("<IIII", headers, table + 8, len(section), 0x1000,
                     len(section), 0x200)
    data = bytes(headers) + bytes(0x200 - len(headers)) + bytes(section)
    return pe_image.PeImage(data)


class ResourceBoundsTest(unittest.TestCase):
    def test_overlapping_tables(self):
        # Every 8 bytes a table that claims 4000 entries, each pointing at
        # another such table: a few kilobytes, billions of steps unbounded.
        size = 64 * 1024
        section = bytearray(size)
        for at in range(0, size - 16, 8):
            struct.pack_into("<HH", section, at + 12, 2000, 2000)
        for at in range(16, size - 8, 8):
            struct.pack_into("<II", section, at, 1,
                             0x80000000 | ((at * 7) % (size - 64)) & ~7)
        started = time.monotonic()
        with self.assertRaises(ValueError):
            pe_image.read_resources(image_with_resources(section))
        self.assertLess(time.monotonic() - started, 1)

    def test_table_claiming_too_many_entries(self):
        section = bytearray(64)
        struct.pack_into("<HH", section, 12, 65535, 65535)
        with self.assertRaises(ValueError):
            pe_image.read_resources(image_with_resources(section))

    def test_an_ordinary_directory_reads(self):
        # type 10, name 1, language 1033, 4 bytes of data
        section = bytearray(0x80)
        struct.pack_into("<HH", section, 12, 0, 1)
        struct.pack_into("<II", section, 16, 10, 0x80000018)
        struct.pack_into("<HH", section, 0x18 + 12, 0, 1)
        struct.pack_into("<II", section, 0x18 + 16, 1, 0x80000030)
        struct.pack_into("<HH", section, 0x30 + 12, 0, 1)
        struct.pack_into("<II", section, 0x30 + 16, 1033, 0x48)
        struct.pack_into("<III", section, 0x48, 0x1000 + 0x60, 4, 0)
        section[0x60:0x64] = b"data"
        found = pe_image.read_resources(image_with_resources(section))
        self.assertEqual([(r.type, r.name, r.language, bytes(r.data))
                          for r in found], [(10, 1, 1033, b"data")])


if __name__ == "__main__":
    unittest.main()
