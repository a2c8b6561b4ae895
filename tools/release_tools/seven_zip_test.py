#!/usr/bin/env python3
"""The archive's data test within a time: a 7z that has not finished by
then (a small archive of gigabytes of zeros keeps the real one busy for
seconds) is stopped and its test said to be cut short, never taken for a
pass; the copy it tested goes with it. A stand-in 7z on PATH plays the
slow one, so that nothing here depends on the machine's speed."""
import os
import shutil
import stat
import sys
import tempfile
import unittest
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


if __name__ == "__main__":
    unittest.main()
