"""The probe, the installer's own unpack stage built as a program, run on
an installer where it lies: natively on Windows, through Wine elsewhere,
and not at all where there is neither."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

from .contract import CONTRACT


PROBE = os.path.join("tools", "payload_probe", "payload_probe.exe")


WORK_FOLDER_NAME = re.compile(CONTRACT.work_folder_pattern() + r"\Z")


class NoPrediction(Exception):
    pass


def windows_path(host_path):
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


# What Wine itself says, and the exit status it then gives, when it, not the
# program, failed: the process could not be set up (its address space
# collided at start) or its exit status was lost as the host's loader tore it
# down. Seen about twice in 10,000 starts on a loaded machine; the program's
# own outcome is unknown, so a run that ends so is run again. Wine also
# logs the first in passing for processes that then run normally: a run
# that ends with any other status ended on its own.
WINE_OWN_FAILURES = (("failed to map the shared user data", 1),
                     ("Inconsistency detected by ld.so", 127))
WINE_ATTEMPTS = 3


def wine_failed_itself(status, said):
    return any(status == wine_status and marker in said
               for marker, wine_status in WINE_OWN_FAILURES)


def wine_environment(build_dir):
    environment = dict(os.environ)
    # Wine's own start failures are errors of its virtual-memory channel.
    environment["WINEDEBUG"] = "-all,err+virtual"
    environment.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    if not environment.get("WINEPREFIX"):
        environment["WINEPREFIX"] = os.path.join(build_dir,
                                                 "inspect-wineprefix")
    return environment


def run_quietly(command, environment, error_file=None, timeout=None):
    """Runs without pipes: Wine's system processes, started on demand, would
    inherit a pipe and keep it open for as long as they live. After `timeout`
    seconds the program is killed and TimeoutExpired raised."""
    return subprocess.run(command, env=environment, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL,
                          stderr=error_file or subprocess.DEVNULL,
                          timeout=timeout).returncode


def read_report(report_file):
    """The probe's report as a dict; empty when there is none."""
    try:
        with open(report_file, encoding="utf-8") as f:
            return dict(line.split("=", 1) for line in f.read().splitlines()
                        if "=" in line)
    except OSError:
        return {}


def remove_stranded_work_folder(path, report):
    """Removes the work folder that a probe which did not finish named in its
    first report, if it is one of the stub's beside FILE."""
    name = report.get("work-folder", "").rstrip("\\").rsplit("\\", 1)[-1]
    if WORK_FOLDER_NAME.match(name):
        shutil.rmtree(os.path.join(os.path.dirname(os.path.abspath(path)),
                                   name), ignore_errors=True)


class NoProbe(Exception):
    """The probe cannot run on this machine."""


def probe_natively(program, path, timeout):
    """The probe run as the Windows program it is, on Windows."""
    work = tempfile.mkdtemp(prefix="inspect-installer.")
    try:
        report_file = os.path.join(work, "report.txt")
        try:
            result = subprocess.run(
                [program, os.path.abspath(path), report_file],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE, timeout=timeout)
        except subprocess.TimeoutExpired:
            remove_stranded_work_folder(path, read_report(report_file))
            raise NoPrediction(f"the probe did not finish within {timeout} "
                               "seconds and was stopped")
        if result.returncode != 0 or not os.path.isfile(report_file):
            remove_stranded_work_folder(path, read_report(report_file))
            messages = result.stderr.decode("utf-8", "replace").strip()
            raise NoPrediction(f"the probe failed with status "
                               f"{result.returncode}"
                               + (f": {messages}" if messages else ""))
        return read_report(report_file)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def probe_through_wine(program, path, report_file, environment, timeout):
    """(exit status, what Wine and the probe said) of one run of the probe,
    its report, if any, left at `report_file`."""
    errors_file = report_file + ".errors"
    for stale in (report_file, errors_file):
        if os.path.exists(stale):
            os.remove(stale)
    try:
        with open(errors_file, "wb") as errors:
            status = run_quietly(["wine", program, windows_path(path),
                                  windows_path(report_file)], environment,
                                 errors, timeout)
    except subprocess.TimeoutExpired:
        remove_stranded_work_folder(path, read_report(report_file))
        raise NoPrediction(f"the probe did not finish within {timeout} "
                           "seconds and was stopped; a large payload on a "
                           "slow disk may need a longer --timeout")
    with open(errors_file, "rb") as errors:
        return status, errors.read().decode("utf-8", "replace").strip()


def probe(path, build_dir, timeout):
    """The probe's report as a dict: run natively on Windows, through Wine
    elsewhere; NoProbe where there is neither."""
    program = os.path.join(build_dir, PROBE)
    if not os.path.isfile(program):
        raise NoPrediction(f"{program} is missing; build it with 'make "
                           "build' or name the build folder with --build-dir")
    if sys.platform == "win32":
        return probe_natively(program, path, timeout)
    if shutil.which("wine") is None:
        raise NoProbe("the probe is a Windows program, and this machine has "
                      "neither Windows nor Wine (on Debian: apt-get install "
                      "wine)")
    environment = wine_environment(build_dir)
    prefix = environment["WINEPREFIX"]
    made_prefix = False
    work = tempfile.mkdtemp(prefix="inspect-installer.")
    try:
        if not os.path.isfile(os.path.join(prefix, "system.reg")):
            try:
                os.makedirs(prefix, exist_ok=True)
            except OSError as error:
                raise NoPrediction(f"cannot prepare the Wine prefix {prefix} "
                                   f"({error.strerror}); set WINEPREFIX to "
                                   "a folder") from None
            made_prefix = True
            if run_quietly(["wine", "wineboot", "-i"], environment) != 0:
                raise NoPrediction(f"cannot prepare the Wine prefix {prefix}; "
                                   "remove it, or set WINEPREFIX to another")
        report_file = os.path.join(work, "report.txt")
        for _ in range(WINE_ATTEMPTS):
            status, messages = probe_through_wine(program, path, report_file,
                                                  environment, timeout)
            if not wine_failed_itself(status, messages):
                break
            remove_stranded_work_folder(path, read_report(report_file))
        if status != 0 or not os.path.isfile(report_file):
            remove_stranded_work_folder(path, read_report(report_file))
            raise NoPrediction(
                f"the probe failed with status {status}"
                + (f": {messages}" if messages else "")
                + "; it died outside the unpack stage, or Wine could not run "
                "it")
        return read_report(report_file)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if made_prefix:
            run_quietly(["wineserver", "-k"], environment)
