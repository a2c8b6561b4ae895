#!/usr/bin/env python3
"""Signing's options and command: options that do not go together are
refused, a pack asked to sign where osslsigncode is missing is refused
(with signtool's way on Windows), and the signing command fixes the time
with SOURCE_DATE_EPOCH and leaves nothing behind when it fails."""
import os
import shutil
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import signing  # noqa: E402
from release_tools.pack_rules import Refusal  # noqa: E402


class SigningTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="signing-test.")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.cert = os.path.join(self.work, "cert.pem")
        self.key = os.path.join(self.work, "key.pem")
        for path in (self.cert, self.key):
            open(path, "w").close()

    def test_options(self):
        have = mock.patch.object(signing.shutil, "which",
                                 return_value="/usr/bin/osslsigncode")
        rows = [
            # why, certificate, key, url, platform, osslsigncode, said
            ("not signed", None, None, None, "linux", True, None),
            ("a time stamp alone", None, None, "http://t/", "linux", True,
             "--timestamp-url needs"),
            ("a certificate alone", self.cert, None, None, "linux", True,
             "go together"),
            ("a key that is missing", self.cert, self.key + ".none", None,
             "linux", True, "does not exist"),
            ("no osslsigncode", self.cert, self.key, None, "linux", False,
             "apt-get install osslsigncode"),
            ("no osslsigncode on Windows", self.cert, self.key, None,
             "win32", False, "signtool sign /fd SHA256"),
        ]
        for why, cert, key, url, platform, found, said in rows:
            with self.subTest(why), \
                    mock.patch.object(signing.sys, "platform", platform), \
                    mock.patch.object(signing.shutil, "which",
                                      return_value="/x" if found else None):
                if said is None:
                    self.assertIsNone(signing.check_signing(cert, key, url))
                else:
                    with self.assertRaisesRegex(Refusal, said):
                        signing.check_signing(cert, key, url)
        with have:
            signed = signing.check_signing(
                os.path.relpath(self.cert), self.key, "http://t/")
        self.assertEqual(signed.certificate, self.cert)
        self.assertEqual(signed.timestamp_url, "http://t/")

    def test_the_command(self):
        image = os.path.join(self.work, "installer.exe")
        open(image, "w").close()
        given = signing.Signing(self.cert, self.key, "http://t/")

        def fails(command, what):
            open(command[command.index("-out") + 1], "w").close()
            raise Refusal(f"{what} failed")

        with mock.patch.dict(os.environ, {"SOURCE_DATE_EPOCH": "1700000000"}), \
                mock.patch.object(signing, "run_tool",
                                  side_effect=fails) as run:
            with self.assertRaisesRegex(Refusal, "signing failed"):
                signing.sign_image(image, given)
        command = run.call_args[0][0]
        self.assertEqual(command[:6], ["osslsigncode", "sign", "-time",
                                       "1700000000", "-t", "http://t/"])
        self.assertIn("sha256", command)
        # The half-signed copy goes; the image stays as it was.
        self.assertEqual(sorted(os.listdir(self.work)),
                         ["cert.pem", "installer.exe", "key.pem"])


if __name__ == "__main__":
    unittest.main()
