#!/usr/bin/env python3
"""What a metered run reads: /proc's fields, the span of the payload's
writes off the samples of the written-byte count, and setup's record of
its start held to the line the stub gives setup."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench import metering  # noqa: E402
from bench.plan import MIB, BenchError  # noqa: E402
from release_tools.contract import CONTRACT  # noqa: E402


class ProcFieldsTest(unittest.TestCase):
    def test_numbers_only(self):
        fields = metering.proc_fields(
            "Name:\twine64-preloader\nRssAnon:\t  1024 kB\nState:\tS (sleeping)"
            "\nwchar: 5\n")
        self.assertEqual(fields, {"RssAnon": 1024, "wchar": 5})
        self.assertEqual(metering.proc_fields(None), {})


class WritingSpanTest(unittest.TestCase):
    def test_span_ignores_small_writes(self):
        sampler = metering.Sampler("Z:\\installer.exe")
        # Wine's own small writes, then the payload, then a few more bytes.
        counts = [1000, 2000, MIB + 1, 50 * MIB, 100 * MIB, 100 * MIB + 10]
        sampler.wchar_history = list(zip(range(10, 70, 10), counts))
        sampler.wchar = counts[-1]
        self.assertEqual(sampler.writing_span(), (30, 50))
        self.assertEqual(metering.Sampler("x").writing_span(), (None, None))


class SetupRecordTest(unittest.TestCase):
    def test_the_line_the_stub_gives_setup(self):
        folder = "Z:\\bench\\stub\\" + CONTRACT.work_folder_prefix + "1A2B3" + \
            CONTRACT.work_folder_suffix
        pattern = r"Z:\\bench\\stub\\" + CONTRACT.work_folder_pattern()
        line = (f'"{folder}\\{CONTRACT.setup_program_name}" '
                f'--install-archive="{folder}\\KORVEL.PACKED.7Z"')
        good = {"command_line": line, "install-archive.size": "1000",
                "exit_code": "0"}
        metering.check_setup_record(good, pattern, 1000, "stub")
        rows = [
            ("another folder", dict(good, command_line=line.replace(
                "1A2B3", "ZZZZZ")), "unexpected command line"),
            ("the archive elsewhere", dict(good, command_line=line.replace(
                'archive="Z:\\bench', 'archive="Z:\\other')),
             "unexpected command line"),
            ("a short archive", dict(good, **{"install-archive.size": "999"}),
             "archive size"),
            ("setup failed", dict(good, exit_code="1"), "exit code"),
        ]
        for why, record, said in rows:
            with self.subTest(why), self.assertRaisesRegex(BenchError, said):
                metering.check_setup_record(record, pattern, 1000, "stub")

    def test_records_read_as_keys_and_values(self):
        with tempfile.NamedTemporaryFile("w", delete=False) as f:
            f.write("exit_code=0\ncommand_line=\"a=b\" --x=y\nnoise\n")
        self.addCleanup(os.remove, f.name)
        self.assertEqual(metering.read_record(f.name),
                         {"exit_code": "0", "command_line": "\"a=b\" --x=y",
                          "noise": ""})


if __name__ == "__main__":
    unittest.main()
