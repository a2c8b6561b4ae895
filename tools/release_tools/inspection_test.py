#!/usr/bin/env python3
"""The inspector's judgement without Wine: the items it judges are the ones
the probe says the installer's search took, held against what its own
search finds (where they differ, or where the directory alone cannot tell,
no success is predicted), and a setup program that cannot be judged here
(too deep in its cabinet, damaged there) is said to be, in bounded memory."""
import os
import struct
import sys
import tracemalloc
import unittest
import zlib
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import (  # noqa: E402
    inspection, item_content, judged_items, payload_search, pe_image, verdict)
from release_tools.cabinet_test import cabinet_of, mszip  # noqa: E402
from release_tools.pe_image_test import (  # noqa: E402
    image_with_resources, laid_out)

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


class OutcomeTest(unittest.TestCase):
    def predict(self, report_for):
        """The status and output of a prediction from the report that
        `report_for(search)` gives."""
        # A program Windows would start: an x86-64 GUI executable.
        program = bytearray(image_with_resources(bytes(16)).data)
        struct.pack_into("<H", program, 64 + 24 + 68, 2)
        # An empty 7z archive: its start header, which names no next one.
        archive = (b"7z\xbc\xaf\x27\x1c\x00\x04" +
                   struct.pack("<I", zlib.crc32(bytes(20))) + bytes(20))
        section = laid_out([("B7", "KORVEL.PACKED.7Z", archive),
                            ("BN", "SETUP.EXE", bytes(program))])[0]
        image = image_with_resources(bytes(section))
        directory = pe_image.ResourceDirectory(image)
        search = payload_search.search_payload(directory)
        tests = item_content.ArchiveTests(0)
        tests.skipped = True  # the real 7z is no part of this
        report = report_for(search)
        said = inspection.Output(keep=True)
        inspected = inspection.Inspected("installer.exe", image, directory,
                                         search, tests)
        with mock.patch.object(inspection, "probe", return_value=report):
            status = inspection.predict(inspected, "build", 5, False, said)
        # What goes to standard output: the listing and the verdict.
        return status, said.text(errors=False) + "\n"

    def test_no_success_without_the_installers_own_items(self):
        status, out = self.predict(report_of)
        self.assertEqual(status, verdict.EXIT_SUCCESS, out)
        # A probe built before it reported its search judges nothing.
        status, out = self.predict(lambda search: report_of(
            search, search_exit_code=None, setup_name=None,
            archive_name=None))
        self.assertEqual(status, verdict.EXIT_NO_PREDICTION)
        self.assertIn("not judged: the probe did not say", out)
        # A run that ends before it loads the installer searches nothing,
        # and fails as it says.
        status, out = self.predict(lambda search: {
            "stage": "module-path", "exit-code": "108",
            "windows-error": "122", "archive-type": "", "setup-type": ""})
        self.assertEqual(status, verdict.EXIT_FAILURE_PREDICTED)
        self.assertNotIn("not judged", out)


class HostileSetupProgramTest(unittest.TestCase):
    def judge(self, cabinet):
        findings = item_content.Findings()
        item = judged_items.PayloadItem("setup", "BL", "SETUP.EX_",
                                      len(cabinet), 0x1000, cabinet)
        tracemalloc.start()
        try:
            lines = item_content.describe_content(
                item, findings, item_content.ArchiveTests(0))
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        return lines, findings, peak

    def test_a_setup_program_not_judged_is_said_to_be(self):
        zeros = mszip(bytes(32768))
        rows = [
            # why, cabinet, what is said
            ("a file 2 GB into its folder",
             cabinet_of([(zeros, 32768)] * 65535, 32768, 65534 * 32768),
             "more than the 134217728 expanded here"),
            ("a block that says it holds nothing",
             cabinet_of([(mszip(bytes(1 << 20)), 0)], 1000, 0),
             "lies beyond what its folder holds"),
            ("an LZX folder", cabinet_of([(zeros, 32768)], 10, 0, 3),
             "LZX compression is not read here"),
        ]
        for why, cabinet, said in rows:
            with self.subTest(why):
                lines, findings, peak = self.judge(cabinet)
                self.assertEqual(len(findings.unjudged), 1)
                self.assertIn(said, findings.unjudged[0])
                self.assertIn(said, "\n".join(lines))
                self.assertLess(peak, 2 << 20)

    def test_a_large_setup_program_is_judged_through_a_file(self):
        # A DLL padded to 16 MiB: judged from a mapping of its expansion,
        # never held in memory.
        section = laid_out([ARCHIVE])[0]
        program = bytearray(image_with_resources(bytes(section)).data)
        struct.pack_into("<H", program, 64 + 22, 0x2022)  # a DLL
        program += bytes((16 << 20) - len(program))
        blocks = [(mszip(bytes(program[at:at + 32768])), 32768)
                  for at in range(0, len(program), 32768)]
        lines, findings, peak = self.judge(
            cabinet_of(blocks, len(program), 0))
        self.assertEqual(findings.unjudged, [])
        self.assertIn("it is a DLL", findings.defects[0])
        self.assertLess(peak, 2 << 20)


if __name__ == "__main__":
    unittest.main()
