"""The report of what the benchmark measured: a table of medians per size
and contender, the goals with PASS or MISS, where the time goes in each
run, how the two readings of each figure agree, and a chart of wall time
against payload size. It reads only the measured figures: `results` maps
(label, contender) to the list of each measured run's figures, `sizes`
maps a label to the file sizes of its installers."""

import os
import statistics
import subprocess

from .plan import (BASELINE, CLEANUP_MODE_EXIT, CONTENDERS, FAIR, MB, MIB,
                   NAMES, PROBE, SIZES, STUB_SIZE_GOAL, WARMUP_ROUNDS)


def median(runs, key):
    """The median of the runs that have the figure; None if none has."""
    values = [run[key] for run in runs if run.get(key) is not None]
    return statistics.median(values) if values else None


def seconds(value):
    return "-" if value is None else f"{value:.3f}"


def spread(runs, key):
    values = [run[key] for run in runs]
    return min(values), max(values)


def verdict(ok):
    return "PASS" if ok else "MISS"


class Measured:
    """The figures of one benchmark, as the report reads them: the runs'
    figures by (label, contender), the installers' sizes by label, the
    number of measured rounds, the packing's (label, pack seconds, copy and
    hash seconds) or None, and the sizes measured, by label."""

    def __init__(self, results, sizes, rounds, packing, labels=None):
        self.results = results
        self.sizes = sizes
        self.rounds = rounds
        self.packing = packing
        self.labels = labels or [label for label, _ in SIZES]

    def wall(self, label, contender):
        return median(self.results[(label, contender)], "wall")

    def best_fair(self, label):
        return min(FAIR, key=lambda contender: self.wall(label, contender))

    def payload_mb(self, label):
        return self.sizes[label]["stub_payload"] / MB

    def slope(self, contender, first, last):
        """Added milliseconds per added payload MB."""
        return ((self.wall(last, contender) - self.wall(first, contender)) /
                (self.payload_mb(last) - self.payload_mb(first)) * 1000)

    def from_64(self):
        """The labels from 64 MB on."""
        labels = self.labels
        return labels[labels.index("64 MB"):] if "64 MB" in labels else []


def medians_table(measured):
    lines = [f"Medians of {measured.rounds} runs each after {WARMUP_ROUNDS} "
             "warm-up round, contenders alternating; one Wine prefix, one "
             "disk.", "",
             "| Archive | Contender | Wall s (min-max) | Setup starts s | "
             "Peak resident MiB | Peak private MiB | Written MB | "
             "Image overhead bytes |",
             "|---|---|---|---|---|---|---|---|"]
    for label in measured.labels:
        sizes = measured.sizes[label]
        overhead = {"stub": sizes["stub"] - sizes["stub_payload"],
                    "nsis": sizes["nsis"] - sizes["nsis_payload"]}
        for contender in CONTENDERS:
            runs = measured.results[(label, contender)]
            low, high = spread(runs, "wall")
            lines.append(
                f"| {label} | {NAMES[contender]} | "
                f"{median(runs, 'wall'):.3f} ({low:.3f}-{high:.3f}) | "
                f"{median(runs, 'setup_start'):.3f} | "
                f"{median(runs, 'peak_rss') / MIB:.1f} | "
                f"{median(runs, 'peak_private') / MIB:.1f} | "
                f"{median(runs, 'written') / MB:.1f} | "
                f"{overhead.get(contender, '-')} |")
        stub = measured.wall(label, "stub")
        fair = measured.wall(label, measured.best_fair(label))
        # The difference is steadier than the ratio on a shared machine.
        lines.append(f"| {label} | stub/best fair {stub / fair:.2f}, "
                     f"stub/NSIS {stub / measured.wall(label, 'nsis'):.2f}, "
                     f"stub - best fair {(stub - fair) * 1000:.0f} ms "
                     "| | | | | | |")
    return lines + [""]


def time_goals(measured):
    """(met, text) of the goals on time and its growth."""
    goals = []
    for label in [label for label in ("256 MB", "1 GB")
                  if label in measured.labels]:
        fair = measured.best_fair(label)
        ratio = measured.wall(label, "stub") / measured.wall(label, fair)
        goals.append((ratio <= 1.2,
                      f"time: stub/best fair floor at {label} is "
                      f"{ratio:.2f} (against {NAMES[fair]}; at most 1.2)"))
    from_64 = measured.from_64()
    if from_64:
        ratios = [measured.wall(label, "stub") / measured.wall(label, "nsis")
                  for label in from_64]
        goals.append((all(r <= 0.5 for r in ratios),
                      "time: stub/NSIS from 64 MB is " +
                      ", ".join(f"{r:.2f}" for r in ratios) +
                      " (at most 0.5)"))
    if len(from_64) >= 2:
        first, last = from_64[0], from_64[-1]
        fair = measured.best_fair(last)
        stub_slope = measured.slope("stub", first, last)
        fair_slope = measured.slope(fair, first, last)
        goals.append((stub_slope <= 1.5 * fair_slope,
                      f"growth: stub adds {stub_slope:.2f} ms per payload MB "
                      f"from {first} to {last}, {NAMES[fair]} "
                      f"{fair_slope:.2f} (at most 1.5 times)"))
    return goals


def other_goals(measured, stub_size):
    """(met, text) of the goals on memory, packing and size."""
    goals = []
    labels = measured.labels
    if len(labels) >= 2:
        first, last = labels[0], labels[-1]
        for key, what in (("peak_private", "private"),
                          ("peak_rss", "resident")):
            low = median(measured.results[(first, "stub")], key)
            high = median(measured.results[(last, "stub")], key)
            goals.append((high <= 1.2 * low,
                          f"memory: stub peak {what} {high / MIB:.1f} MiB at "
                          f"{last} vs {low / MIB:.1f} MiB at {first}, ratio "
                          f"{high / low:.2f} (at most 1.2)"))
    if measured.packing is not None:
        label, pack_s, floor_s = measured.packing
        goals.append((pack_s <= 1.5 * floor_s,
                      f"packing: a {label} pack (no inspection) takes "
                      f"{pack_s:.2f} s, cp + sha256sum of its archive "
                      f"{floor_s:.2f} s, ratio {pack_s / floor_s:.2f} (at "
                      "most 1.5)"))
    goals.append((stub_size <= STUB_SIZE_GOAL,
                  f"size: bare stub {stub_size} bytes (at most "
                  f"{STUB_SIZE_GOAL})"))
    return goals


def goal_lines(measured, stub_image, source_dir):
    stub_size = os.path.getsize(stub_image)
    lines = [f"Bare stub ({os.path.relpath(stub_image, source_dir)}): "
             f"{stub_size} bytes, goal {STUB_SIZE_GOAL} bytes (16 KiB).", "",
             "Goals:"]
    for ok, text in time_goals(measured) + other_goals(measured, stub_size):
        lines.append(f"- {verdict(ok)} {text}")
    return lines + [""]


def traced():
    """The contenders whose phases are read off their written bytes."""
    return (["stub"] + (["before"] if BASELINE else []) + ["nsis"] +
            list(FAIR))


def phase_table(measured):
    """Where the time goes (medians, seconds after the start)."""
    lines = ["Where the time goes (medians, seconds after the start; "
             "payload writes are read off the process's written-byte "
             "count every 2 ms):", "",
             "| Archive | Contender | Image alone | First write | "
             "Writes end | Setup starts | Exit | Write MB/s |",
             "|---|---|---|---|---|---|---|---|"]
    for label in measured.labels:
        probe = median(measured.results[(label, PROBE)], "wall")
        for contender in traced():
            runs = measured.results[(label, contender)]
            began = median(runs, "write_began")
            ended = median(runs, "write_ended")
            rate = (median(runs, "written") / MB / (ended - began)
                    if began is not None and ended is not None and
                    ended > began else None)
            lines.append(
                f"| {label} | {NAMES[contender]} | "
                f"{f'{probe:.3f}' if contender == 'stub' else '-'} | "
                f"{seconds(began)} | {seconds(ended)} | "
                f"{median(runs, 'setup_start'):.3f} | "
                f"{median(runs, 'wall'):.3f} | "
                f"{'-' if rate is None else f'{rate:.0f}'} |")
        runs = measured.results[(label, "floor")]
        copy = median(runs, "copy")
        lines.append(
            f"| {label} | {NAMES['floor']} | - | 0 | {copy:.3f} | "
            f"{median(runs, 'setup_start'):.3f} | {median(runs, 'wall'):.3f} | "
            f"{median(runs, 'written') / MB / copy:.0f} |")
    lines += ["", "\"Image alone\": the stub's installer started with "
              "\"--cleanup\", which ends it at once (exit "
              f"{CLEANUP_MODE_EXIT})."]
    from_64 = measured.from_64()
    if len(from_64) >= 2:
        lines.append("Added time per added payload MB (ms), " + "; ".join(
            f"{NAMES[c]}: " + ", ".join(
                f"{a} to {b} {measured.slope(c, a, b):.2f}"
                for a, b in zip(from_64, from_64[1:]))
            for c in ["stub"] + list(FAIR)) + ".")
    return lines + [""]


def cross_checks(measured):
    """How the two readings of each figure agree (medians)."""
    lines = ["Cross-checks (medians):"]
    for label in measured.labels:
        for contender in traced():
            runs = measured.results[(label, contender)]
            lines.append(
                f"- {label} {NAMES[contender]}: resident "
                f"{median(runs, 'peak_rss') / MIB:.1f} MiB by wait4, "
                f"{median(runs, 'meter_peak_working_set') / MIB:.1f} by "
                f"PeakWorkingSetSize, {median(runs, 'sampled_hwm') / MIB:.1f}"
                f" by sampled VmHWM; private "
                f"{median(runs, 'peak_private') / MIB:.1f} MiB by RssAnon, "
                f"{median(runs, 'meter_peak_pagefile') / MIB:.1f} by "
                f"PagefileUsage, {median(runs, 'meter_private') / MIB:.1f} by "
                f"PrivateUsage (file-backed "
                f"{median(runs, 'peak_file') / MIB:.1f}, shared "
                f"{median(runs, 'peak_shmem') / MIB:.1f}); written "
                f"{median(runs, 'written') / MB:.1f} MB by ru_oublock, "
                f"{median(runs, 'wchar') / MB:.1f} by wchar, "
                f"{median(runs, 'meter_write_bytes') / MB:.1f} by "
                "WriteTransferCount")
    return lines


def report(measured, stub_image, source_dir):
    """The report's text, in Markdown."""
    lines = (medians_table(measured) +
             goal_lines(measured, stub_image, source_dir) +
             phase_table(measured) + cross_checks(measured))
    return "\n".join(lines) + "\n"


def chart(measured, path):
    """Wall time against payload size for every contender, medians joined
    by lines, the spread of the runs as bars; an SVG by gnuplot."""
    script = []
    for index, contender in enumerate(CONTENDERS):
        script.append(f"$data{index} << EOD")
        for label in measured.labels:
            runs = measured.results[(label, contender)]
            low, high = spread(runs, "wall")
            script.append(f"{measured.payload_mb(label):.1f} "
                          f"{median(runs, 'wall'):.4f} {low:.4f} {high:.4f}")
        script.append("EOD")
    script += [
        'set terminal svg size 800,500 dynamic font "sans,12"',
        f'set output "{path}"',
        'set title "Installer wall time under Wine (median; bars: fastest '
        f'to slowest of {measured.rounds} runs)"',
        'set xlabel "payload (MB)"',
        'set ylabel "wall time (s)"',
        "set key top left",
        "set grid",
        "set xrange [0:*]",
        "set yrange [0:*]",
        "plot " + ", ".join(
            f'$data{i} using 1:2:3:4 with yerrorlines lw 2 '
            f'title "{NAMES[c]}"' for i, c in enumerate(CONTENDERS)),
    ]
    subprocess.run(["gnuplot"], input="\n".join(script) + "\n", text=True,
                   check=True)
