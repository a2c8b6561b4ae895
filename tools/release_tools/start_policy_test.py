#!/usr/bin/env python3
"""Manifests as Windows reads them: settings in their own namespaces pass,
settings given twice or in another year's namespace do not, an identity
for another machine does not, and an encoding that cannot be decoded is
named. A manifest is parsed once, and one larger than any program carries
is not parsed at all (12 MB of markup took seconds and hundreds of
megabytes, four times over)."""
import os
import sys
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import start_policy  # noqa: E402

SMI = "http://schemas.microsoft.com/SMI/{}/WindowsSettings"


def manifest(*settings, identity='processorArchitecture="amd64"'):
    elements = "".join(f'<{name} xmlns="{SMI.format(year)}">{value}</{name}>'
                       for name, year, value in settings)
    return (f'<assembly xmlns="urn:schemas-microsoft-com:asm.v1" '
            f'manifestVersion="1.0"><assemblyIdentity type="win32" '
            f'name="Acme.Setup" version="1.0.0.0" {identity}/>'
            f'<application xmlns="urn:schemas-microsoft-com:asm.v3">'
            f'<windowsSettings>{elements}</windowsSettings></application>'
            f'</assembly>').encode()


class SettingsTest(unittest.TestCase):
    def test_table(self):
        rows = [
            ("the IDE template's DPI pair", manifest(
                ("dpiAware", 2005, "true/pm"),
                ("dpiAwareness", 2016, "PerMonitorV2")), None),
            ("long paths and UTF-8", manifest(
                ("longPathAware", 2016, "true"),
                ("activeCodePage", 2019, "UTF-8")), None),
            ("an element not judged here", manifest(
                ("printerDriverIsolation", 2011, "true")), None),
            ("https, as some samples write it", manifest(
                ("dpiAware", 2005, "true")).replace(b"http:", b"https:"),
             None),
            ("dpiAware twice", manifest(("dpiAware", 2005, "true"),
                                        ("dpiAware", 2005, "false")),
             "gives dpiAware twice"),
            ("activeCodePage in 2016", manifest(
                ("activeCodePage", 2016, "UTF-8")),
             "activeCodePage in the 2016 settings namespace"),
        ]
        for why, data, expected in rows:
            with self.subTest(why):
                problem = start_policy.settings_problem(data)
                if expected is None:
                    self.assertIsNone(problem)
                else:
                    self.assertIn(expected, problem or "")

    def test_identity_architecture(self):
        for identity, machine, expected in (
                ('processorArchitecture="amd64"', 0x8664, None),
                ('processorArchitecture="*"', 0x8664, None),
                ("", 0x8664, None),
                ('processorArchitecture="x86"', 0x8664, "x86"),
                ('processorArchitecture="AMD64"', 0x8664, None),
                ('processorArchitecture="amd64"', 0x14C, "amd64")):
            with self.subTest(identity, machine=machine):
                self.assertEqual(start_policy.identity_architecture_mismatch(
                    manifest(identity=identity), machine), expected)

    def test_undecodable_encoding_is_named(self):
        for encoding in ("Shift_JIS", "ANSI", "x-nonesuch"):
            with self.subTest(encoding), self.assertRaisesRegex(
                    start_policy.ManifestError, encoding):
                start_policy.requested_privileges(
                    f'<?xml version="1.0" encoding="{encoding}"?><a/>'
                    .encode())


class Image:
    """What refusal_to_start asks of an image: a startable x86-64 program."""
    machine = 0x8664

    @staticmethod
    def refusal_to_start_at_all():
        return None


class SizeAndParsingTest(unittest.TestCase):
    def test_parsed_once_for_every_question(self):
        data = manifest(("dpiAware", 2005, "true"))
        parse = mock.Mock(wraps=start_policy.ElementTree.fromstring)
        with mock.patch.object(start_policy.ElementTree, "fromstring", parse):
            parsed = start_policy.Manifest(data)
            self.assertIsNone(start_policy.refusal_to_start(Image, parsed))
            start_policy.describe_execution_level(parsed)
            start_policy.missing_dependencies(parsed)
        self.assertEqual(parse.call_count, 1)

    def test_too_large_is_not_parsed_and_says_so(self):
        head = manifest()[:-len(b"</assembly>")]
        rows = [
            # why, bytes, too large
            ("at the limit", head + b" " * (
                start_policy.MANIFEST_LIMIT - len(head) - 11) +
             b"</assembly>", False),
            ("one byte more", head + b" " * (
                start_policy.MANIFEST_LIMIT - len(head) - 10) +
             b"</assembly>", True),
        ]
        for why, data, too_large in rows:
            with self.subTest(why):
                parse = mock.Mock(wraps=start_policy.ElementTree.fromstring)
                with mock.patch.object(start_policy.ElementTree,
                                       "fromstring", parse):
                    parsed = start_policy.Manifest(data)
                self.assertEqual(parsed.too_large, too_large)
                self.assertEqual(parse.call_count, 0 if too_large else 1)
                self.assertEqual(parsed.unjudged() is not None, too_large)
                self.assertEqual(
                    "not read here" in
                    start_policy.describe_execution_level(parsed), too_large)
                self.assertIsNone(start_policy.refusal_to_start(Image,
                                                                parsed))


if __name__ == "__main__":
    unittest.main()
