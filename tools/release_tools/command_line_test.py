#!/usr/bin/env python3
"""What both commands' lines share: the help shows the command's first
paragraph and its epilog as written, and a name the terminal cannot show
is written escaped, not a traceback."""
import io
import os
import sys
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import command_line  # noqa: E402


class CommandLineTest(unittest.TestCase):
    def test_help_as_written(self):
        made = command_line.parser_for(
            "tool", "Does one thing.\n\nMore than the help shows.",
            "example:\n    tool  --twice   FILE")
        text = made.format_help()
        self.assertIn("Does one thing.", text)
        self.assertNotIn("More than", text)
        self.assertIn("    tool  --twice   FILE", text)

    def test_unshowable_names_escaped(self):
        out = io.TextIOWrapper(io.BytesIO(), encoding="ascii")
        with mock.patch.object(sys, "stdout", out), \
                mock.patch.object(sys, "stderr", io.StringIO()):
            command_line.escape_unshowable_names()
            print("odd-\udcff-name.exe")
        out.flush()
        self.assertEqual(out.buffer.getvalue(), b"odd-\\udcff-name.exe\n")


if __name__ == "__main__":
    unittest.main()
