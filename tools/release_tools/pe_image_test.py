#!/usr/bin/env python3
"""The resource directory read as the loader reads it and within bounds: a
table reached from two entries is read from both, a table that claims more
entries than its section holds gives what the section holds, lookups find a
type's resources whatever the rest of the directory holds, and tables that
overlap or names of 65,535 units cost a bounded number of steps and bytes."""
import os
import struct
import sys
import time
import tracemalloc
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import image_writer, pe_image  # noqa: E402


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


SECTION_RVA = 0x1000


def laid_out(items):
    """A resource section of `items` (type, name, bytes), language 1033, as
    the image writer lays one out, and the offset of each type's and each
    name's table: {type: offset}, {(type, name): offset}."""
    directory, offsets = image_writer.resource_directory(
        [(t, n, 1033, 0, len(data)) for t, n, data in items], SECTION_RVA)
    section = bytearray(directory)
    for (_, _, data), at in zip(items, offsets):
        section += bytes(at - len(section)) + data
    types, names = {}, {}
    directory_view = pe_image.ResourceDirectory(
        image_with_resources(bytes(section)))
    for field, target in directory_view.entries(0, 100)[0]:
        type_key = directory_view.key(field)
        types[type_key] = target & 0x7FFFFFFF
        for name_field, name_target in directory_view.entries(
                target & 0x7FFFFFFF, 100)[0]:
            names[(type_key, directory_view.key(name_field))] = (
                name_target & 0x7FFFFFFF)
    return section, types, names


def root_entry(section, type_table_offsets, type_key):
    """The offset of the root entry that names `type_key`."""
    named, numbered = struct.unpack_from("<HH", section, 12)
    for index in range(named + numbered):
        at = 16 + 8 * index
        if struct.unpack_from("<I", section, at + 4)[0] & 0x7FFFFFFF == \
                type_table_offsets[type_key]:
            return at
    raise KeyError(type_key)


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
        # Only the entries that the section holds are read.
        section = bytearray(64)
        struct.pack_into("<HH", section, 12, 65535, 65535)
        image = image_with_resources(section)
        self.assertEqual(pe_image.read_resources(image), [])
        directory = pe_image.ResourceDirectory(image)
        self.assertEqual(directory.languages("BN", "SETUP.EXE"), [])
        self.assertLessEqual(directory.entries_read, 64 // 8)

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


class HostileDirectoryTest(unittest.TestCase):
    """Directories that a third party's installer may carry: the payload
    is found as the loader finds it, whatever else the directory holds."""

    def payload(self, *more):
        return [("B7", "KORVEL.PACKED.7Z", b"7z archive"),
                ("BN", "SETUP.EXE", b"MZ a DLL")] + list(more)

    def test_a_table_shared_by_two_types_is_read_for_both(self):
        # An unrelated type, sorted before BN, points at BN's name table:
        # the loader follows both offsets.
        section, types, _ = laid_out(self.payload(("AA", "X", b"other")))
        struct.pack_into("<I", section, root_entry(section, types, "AA") + 4,
                         types["BN"] | 0x80000000)
        image = image_with_resources(bytes(section))
        found = [(r.type, r.name, bytes(r.data))
                 for r in pe_image.read_resources(image)]
        self.assertIn(("AA", "SETUP.EXE", b"MZ a DLL"), found)
        self.assertIn(("BN", "SETUP.EXE", b"MZ a DLL"), found)
        setup = pe_image.ResourceDirectory(image).default_language(
            "BN", "SETUP.EXE")
        self.assertEqual(bytes(setup.data), b"MZ a DLL")

    def test_an_unrelated_table_past_any_bound_hides_nothing(self):
        # A type's table that claims 5000 entries, and names of 65,535
        # units at distinct offsets in another: a lookup never reads them,
        # and a walk of everything stops at its bounds in little memory.
        names = [("ZZ", f"N{i:04}", b"z") for i in range(2000)]
        section, types, name_tables = laid_out(self.payload(
            ("YY", "X", b"y"), ("ZZ", "PAD", bytes(140000)), *names))
        struct.pack_into("<HH", section, types["YY"] + 12, 0, 5000)
        for index in range(2000):
            field = struct.unpack_from(
                "<I", section, types["ZZ"] + 16 + 8 * index)[0]
            if field & 0x80000000:
                struct.pack_into("<H", section, field & 0x7FFFFFFF, 65535)
        image = image_with_resources(bytes(section))
        directory = pe_image.ResourceDirectory(image)
        self.assertEqual(bytes(directory.default_language(
            "BN", "SETUP.EXE").data), b"MZ a DLL")
        self.assertEqual(bytes(directory.default_language(
            "B7", "KORVEL.PACKED.7Z").data), b"7z archive")
        self.assertLess(directory.entries_read, 40)
        self.assertLess(directory.units_read, 100)
        tracemalloc.start()
        try:
            with self.assertRaises(ValueError):
                pe_image.read_resources(image)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        self.assertLess(peak, 64 << 20)

    def test_a_name_cut_mid_unit_by_the_sections_end(self):
        section = bytearray(33)
        struct.pack_into("<HH", section, 12, 1, 0)
        struct.pack_into("<II", section, 16, 0x80000000 | 28, 0x80000000)
        struct.pack_into("<H", section, 28, 5)
        image = image_with_resources(bytes(section))
        self.assertEqual(pe_image.read_resources(image), [])
        self.assertEqual(pe_image.ResourceDirectory(image).key(
            0x80000000 | 28), "\0")

    def test_lookups_as_the_loader_makes_them(self):
        section, types, _ = laid_out(self.payload(
            ("BN", "SETUP2", b"MZ second")))
        image = image_with_resources(bytes(section))
        directory = pe_image.ResourceDirectory(image)
        rows = [
            # why, type, name, the data found
            ("a name as stored", "BN", "SETUP2", b"MZ second"),
            ("a name is compared unit by unit, case included", "BN",
             "setup2", None),
            ("a longer name than any stored", "BN", "SETUP2X", None),
            ("a shorter one", "BN", "SETUP", None),
            ("a type not in the directory", "BL", "SETUP2", None),
            ("a number where names are stored", "BN", 1, None),
        ]
        for why, type_key, name, data in rows:
            with self.subTest(why):
                found = directory.default_language(type_key, name)
                self.assertEqual(found and bytes(found.data), data)
        # Named entries out of order: the binary search, as the loader's,
        # misses the one that sorts before the middle.
        unsorted = bytearray(section)
        table = types["BN"] + 16
        unsorted[table:table + 16] = (unsorted[table + 8:table + 16] +
                                      unsorted[table:table + 8])
        directory = pe_image.ResourceDirectory(
            image_with_resources(bytes(unsorted)))
        self.assertIsNone(directory.default_language("BN", "SETUP.EXE"))
        self.assertIsNotNone(directory.default_language("BN", "SETUP2"))

    def test_several_languages_leave_the_choice_open(self):
        section, types, name_tables = laid_out(self.payload())
        # SETUP.EXE in two languages, both pointing at its data: a lookup
        # without a language finds no single one.
        leaf = struct.unpack_from(
            "<I", section, name_tables[("BN", "SETUP.EXE")] + 20)[0]
        languages = len(section)
        section += struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 2)
        section += struct.pack("<IIII", 1031, leaf, 1033, leaf)
        struct.pack_into("<I", section, types["BN"] + 20,
                         languages | 0x80000000)
        directory = pe_image.ResourceDirectory(
            image_with_resources(bytes(section)))
        self.assertEqual([r.language for r in directory.languages(
            "BN", "SETUP.EXE")], [1031, 1033])
        self.assertIsNone(directory.default_language("BN", "SETUP.EXE"))


def marked(machine=0x8664, characteristics=0x22, subsystem=2):
    """A minimal image with the given machine, characteristics and
    subsystem."""
    data = bytearray(image_with_resources(bytes(16)).data)
    struct.pack_into("<H", data, 64 + 4, machine)
    struct.pack_into("<H", data, 64 + 22, characteristics)
    struct.pack_into("<H", data, 64 + 24 + 68, subsystem)
    return pe_image.PeImage(bytes(data))


class StartAtAllTest(unittest.TestCase):
    def test_what_windows_starts_for_nobody(self):
        rows = [
            # why, image, what is said (None: it starts)
            ("a GUI program", marked(), None),
            ("a console program for x86", marked(0x14C, subsystem=3), None),
            ("a DLL", marked(characteristics=0x2022, subsystem=3),
             "it is a DLL"),
            # A driver that exports functions to others is marked a DLL.
            ("a driver marked a DLL", marked(characteristics=0x2022,
                                             subsystem=1),
             "its subsystem is native (a driver)"),
            ("an EFI application", marked(subsystem=10),
             "EFI application"),
            ("an object file", marked(characteristics=0x20),
             "not marked executable"),
            ("an ARM64 program", marked(0xAA64), "built for ARM64"),
        ]
        for why, image, said in rows:
            with self.subTest(why):
                reason = image.refusal_to_start_at_all()
                if said is None:
                    self.assertIsNone(reason)
                else:
                    self.assertIn(said, reason or "")


if __name__ == "__main__":
    unittest.main()
