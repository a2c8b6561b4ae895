#!/usr/bin/env python3
"""The items the inspector judges are the ones the probe says the
installer's search took, held against what its own search finds: where
they differ, or where the directory alone cannot tell, it says so; a
report that names an item unreadably gives no prediction."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import judged_items, payload_search, pe_image  # noqa: E402
from release_tools.pe_image_test import (  # noqa: E402
    image_with_resources, laid_out)
from release_tools.probe import NoPrediction  # noqa: E402

ARCHIVE = ("B7", "KORVEL.PACKED.7Z", b"7z archive")
SETUP = ("BN", "SETUP.EXE", b"MZ setup program")


def hex_name(name):
    return name.encode("utf-16-be").hex().upper()


def report_of(search, **changes):
    """The report a probe whose search agrees with `search` gives, with
    `changes` (key=value; None drops the key)."""
    report = {"stage": "unpack", "exit-code": str(search.exit_code),
              "windows-error": str(search.windows_error),
              "archive-type": search.archive_type,
              "setup-type": search.setup_type,
              "search-exit-code": str(search.exit_code),
              "search-windows-error": str(search.windows_error)}
    for kind, item in search.items.items():
        report[f"{kind}-name"] = hex_name(item.name)
        report[f"{kind}-size"] = str(item.resource.size)
        report[f"{kind}-rva"] = str(item.resource.rva)
    for key, value in changes.items():
        key = key.replace("_", "-")
        if value is None:
            report.pop(key, None)
        else:
            report[key] = value
    return report


class DisagreementTest(unittest.TestCase):
    def test_the_probes_items_held_against_the_listings(self):
        # Another program, in a type the installer never searches.
        section = laid_out([ARCHIVE, SETUP, ("ZZ", "SETUP2", b"MZ 2")])[0]
        image = image_with_resources(bytes(section))
        directory = pe_image.ResourceDirectory(image)
        search = payload_search.search_payload(directory)
        other = directory.default_language("ZZ", "SETUP2")
        rows = [
            # why, report changes, what the disagreement says
            ("they agree", {}, None),
            ("another outcome", {"search_exit_code": "115",
                                 "search_windows_error": "68"},
             "ends with exit code 115"),
            ("another setup program", {
                "setup_name": hex_name("SETUP2"),
                "setup_rva": str(other.rva), "setup_size": str(other.size)},
             '"SETUP2"'),
            ("no setup program", {"setup_name": None, "setup_size": None,
                                  "setup_rva": None},
             "takes no setup"),
            ("other types", {"setup_type": "BL"}, "in types"),
        ]
        for why, changes, expected in rows:
            with self.subTest(why):
                report = report_of(search, **changes)
                items = judged_items.probe_items(report, image)
                found = judged_items.disagreements(report, search, items, image)
                if expected is None:
                    self.assertEqual(found, [])
                    self.assertEqual(bytes(items["setup"].data),
                                     b"MZ setup program")
                else:
                    self.assertEqual(len(found), 1, found)
                    self.assertIn(expected, found[0])
        # The listing judges the probe's items wherever they lie.
        report = report_of(search, setup_name=hex_name("SETUP2"),
                           setup_rva=str(other.rva),
                           setup_size=str(other.size))
        items = judged_items.probe_items(report, image)
        self.assertEqual(bytes(items["setup"].data), b"MZ 2")


    def test_a_name_reported_unreadably(self):
        section = laid_out([ARCHIVE, SETUP])[0]
        image = image_with_resources(bytes(section))
        search = payload_search.search_payload(
            pe_image.ResourceDirectory(image))
        with self.assertRaisesRegex(NoPrediction, "names its setup"):
            judged_items.probe_items(report_of(search, setup_name="XYZ"),
                                     image)

    def test_where_the_installer_reads_its_item(self):
        section = laid_out([ARCHIVE, SETUP])[0]
        image = image_with_resources(bytes(section))
        search = payload_search.search_payload(
            pe_image.ResourceDirectory(image))
        offset = image.offset_of(search.items["setup"].resource.rva)[0]
        for reported, disagrees in [(offset, False), (offset + 8, True)]:
            with self.subTest(reported=reported):
                report = report_of(search, setup_offset=str(reported))
                items = judged_items.probe_items(report, image)
                found = judged_items.disagreements(report, search, items,
                                                   image)
                self.assertEqual(bool(found), disagrees, found)
                if disagrees:
                    self.assertIn(f"from file offset {offset + 8}", found[0])
        self.assertEqual(judged_items.disagreements({}, None, {}, image),
                         ["this listing cannot read the resource directory, "
                          "which the installer's search reads"])


if __name__ == "__main__":
    unittest.main()
