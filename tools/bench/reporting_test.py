#!/usr/bin/env python3
"""The report of measured figures: medians over the runs that have a
figure, the best of the fair floors as the goals' measure, each goal
PASS or MISS by its own bound, and every section of the report present."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench import reporting  # noqa: E402
from bench.plan import CONTENDERS, MB, MIB, PROBE  # noqa: E402

LABELS = ["16 MB", "64 MB", "256 MB"]
PAYLOAD = {"16 MB": 20 * MB, "64 MB": 68 * MB, "256 MB": 260 * MB}


def run(wall, private=10 * MIB, **more):
    figures = {"wall": wall, "setup_start": wall / 2, "peak_rss": 20 * MIB,
               "peak_private": private, "written": 100 * MB,
               "write_began": 0.1, "write_ended": wall / 2,
               "meter_peak_working_set": 1, "meter_peak_pagefile": 1,
               "meter_private": 1, "sampled_hwm": 1, "peak_file": 1,
               "peak_shmem": 1, "wchar": 1, "meter_write_bytes": 1,
               "copy": wall / 4}
    figures.update(more)
    return figures


def measured(stub_at_256=1.1, private_at_256=11 * MIB, packing=(1.0, 2.0)):
    """Figures where the fair floor (mapped) is best, at 1 s a 100 MB."""
    results = {}
    for label in LABELS:
        floor = PAYLOAD[label] / MB / 100
        walls = {"stub": floor * 1.1, "nsis": floor * 3, "floor": floor / 2,
                 "fair-map": floor, "fair-read": floor * 1.05,
                 "fair-copy": floor * 1.3, "before": floor * 1.2}
        if label == "256 MB":
            walls["stub"] = floor * stub_at_256
        for contender in CONTENDERS:
            private = private_at_256 if label == "256 MB" else 10 * MIB
            results[(label, contender)] = [
                run(walls[contender] * f, private) for f in (0.9, 1, 1.5)]
        results[(label, PROBE)] = [run(0.05)]
    sizes = {label: {"stub_payload": PAYLOAD[label],
                     "stub": PAYLOAD[label] + 30000,
                     "nsis": PAYLOAD[label] + 60000,
                     "nsis_payload": PAYLOAD[label]} for label in LABELS}
    return reporting.Measured(results, sizes, 3, ("1 GB",) + packing,
                              LABELS)


class ReportTest(unittest.TestCase):
    def setUp(self):
        with tempfile.NamedTemporaryFile(delete=False) as f:
            f.write(bytes(15000))
        self.stub = f.name
        self.addCleanup(os.remove, f.name)

    def goals(self, figures):
        text = reporting.report(figures, self.stub, "/")
        return [line for line in text.splitlines()
                if line.startswith(("- PASS", "- MISS"))]

    def test_goals_pass_and_miss_by_their_bounds(self):
        rows = [
            # why, figures, the goal's words, PASS
            ("stub at 1.1 of the fair floor", measured(), "at 256 MB is 1.10",
             True),
            ("stub at 1.3 of it", measured(stub_at_256=1.3),
             "at 256 MB is 1.30", False),
            ("memory that stays", measured(), "peak private 11.0 MiB", True),
            ("memory that grows", measured(private_at_256=13 * MIB),
             "ratio 1.30", False),
            ("a pack at half the copy", measured(), "ratio 0.50", True),
            ("a pack at twice the copy", measured(packing=(4.0, 2.0)),
             "ratio 2.00", False),
            ("the bare stub's size", measured(), "bare stub 15000 bytes",
             True),
            ("stub against NSIS", measured(), "stub/NSIS from 64 MB is 0.37",
             True),
        ]
        for why, figures, words, met in rows:
            with self.subTest(why):
                goal = [line for line in self.goals(figures) if words in line]
                self.assertEqual(len(goal), 1, self.goals(figures))
                self.assertTrue(goal[0].startswith("- PASS" if met
                                                   else "- MISS"))

    def test_medians_over_the_runs_that_have_the_figure(self):
        self.assertEqual(reporting.median([{"a": 3}, {"a": None}, {"a": 1},
                                           {}], "a"), 2)
        self.assertIsNone(reporting.median([{}], "a"))
        figures = measured()
        self.assertEqual(figures.best_fair("256 MB"), "fair-map")
        # From 64 to 256 MB the fair floor adds 10 ms a MB.
        self.assertAlmostEqual(figures.slope("fair-map", "64 MB", "256 MB"),
                               10.0)

    def test_every_section(self):
        text = reporting.report(measured(), self.stub, "/")
        for section in ("| 256 MB | stub | ", "stub/best fair 1.10",
                        "Goals:", "Where the time goes",
                        "| 16 MB | cp + setup | - | 0 |",
                        "Added time per added payload MB", "Cross-checks"):
            self.assertIn(section, text)


if __name__ == "__main__":
    unittest.main()
