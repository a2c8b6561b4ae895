#!/usr/bin/env python3
"""The installer's search of its payload, made on a resource directory as
the loader shows it: the installer's own cases (what the unpack stage's
tests hold it to), and directories that a third party's installer may
carry, where the search must find what the installer finds."""
import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import payload_search, pe_image  # noqa: E402
from release_tools.pe_image_test import (  # noqa: E402
    image_with_resources, laid_out, root_entry)

ARCHIVE = ("B7", "KORVEL.PACKED.7Z", b"7z archive")
CABINET = ("BL", "SETUP.EX_", b"MSCF cabinet")


def search_of(section):
    image = image_with_resources(bytes(section))
    return payload_search.search_payload(pe_image.ResourceDirectory(image))


class SearchTest(unittest.TestCase):
    def test_the_installers_own_cases(self):
        rows = [
            # why, resources, (exit code, error), archive type, setup type
            ("the shipped payload", [ARCHIVE, CABINET], (0, 0), "B7", "BL"),
            ("a plain setup program", [ARCHIVE, ("BN", "SETUP", b"MZ")],
             (0, 0), "B7", "BN"),
            ("an archive in BL", [("BL", "KORVEL.PACKED.7Z", b"7z"),
                                  ("BN", "SETUP.EXE", b"MZ")],
             (0, 0), "BL", "BN"),
            ("two archives in B7", [ARCHIVE, ("B7", "KORVEL.TWO", b"7z"),
                                    CABINET], (112, 68), "", ""),
            ("a second archive in BN", [ARCHIVE, CABINET,
                                        ("BN", "KORVEL.TWO", b"7z")],
             (115, 68), "B7", "BL"),
            ("neither prefix in B7", [ARCHIVE, ("B7", "PRODUCT.DAT", b"p"),
                                      CABINET], (112, 13), "", ""),
            ("neither prefix in BL", [ARCHIVE, ("BL", "PRODUCT.DAT", b"p"),
                                      CABINET], (115, 13), "B7", ""),
            ("a numbered resource only", [("B7", 5, b"7z")], (112, 2), "",
             ""),
            ("no setup program", [ARCHIVE], (115, 2), "B7", ""),
            ("no payload", [("BN", 1, b"x")], (112, 2), "", ""),
            ("a name too long for a path", [ARCHIVE, (
                "BN", "SETUP" + "X" * 255, b"MZ")], (115, 206), "B7", ""),
            ("a name that fits", [ARCHIVE, ("BN", "SETUP" + "X" * 254,
                                            b"MZ")], (0, 0), "B7", "BN"),
            # Names are looked up in upper case: one stored in lower case
            # is found by no lookup, which ends its type without an error.
            # A name that would take the file out of the work folder, or
            # name a stream, is no item: the stub refuses it (123).
            ("an archive named out of the work folder",
             [("B7", "KORVEL\\..\\..\\VICTIM.TXT", b"7z"), CABINET],
             (112, 123), "", ""),
            ("a name of a stream", [ARCHIVE, ("BL", "SETUP.EX_:S", b"MSCF")],
             (115, 123), "B7", ""),
            ("a name stored in lower case", [ARCHIVE,
                                             ("BN", "setup.exe", b"MZ")],
             (115, 2), "B7", ""),
            ("an empty resource ends its type", [ARCHIVE, ("BN", "SETUP", b""),
                                                 ("BN", "SETUP2", b"MZ")],
             (115, 2), "B7", ""),
        ]
        for why, resources, outcome, archive_type, setup_type in rows:
            with self.subTest(why):
                search = search_of(laid_out(resources)[0])
                self.assertEqual((search.exit_code, search.windows_error),
                                 outcome)
                self.assertEqual((search.archive_type, search.setup_type),
                                 (archive_type, setup_type))
                self.assertIsNone(search.unknown)

    def test_what_the_directory_alone_cannot_tell(self):
        search = search_of(laid_out([ARCHIVE, ("BN", "#5", b"MZ")])[0])
        self.assertIn("named like a number", search.unknown)

    def test_hostile_directories(self):
        dll = ("BN", "SETUP.EXE", b"MZ a DLL")
        # An unrelated type that shares BN's name table.
        shared, types, _ = laid_out([ARCHIVE, dll, ("AA", "X", b"x")])
        struct.pack_into("<I", shared, root_entry(shared, types, "AA") + 4,
                         types["BN"] | 0x80000000)
        # An unrelated type's table that claims 5000 entries.
        overflowing, types, _ = laid_out([ARCHIVE, dll, ("ZZ", "X", b"z")])
        struct.pack_into("<HH", overflowing, types["ZZ"] + 12, 0, 5000)
        for why, section in (("a shared name table", shared),
                             ("an unrelated table past any bound",
                              overflowing)):
            with self.subTest(why):
                search = search_of(section)
                self.assertEqual((search.exit_code, search.archive_type,
                                  search.setup_type), (0, "B7", "BN"))
                self.assertEqual(bytes(search.items["setup"].resource.data),
                                 b"MZ a DLL")


if __name__ == "__main__":
    unittest.main()
