#!/usr/bin/env python3
"""The inspector's command line: its options reach the inspection as
given (the build folder made absolute, the default beside scripts/), a
file that is no installer is a usage error (2) and said on standard
error, and the help names the probe it runs."""
import contextlib
import io
import os
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import inspect_command, layout  # noqa: E402


class CommandTest(unittest.TestCase):
    def test_options_reach_the_inspection(self):
        with mock.patch.object(inspect_command, "inspect_safely",
                               return_value=7) as inspect:
            self.assertEqual(inspect_command.main(
                ["--build-dir", "b", "--quiet", "--timeout", "2.5", "x.exe"]),
                7)
            inspect.assert_called_once_with("x.exe", os.path.abspath("b"),
                                            2.5, True)
            inspect_command.main(["x.exe"])
            self.assertEqual(inspect.call_args[0][1:],
                             (os.path.abspath(layout.default_build_dir()),
                              inspect_command.PROBE_TIMEOUT, False))

    def test_what_is_no_installer(self):
        with tempfile.NamedTemporaryFile(suffix=".exe") as f:
            f.write(b"not a program\n")
            f.flush()
            out, err = io.StringIO(), io.StringIO()
            with contextlib.redirect_stdout(out), \
                    contextlib.redirect_stderr(err):
                status = inspect_command.main([f.name])
        self.assertEqual((status, out.getvalue()), (2, ""))
        self.assertIn("is not a PE image (no MZ header)", err.getvalue())
        with contextlib.redirect_stderr(io.StringIO()), \
                self.assertRaises(SystemExit) as usage:
            inspect_command.main(["--no-such-option", "x.exe"])
        self.assertEqual(usage.exception.code, 2)

    def test_help(self):
        text = inspect_command.parser().format_help()
        self.assertIn("tools/payload_probe/payload_probe.exe", text)
        self.assertIn("6 not probed", text)


if __name__ == "__main__":
    unittest.main()
