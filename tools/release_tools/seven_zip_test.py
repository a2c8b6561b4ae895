#!/usr/bin/env python3
"""The archive's data test within a time: a 7z that has not finished by
then (a small archive of gigabytes of zeros keeps the real one busy for
seconds) is stopped and its test said to be cut short, never taken for a
pass; the copy it tested goes with it. A stand-in 7z on PATH plays the
slow one, so that nothing here depends on the machine's speed."""
import os
import shutil
import stat
import struct
import sys
import tempfile
import unittest
import zlib
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import seven_zip  # noqa: E402


class ArchiveTestTimeTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="seven-zip-test.")
        self.addCleanup(shutil.rmtree, self.work, True)

    def stand_in_7z(self, script):
        path = os.path.join(self.work, "7z")
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + script)
        os.chmod(path, stat.S_IRWXU)
        return mock.patch.dict(os.environ, {"PATH": self.work})

    @unittest.skipIf(sys.platform == "win32", "a shell script stands in")
    def test_a_test_cut_short_is_no_pass(self):
        rows = [
            # why, the stand-in's script, finished, problem
            ("never finishes", "exec /bin/sleep 60\n", False, None),
            ("passes", "echo 'Everything is Ok'\necho 'Files: 1'\n", True,
             None),
            ("finds damage", "echo 'ERROR: CRC Failed'\nexit 2\n", True,
             "7z finds its data damaged"),
        ]
        for why, script, finished, problem in rows:
            with self.subTest(why), self.stand_in_7z(script):
                test = seven_zip.HeldArchiveTest(
                    seven_zip.SEVEN_ZIP_SIGNATURE + bytes(100))
                copy = test.path
                available, done, found = test.result(timeout=0.5)
                self.assertTrue(available)
                self.assertEqual(done, finished)
                if problem is None:
                    self.assertIsNone(found)
                else:
                    self.assertIn(problem, found)
                self.assertFalse(os.path.exists(copy))
                self.assertIsNotNone(test.test.process.poll())


    @unittest.skipIf(sys.platform == "win32", "a shell script stands in")
    def test_an_archive_of_no_file_is_said_for_what_it_holds(self):
        rows = [
            ("only empty folders", "echo 'Folders: 1'\necho 'Files: 0'\n",
             "only empty folders"),
            ("nothing", "echo 'Files: 0'\n",
             "what it was given is missing"),
        ]
        for why, script, said in rows:
            with self.subTest(why), self.stand_in_7z(script):
                test = seven_zip.HeldArchiveTest(
                    seven_zip.SEVEN_ZIP_SIGNATURE + bytes(100))
                self.assertIn(said, test.result(timeout=5)[2])


def start_header(next_offset, next_length, next_crc=0, crc=None):
    tail = struct.pack("<QQI", next_offset, next_length, next_crc)
    if crc is None:
        crc = zlib.crc32(tail)
    return seven_zip.SEVEN_ZIP_SIGNATURE + b"\0\4" + struct.pack(
        "<I", crc) + tail


class HeaderProblemTest(unittest.TestCase):
    def test_table(self):
        header = b"\1\2\3"
        whole = start_header(10, len(header), zlib.crc32(header)) + \
            bytes(10) + header
        rows = [
            # why, bytes, file name, what is said (None: whole)
            ("a whole archive", whole, "product.7z", None),
            ("an empty archive", start_header(0, 0), "product.7z", None),
            ("cut short", whole[:-1], "product.7z", "it is cut short"),
            ("the first volume of a split one", whole[:-1],
             "product.7z.001", "one volume of a split archive"),
            ("a later volume", b"\x8c\x1f" + bytes(100), "product.7z.002",
             "volume 2 of a split archive, not its start"),
            ("no archive", b"\x8c\x1f" + bytes(100), "product.7z",
             "not a 7z archive"),
            # 7z writes the start header last, over zeros.
            ("unfinished", start_header(0, 0, crc=0)[:8] + bytes(24) +
             bytes(100), "product.7z", "it is unfinished"),
            ("a damaged start header", start_header(0, 0, crc=1),
             "product.7z", "start header is damaged"),
            ("a damaged header", whole[:-1] + b"\4", "product.7z",
             "its header is damaged"),
        ]
        for why, data, name, said in rows:
            with self.subTest(why):
                problem = seven_zip.seven_zip_problem(
                    seven_zip.buffer_reader(data), len(data), name)
                if said is None:
                    self.assertIsNone(problem)
                else:
                    self.assertIn(said, problem or "")


if __name__ == "__main__":
    unittest.main()
