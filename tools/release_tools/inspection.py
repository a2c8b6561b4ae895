"""Shows what a built installer carries and how its unpack stage would end.

    inspect-installer [--build-dir DIR] [--timeout SECONDS] [--quiet] FILE

Lists the payload resources (types "B7", "BL", "BN" and the previous-version
resource RT_RCDATA 1) with their names, languages, sizes and what each holds
(a 7z archive's format version; a cabinet's format version, its folders'
compression, its files and which one runs as setup.exe, the last; a
program's machine, manifest and whether Windows would start it from the
installer), the previous-version text, the installer's own manifest's
requestedExecutionLevel and whether the image carries an Authenticode
signature.

What is judged is what the installer itself finds: the probe (below) runs
the installer's own search of its payload and says which resources it took
and where their bytes lie, and this listing, which reads the resource
directory as the loader reads it, must find the same; where the two differ,
a "not judged:" line says so and no success is predicted.

Then a "defect:" line for each thing the run would fail on after unpacking,
which the unpack stage itself cannot see: an archive that is not whole as
far as its headers tell, a cabinet of several files (each is expanded into
setup.exe, so the last one runs) or whose file that runs is no program, a
setup program that Windows starts in no run of the installer (a DLL, a
driver, another machine, a manifest that is not XML or asks for uiAccess),
a patch that is a program or a cabinet. A "not judged:" line for each thing
that could not be judged here (a setup program that lies too deep in its
cabinet, a manifest above 1 MiB, an archive test that did not finish): no
success is predicted then. The last line is the predicted outcome, followed
on a failure of unpacking by its cause and what to do:

    outcome: success archive-type=B7 setup-type=BL road=plain
    outcome: failure after-unpacking archive-type=B7 setup-type=BL road=plain (...)
    outcome: failure exit-code=112 windows-error=68 (...)
    advice: ...

The road is "self-update" when the setup program came from type "B7" (a
patch that the installed setup program turns into a new one), else "plain".
--quiet prints only the defects, what was not judged, the outcome and the
advice. The file is mapped, not read, so inspecting takes the same memory
whatever its size; a cabinet's file is expanded into a temporary file, and
only when reaching it takes expanding at most 128 MiB, or 16 times the
cabinet's own size.

The prediction is not worked out here: payload_probe, built from the stub's
own libraries, runs the stub's unpack stage on FILE (natively on Windows,
under Wine elsewhere; where there is neither, nothing is predicted and the
listing says so), into a work folder made beside FILE as the installer makes
its own, and removes it again. So path-length failures are predicted for
where FILE lies, and FILE's folder needs room for the unpacked payload for a
moment. The probe is taken from the build folder (default: build/ beside
this script's folder, or the release kit's own folder). WINEPREFIX is
used as set; when unset, the prefix DIR/inspect-wineprefix is used, created
when missing (and its wineserver stopped afterwards). A crash while
unpacking (damaged cabinet data can crash Wine's cabinet library) is
predicted as the installer ends it: exit code 125 with the exception's code.
A probe that has not ended after --timeout seconds (default 120) is
stopped; a probe that dies otherwise or is stopped gives no prediction, and
the work folder it left beside FILE is removed. The archive's data is
tested with the real 7z meanwhile, within the same time.

Exit status: 0 success predicted, 1 failure predicted (of unpacking or
after it), 2 usage error or FILE is not a PE image, 3 no prediction could
be made (probe not built, Wine failed, the image cannot be loaded, or what
the run needs could not be judged), 4 no prediction because this machine
has neither Windows nor Wine, 5 the inspector itself failed, 6 not probed:
a payload resource's name is no name the installer makes a file of (a way
out of its work folder, a stream, a device, a trailing dot), which the
installer refuses (exit code 112 or 115, Windows error 123) and on which
the probe, which runs the installer's own code on this machine, is not run.
"""

import argparse
import mmap
import os
import re
import shutil
import stat
import struct
import sys
import tempfile
import time

from .pe_image import (
    NotPeImage, PeImage, ResourceDirectory, SECURITY_DIRECTORY,
    describe_machine)
from .start_policy import (
    describe_execution_level, program_manifest, refusal_to_start)
from .cabinet import CABINET_FOLDER_CONTINUED, CABINET_SIGNATURE, Cabinet
from .seven_zip import (SEVEN_ZIP_SIGNATURE, HeldArchiveTest, buffer_reader,
                        seven_zip_problem)
from .contract import CONTRACT
from .payload_search import PAYLOAD_TYPES, search_payload
from .layout import SOURCE_DIR, default_build_dir
from .probe import NoPrediction, NoProbe, PROBE, probe, windows_path


PROBE_TIMEOUT = 120  # seconds; the shipped payload takes a few under Wine


EXIT_SUCCESS = 0


EXIT_FAILURE_PREDICTED = 1


EXIT_USAGE = 2


EXIT_NO_PREDICTION = 3


# Neither Windows nor Wine here to run the probe on: nothing was predicted,
# and nothing went wrong either.
EXIT_NO_PROBE = 4
# The inspector itself failed (a fault of its own, not of FILE): never to
# be read as a prediction.
EXIT_INSPECTOR_FAILED = 5
# A payload name the installer makes no file of: the probe, which runs the
# installer's own unpacking here, is not run on it.
EXIT_NAMES_REFUSED = 6


RT_RCDATA = 10


PREVIOUS_VERSION_ID = 1


# A cabinet's file is expanded here, into a temporary file, when reaching
# its end takes expanding at most this much, or this many times the
# cabinet's own size: far more than the data of a real program shrinks
# to, far less than a cabinet of zeros claims.
EXPAND_LIMIT = 128 << 20
EXPANSION_RATIO = 16


# Entries of a payload type, and languages of a name, that the listing
# shows; the search never gets past a type's third name.
LISTED_ENTRIES = 32
LISTED_LANGUAGES = 8


# The stub's own codes that end an unpack, as named in stub/run_outcome.h.
WINDOWS_ERROR_NAMES = {
    2: "ERROR_FILE_NOT_FOUND",
    3: "ERROR_PATH_NOT_FOUND",
    5: "ERROR_ACCESS_DENIED",
    13: "ERROR_INVALID_DATA",
    39: "ERROR_HANDLE_DISK_FULL",
    68: "ERROR_TOO_MANY_NAMES",
    112: "ERROR_DISK_FULL",
    122: "ERROR_INSUFFICIENT_BUFFER",
    123: "ERROR_INVALID_NAME",
    206: "ERROR_FILENAME_EXCED_RANGE",
    # The exception that ended a run that crashed (exit code 125).
    0xC0000005: "EXCEPTION_ACCESS_VIOLATION",
    0xC0000006: "EXCEPTION_IN_PAGE_ERROR",
}


DISK_FULL_ERRORS = (39, 112)


NAMING_ERRORS = (2, 13, 68, 123, 206)


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


class PayloadItem:
    """One payload item to judge: the archive or the setup program, as the
    installer's search took it (or, without a probe, as this listing's
    search would)."""

    def __init__(self, kind, type_key, name, size, rva, data, offset=None):
        self.kind = kind            # "archive" or "setup"
        self.type = type_key        # "" when the search ended in its type
        self.name = name
        self.size = size
        self.rva = rva
        self.data = data            # what the file holds of it
        self.offset = offset        # in the file, as the probe located it

    def describes(self, resource):
        return (resource.rva == self.rva and resource.size == self.size and
                resource.name == self.name)


def probe_items(report, image):
    """The items that the probe's search took, from its report."""
    items = {}
    for kind in ("archive", "setup"):
        if f"{kind}-size" not in report:
            continue
        try:
            name = bytes.fromhex(report[f"{kind}-name"]).decode(
                "utf-16-be", "surrogatepass")
        except ValueError:
            raise NoPrediction(f"the probe's report names its {kind} "
                               "unreadably") from None
        size = int(report[f"{kind}-size"])
        rva = int(report[f"{kind}-rva"])
        offset = report.get(f"{kind}-offset")
        items[kind] = PayloadItem(
            kind, report.get(f"{kind}-type", ""), name, size, rva,
            image.read(rva, size),
            int(offset) if offset is not None else None)
    return items


def searched_items(search):
    """The items that this listing's own search took."""
    items = {}
    for kind, item in (search.items.items() if search else ()):
        resource = item.resource
        items[kind] = PayloadItem(kind, item.type, item.name, resource.size,
                                  resource.rva, resource.data)
    return items


def show_item(item):
    return (f"{item.type or '?'} {display_key(item.name)}, {item.size} bytes "
            f"at RVA 0x{item.rva:X}")


def disagreements(report, search, items, image):
    """Where the probe's search and this listing's differ, and what neither
    can tell of Windows; empty when they agree."""
    if search is None:
        return ["this listing cannot read the resource directory, which "
                "the installer's search reads"]
    found = []
    if search.unknown:
        found.append(search.unknown)
    theirs = (int(report["search-exit-code"]),
              int(report["search-windows-error"]))
    ours = (search.exit_code, search.windows_error)
    if theirs != ours:
        found.append(f"the installer's search ends with exit code "
                     f"{theirs[0]}, Windows error {theirs[1]}, this "
                     f"listing's with {ours[0]}, {ours[1]}")
    tags = (report.get("archive-type", ""), report.get("setup-type", ""))
    if theirs == ours and tags != (search.archive_type, search.setup_type):
        found.append(f"the installer's search finds its items in types "
                     f"{tags}, this listing's in "
                     f"{(search.archive_type, search.setup_type)}")
    for kind in ("archive", "setup"):
        item = items.get(kind)
        own = search.items.get(kind)
        if item is None and own is None:
            continue
        if item is None or own is None:
            found.append(f"the installer's search takes "
                         f"{show_item(item) if item else 'no ' + kind}, "
                         f"this listing's "
                         f"{display_key(own.name) if own else 'none'}")
            continue
        choices = own.choices or [own.resource]
        matching = [r for r in choices
                    if r.rva == item.rva and r.size == item.size]
        if own.name != item.name or not matching:
            found.append(f"the installer's search takes {show_item(item)} "
                         f"as its {kind}, this listing's "
                         f"{display_key(own.name)}, {own.resource.size} "
                         f"bytes at RVA 0x{own.resource.rva:X}")
        elif (item.offset is not None and
              image.offset_of(item.rva)[0] != item.offset):
            found.append(f"the installer reads its {kind} from file offset "
                         f"{item.offset}, this listing from "
                         f"{image.offset_of(item.rva)[0]}")
        elif own.choices:
            found.append(f"the {kind} {display_key(own.name)} is carried in "
                         f"{len(own.choices)} languages, of which Windows "
                         "takes one by the user's language settings")
    return found


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
                                 "setup.exe: the cabinet's header is "
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
                    f"{name} in {what}, which runs as setup.exe: it is "
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
        lines.append(f"    every file is expanded into setup.exe, so {last} "
                     "runs")
        lines.append(f"    note: only the last of the {len(cabinet.files)} "
                     "files runs; a cabinet of the setup program alone "
                     "(pack-installer makes one) carries nothing unused")
    elif cabinet.files and cabinet.files[0][0].lower() != "setup.exe":
        lines.append(f"    {cabinet.files[0][0]} is expanded as setup.exe")
    elif not cabinet.files:
        findings.defects.append(f"{what} holds no file, so no setup program "
                                "would run")
    return lines


def describe_member(cabinet, index, line, findings, what, cabinet_size):
    """The line of the cabinet's file that runs, and what it holds: the
    file is expanded into a temporary file, never held whole, and judged
    through a mapping of it."""
    name, size = cabinet.files[index][:2]
    limit = max(EXPAND_LIMIT, EXPANSION_RATIO * cabinet_size)
    try:
        problem = cabinet.expansion_problem(index, limit)
    except ValueError as damage:
        findings.cabinet_damaged = True
        findings.unjudged.append(f"{name} in {what}, which runs as "
                                 f"setup.exe: it cannot be expanded here "
                                 f"({damage})")
        return line + f" (cannot be expanded here: {damage})", []
    if problem:
        findings.unjudged.append(f"{name} in {what}, which runs as "
                                 f"setup.exe: {problem}")
        return line + f" (not expanded here: {problem})", []
    findings.unpacked_bytes += size
    with tempfile.TemporaryFile(prefix="inspect-installer.") as expanded:
        try:
            cabinet.expand(index, expanded, limit)
        except ValueError as damage:
            findings.cabinet_damaged = True
            findings.unjudged.append(f"{name} in {what}, which runs as "
                                     f"setup.exe: it cannot be expanded "
                                     f"here ({damage})")
            return line + f" (cannot be expanded here: {damage})", []
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
                f"{name} in {what}, which runs as setup.exe, is not a "
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
    """A PE image's architecture and requested execution level, and whether
    Windows would start it from the installer; one or two lines. A program
    that Windows starts in no run of the installer is a defect."""
    try:
        image = PeImage(data)
        manifest = program_manifest(ResourceDirectory(image))
    except (NotPeImage, struct.error, ValueError):
        findings.defects.append(f"{what} is a damaged or cut-short program")
        return ["PE image, damaged or cut short"]
    lines = [f"PE image, {describe_machine(image)}, "
             f"{describe_execution_level(manifest)}"]
    if manifest is not None and manifest.unjudged():
        findings.unjudged.append(f"whether Windows starts {what}: "
                                 f"{manifest.unjudged()}")
    refusal = refusal_to_start(image, manifest)
    if refusal is None:
        return lines
    if refusal.elevated_would_start:
        lines.append(f"  Windows would refuse to start it from the "
                     f"installer: {refusal.reason}")
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
    if item.kind == "setup" and item.type == "B7":
        if data[:2] == b"MZ" or data[:4] == CABINET_SIGNATURE:
            findings.defects.append(
                f"{what} is carried as a patch (type B7), but it is a "
                f"{'program' if data[:2] == b'MZ' else 'cabinet'}: pack the "
                "setup program itself with --setup-kind cabinet (the "
                "default)")
    if item.kind == "setup" and item.type == "BN" and data[:2] != b"MZ":
        findings.defects.append(f"{what} runs as setup.exe but is not a "
                                "program: carry the setup program itself")
    return lines


def display_key(key):
    if isinstance(key, str):
        if len(key) > 80:
            return f'"{key[:80]}..." ({len(key)} characters)'
        return f'"{key}"'
    return f"#{key}"


def display_type(key):
    if key == RT_RCDATA:
        return "RT_RCDATA"
    return key if isinstance(key, str) else f"#{key}"


def previous_version_text(resource):
    """The text as the installer accepts it (an even, non-zero size ending in
    a zero unit), or why it is not accepted."""
    data = resource.data
    if len(data) != resource.size:
        return None, "cut short"
    if resource.size == 0 or resource.size % 2:
        return None, f"{resource.size} bytes, not a whole UTF-16 text"
    if data[-2:] != b"\0\0":
        return None, "not terminated by a zero unit"
    units = bytes(data).decode("utf-16-le", "replace")
    return units[:units.index("\0")], None


def payload_lines(directory, items, findings, tests):
    """Every resource of the payload types as stored (as many as the
    listing shows), the payload items among them judged; an item that the
    installer's search took and this listing does not see is listed after
    them."""
    lines = []
    shown = set()
    for type_key in PAYLOAD_TYPES:
        table = directory.type_table(type_key)
        if table is None:
            continue
        entries, total = directory.entries(table, LISTED_ENTRIES)
        for field, target in entries:
            name = directory.key(field)
            if field & 0x80000000 and directory.name_length(field) > len(
                    name):
                name += "..."  # cut for the listing; never an item
            if not target & 0x80000000:
                lines.append(f"  {type_key} {display_key(name)}: no "
                             "languages")
                continue
            languages, count = directory.entries(target & 0x7FFFFFFF,
                                                 LISTED_LANGUAGES)
            for language, leaf in languages:
                resource = (None if leaf & 0x80000000 else directory.leaf(
                    type_key, name, language & 0xFFFF, leaf))
                if resource is None:
                    lines.append(f"  {type_key} {display_key(name)} language "
                                 f"{language & 0xFFFF}: no data entry")
                    continue
                item = next((i for kind, i in items.items()
                             if kind not in shown and i.describes(resource)),
                            None)
                if item is not None:
                    shown.add(item.kind)
                lines += resource_lines(type_key, resource, item, findings,
                                        tests)
            if count > len(languages):
                lines.append(f"  {type_key} {display_key(name)}: "
                             f"{count - len(languages)} more languages")
        if total > len(entries):
            lines.append(f"  {type_key}: {total - len(entries)} more "
                         "resources, which the search never reaches")
    for kind, item in items.items():
        if kind not in shown:
            head = (f"  {item.type or '?'} {display_key(item.name)}, "
                    f"{item.size} bytes (taken by the installer's search, "
                    "not found by this listing)")
            content = describe_content(item, findings, tests)
            lines.append(f"{head}: {content[0]}")
            lines += ["  " + line for line in content[1:]]
    return lines


def resource_lines(type_key, resource, item, findings, tests):
    head = (f"  {display_type(type_key)} {display_key(resource.name)}"
            f" language {resource.language}, {resource.size} bytes")
    if len(resource.data) < resource.size:
        head += f" (the file holds only {len(resource.data)})"
    if item is None:
        return [f"{head}: {brief(resource.data)}"]
    content = describe_content(item, findings, tests)
    return [f"{head}: {content[0]}"] + ["  " + line for line in content[1:]]


def listing(path, image, directory, items, findings, tests):
    lines = [f"installer: {path} ({len(image.data)} bytes)",
             "payload resources (in the order searched):"]
    if directory is None:
        lines.append("  (the resource directory cannot be read)")
        payload = []
        versions = []
        for item in items.values():
            content = describe_content(item, findings, tests)
            payload += [f"  {item.type or '?'} {display_key(item.name)}, "
                        f"{item.size} bytes: {content[0]}"]
            payload += ["  " + line for line in content[1:]]
    else:
        payload = payload_lines(directory, items, findings, tests)
        versions = directory.languages(RT_RCDATA, PREVIOUS_VERSION_ID,
                                       LISTED_LANGUAGES)
    if not payload and not versions:
        lines.append("  none")
    lines += payload
    for resource in versions:
        lines.append(f"  RT_RCDATA #1 language {resource.language}, "
                     f"{resource.size} bytes: previous-version text")
    if not versions:
        lines.append("previous version: none")
    for resource in versions:
        text, problem = previous_version_text(resource)
        where = f" (language {resource.language})" if len(versions) > 1 else ""
        if problem:
            lines.append(f"previous version: none, the resource is not "
                         f"accepted{where}: {problem}")
        else:
            lines.append(f"previous version: \"{text}\"{where}")
    try:
        own = describe_execution_level(
            program_manifest(directory) if directory else None)
    except ValueError as problem:
        own = f"not read ({problem})"
    lines.append(f"installer's own manifest: {own}")
    offset, size = image.directory(SECURITY_DIRECTORY)
    if size:
        lines.append(f"Authenticode signature: present ({size} bytes at file "
                     f"offset {offset})")
    else:
        lines.append("Authenticode signature: absent")
    return lines


def refused_name_lines(search):
    """What to say of an installer whose search ends at a name that the
    installer makes no file of in its work folder; none for any other."""
    if search is None or search.refused_name is None:
        return []
    type_key, name, reason = search.refused_name
    return [f"not probed: payload resource {type_key} {name!r} is no name of "
            f"a file in the work folder: {reason}",
            "not probed: the installer refuses such a name before it writes "
            f"anything (exit code {search.exit_code}, Windows error "
            f"{search.windows_error}, ERROR_INVALID_NAME); its unpacking is "
            "not run here on it: pack the installer with "
            "scripts/pack-installer"]


def outcome_line(report, findings):
    exit_code = int(report["exit-code"])
    error = int(report["windows-error"])
    if exit_code == 0:
        setup_type = report["setup-type"]
        road = "self-update" if setup_type == "B7" else "plain"
        tags = (f"archive-type={report['archive-type']} "
                f"setup-type={setup_type} road={road}")
        if findings.defects:
            return (f"outcome: failure after-unpacking {tags} (see the "
                    "defects above)"), EXIT_FAILURE_PREDICTED
        if findings.unjudged:
            return None, EXIT_NO_PREDICTION
        return f"outcome: success {tags}", EXIT_SUCCESS
    why = CONTRACT.exit_code_name(exit_code)
    if error in WINDOWS_ERROR_NAMES:
        why += (", " if why else "") + WINDOWS_ERROR_NAMES[error]
    why += (", " if why else "") + f"at the {report['stage']} stage"
    return (f"outcome: failure exit-code={exit_code} windows-error={error} "
            f"({why})"), EXIT_FAILURE_PREDICTED


def advice(report, findings, path):
    """What went wrong in a predicted failure of unpacking, and what to do
    about it."""
    exit_code = int(report["exit-code"])
    error = int(report["windows-error"])
    folder = windows_path(os.path.dirname(path))
    cabinet_path = len(folder) + len("\\KV_xxxxx.tmp\\") + len(
        findings.setup_name)
    if exit_code == 108 and error == 122:
        return ("the installer's own path is longer than 259 characters, "
                "which the installer cannot hold: run it from a folder with "
                "a shorter path")
    # Windows makes no folder whose path passes 247 characters for a
    # program that is not long-path aware; the work folder's name takes 12
    # characters beside the installer.
    deepest_folder = 247 - len("KV_xxxxx.tmp")
    if exit_code == 108 and len(folder) + 1 > deepest_folder:
        return (f"the installer's folder is {len(folder) + 1} characters "
                f"deep (with its trailing backslash); the work folder fits "
                f"beside it only in a folder of at most {deepest_folder}: "
                "run the installer from a shorter folder")
    if exit_code == 108:
        return ("a file's path in the work folder beside the installer "
                "would pass 259 characters: run the installer from a "
                "shorter folder, or pack it with shorter names "
                "(--archive-name, --setup-name)")
    try:
        free = shutil.disk_usage(os.path.dirname(os.path.abspath(path))).free
    except OSError:
        free = None
    # The cabinet library reports no error of its own, so a volume too
    # small shows only by its room.
    if error in DISK_FULL_ERRORS or (free is not None and
                                     free < findings.unpacked_bytes):
        return ("the volume the installer lies on has no room for what it "
                f"unpacks (up to {findings.unpacked_bytes} bytes at once): "
                "free that much there, or run it from another volume")
    if exit_code in (112, 115) and error in NAMING_ERRORS:
        return ("the payload resources are not named as the installer needs "
                "them (one archive named korvel..., one setup program named "
                "setup..., nothing else in B7, BL and BN): pack the "
                "installer with scripts/pack-installer")
    if exit_code == 115 and findings.cabinet_continues:
        return ("the setup program's cabinet continues in another cabinet, "
                "which the installer does not carry: carry a cabinet that "
                "holds all of the setup program (pack-installer makes one "
                "from the program itself)")
    if exit_code in (115, 125) and findings.cabinet_damaged:
        return ("the setup program's cabinet is damaged or cut short: pack "
                "the setup program itself again")
    if exit_code == 115 and cabinet_path > 240:
        return (f"the cabinet's path in the work folder is {cabinet_path} "
                "characters, and the cabinet library opens none much above "
                "255: run the installer from a shorter folder, or pack it "
                "with a shorter --setup-name")
    if exit_code == 115:
        return ("the cabinet library could not expand the setup program: "
                "check the cabinet with 'gcab -t', or let pack-installer "
                "make it from the setup program itself")
    if exit_code == 125:
        return ("the cabinet library crashed while expanding the setup "
                "program: its cabinet is damaged; pack the setup program "
                "itself again")
    if exit_code in (109, 117):
        return ("the installer could not make its private work folder "
                f"beside itself (Windows error {error}): run it from a "
                "folder where its user may create folders")
    return (f"writing the payload beside the installer failed (Windows "
            f"error {error}): check that folder's volume and permissions")


EXAMPLE = """\
exit status:
  0 success predicted, 1 failure predicted, 2 usage error or FILE is not a
  PE image, 3 no prediction (probe not built, Wine failed, the probe died or
  ran out of time, or what the run needs was not all judged), 4 no
  prediction: neither Windows nor Wine here, 5 the inspector itself failed,
  6 not probed: a payload name the installer refuses (a way out of its
  work folder, a stream, a device)

example:
  What an installer carries, and whether it would unpack from the folder
  users run it from (the prediction needs room there for a moment):

    scripts/pack-installer --archive product.7z --setup setup.exe \\
        --output ~/Downloads/Installer.exe
    scripts/inspect-installer ~/Downloads/Installer.exe

  In a release script, only the verdict:

    scripts/inspect-installer --quiet Installer.exe || exit 1"""


def main():
    parser = argparse.ArgumentParser(
        prog="inspect-installer",
        description=__doc__.split("\n\n")[0],
        epilog=EXAMPLE,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "file", metavar="FILE",
        help="the installer to inspect; its unpacking is predicted where it "
             "lies")
    parser.add_argument(
        "--build-dir", metavar="DIR",
        help="the build folder holding the probe "
             f"({PROBE.replace(os.sep, '/')}); default: build/ beside "
             "scripts/")
    parser.add_argument(
        "--quiet", action="store_true",
        help="print only the defects, the predicted outcome and its advice; "
             "default: the listing too")
    parser.add_argument(
        "--timeout", type=float, default=PROBE_TIMEOUT, metavar="SECONDS",
        help="stop a probe that has not ended by then and give no "
             f"prediction; default: {PROBE_TIMEOUT}")
    args = parser.parse_args()
    # Names that the terminal's encoding cannot show are shown escaped.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        return inspect_file(args)
    except Exception as error:  # noqa: BLE001  (its own status, not 1)
        print(f"inspect-installer: the inspector failed: "
              f"{type(error).__name__}: {error}", file=sys.stderr)
        return EXIT_INSPECTOR_FAILED


def inspect_file(args):
    build_dir = os.path.abspath(args.build_dir or default_build_dir())
    # A pipe or device would block or never end; only files are read.
    if os.path.exists(args.file) and not stat.S_ISREG(
            os.stat(args.file).st_mode):
        print(f"inspect-installer: {args.file} is not a regular file",
              file=sys.stderr)
        return EXIT_USAGE
    try:
        with open(args.file, "rb") as f:
            # Mapped, so that only what is examined is read, whatever the
            # size of the payload.
            data = (mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
                    if os.fstat(f.fileno()).st_size else b"")
        image = PeImage(data)
    except OSError as error:
        print(f"inspect-installer: cannot read {args.file}: "
              f"{error.strerror}; check the path", file=sys.stderr)
        return EXIT_USAGE
    except (NotPeImage, struct.error) as error:
        print(f"inspect-installer: {args.file} is not a PE image ({error}); "
              "give an installer made by scripts/pack-installer",
              file=sys.stderr)
        return EXIT_USAGE

    try:
        directory = ResourceDirectory(image)
        search = search_payload(directory)
    except (struct.error, ValueError) as error:
        directory = search = None
        print(f"inspect-installer: the resource directory is damaged "
              f"({error or 'cut short'})", file=sys.stderr)
    refused = refused_name_lines(search)
    if refused:
        # The probe runs the installer's own code here: never on a name
        # that could take it out of its work folder.
        for line in refused:
            print(f"inspect-installer: {line}")
        return EXIT_NAMES_REFUSED
    deadline = time.monotonic() + args.timeout
    tests = ArchiveTests(deadline)
    try:
        own = searched_items(search)
        if "archive" in own:
            # Tested while the probe runs: both within --timeout.
            tests.start(own["archive"].data,
                        (own["archive"].rva, own["archive"].size))
        return predict(args, build_dir, image, directory, search, tests)
    finally:
        tests.stop()


def predict(args, build_dir, image, directory, search, tests):
    findings = Findings()
    report = None
    try:
        report = probe(args.file, build_dir, args.timeout)
    except NoProbe as problem:
        status = EXIT_NO_PROBE
        message = f"inspect-installer: unpacking not predicted: {problem}"
    except NoPrediction as problem:
        tests.stop()
        tests.skipped = True
        status = EXIT_NO_PREDICTION
        message = f"inspect-installer: no prediction: {problem}"
    if report is not None and "search-exit-code" in report:
        items = probe_items(report, image)
        findings.unjudged += disagreements(report, search, items, image)
    else:
        items = searched_items(search)
        # A run that ends before its work folder exists searches nothing;
        # one that unpacks has searched.
        if report is not None and report.get("exit-code") == "0":
            findings.unjudged.append(
                "the probe did not say what the installer's search finds "
                "(it was built before this inspector: rebuild it with 'make "
                "build')")
    lines = listing(args.file, image, directory, items, findings, tests)
    if not args.quiet:
        print("\n".join(lines), flush=True)
    for defect in findings.defects:
        print(f"defect: {defect}", flush=True)
    for reason in findings.unjudged:
        print(f"not judged: {reason}", flush=True)
    if report is None:
        print(message, file=None if status == EXIT_NO_PROBE else sys.stderr)
        return status
    try:
        line, status = outcome_line(report, findings)
        if int(report["exit-code"]) != 0:
            line += "\nadvice: " + advice(report, findings, args.file)
    except (KeyError, ValueError):
        print(f"inspect-installer: no prediction: the probe's report is "
              f"incomplete: {report}", file=sys.stderr)
        return EXIT_NO_PREDICTION
    if line is None:
        print("inspect-installer: no prediction: the installer unpacks, but "
              "what it would run was not all judged (see 'not judged' "
              "above)", file=sys.stderr)
    else:
        print(line)
    if report.get("cleanup") == "incomplete":
        print(f"inspect-installer: warning: the probe's work folder "
              f"{report.get('work-folder')} could not be removed; remove it "
              "by hand", file=sys.stderr)
    return status
