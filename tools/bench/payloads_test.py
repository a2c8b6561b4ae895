#!/usr/bin/env python3
"""The benchmark's payloads: the stand-in setup padded to the shipped
size (random bytes, then zeros), the NSIS script that writes the same
files under the same names, and the payload's bytes counted as the
inspector reads the resource directory."""
import os
import shutil
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench import payloads  # noqa: E402
from bench.plan import SETUP_RANDOM_PADDING, SETUP_SIZE, BenchError  # noqa
from release_tools.contract import CONTRACT  # noqa: E402
from release_tools.pe_image_test import laid_out, image_with_resources  # noqa


class PayloadsTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="bench-payloads-test.")
        self.addCleanup(shutil.rmtree, self.work, True)

    def path(self, name, data=None):
        path = os.path.join(self.work, name)
        if data is not None:
            with open(path, "wb") as f:
                f.write(data)
        return path

    def test_setup_padded_to_the_shipped_size(self):
        image = b"MZ" + bytes(998)
        padded = self.path("setup.exe")
        payloads.make_setup(self.path("stand_in.exe", image), padded)
        with open(padded, "rb") as f:
            data = f.read()
        self.assertEqual(len(data), SETUP_SIZE)
        self.assertEqual(data[:1000], image)
        self.assertNotEqual(data[1000:1000 + SETUP_RANDOM_PADDING],
                            bytes(SETUP_RANDOM_PADDING))
        self.assertEqual(data[1000 + SETUP_RANDOM_PADDING:],
                         bytes(SETUP_SIZE - 1000 - SETUP_RANDOM_PADDING))
        with self.assertRaisesRegex(BenchError, "larger than"):
            payloads.make_setup(self.path("big.exe", bytes(SETUP_SIZE + 1)),
                                padded)

    def test_nsis_writes_the_same_files(self):
        said = mock.Mock(returncode=1, stdout="no such file")
        with mock.patch.object(payloads.subprocess, "run",
                               return_value=said):
            with self.assertRaisesRegex(BenchError, "no such file"):
                payloads.make_nsis_installer("/a$b/product.7z", "/s/setup.exe",
                                             self.path("nsis.exe"))
        with open(self.path("nsis.exe.nsi")) as f:
            script = f.read()
        # NSIS reads "$" as a variable: a path's own is doubled.
        self.assertIn('"/a$$b/product.7z"', script)
        self.assertIn(f'"/oname={CONTRACT.setup_program_name}"', script)
        self.assertIn('--install-archive="$R0\\KORVEL.PACKED.7Z"', script)

    def test_payload_bytes_as_the_inspector_reads_them(self):
        section = laid_out([("B7", "KORVEL.PACKED.7Z", b"7z" * 50),
                            ("BN", "SETUP.EXE", b"MZ" * 20),
                            ("ZZ", "OTHER", b"x" * 1000)])[0]
        image = self.path("installer.exe",
                          image_with_resources(bytes(section)).data)
        self.assertEqual(payloads.payload_resource_bytes(image), 140)


if __name__ == "__main__":
    unittest.main()
