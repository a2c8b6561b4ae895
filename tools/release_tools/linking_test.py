#!/usr/bin/env python3
"""The linking of the bare stub and the test layouts, without a linker:
every library is asked for by name, the entry library taken whole and
first, the map and the file alignment passed on, the image laid out and
finished under a temporary name that never survives a failure; and a build
that cannot be made says what is missing."""
import os
import shutil
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import linking  # noqa: E402
from release_tools.pack_rules import Refusal  # noqa: E402


class LinkImageTest(unittest.TestCase):
    def setUp(self):
        self.build = tempfile.mkdtemp(prefix="linking-test.")
        self.addCleanup(shutil.rmtree, self.build, True)
        for library in [linking.ENTRY_LIBRARY] + linking.STUB_LIBRARIES:
            path = os.path.join(self.build, library)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            open(path, "w").close()
        self.output = os.path.join(self.build, "stub.exe")

    def link(self, linker, layout=None, map_file=None, **options):
        def writes(command, what):
            linker(command)
            open(command[command.index("-o") + 1], "w").close()
        with mock.patch.object(linking, "run_tool", side_effect=writes), \
                mock.patch.object(linking, "lay_out_sections",
                                  side_effect=layout):
            linking.link_image(self.build, "resources.o", self.output,
                               map_file, **options)

    def test_the_command(self):
        commands = []
        self.link(commands.append, map_file="stub.map", file_alignment=4096)
        command = commands[0]
        whole = command.index("-Wl,--whole-archive")
        self.assertEqual(command[whole + 1],
                         os.path.join(self.build, linking.ENTRY_LIBRARY))
        group = command[command.index("-Wl,--start-group") + 1:
                        command.index("-Wl,--end-group")]
        self.assertEqual(group, [os.path.join(self.build, library)
                                 for library in linking.STUB_LIBRARIES])
        self.assertIn("-Wl,-Map," + os.path.abspath("stub.map"), command)
        self.assertIn("-Wl,--file-alignment,4096", command)
        self.assertIn("-Wl,-e,InstallerEntry", command)
        self.assertEqual(os.listdir(self.build).count("stub.exe"), 1)

    def test_nothing_survives_a_failure(self):
        def fails(path, page_aligned, payload):
            raise Refusal("layout failed")
        with self.assertRaisesRegex(Refusal, "layout failed"):
            self.link(lambda command: None, layout=fails)
        self.assertFalse([name for name in os.listdir(self.build)
                          if name.startswith("stub.exe")])
        os.remove(os.path.join(self.build, linking.STUB_LIBRARIES[2]))
        with self.assertRaisesRegex(Refusal, "libstub_unpack.a' is missing"):
            self.link(lambda command: None)

    def test_a_build_that_cannot_be_made(self):
        with mock.patch.object(linking.shutil, "which",
                               side_effect=lambda tool: None
                               if tool == "ninja" else "/usr/bin/" + tool):
            with self.assertRaisesRegex(Refusal, "ninja missing.*make deps"):
                linking.ensure_build(self.build)

    def test_resource_script_strings(self):
        self.assertEqual(linking.rc_string('a "b" c'), '"a ""b"" c"')


if __name__ == "__main__":
    unittest.main()
