#!/usr/bin/env python3
"""The packer's own refusals that no outside program can time: an input
rewritten by another program while it is copied is not packed, and nothing
is left of the installer; an output that would replace an input, a device
or a folder is refused; the inspector's verdict, judged in this process,
becomes the packer's refusal or its closing line; the product's version
and icon go into the stub's own resources. Some need the built stub:
STUB_BUILD_DIR."""
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import pack_command, packing  # noqa: E402
from release_tools import pe_image, verdict, version_record  # noqa: E402
from release_tools.pack_rules import Refusal  # noqa: E402

BUILD = os.environ.get("STUB_BUILD_DIR", "")
STAND_IN = os.path.join(BUILD, "testing", "stand_in_setup",
                        "stand_in_setup.exe")


@unittest.skipIf(not os.path.isfile(STAND_IN) or shutil.which("7z") is None,
                 "needs the built stub (STUB_BUILD_DIR) and 7z")
class ChangedInputTest(unittest.TestCase):
    def test_input_rewritten_while_copied_is_refused(self):
        work = tempfile.mkdtemp(prefix="packing-test.")
        self.addCleanup(shutil.rmtree, work, True)
        with open(os.path.join(work, "readme.txt"), "wb") as f:
            f.write(os.urandom(5000))
        subprocess.run(["7z", "a", "-bd", "-bso0", "product.7z",
                        "readme.txt"], cwd=work, check=True)
        archive = os.path.join(work, "product.7z")
        output = os.path.join(work, "installer.exe")
        parser_args = ["--build-dir", BUILD, "--no-build", "--no-inspect",
                       "--quiet", "--archive", archive, "--setup", STAND_IN,
                       "--output", output]
        real = packing.lay_out_sections

        def rewritten_meanwhile(*args, **kwargs):
            # Another program appends to the archive as it is copied.
            with open(archive, "ab") as f:
                f.write(b"appended")
            return real(*args, **kwargs)

        said = io.StringIO()
        with mock.patch.object(packing, "lay_out_sections",
                               rewritten_meanwhile), \
                mock.patch.object(sys, "argv", ["pack-installer"] +
                                  parser_args), \
                mock.patch.object(sys, "stderr", said):
            status = pack_command.main()
        self.assertEqual(status, 1)
        self.assertIn("changed while it was packed", said.getvalue())
        self.assertEqual(sorted(os.listdir(work)),
                         ["product.7z", "readme.txt"])


class OutputTest(unittest.TestCase):
    def test_what_an_output_may_replace(self):
        work = tempfile.mkdtemp(prefix="packing-test.")
        self.addCleanup(shutil.rmtree, work, True)
        archive = os.path.join(work, "product.7z")
        with open(archive, "wb") as f:
            f.write(b"archive")
        old = os.path.join(work, "old.exe")
        with open(old, "wb") as f:
            f.write(b"an older installer")
        rows = [
            ("a new file", os.path.join(work, "new.exe"), None),
            ("an older installer", old, None),
            ("the archive", archive, "is the input"),
            ("a folder", work, "is a folder"),
            ("a device", "/dev/null", "not a regular file"),
            ("in no folder", os.path.join(work, "none", "x.exe"),
             "does not exist"),
        ]
        for why, output, said in rows:
            with self.subTest(why):
                try:
                    packing.check_output(output, output, (archive, None))
                    message = None
                except Refusal as refusal:
                    message = str(refusal)
                if said is None:
                    self.assertIsNone(message)
                else:
                    self.assertIn(said, message or "accepted")


class InspectionVerdictTest(unittest.TestCase):
    def verdict(self, status, said):
        def inspect(path, build_dir, quiet, output):
            self.assertTrue(quiet)
            for text, error in said:
                output.say(text, error)
            return status
        with mock.patch.object(packing, "inspect_safely",
                               side_effect=lambda path, build_dir, quiet,
                               output: inspect(path, build_dir, quiet,
                                               output)), \
                mock.patch.object(sys, "stderr", io.StringIO()) as err:
            try:
                return packing.inspect_image("x.exe", "build"), err.getvalue()
            except Refusal as refusal:
                return f"refused: {refusal}", err.getvalue()

    def test_the_inspectors_verdict_is_the_packers(self):
        outcome = "outcome: success archive-type=B7 setup-type=BL road=plain"
        failure = ("outcome: failure exit-code=108 windows-error=0 "
                   "(PathTooLong, at the unpack stage)\nadvice: shorter")
        rows = [
            ("success", verdict.EXIT_SUCCESS, [(outcome, False)], outcome),
            ("success with a warning after it", verdict.EXIT_SUCCESS,
             [(outcome, False), ("inspect-installer: warning: the probe's "
                                 "work folder could not be removed", True)],
             outcome),
            ("a failure", verdict.EXIT_FAILURE_PREDICTED,
             [(failure, False)], "refused: the inspection of the installer "
             "predicts that it fails where it was written:\n" + failure),
            ("no prediction", verdict.EXIT_NO_PREDICTION,
             [("not judged: why", False)],
             "refused: the inspection of the installer failed:\nnot "
             "judged: why\n"),
            ("the inspector's own fault", verdict.EXIT_INSPECTOR_FAILED,
             [("inspect-installer: the inspector failed: KeyError", True)],
             "refused: the inspection of the installer failed:\n"
             "inspect-installer: the inspector failed: KeyError"),
            ("no probe here", verdict.EXIT_NO_PROBE,
             [("inspect-installer: unpacking not predicted: no Wine", False)],
             "outcome: none (neither Windows nor Wine here to run the "
             "probe)"),
        ]
        for why, status, said, expected in rows:
            with self.subTest(why):
                line, err = self.verdict(status, said)
                self.assertTrue(line.startswith(expected), line)
        line, err = self.verdict(verdict.EXIT_NO_PROBE, rows[-1][2])
        self.assertEqual(err, "pack-installer: inspect-installer: unpacking "
                              "not predicted: no Wine\n")


@unittest.skipIf(not os.path.isfile(os.path.join(BUILD, "stub",
                                                 "installer_stub.exe")),
                 "needs the built stub (STUB_BUILD_DIR)")
class ProductResourcesTest(unittest.TestCase):
    def test_version_strings_and_manifest(self):
        bare = os.path.join(BUILD, "stub", "installer_stub.exe")
        self.assertEqual(packing.product_resources(packing.ProductOptions(),
                                                   bare), ([], []))
        own, drop = packing.product_resources(packing.ProductOptions(
            "2.5.1.300", strings={"company_name": "Acme"}), bare)
        self.assertEqual(drop, [])
        resources = {resource_type: data for resource_type, _, data in own}
        numbers, _, strings = version_record.read_version_record(
            resources[packing.RT_VERSION])
        self.assertEqual(tuple(numbers), (2, 5, 1, 300))
        self.assertEqual((strings["CompanyName"], strings["FileVersion"],
                          strings["ProductVersion"]),
                         ("Acme", "2.5.1.300", "2.5.1.300"))
        identity = packing.MANIFEST_IDENTITY.search(
            resources[packing.RT_MANIFEST]).group(0)
        self.assertIn(b'version="2.5.1.300"', identity)
        with open(bare, "rb") as f:
            before = pe_image.read_resources(pe_image.PeImage(f.read()))
        manifest = bytes(next(r for r in before
                              if r.type == packing.RT_MANIFEST).data)
        # Only the identity's version changes.
        version = re.search(rb'\sversion="([^"]*)"',
                            packing.MANIFEST_IDENTITY.search(manifest)
                            .group(0)).group(1)
        self.assertEqual(resources[packing.RT_MANIFEST].replace(
            b'version="2.5.1.300"', b'version="' + version + b'"', 1),
            manifest)

if __name__ == "__main__":
    unittest.main()
