#!/usr/bin/env python3
"""One inspection without Wine: no success is predicted without the
installer's own items, what it says goes to standard output or standard
error as the command prints it, a fault of its own is its own status, and
the file's mapping is let go once it is judged."""
import mmap
import os
import struct
import sys
import tempfile
import unittest
import zlib
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import (  # noqa: E402
    inspection, item_content, payload_search, pe_image, verdict)
from release_tools.judged_items_test import report_of  # noqa: E402
from release_tools.pe_image_test import (  # noqa: E402
    image_with_resources, laid_out)


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



class OutputTest(unittest.TestCase):
    def test_said_in_order_each_to_its_stream(self):
        said = inspection.Output(keep=True)
        said.say("listing")
        said.say("no prediction", error=True)
        said.say("outcome")
        self.assertEqual(said.text(), "listing\nno prediction\noutcome")
        self.assertEqual(said.text(errors=False), "listing\noutcome")

    def test_a_fault_of_its_own(self):
        said = inspection.Output(keep=True)
        with mock.patch.object(inspection, "inspect_file",
                               side_effect=KeyError("exit-code")):
            status = inspection.inspect_safely("x.exe", "build", output=said)
        self.assertEqual(status, verdict.EXIT_INSPECTOR_FAILED)
        self.assertEqual(said.said, [("inspect-installer: the inspector "
                                      "failed: KeyError: 'exit-code'", True)])

    def test_files_it_does_not_judge(self):
        work = tempfile.mkdtemp(prefix="inspection-test.")
        self.addCleanup(lambda: [os.remove(os.path.join(work, name))
                                 for name in os.listdir(work)] and
                        os.rmdir(work))
        text = os.path.join(work, "text.exe")
        with open(text, "wb") as f:
            f.write(b"not a program")
        for why, path, said in [
                ("no PE image", text, "is not a PE image"),
                ("missing", text + ".none", "cannot read"),
                ("a device", "/dev/null", "not a regular file")]:
            with self.subTest(why):
                output = inspection.Output(keep=True)
                self.assertEqual(inspection.inspect_file(
                    path, "build", output=output), verdict.EXIT_USAGE)
                self.assertIn(said, output.text())

    def test_the_mapping_is_let_go(self):
        with tempfile.TemporaryFile() as f:
            f.write(b"MZ" + bytes(100))
            f.flush()
            data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            view = memoryview(data)[2:10]
            inspection.release_mapping(data)  # a view still holds it
            self.assertFalse(data.closed)
            del view
            inspection.release_mapping(data)
            self.assertTrue(data.closed)


if __name__ == "__main__":
    unittest.main()
