"""The benchmark's rounds: the payloads made and every contender's
installer packed for each size, a gigabyte's packing timed against cp and
sha256sum, then warm-up and measured rounds of every contender, their order
rotating from round to round, each run checked (its exit code, setup's
command line and the archive it saw, nothing left beside the installer)
and its figures kept for the report."""

import ctypes
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

from release_tools.contract import CONTRACT
from release_tools.packing import ARCHIVE_NAME

from .metering import read_record, check_setup_record, run_metered, winpath
from .payloads import (make_archive, make_fair_floor, make_nsis_installer,
                       make_setup, payload_resource_bytes)
from .plan import (BASELINE, CLEANUP_MODE_EXIT, CONTENDERS, FAIR,
                   FAIR_FOLDER, MB, MIB, NSIS_FOLDER, PROBE, SETUP_EXE,
                   SETUP_SIZE, SIZES, WARMUP_ROUNDS, BenchError)
from .reporting import median

PR_SET_CHILD_SUBREAPER = 36
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))


def round_order(runs, round_index):
    """The order of the runs in one round: rotated by one each round, so
    that none always runs first, on a cold cache, or after the same one."""
    shift = round_index % len(runs)
    return runs[shift:] + runs[:shift]


def log(text):
    print(text, flush=True)


class Bench:
    def __init__(self, build):
        self.build = build
        self.bench = os.path.join(build, "bench")
        self.meter = os.path.join(build, "testing/run_meter/run_meter.exe")
        self.fair = os.path.join(build, "testing/fair_floor/fair_floor.exe")
        self.stand_in = os.path.join(
            build, "testing/stand_in_setup/stand_in_setup.exe")
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": os.path.join(self.bench, "wineprefix"),
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "STAND_IN_SETUP_NO_HASH": "1",
            "BENCH_RUN_METER": winpath(self.meter),
        })
        self.rounds = int(os.environ.get("BENCH_RUNS", "7"))
        self.results = {}  # (label, contender) -> list of run figures
        self.sizes = {}    # label -> dict of file sizes
        # A gigabyte's packing against cp plus sha256sum of its archive:
        # (label, pack seconds, copy-and-hash seconds), medians.
        self.packing = None

    def folder(self, label, *parts):
        return os.path.join(self.bench, label.replace(" ", "_"), *parts)

    def prepare(self):
        for tool in ("makensis", "7z", "wine", "wineserver"):
            if shutil.which(tool) is None:
                raise BenchError(f"{tool} is not installed")
        for path in (self.meter, self.stand_in, self.fair):
            if not os.path.isfile(path):
                raise BenchError(f"{path} is missing; build first")
        os.makedirs(self.bench, exist_ok=True)
        self.remove_payloads()
        need = 4 * sum(size for _, size in SIZES) + 2 * 1024 * MIB
        free = shutil.disk_usage(self.bench).free
        if free < need:
            raise BenchError(f"{free // MIB} MiB free under {self.bench}; "
                             f"the benchmark needs {need // MIB} MiB")
        setup_folder = os.path.join(self.bench, "setup")
        os.makedirs(setup_folder)
        self.setup = os.path.join(setup_folder, SETUP_EXE)
        make_setup(self.stand_in, self.setup)
        for label, size in SIZES:
            self.prepare_size(label, size)
        os.sync()

    def pack(self, source, build, archive, output, *options):
        """Packs `archive` with the packing command of the project at
        `source`, from its build folder `build`."""
        subprocess.run([sys.executable,
                        os.path.join(source, "scripts/pack-installer"),
                        "--build-dir", build, "--archive", archive,
                        "--setup", self.setup, "--output", output,
                        *options], stdout=subprocess.DEVNULL, check=True)

    def prepare_size(self, label, size):
        """The payload of one size and every contender's installer of it."""
        started = time.monotonic()
        payload = self.folder(label, "payload")
        for part in ("payload", "stub", "nsis", "floor", "fair"):
            os.makedirs(self.folder(label, part))
        archive = make_archive(payload, size)
        stub = self.folder(label, "stub", "Installer.exe")
        self.pack(SOURCE_DIR, self.build, archive, stub, "--quiet")
        if BASELINE:
            os.makedirs(self.folder(label, "before"))
            self.pack(BASELINE, os.path.join(BASELINE, "build"), archive,
                      self.folder(label, "before", "Installer.exe"),
                      "--no-build", "--no-inspect")
        # The goal is a gigabyte's: below it Python's own start-up
        # outweighs what is packed.
        if size >= 1000 * MB:
            self.measure_packing(label, archive)
        nsis = self.folder(label, "nsis", "Installer.exe")
        make_nsis_installer(archive, self.setup, nsis)
        make_fair_floor(self.fair, self.folder(label, "fair",
                                               "Installer.exe"),
                        archive, self.setup)
        self.sizes[label] = {
            "archive": os.path.getsize(archive),
            "stub": os.path.getsize(stub),
            "stub_payload": payload_resource_bytes(stub),
            "nsis": os.path.getsize(nsis),
            "nsis_payload": os.path.getsize(archive) + SETUP_SIZE,
        }
        log(f"   {label}: archive {os.path.getsize(archive)} bytes, "
            f"stub installer {os.path.getsize(stub)}, NSIS installer "
            f"{os.path.getsize(nsis)} "
            f"({time.monotonic() - started:.1f} s)")

    def measure_packing(self, label, archive):
        """Packing as a release engineer runs it (no inspection, with its
        closing line and its SHA-256), side by side with what no packer can
        beat: a copy of the archive and its SHA-256 by sha256sum."""
        packed = self.folder(label, "payload", "packed.exe")
        copied = self.folder(label, "payload", "copied.7z")
        packs, floors = [], []
        for _ in range(3):
            started = time.monotonic()
            self.pack(SOURCE_DIR, self.build, archive, packed, "--no-build",
                      "--no-inspect")
            packs.append(time.monotonic() - started)
            started = time.monotonic()
            subprocess.run(["cp", archive, copied], check=True)
            subprocess.run(["sha256sum", copied], stdout=subprocess.DEVNULL,
                           check=True)
            floors.append(time.monotonic() - started)
            os.remove(packed)
            os.remove(copied)
        self.packing = (label, statistics.median(packs),
                        statistics.median(floors))
        log(f"   {label}: packing {self.packing[1]:.2f} s, cp + sha256sum "
            f"{self.packing[2]:.2f} s (medians of 3)")

    def remove_payloads(self):
        for entry in os.listdir(self.bench):
            if entry in ("wineprefix", "report.md", "report.svg"):
                continue
            path = os.path.join(self.bench, entry)
            if os.path.isdir(path):
                shutil.rmtree(path)
            else:
                os.remove(path)

    def start_prefix(self):
        subprocess.run(["sh", os.path.join(SOURCE_DIR, "scripts/wine-prefix"),
                        "start"], env=self.env, check=True)

    def stop_prefix(self):
        subprocess.run(["sh", os.path.join(SOURCE_DIR, "scripts/wine-prefix"),
                        "stop"], env=self.env, check=False)

    def leftovers(self, folder, keep):
        extra = sorted(set(os.listdir(folder)) - set(keep))
        if extra:
            raise BenchError(f"{folder} still holds {extra} after the run")

    def run_installer(self, label, contender, record):
        fair = contender in FAIR
        installer = self.folder(label, "fair" if fair else contender,
                                "Installer.exe")
        env = dict(self.env)
        if fair:
            env["FLOOR_ARCHIVE"] = winpath(
                self.folder(label, "payload", ARCHIVE_NAME))
            env["FLOOR_SETUP"] = winpath(self.setup)
        meter, figures = run_metered(
            f'"{winpath(installer)}"' + FAIR.get(contender, ""),
            winpath(installer), record + ".meter", env)
        if meter.get("exit_code") != "0":
            raise BenchError(f"{contender} installer at {label} exited with "
                             f"{meter.get('exit_code')}")
        folder = re.escape(winpath(os.path.dirname(installer)))
        if contender.startswith("stub") or contender == "before":
            pattern = folder + r"\\" + CONTRACT.work_folder_pattern()
        elif fair:
            pattern = folder + r"\\" + re.escape(FAIR_FOLDER)
        else:
            pattern = folder + r"\\" + re.escape(NSIS_FOLDER)
        setup = read_record(record)
        check_setup_record(setup, pattern, self.sizes[label]["archive"],
                           f"{contender} at {label}")
        self.leftovers(os.path.dirname(installer), ["Installer.exe",
                                                    "Installer.exe.nsi"])
        figures.update(self.meter_figures(meter, setup))
        return figures

    def run_floor(self, label, record):
        copy = self.folder(label, "floor", "copy.tmp")
        archive = self.folder(label, "payload", ARCHIVE_NAME)
        started = time.perf_counter()
        os.mkdir(copy)
        cp = os.posix_spawnp("cp", ["cp", archive, self.setup, copy + "/"],
                             self.env)
        _, status, usage = os.wait4(cp, 0)
        copied = time.perf_counter() - started
        if os.waitstatus_to_exitcode(status) != 0:
            raise BenchError("cp failed")
        setup = os.path.join(copy, SETUP_EXE)
        # The line the stub gives setup.
        command = (f'"{winpath(setup)}" --install-archive='
                   f'"{winpath(os.path.join(copy, ARCHIVE_NAME))}"')
        meter, figures = run_metered(command, winpath(setup),
                                     record + ".meter", self.env)
        record_values = read_record(record)
        check_setup_record(record_values, re.escape(winpath(copy)),
                           self.sizes[label]["archive"], f"floor at {label}")
        shutil.rmtree(copy)
        figures.update(self.meter_figures(meter, record_values))
        figures["copy"] = copied
        figures["wall"] += copied
        figures["setup_start"] += copied
        figures["written"] = usage.ru_oublock * 512
        return figures

    def run_probe(self, label, record):
        installer = self.folder(label, "stub", "Installer.exe")
        meter, figures = run_metered(f'"{winpath(installer)}" --cleanup',
                                     winpath(installer), record + ".meter",
                                     self.env)
        if meter.get("exit_code") != str(CLEANUP_MODE_EXIT):
            raise BenchError(f"the stub with --cleanup at {label} exited with "
                             f"{meter.get('exit_code')}, not "
                             f"{CLEANUP_MODE_EXIT}")
        if os.path.exists(record):
            raise BenchError("the stub with --cleanup started setup")
        self.leftovers(os.path.dirname(installer), ["Installer.exe"])
        figures["wall"] = float(meter["wall_seconds"])
        return figures

    @staticmethod
    def meter_figures(meter, setup):
        return {
            "wall": float(meter["wall_seconds"]),
            "setup_start": (int(setup["started"]) -
                            int(meter["start_filetime"])) * 1e-7,
            "meter_peak_working_set": int(meter["peak_working_set"]),
            "meter_peak_pagefile": int(meter["peak_pagefile"]),
            "meter_private": int(meter["peak_private"]),
            "meter_write_bytes": int(meter["write_bytes"]),
            "meter_after_exit": meter.get("after_exit.peak_working_set"),
            "meter_samples": int(meter["samples"]),
        }

    def run_once(self, label, contender):
        record = os.path.join(self.bench, "setup-record.txt")
        for path in (record, record + ".meter", record + ".meter.err"):
            if os.path.exists(path):
                os.remove(path)
        env_record = winpath(record)
        self.env["STAND_IN_SETUP_RECORD"] = env_record
        os.sync()
        if contender == "floor":
            figures = self.run_floor(label, record)
        elif contender == PROBE:
            figures = self.run_probe(label, record)
        else:
            figures = self.run_installer(label, contender, record)
        for path in (record, record + ".meter", record + ".meter.err"):
            if os.path.exists(path):
                os.remove(path)
        return figures

    def measure(self):
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
            raise BenchError("cannot become the child subreaper")
        for label, _ in SIZES:
            started = time.monotonic()
            for round_index in range(WARMUP_ROUNDS + self.rounds):
                for contender in round_order(CONTENDERS + [PROBE],
                                             round_index):
                    figures = self.run_once(label, contender)
                    if round_index >= WARMUP_ROUNDS:
                        self.results.setdefault((label, contender),
                                                []).append(figures)
            walls = {c: median(self.results[(label, c)], "wall")
                     for c in CONTENDERS}
            log(f"   {label}: " + ", ".join(
                f"{c} {walls[c]:.3f} s" for c in CONTENDERS) +
                f" ({time.monotonic() - started:.1f} s)")

