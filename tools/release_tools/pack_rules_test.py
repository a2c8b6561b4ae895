#!/usr/bin/env python3
"""The packer's refusal rules that need no build: names the installer
would not find or could not write (the limit derived from its work
folder's name), previous-version texts it cannot pass on, product options
Windows would not read, payloads too large for one image, dates a cabinet
cannot store, and inputs that are plainly something else."""
import os
import shutil
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import pack_rules  # noqa: E402
from release_tools.pack_rules import Refusal  # noqa: E402
from release_tools.packing import ProductOptions  # noqa: E402


class RulesTest(unittest.TestCase):
    def refused(self, call, *arguments):
        """The refusal's message, or None when `call` accepts."""
        try:
            call(*arguments)
        except Refusal as refusal:
            return str(refusal)
        return None

    def check(self, rows, call):
        for why, arguments, said in rows:
            with self.subTest(why):
                message = self.refused(call, *arguments)
                if said is None:
                    self.assertIsNone(message)
                else:
                    self.assertIn(said, message or "accepted")

    def test_names(self):
        # "C:\" and "KV_xxxxx.tmp\" leave 243 of a 259-character path.
        self.assertEqual(pack_rules.NAME_LENGTH_LIMIT, 243)
        longest = "setup" + "x" * 238
        self.check([
            ("the default", ("SETUP.EX_", "cabinet"), None),
            ("the longest", (longest, "plain"), None),
            ("one more", (longest + "x", "plain"), "longer than 243"),
            ("no prefix", ("install.exe", "plain"), "does not start with"),
            ("a space", ("setup x", "plain"), "may hold only"),
            ("empty", ("", "plain"), "may hold only"),
            ("a trailing dot", ("setup.", "plain"), "ends with a dot"),
            ("the cabinet's own member", ("SETUP.EXE", "cabinet"),
             "choose another"),
            ("a patch named as what it makes", ("setup.exe", "patch"),
             "choose another"),
            ("a plain program may be setup.exe", ("setup.exe", "plain"),
             None),
        ], pack_rules.check_setup_name)
        self.check([("the default", ("KORVEL.PACKED.7Z",), None),
                    ("no prefix", ("product.7z",), "'korvel'")],
                   pack_rules.check_archive_name)

    def test_previous_version(self):
        self.assertEqual(pack_rules.check_previous_version("4.2"),
                         "4.2".encode("utf-16-le") + b"\0\0")
        self.check([
            ("259 characters", ("1" * 259,), None),
            ("260", ("1" * 260,), "longer than 259"),
            ("a quote", ('1"2',), "double quote"),
            ("a NUL", ("1\0",), "NUL"),
            ("a lone surrogate", ("\ud800",), "not valid text"),
        ], pack_rules.check_previous_version)

    def test_product(self):
        self.check([
            ("nothing given", (ProductOptions(), True), None),
            ("a version", (ProductOptions("1.2.3.4"), False), None),
            ("a version on the bare stub", (ProductOptions("1.2.3.4"), True),
             "--product-version is for installers"),
            ("a string on a layout for tests",
             (ProductOptions(strings={"company_name": "Acme"}), True),
             "--company-name is for installers"),
            ("a part above 65535", (ProductOptions("1.2.3.65536"), False),
             "above 65535"),
            ("a long string", (ProductOptions(
                strings={"copyright": "c" * 257}), False), "at most 256"),
            ("a missing icon", (ProductOptions(icon="/no/such.ico"), False),
             "does not exist"),
        ], pack_rules.check_product)

    def test_payload_and_dates(self):
        limit = pack_rules.PAYLOAD_LIMIT
        self.check([("at the limit", ([limit - 10, 10],), None),
                    ("one byte more", ([limit, 1],), "above the limit")],
                   pack_rules.check_payload_size)
        for text, seconds, said in [
                (None, None, None), ("", None, None),
                ("315532800", 315532800, None),
                ("315532799", None, "outside the years 1980 to 2107"),
                ("4354819199", None, "outside the years"),
                ("12ab", None, "not a number of seconds"),
                ("\u00b2", None, "not a number of seconds")]:
            environment = {} if text is None else {"SOURCE_DATE_EPOCH": text}
            with self.subTest(text), mock.patch.dict(os.environ, environment,
                                                     clear=True):
                message = self.refused(pack_rules.source_date_epoch)
                if said is None:
                    self.assertIsNone(message)
                    self.assertEqual(pack_rules.source_date_epoch(), seconds)
                else:
                    self.assertIn(said, message or "accepted")

    def test_what_an_input_plainly_is(self):
        work = tempfile.mkdtemp(prefix="pack-rules-test.")
        self.addCleanup(shutil.rmtree, work, True)

        def file(name, data):
            path = os.path.join(work, name)
            with open(path, "wb") as f:
                f.write(data)
            return path

        cabinet = file("setup.cab", b"MSCF" + bytes(60))
        archive = file("setup.7z", b"7z\xbc\xaf\x27\x1c" + bytes(60))
        program = file("setup.exe", b"MZ" + bytes(60))
        text = file("setup.txt", b"not a program")
        self.check([("a cabinet", (cabinet,), "is a cabinet, not a patch"),
                    ("an archive", (archive,), "is an archive, not a patch"),
                    ("a program", (program,), "is a program, not a patch"),
                    ("a patch", (text,), None)], pack_rules.check_patch)
        self.check([("a cabinet", (cabinet,), "is a cabinet, not a program"),
                    ("an archive", (archive,), "is a 7z archive"),
                    ("text", (text,), "not a PE image (no MZ header)"),
                    ("a program", (program,), None)],
                   pack_rules.check_program_head)
        self.check([("a folder", (work, "archive"), "is not a file"),
                    ("missing", (work + "/none", "archive"),
                     "does not exist"),
                    ("a file", (text, "archive"), None)],
                   pack_rules.check_input_file)


if __name__ == "__main__":
    unittest.main()
