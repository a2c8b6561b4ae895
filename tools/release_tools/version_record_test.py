#!/usr/bin/env python3
"""The version record written and read back, and the versions refused."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import version_record  # noqa: E402


class VersionRecordTest(unittest.TestCase):
    def test_round_trip(self):
        strings = {"CompanyName": "Acme", "FileVersion": "2.5.1.300",
                   "ProductName": "Wid\u00e9get", "LegalCopyright": ""}
        data = version_record.write_version_record((2, 5, 1, 300), strings)
        self.assertEqual(len(data) % 4, 0)
        self.assertEqual(version_record.read_version_record(data),
                         ((2, 5, 1, 300), (2, 5, 1, 300), strings))

    def test_versions(self):
        for text, parsed in (("1", (1, 0, 0, 0)), ("1.2.3.4", (1, 2, 3, 4)),
                             ("65535.0.0.65535", (65535, 0, 0, 65535))):
            self.assertEqual(version_record.parse_version(text), parsed)
        for text in ("", "1.2.3.4.5", "1.-2", "1.2.3.65536", "a.b", "1..2",
                     "\u0661.2"):
            with self.subTest(text), self.assertRaises(
                    version_record.VersionError):
                version_record.parse_version(text)

    def test_damaged_records(self):
        data = version_record.write_version_record((1, 0, 0, 0), {"A": "b"})
        for damaged in (data[:40], b"\xff\xff" + data[2:], bytes(6)):
            with self.subTest(damaged[:8]), self.assertRaises(
                    version_record.VersionError):
                version_record.read_version_record(damaged)


if __name__ == "__main__":
    unittest.main()
