"""One run of a Windows program under run_meter, followed from outside: the
unix process that Wine gives the installer, sampled every 2 ms from /proc
(its private and resident memory, the bytes it has written), and reaped
for its resource use; and the record that the stand-in setup program
writes of how it was started."""

import os
import re
import time

from release_tools.packing import ARCHIVE_NAME

from .plan import MIB, SETUP_EXE, BenchError

SAMPLE_SECONDS = 0.002
WRITE_THRESHOLD = MIB


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_text(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def read_proc(pid, name):
    try:
        with open(f"/proc/{pid}/{name}", "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return None


def proc_fields(text):
    fields = {}
    for line in (text or "").splitlines():
        key, _, value = line.partition(":")
        parts = value.split()
        if parts and parts[0].isdigit():
            fields[key.strip()] = int(parts[0])
    return fields


def filetime_now():
    """The clock the stand-in and run_meter record, in their units."""
    return time.time_ns() // 100 + 116444736000000000


def children_of_self():
    me = os.getpid()
    text = read_proc(me, f"task/{me}/children")
    return [int(p) for p in (text or "").split()]


def program_of(pid):
    """The first element of a process's command line (Wine puts the Windows
    program path there)."""
    text = read_proc(pid, "cmdline")
    return text.split("\0", 1)[0] if text else None


class Sampler:
    """Follows one unix process, known by the program path Wine gives it,
    among the orphans that become this process's children."""

    def __init__(self, program):
        self.program = program.lower()
        self.pid = None
        self.peak_anon = 0
        self.peak_file = 0
        self.peak_shmem = 0
        self.peak_hwm = 0
        self.wchar = 0
        self.wchar_history = []  # (FILETIME of the sample, wchar)

    def sample(self):
        # A new process keeps its parent's command line until it has
        # executed the Wine loader, so a child is looked at until it matches.
        if self.pid is None:
            for child in children_of_self():
                program = program_of(child)
                if program and program.lower() == self.program:
                    self.pid = child
                    break
        if self.pid is not None:
            status = proc_fields(read_proc(self.pid, "status"))
            self.peak_anon = max(self.peak_anon,
                                 status.get("RssAnon", 0) * 1024)
            self.peak_file = max(self.peak_file,
                                 status.get("RssFile", 0) * 1024)
            self.peak_shmem = max(self.peak_shmem,
                                  status.get("RssShmem", 0) * 1024)
            self.peak_hwm = max(self.peak_hwm, status.get("VmHWM", 0) * 1024)
            io = proc_fields(read_proc(self.pid, "io"))
            if "wchar" in io:
                self.wchar = max(self.wchar, io["wchar"])
                self.wchar_history.append((filetime_now(), io["wchar"]))

    def writing_span(self):
        """When the process began and ended writing its payload, as
        FILETIMEs, read off the samples of its written-byte count (within a
        sample period; Wine's own small writes are ignored)."""
        began = ended = None
        for when, count in self.wchar_history:
            if began is None and count >= WRITE_THRESHOLD:
                began = when
            if ended is None and count >= self.wchar - WRITE_THRESHOLD:
                ended = when
        return began, ended


def reap_ended(ended):
    """Collects every child that has ended (meters, installers, setups)."""
    while True:
        try:
            pid, status, usage = os.wait4(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return
        ended[pid] = (status, usage)


def run_metered(command_line, program, output, env):
    """Runs the Windows `command_line` under run_meter; returns the meter's
    figures and those of the process whose Windows program path is
    `program`. Wine's messages go to `output`.err."""
    sampler = Sampler(program)
    env = dict(env, RUN_METER_COMMAND_LINE=command_line)
    create = os.O_WRONLY | os.O_CREAT | os.O_TRUNC
    meter_pid = os.posix_spawnp(
        "wine", ["wine", env["BENCH_RUN_METER"]], env,
        file_actions=[(os.POSIX_SPAWN_OPEN, 1, output, create, 0o644),
                      (os.POSIX_SPAWN_OPEN, 2, output + ".err", create,
                       0o644)])
    ended = {}
    while meter_pid not in ended:
        sampler.sample()
        reap_ended(ended)
        time.sleep(SAMPLE_SECONDS)
    status, _ = ended[meter_pid]
    if os.waitstatus_to_exitcode(status) != 0:
        raise BenchError(f"run_meter failed for {command_line}: "
                         f"{read_text(output)}{read_text(output + '.err')}")
    if sampler.pid is None:
        raise BenchError(f"never saw the unix process of {program}")
    if sampler.pid not in ended:
        _, status, usage = os.wait4(sampler.pid, 0)
        ended[sampler.pid] = (status, usage)
    reap_ended(ended)
    meter = read_record(output)
    _, usage = ended[sampler.pid]
    start = int(meter["start_filetime"])
    began, finished = sampler.writing_span()
    return meter, {
        "write_began": None if began is None else (began - start) * 1e-7,
        "write_ended": None if finished is None else (finished - start) * 1e-7,
        "peak_rss": usage.ru_maxrss * 1024,
        "minor_faults": usage.ru_minflt,
        "cpu_user": usage.ru_utime,
        "cpu_system": usage.ru_stime,
        "written": usage.ru_oublock * 512,
        "peak_private": sampler.peak_anon,
        "peak_file": sampler.peak_file,
        "peak_shmem": sampler.peak_shmem,
        "sampled_hwm": sampler.peak_hwm,
        "wchar": sampler.wchar,
    }


def read_record(path):
    """The key=value lines that run_meter and the stand-in setup write."""
    values = {}
    for line in read_text(path).splitlines():
        key, _, value = line.partition("=")
        values[key] = value
    return values


def check_setup_record(record, folder_pattern, archive_size, what):
    """The stand-in was started once, with exactly the line the stub gives
    setup, and found the whole archive."""
    line = record.get("command_line", "")
    match = re.fullmatch(r'"(.*)\\' + re.escape(SETUP_EXE) +
                         r'" --install-archive="(.*)\\' +
                         re.escape(ARCHIVE_NAME) + '"', line)
    if not match or match.group(1) != match.group(2) or \
            not re.fullmatch(folder_pattern, match.group(1)):
        raise BenchError(f"{what}: setup got an unexpected command line: "
                         f"{line!r}")
    if record.get("install-archive.size") != str(archive_size):
        raise BenchError(f"{what}: setup saw archive size "
                         f"{record.get('install-archive.size')!r}, "
                         f"expected {archive_size}")
    if record.get("exit_code") != "0":
        raise BenchError(f"{what}: setup recorded exit code "
                         f"{record.get('exit_code')!r}")

