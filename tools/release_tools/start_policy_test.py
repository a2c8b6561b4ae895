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


LAUGHS = ('<?xml version="1.0"?><!DOCTYPE assembly [<!ENTITY lol "lol">' +
          "".join('<!ENTITY lol%d "%s">' % (i, ("&lol%d;" % (i - 1) if i > 1
                                                else "&lol;") * 10)
                  for i in range(1, 10)) +
          ']><assembly xmlns="urn:schemas-microsoft-com:asm.v1">&lol9;'
          '</assembly>').encode()


class Image32(Image):
    """A 32-bit program that Windows starts, native or .NET."""
    machine = 0x14C

    def __init__(self, clr_flags=None):
        self.flags = clr_flags

    def clr_flags(self):
        return self.flags


class WhatIsNotJudgedTest(unittest.TestCase):
    """What this tool's parser cannot read is said as its limit, never as
    Windows' refusal; a manifest that is not well-formed still is one."""

    def test_table(self):
        doctype = (b'<?xml version="1.0"?><!DOCTYPE assembly [<!ENTITY l '
                   b'"asInvoker">]>' + manifest())
        rows = [
            # why, bytes, unjudged because, not well-formed
            ("an encoding not decoded here",
             b'<?xml version="1.0" encoding="Shift_JIS"?><a/>',
             "declares the encoding 'Shift_JIS', which this tool does not "
             "decode", False),
            ("entities that expand a billion times", LAUGHS,
             "entities expand past", False),
            ("an entity a DOCTYPE may define elsewhere",
             b'<!DOCTYPE a SYSTEM "a.dtd"><a>&product;</a>',
             "may define outside itself", False),
            ("a DOCTYPE read whole", doctype, "has a DOCTYPE", False),
            ("a DOCTYPE in UTF-16", doctype.decode().replace(
                'version="1.0"?>', 'version="1.0" encoding="UTF-16"?>', 1)
             .encode("utf-16"), "has a DOCTYPE", False),
            ("an entity never defined, without a DOCTYPE",
             b"<a>&product;</a>", None, True),
            ("a DOCTYPE and a tag left open", b"<!DOCTYPE a><a><b></a>",
             "has a DOCTYPE", True),
            ("an ordinary manifest", manifest(), None, False),
        ]
        for why, data, because, malformed in rows:
            with self.subTest(why):
                parsed = start_policy.Manifest(data)
                self.assertEqual(parsed.error is not None, malformed)
                if because is None:
                    self.assertIsNone(parsed.unjudged())
                else:
                    self.assertIn(because, parsed.unjudged() or "")
                refusal = start_policy.refusal_to_start(Image, parsed)
                if malformed:
                    self.assertIn("not well-formed XML", refusal.reason)
                    self.assertIn("Windows starts no program", refusal.reason)
                elif parsed.unread:
                    # Nothing is claimed of what it asks for, not even by
                    # installer detection.
                    self.assertIsNone(refusal)
                    self.assertIsNone(start_policy.refusal_to_start(
                        Image32(), parsed))

    def test_installer_detection_of_a_dotnet_image(self):
        native = start_policy.refusal_to_start(Image32(), None)
        dotnet = start_policy.refusal_to_start(Image32(clr_flags=1), None)
        for refusal in (native, dotnet):
            self.assertTrue(refusal.elevated_would_start)
            self.assertIn("installer detection", refusal.reason)
        self.assertIn("32-bit program", native.reason)
        # Marked x86, it may run as a 64-bit process: never called 32-bit.
        self.assertNotIn("32-bit", dotnet.reason)
        self.assertIn("marked x86", dotnet.reason)


if __name__ == "__main__":
    unittest.main()
