#!/usr/bin/env python3
"""What a payload item holds, as the inspector judges it: a setup program
that cannot be judged here (too deep in its cabinet, damaged there) is said
to be, in bounded memory; a patch that is a program, a plain setup that is
no program and an archive cut short are defects; a program that starts
only elevated makes every success so; what a program needs beyond a fresh
Windows is a note."""
import os
import struct
import sys
import tracemalloc
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import item_content, judged_items  # noqa: E402
from release_tools.cabinet_test import cabinet_of, mszip  # noqa: E402
from release_tools.pe_image_test import (  # noqa: E402
    image_with_resources, laid_out)

ARCHIVE = ("B7", "KORVEL.PACKED.7Z", b"7z archive")


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



def program(manifest=None, machine=0x8664):
    """An x86-64 GUI program, with `manifest` (text) as RT_MANIFEST 1."""
    items = [(24, 1, manifest.encode())] if manifest else []
    data = bytearray(image_with_resources(bytes(laid_out(items)[0])).data)
    struct.pack_into("<H", data, 64 + 4, machine)
    struct.pack_into("<H", data, 64 + 24 + 68, 2)
    return bytes(data)


LEVEL = ('<assembly xmlns="urn:schemas-microsoft-com:asm.v1" '
         'manifestVersion="1.0"><trustInfo xmlns="urn:schemas-microsoft-com:'
         'asm.v3"><security><requestedPrivileges><requestedExecutionLevel '
         'level="{}"/></requestedPrivileges></security></trustInfo>{}'
         '</assembly>')
VC80 = ('<dependency><dependentAssembly><assemblyIdentity type="win32" '
        'name="Microsoft.VC80.CRT" version="8.0.50727.762"/>'
        '</dependentAssembly></dependency>')


class ContentTest(unittest.TestCase):
    def judge(self, kind, type_key, data):
        findings = item_content.Findings()
        item = judged_items.PayloadItem(kind, type_key, "NAME", len(data),
                                        0x1000, data)
        tests = item_content.ArchiveTests(0)
        tests.skipped = True
        return (item_content.describe_content(item, findings, tests),
                findings)

    def test_table(self):
        rows = [
            # why, kind, type, data, defect, elevated only, a line has
            ("a program", "setup", "BN", program(), None, False,
             "PE image, x86-64, no manifest"),
            ("a patch that is a program", "setup", "B7", program(),
             "carried as a patch (type B7), but it is a program", False,
             None),
            ("a plain setup that is no program", "setup", "BN", b"text",
             "runs as setup.exe but is not a program", False,
             "unrecognised, first bytes 74 65 78 74"),
            ("an archive cut short", "archive", "B7",
             b"7z\xbc\xaf\x27\x1c\0\4", "it is cut short", False, None),
            ("asks for administrator", "setup", "BN", program(LEVEL.format(
                "requireAdministrator", "")), None, True,
             "Windows starts it only where the installer runs elevated"),
            ("needs the VC80 runtime", "setup", "BN", program(LEVEL.format(
                "asInvoker", VC80)), None, False,
             "note: it depends on Microsoft.VC80.CRT, which a fresh Windows "
             "lacks"),
        ]
        for why, kind, type_key, data, defect, elevated, line in rows:
            with self.subTest(why):
                lines, findings = self.judge(kind, type_key, data)
                if defect is None:
                    self.assertEqual(findings.defects, [])
                else:
                    self.assertEqual(len(findings.defects), 1)
                    self.assertIn(defect, findings.defects[0])
                self.assertEqual(findings.elevated_only, elevated)
                if line is not None:
                    self.assertIn(line, "\n".join(lines))

    def test_names_as_listed(self):
        self.assertEqual(item_content.display_key(7), "#7")
        self.assertEqual(item_content.display_key("SETUP"), '"SETUP"')
        self.assertEqual(item_content.display_key("S" * 81),
                         f'"{"S" * 80}..." (81 characters)')
        self.assertEqual(item_content.brief(b""), "empty")
        self.assertEqual(item_content.brief(b"7z\xbc\xaf\x27\x1c\0"),
                         "7z archive, cut short before its format version")


if __name__ == "__main__":
    unittest.main()
