#!/usr/bin/env python3
"""The packer's own refusals that no outside program can time: an input
rewritten by another program while it is copied is not packed, and nothing
is left of the installer. Needs the built stub: STUB_BUILD_DIR."""
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import pack_command, packing  # noqa: E402

BUILD = os.environ.get("STUB_BUILD_DIR", "")
STAND_IN = os.path.join(BUILD, "testing", "stand_in_setup",
                        "stand_in_setup.exe")


@unittest.skipIf(not os.path.isfile(STAND_IN) or shutil.which("7z") is None,
                 "needs the built stub (STUB_BUILD_DIR) and 7z")
class ChangedInputTest(unittest.TestCase):
    def test_input_rewritten_while_copied_is_refused(self):
        work = tempfile.mkdtemp(prefix="packing-test.")
        self.addCleanup(shutil.rmtree, work, True)
        with open(os.path.join(work, "readme.txt"), "wb") as f:
            f.write(os.urandom(5000))
        subprocess.run(["7z", "a", "-bd", "-bso0", "product.7z",
                        "readme.txt"], cwd=work, check=True)
        archive = os.path.join(work, "product.7z")
        output = os.path.join(work, "installer.exe")
        parser_args = ["--build-dir", BUILD, "--no-build", "--no-inspect",
                       "--quiet", "--archive", archive, "--setup", STAND_IN,
                       "--output", output]
        real = packing.lay_out_sections

        def rewritten_meanwhile(*args, **kwargs):
            # Another program appends to the archive as it is copied.
            with open(archive, "ab") as f:
                f.write(b"appended")
            return real(*args, **kwargs)

        said = io.StringIO()
        with mock.patch.object(packing, "lay_out_sections",
                               rewritten_meanwhile), \
                mock.patch.object(sys, "argv", ["pack-installer"] +
                                  parser_args), \
                mock.patch.object(sys, "stderr", said):
            status = pack_command.main()
        self.assertEqual(status, 1)
        self.assertIn("changed while it was packed", said.getvalue())
        self.assertEqual(sorted(os.listdir(work)),
                         ["product.7z", "readme.txt"])


if __name__ == "__main__":
    unittest.main()
