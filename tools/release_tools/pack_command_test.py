#!/usr/bin/env python3
"""The packing command's line: every option reaches the PackRequest, and
no further than it; a refusal, a layout error and a failing volume each
end in one line and status 1, never a traceback; the help names the
payload's types as the contract gives them."""
import contextlib
import io
import os
import sys
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import pack_command  # noqa: E402
from release_tools.contract import CONTRACT  # noqa: E402
from release_tools.image_writer import LayoutError  # noqa: E402
from release_tools.pack_rules import Refusal  # noqa: E402


def request(*argv):
    return pack_command.request_of(pack_command.parser().parse_args(
        ["--output", "out.exe", *argv]))


class RequestTest(unittest.TestCase):
    def test_every_option_reaches_the_request(self):
        made = request(
            "--archive", "a.7z", "--setup", "s.exe", "--setup-kind", "plain",
            "--archive-name", "korvel.7z", "--setup-name", "setup.bin",
            "--previous-version=", "--allow-elevated-setup",
            "--product-version", "1.2.3.4", "--company-name", "Acme",
            "--icon", "i.ico", "--map", "m.map", "--sign-cert", "c.pem",
            "--sign-key", "k.pem", "--timestamp-url", "http://t/",
            "--build-dir", "b", "--no-build", "--page-aligned-sections",
            "--quiet", "--no-inspect")
        self.assertEqual(
            (made.archive, made.setup, made.setup_kind, made.archive_name,
             made.setup_name, made.previous_version,
             made.allow_elevated_setup, made.output, made.map_file,
             made.sign_cert, made.sign_key, made.timestamp_url,
             made.build_dir, made.no_build, made.page_aligned_sections,
             made.quiet, made.no_inspect),
            ("a.7z", "s.exe", "plain", "korvel.7z", "setup.bin", "", True,
             "out.exe", "m.map", "c.pem", "k.pem", "http://t/", "b", True,
             True, True, True))
        self.assertEqual((made.product.version, made.product.icon,
                          made.product.strings),
                         ("1.2.3.4", "i.ico", {"company_name": "Acme"}))
        self.assertEqual(made.product.given(),
                         ["product_version", "icon", "company_name"])
        self.assertTrue(made.linked())
        plain = request("--archive", "a.7z", "--setup", "s.exe")
        self.assertEqual((plain.setup_kind, plain.previous_version,
                          plain.product.given(), plain.linked()),
                         ("cabinet", None, [], False))

    def test_help_names_the_contracts_types(self):
        text = " ".join(pack_command.parser().format_help().split())
        for resource_type, name in pack_command.SETUP_KINDS.values():
            self.assertIn(f"{resource_type} {name})", text)
        self.assertIn(f"must start with '{CONTRACT.archive_prefix}'", text)
        self.assertIn(f"must start with '{CONTRACT.setup_prefix}'", text)


class MainTest(unittest.TestCase):
    def main(self, failure):
        said = io.StringIO()
        with mock.patch.object(pack_command, "pack",
                               side_effect=failure), \
                contextlib.redirect_stderr(said):
            status = pack_command.main(["--output", "out.exe"])
        return status, said.getvalue()

    def test_each_failure_is_one_line(self):
        full = OSError(28, "No space left on device")
        full.filename = "/small/out.exe"
        rows = [
            ("a refusal", Refusal("archive 'a.7z': it is cut short"),
             "pack-installer: archive 'a.7z': it is cut short\n"),
            ("a layout error", LayoutError("the image is already signed"),
             "pack-installer: the image is already signed\n"),
            ("a full volume", full, "pack-installer: No space left on "
             "device (/small/out.exe); nothing was written\n"),
        ]
        for why, failure, said in rows:
            with self.subTest(why):
                self.assertEqual(self.main(failure), (1, said))
        self.assertEqual(self.main(None), (0, ""))


if __name__ == "__main__":
    unittest.main()
