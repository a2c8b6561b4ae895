"""What a payload item holds, as the listing describes it and the
prediction needs it judged: a 7z archive's format and the real 7z's test
of its data, a cabinet's header and files with the one that runs expanded
into a temporary file and judged through a mapping of it, a program's
machine and manifest and whether Windows would start it from the
installer. What the run would fail on after unpacking becomes a defect,
what cannot be judged here a "not judged" reason: both go into the
Findings that the prediction reads."""

import mmap
import struct
import tempfile
import time

from .cabinet import CABINET_FOLDER_CONTINUED, CABINET_SIGNATURE, Cabinet
from .contract import CONTRACT
from .pe_image import NotPeImage, PeImage, ResourceDirectory, describe_machine
from .seven_zip import (SEVEN_ZIP_SIGNATURE, HeldArchiveTest, buffer_reader,
                        seven_zip_problem)
from .program_judgement import ELEVATED_ONLY, judge_program
from .start_policy import describe_execution_level, program_manifest


# The name every file of a setup program's cabinet is expanded into, and
# the type that carries a setup program as a patch.
SETUP_EXE = CONTRACT.setup_program_name
PATCH_TYPE = CONTRACT.patch_or_archive_type


# A cabinet's file is expanded here, into a temporary file, when reaching
# its end takes expanding at most this much, or this many times the
# cabinet's own size: far more than the data of a real program shrinks
# to, far less than a cabinet of zeros claims.
EXPAND_LIMIT = 128 << 20
EXPANSION_RATIO = 16


class Findings:
    """What the listing learnt that the prediction and its advice need: the
    defects that the run would fail on after unpacking (which the unpack
    stage cannot see), what could not be judged here (so that no success
    is predicted), and facts about the payload."""

    def __init__(self):
        self.defects = []
        self.unjudged = []
        self.unpacked_bytes = 0
        self.cabinet_continues = False
        self.cabinet_damaged = False
        self.setup_name = ""
        # What runs starts only where the installer runs elevated.
        self.elevated_only = False



def first_bytes(data, count=8):
    return " ".join(f"{b:02X}" for b in bytes(data[:count]))


def cabinet_header(cabinet, data):
    """The first line of a cabinet's description."""
    folders = len(cabinet.folders)
    compressions = ", ".join(cabinet.compression_name(i)
                             for i in range(folders)) or "none"
    return (f"cabinet, format version {cabinet.major}.{cabinet.minor}, "
            f"{folders} folder{'s' if folders != 1 else ''} "
            f"({compressions}), {cabinet.file_count} "
            f"file{'s' if cabinet.file_count != 1 else ''}")


def describe_cabinet(data, findings, what):
    """A cabinet's header and its files, and the file that runs as
    setup.exe: the stub expands every file into that one name, so the last
    one is what runs."""
    try:
        cabinet = Cabinet(data)
    except (struct.error, ValueError):
        findings.cabinet_damaged = True
        findings.unjudged.append(f"the file that {what} expands into "
                                 f"{SETUP_EXE}: the cabinet's header is "
                                 "damaged or cut short")
        return [f"cabinet, damaged or cut-short header ({len(data)} bytes)"]
    text = cabinet_header(cabinet, data)
    if cabinet.size > len(data):
        text += f", truncated: {len(data)} of {cabinet.size} bytes"
        findings.cabinet_damaged = True
    for note in cabinet.continues:
        text += ", " + note
        findings.cabinet_continues = True
    lines = [text]
    for index, (name, size, _, folder) in enumerate(cabinet.files):
        line = f"    {name}  {size} bytes"
        more = []
        runs = index == len(cabinet.files) - 1
        if folder in CABINET_FOLDER_CONTINUED:
            line += f" ({CABINET_FOLDER_CONTINUED[folder]})"
            findings.cabinet_continues = True
            if runs:
                findings.unjudged.append(
                    f"{name} in {what}, which runs as {SETUP_EXE}: it is "
                    f"{CABINET_FOLDER_CONTINUED[folder]}")
        elif not runs:
            line += " (expanded, then overwritten by the next file)"
        else:
            line, more = describe_member(cabinet, index, line, findings,
                                         what, len(data))
        lines.append(line)
        lines += ["    " + extra for extra in more]
    if len(cabinet.files) < cabinet.file_count:
        lines.append("    (file list damaged or cut short)")
        findings.cabinet_damaged = True
    if len(cabinet.files) > 1:
        # The run expands every file into setup.exe and starts the last: a
        # run that works when that one is a program that starts, which the
        # lines above judge; the others are only worth a note.
        last = cabinet.files[-1][0]
        lines.append(f"    every file is expanded into {SETUP_EXE}, so {last} "
                     "runs")
        lines.append(f"    note: only the last of the {len(cabinet.files)} "
                     "files runs; a cabinet of the setup program alone "
                     "(pack-installer makes one) carries nothing unused")
    elif cabinet.files and cabinet.files[0][0].lower() != SETUP_EXE:
        lines.append(f"    {cabinet.files[0][0]} is expanded as {SETUP_EXE}")
    elif not cabinet.files:
        findings.defects.append(f"{what} holds no file, so no setup program "
                                "would run")
    return lines


def not_expanded(findings, member, line, damage):
    """What is said of a cabinet's file that runs and that its damage keeps
    from being expanded here."""
    findings.cabinet_damaged = True
    findings.unjudged.append(f"{member}, which runs as {SETUP_EXE}: it "
                             f"cannot be expanded here ({damage})")
    return line + f" (cannot be expanded here: {damage})", []


def describe_member(cabinet, index, line, findings, what, cabinet_size):
    """The line of the cabinet's file that runs, and what it holds: the
    file is expanded into a temporary file, never held whole, and judged
    through a mapping of it."""
    name, size = cabinet.files[index][:2]
    limit = max(EXPAND_LIMIT, EXPANSION_RATIO * cabinet_size)
    try:
        problem = cabinet.expansion_problem(index, limit)
    except ValueError as damage:
        return not_expanded(findings, f"{name} in {what}", line, damage)
    if problem:
        findings.unjudged.append(f"{name} in {what}, which runs as "
                                 f"{SETUP_EXE}: {problem}")
        return line + f" (not expanded here: {problem})", []
    findings.unpacked_bytes += size
    with tempfile.TemporaryFile(prefix="inspect-installer.") as expanded:
        try:
            cabinet.expand(index, expanded, limit)
        except ValueError as damage:
            return not_expanded(findings, f"{name} in {what}", line, damage)
        expanded.flush()
        if not size:
            content = b""
        else:
            content = mmap.mmap(expanded.fileno(), 0, access=mmap.ACCESS_READ)
        try:
            if content[:2] == b"MZ":
                first, *more = describe_program(content, findings,
                                                f"{name} in {what}")
                return line + ": " + first, more
            findings.defects.append(
                f"{name} in {what}, which runs as {SETUP_EXE}, is not a "
                "program: carry the setup program itself")
            return (line + ": not a program, first bytes "
                    f"{first_bytes(content)}"), []
        finally:
            if size:
                close_mapping(content)


def close_mapping(view):
    try:
        view.close()
    except BufferError:
        pass  # a view into it still lives; it goes with it


def describe_program(data, findings, what):
    """A PE image's architecture and requested execution level, whether
    Windows would start it from the installer and what it needs beyond a
    fresh Windows; a line and what follows it. A program that Windows
    starts in no run of the installer is a defect, one that it starts only
    in an elevated run makes every success so; the program judged as the
    packer judges it."""
    try:
        image = PeImage(data)
        manifest = program_manifest(ResourceDirectory(image))
    except (NotPeImage, struct.error, ValueError):
        findings.defects.append(f"{what} is a damaged or cut-short program")
        return ["PE image, damaged or cut short"]
    judgement = judge_program(image, manifest)
    lines = [f"PE image, {describe_machine(image)}, "
             f"{describe_execution_level(manifest)}"]
    findings.unjudged += [f"whether Windows starts {what}: {reason}"
                          for reason in judgement.unjudged]
    lines += [f"  note: it {note}" for note in judgement.notes]
    refusal = judgement.refusal
    if refusal is None:
        return lines
    if refusal.elevated_would_start:
        lines.append(f"  {ELEVATED_ONLY}: {refusal.reason}")
        findings.elevated_only = True
    else:
        lines.append(f"  Windows would start it in no run of the installer: "
                     f"{refusal.reason}")
        findings.defects.append(f"{what} would not start: {refusal.reason}")
    return lines


def brief(data):
    """What a resource that is no payload item holds, from its headers
    alone."""
    if data[:6] == SEVEN_ZIP_SIGNATURE:
        if len(data) < 8:
            return "7z archive, cut short before its format version"
        return f"7z archive, format version {data[6]}.{data[7]}"
    if data[:4] == CABINET_SIGNATURE:
        try:
            return cabinet_header(Cabinet(data), data)
        except (struct.error, ValueError):
            return f"cabinet, damaged or cut-short header ({len(data)} bytes)"
    if data[:2] == b"MZ":
        try:
            return f"PE image, {describe_machine(PeImage(data))}"
        except (NotPeImage, struct.error, ValueError):
            return "PE image, damaged or cut short"
    if not data:
        return "empty"
    return f"unrecognised, first bytes {first_bytes(data)}"


class ArchiveTests:
    """The real 7z's test of the archive's data, started before the probe
    runs on the archive that this listing's search takes, so that both run
    at once and end by the same deadline; another archive taken by the
    installer's search is tested when it is judged."""

    def __init__(self, deadline):
        self.deadline = deadline
        self.running = None  # ((rva, size), HeldArchiveTest)
        # No prediction is made: nothing more is tested.
        self.skipped = False

    def start(self, data, key):
        if (data[:6] == SEVEN_ZIP_SIGNATURE and
                not seven_zip_problem(buffer_reader(data), len(data))):
            self.running = (key, HeldArchiveTest(data))

    def result(self, data, key):
        """(available, finished, problem) of the archive `data` at `key`."""
        if self.skipped:
            return True, True, None
        if self.running is None or self.running[0] != key:
            self.stop()
            self.start(data, key)
        if self.running is None:
            return True, True, None
        test = self.running[1]
        self.running = None
        return test.result(max(0.0, self.deadline - time.monotonic()))

    def stop(self):
        if self.running is not None:
            self.running[1].close()
            self.running = None


def describe_content(item, findings, tests):
    """What a payload item holds, checked for the role its name and type
    give it."""
    data = item.data
    what = f"{item.type or '?'} {display_key(item.name)}"
    findings.unpacked_bytes += len(data)
    if item.kind == "setup":
        findings.setup_name = item.name
    if data[:6] == SEVEN_ZIP_SIGNATURE:
        lines = [brief(data)]
    elif data[:4] == CABINET_SIGNATURE:
        lines = describe_cabinet(data, findings, what)
    elif data[:2] == b"MZ":
        lines = describe_program(data, findings, what)
    else:
        lines = [brief(data)]
    if item.kind == "archive":
        problem = seven_zip_problem(buffer_reader(data), len(data))
        if not problem and data[:6] == SEVEN_ZIP_SIGNATURE:
            # The data too, as the real 7z reads it without a password.
            available, finished, problem = tests.result(
                data, (item.rva, item.size))
            if tests.skipped:
                lines.append("    data not tested (nothing is predicted)")
            elif not available:
                lines.append("    data not tested (7z is not installed)")
            elif not finished:
                lines.append("    data not tested to its end (7z did not "
                             "finish in time)")
                findings.unjudged.append(
                    f"the archive {what}: 7z did not finish testing its "
                    "data within --timeout seconds")
        if problem:
            findings.defects.append(f"the archive {what}: {problem}; setup "
                                    "would fail to read it")
    if item.kind == "setup" and item.type == PATCH_TYPE:
        if data[:2] == b"MZ" or data[:4] == CABINET_SIGNATURE:
            findings.defects.append(
                f"{what} is carried as a patch (type {PATCH_TYPE}), but it "
                f"is a {'program' if data[:2] == b'MZ' else 'cabinet'}: pack "
                "the setup program itself with --setup-kind cabinet (the "
                "default)")
    if (item.kind == "setup" and item.type == CONTRACT.plain_type and
            data[:2] != b"MZ"):
        findings.defects.append(f"{what} runs as {SETUP_EXE} but is not a "
                                "program: carry the setup program itself")
    return lines


def display_key(key):
    if isinstance(key, str):
        if len(key) > 80:
            return f'"{key[:80]}..." ({len(key)} characters)'
        return f'"{key}"'
    return f"#{key}"
