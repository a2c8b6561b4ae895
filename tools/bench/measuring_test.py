#!/usr/bin/env python3
"""The benchmark's rounds without Wine: the order rotates so that every
contender runs in every place, and a run is held to what it must do (exit
0, setup started with the stub's line in the installer's own folder,
nothing left beside the installer) before its figures count."""
import os
import shutil
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench import measuring  # noqa: E402
from bench.plan import BenchError  # noqa: E402
from release_tools.contract import CONTRACT  # noqa: E402


class RoundOrderTest(unittest.TestCase):
    def test_every_contender_in_every_place(self):
        runs = ["a", "b", "c"]
        orders = [measuring.round_order(runs, i) for i in range(6)]
        self.assertEqual(orders[:3], [["a", "b", "c"], ["b", "c", "a"],
                                      ["c", "a", "b"]])
        self.assertEqual(orders[3:], orders[:3])


class RunInstallerTest(unittest.TestCase):
    def setUp(self):
        self.build = tempfile.mkdtemp(prefix="bench-test.")
        self.addCleanup(shutil.rmtree, self.build, True)
        self.bench = measuring.Bench(self.build)
        self.bench.setup = os.path.join(self.build, "setup.exe")
        self.bench.sizes["16 MB"] = {"archive": 1000}
        os.makedirs(self.bench.folder("16 MB", "stub"))
        self.installer = self.bench.folder("16 MB", "stub", "Installer.exe")
        open(self.installer, "wb").close()
        self.record = os.path.join(self.build, "record.txt")

    def run_with(self, exit_code="0", folder_name=None, left=None):
        """Runs the stub's contender with a run_meter that says
        `exit_code` and a setup that records its start in `folder_name`."""
        folder = measuring.winpath(os.path.dirname(self.installer)) + "\\" + (
            folder_name or CONTRACT.work_folder_prefix + "0F0F0" +
            CONTRACT.work_folder_suffix)
        with open(self.record, "w") as f:
            f.write(f'command_line="{folder}\\{CONTRACT.setup_program_name}" '
                    f'--install-archive="{folder}\\KORVEL.PACKED.7Z"\n'
                    "install-archive.size=1000\nexit_code=0\nstarted=20\n")
        if left:
            open(os.path.join(os.path.dirname(self.installer), left),
                 "w").close()
        meter = {"exit_code": exit_code, "wall_seconds": "1.5",
                 "start_filetime": "10", "peak_working_set": "1",
                 "peak_pagefile": "2", "peak_private": "3",
                 "write_bytes": "4", "samples": "5"}
        with mock.patch.object(measuring, "run_metered",
                               return_value=(meter, {"peak_rss": 7})):
            return self.bench.run_installer("16 MB", "stub", self.record)

    def test_a_run_counts_only_when_it_did_its_work(self):
        figures = self.run_with()
        self.assertEqual(figures["wall"], 1.5)
        self.assertEqual(figures["peak_rss"], 7)
        self.assertAlmostEqual(figures["setup_start"], 1e-6)
        rows = [
            ("a failed run", {"exit_code": "112"}, "exited with 112"),
            ("setup started elsewhere", {"folder_name": "OTHER.tmp"},
             "unexpected command line"),
            ("a file left beside it", {"left": "KORVEL.PACKED.7Z"},
             "still holds"),
        ]
        for why, changes, said in rows:
            with self.subTest(why), self.assertRaisesRegex(BenchError, said):
                self.run_with(**changes)


if __name__ == "__main__":
    unittest.main()
