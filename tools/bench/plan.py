"""What the benchmark measures: the archive sizes, the contenders and the
names the report gives them, and the goals' fixed figures."""

import os

from release_tools.contract import CONTRACT

MB = 1000 * 1000
MIB = 1024 * 1024
# (label, archive bytes); 161,845,418 is the shipped archive.
ALL_SIZES = [("16 MB", 16 * MB), ("64 MB", 64 * MB),
             ("161.8 MB", 161845418), ("256 MB", 256 * MB),
             ("1 GB", 1000 * MB)]
SHIPPED_LABEL = "161.8 MB"
SETUP_SIZE = 4491776
# The padding after the stand-in's image starts with this many random bytes
# (the rest is zeros), so that its cabinet, like the shipped one, is about
# a megabyte and the whole payload about 163 MB.
SETUP_RANDOM_PADDING = 900 * 1024
STUB_SIZE_GOAL = 16 * 1024
# The names the installers give the payload's files in their folders.
SETUP_EXE = CONTRACT.setup_program_name
NSIS_FOLDER = "NSIS_WORK.tmp"
FAIR_FOLDER = "FLOOR_WORK.tmp"
WARMUP_ROUNDS = 1
# The fair floor's ways of writing, by the argument that selects each.
FAIR = {"fair-map": "", "fair-read": " --read-write",
        "fair-copy": " --copy-file"}
NAMES = {"stub": "stub", "before": "stub before", "nsis": "NSIS",
         "floor": "cp + setup",
         "fair-map": "fair (mapped)", "fair-read": "fair (ReadFile)",
         "fair-copy": "fair (CopyFileW)"}
# Not a contender: the stub's installer started with "--cleanup", which ends
# it at once, shows what starting and ending the image costs by itself.
PROBE = "stub-start"
CLEANUP_MODE_EXIT = CONTRACT.exit_code("CleanupModeExit")


class BenchError(Exception):
    """What keeps the benchmark from measuring, said in one line."""


def chosen_sizes(text):
    """The sizes that BENCH_SIZES (labels separated by commas) picks; all
    of them when it is unset or empty."""
    if not text:
        return list(ALL_SIZES)
    chosen = [label.strip() for label in text.split(",")]
    return [(label, size) for label, size in ALL_SIZES if label in chosen]


def contenders(baseline):
    """The contenders in the order measured: with a baseline (another
    version's source folder), its installer as "before"."""
    names = ["stub", "nsis", "floor"] + list(FAIR)
    if baseline:
        names.insert(1, "before")
    return names


SIZES = chosen_sizes(os.environ.get("BENCH_SIZES"))
BASELINE = os.environ.get("BENCH_BASELINE")
CONTENDERS = contenders(BASELINE)
