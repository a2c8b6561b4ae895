#!/usr/bin/env python3
"""What the benchmark measures, as BENCH_SIZES and BENCH_BASELINE choose
it: sizes by their labels in the fixed order, a baseline as one more
contender right after the stub."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench import plan  # noqa: E402


class PlanTest(unittest.TestCase):
    def test_sizes_chosen_by_label(self):
        for text, labels in [
                (None, ["16 MB", "64 MB", "161.8 MB", "256 MB", "1 GB"]),
                ("", ["16 MB", "64 MB", "161.8 MB", "256 MB", "1 GB"]),
                ("16 MB", ["16 MB"]),
                # The order is the plan's, spaces around labels are no part.
                ("1 GB, 16 MB", ["16 MB", "1 GB"]),
                ("2 GB", [])]:
            with self.subTest(text):
                self.assertEqual([label for label, _ in
                                  plan.chosen_sizes(text)], labels)

    def test_a_baseline_runs_after_the_stub(self):
        self.assertNotIn("before", plan.contenders(None))
        with_baseline = plan.contenders("/src/before")
        self.assertEqual(with_baseline[:2], ["stub", "before"])
        self.assertEqual(set(with_baseline) - {"before"},
                         set(plan.contenders(None)))
        for contender in with_baseline:
            self.assertIn(contender, plan.NAMES)


if __name__ == "__main__":
    unittest.main()
