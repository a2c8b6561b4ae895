#!/usr/bin/env python3
"""One judgement of a setup program for both tools: what Windows refuses
in every run, what it starts only elevated, what is not judged here and
what the program needs beyond a fresh Windows, each said once."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import program_judgement, start_policy  # noqa: E402
from release_tools.start_policy_test import Image, Image32  # noqa: E402

ASSEMBLY = '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" ' \
           'manifestVersion="1.0">{}</assembly>'
LEVEL = ('<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security>'
         '<requestedPrivileges><requestedExecutionLevel level="{}"/>'
         '</requestedPrivileges></security></trustInfo>')
VC90 = ('<dependency><dependentAssembly><assemblyIdentity type="win32" '
        'name="Microsoft.VC90.CRT" version="9.0.21022.8"/>'
        '</dependentAssembly></dependency>')


def manifest(text):
    return start_policy.Manifest(ASSEMBLY.format(text).encode())


class JudgementTest(unittest.TestCase):
    def test_table(self):
        rows = [
            # why, image, manifest, starts only elevated, unjudged, notes
            ("asks for nothing more", Image, manifest(LEVEL.format(
                "asInvoker")), None, 0, 0),
            ("asks for administrator", Image, manifest(LEVEL.format(
                "requireAdministrator")), True, 0, 0),
            ("installer detection", Image32(), None, True, 0, 0),
            ("needs the VC90 runtime", Image, manifest(VC90), None, 0, 1),
            ("a manifest not read here", Image32(), start_policy.Manifest(
                b'<?xml version="1.0" encoding="Shift_JIS"?><a/>'), None, 1,
             0),
            ("not well-formed", Image, start_policy.Manifest(b"<a><b></a>"),
             False, 0, 0),
        ]
        for why, image, parsed, elevated, unjudged, notes in rows:
            with self.subTest(why):
                judged = program_judgement.judge_program(image, parsed)
                if elevated is None:
                    self.assertIsNone(judged.refusal)
                else:
                    self.assertEqual(judged.refusal.elevated_would_start,
                                     elevated)
                self.assertEqual(len(judged.unjudged), unjudged)
                self.assertEqual(judged.unread is not None, unjudged == 1)
                self.assertEqual(len(judged.notes), notes)
        judged = program_judgement.judge_program(Image, manifest(VC90))
        self.assertEqual(judged.notes, [
            "depends on Microsoft.VC90.CRT, which a fresh Windows lacks: it "
            "starts only where that runtime was installed first"])


if __name__ == "__main__":
    unittest.main()
