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

Then a "defect:" line for each thing the run would fail on after unpacking,
which the unpack stage itself cannot see: an archive that is not whole as
far as its headers tell, a cabinet of several files (each is expanded into
setup.exe, so the last one runs) or whose file that runs is no program, a
setup program that Windows starts in no run of the installer (a DLL, a
driver, another machine, a manifest that is not XML or asks for uiAccess),
a patch that is a program or a cabinet. The last line is the predicted
outcome, followed on a failure of unpacking by its cause and what to do:

    outcome: success archive-type=B7 setup-type=BL road=plain
    outcome: failure after-unpacking archive-type=B7 setup-type=BL road=plain (...)
    outcome: failure exit-code=112 windows-error=68 (...)
    advice: ...

The road is "self-update" when the setup program came from type "B7" (a
patch that the installed setup program turns into a new one), else "plain".
--quiet prints only the defects, the outcome and the advice. The file is
mapped, not read, so inspecting takes the same memory whatever its size;
cabinet members above 128 MiB are not expanded here.

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
the work folder it left beside FILE is removed.

Exit status: 0 success predicted, 1 failure predicted (of unpacking or
after it), 2 usage error or FILE is not a PE image, 3 no prediction could
be made (probe not built, Wine failed, the image cannot be loaded), 4 no
prediction because this machine has neither Windows nor Wine, 5 the
inspector itself failed, 6 not probed: a payload resource's name is no name
the installer makes a file of (a way out of its work folder, a stream, a
device, a trailing dot), which the installer refuses (exit code 112 or 115,
Windows error 123) and on which the probe, which runs the installer's own
code on this machine, is not run.
"""

import argparse
import mmap
import os
import re
import shutil
import stat
import struct
import sys

from .pe_image import (
    NotPeImage, PeImage, SECURITY_DIRECTORY, describe_machine,
    read_resources)
from .start_policy import describe_execution_level, refusal_to_start
from .cabinet import CABINET_FOLDER_CONTINUED, CABINET_SIGNATURE, Cabinet
from .seven_zip import (SEVEN_ZIP_SIGNATURE, buffer_reader,
                        seven_zip_problem, test_archive_bytes)
from .layout import SOURCE_DIR, default_build_dir
from .payload_names import unusable_name_reason
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


PAYLOAD_TYPES = ["B7", "BL", "BN"]  # the stub's search order


RT_RCDATA = 10


PREVIOUS_VERSION_ID = 1


# Payload items are classified by these name prefixes, ASCII letters folded.
ARCHIVE_PREFIX = "korvel"


SETUP_PREFIX = "setup"


# Larger cabinet members are not expanded here, so that inspecting takes
# the same memory whatever the product's size.
EXPAND_LIMIT = 128 << 20


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
    stage cannot see), and facts about the payload."""

    def __init__(self):
        self.defects = []
        self.unpacked_bytes = 0
        self.cabinet_continues = False
        self.cabinet_damaged = False
        self.setup_name = ""


def first_bytes(data, count=8):
    return " ".join(f"{b:02X}" for b in bytes(data[:count]))


def role(resource):
    """"archive", "setup" or None, as the stub classifies the name."""
    if not isinstance(resource.name, str):
        return None
    name = "".join(c.lower() if "A" <= c <= "Z" else c for c in resource.name)
    if name.startswith(ARCHIVE_PREFIX):
        return "archive"
    if name.startswith(SETUP_PREFIX):
        return "setup"
    return None


def describe_cabinet(data, findings, what):
    """A cabinet's header and its files, and the file that runs as
    setup.exe: the stub expands every file into that one name, so the last
    one is what runs."""
    try:
        cabinet = Cabinet(data)
    except (struct.error, ValueError):
        findings.cabinet_damaged = True
        return [f"cabinet, damaged or cut-short header ({len(data)} bytes)"]
    folders = len(cabinet.folders)
    compressions = ", ".join(cabinet.compression_name(i)
                             for i in range(folders)) or "none"
    text = (f"cabinet, format version {cabinet.major}.{cabinet.minor}, "
            f"{folders} folder{'s' if folders != 1 else ''} "
            f"({compressions}), {cabinet.file_count} "
            f"file{'s' if cabinet.file_count != 1 else ''}")
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
        elif not runs:
            line += " (expanded, then overwritten by the next file)"
        elif size > EXPAND_LIMIT:
            line += " (not expanded here: too large to examine)"
        else:
            findings.unpacked_bytes += size
            try:
                content = cabinet.file_bytes(index)
            except ValueError as problem:
                line += f" (cannot be expanded here: {problem})"
                findings.cabinet_damaged = True
            else:
                if content[:2] == b"MZ":
                    first, *more = describe_program(content, findings,
                                                    f"{name} in {what}")
                    line += ": " + first
                else:
                    line += (": not a program, first bytes "
                             f"{first_bytes(content)}")
                    findings.defects.append(
                        f"{name} in {what}, which runs as setup.exe, is not "
                        "a program: carry the setup program itself")
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


def describe_program(data, findings, what):
    """A PE image's architecture and requested execution level, and whether
    Windows would start it from the installer; one or two lines. A program
    that Windows starts in no run of the installer is a defect."""
    try:
        image = PeImage(data)
        resources = read_resources(image)
    except (NotPeImage, struct.error, ValueError):
        findings.defects.append(f"{what} is a damaged or cut-short program")
        return ["PE image, damaged or cut short"]
    lines = [f"PE image, {describe_machine(image)}, "
             f"{describe_execution_level(resources)}"]
    refusal = refusal_to_start(image, resources)
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


def describe_content(resource, findings):
    """What a payload resource holds, checked for the role its name and
    type give it."""
    data = resource.data
    what = f"{resource.type} {display_key(resource.name)}"
    kind = role(resource)
    if kind is not None:
        findings.unpacked_bytes += len(data)
    if kind == "setup":
        findings.setup_name = resource.name
    if data[:6] == SEVEN_ZIP_SIGNATURE:
        if len(data) < 8:
            lines = ["7z archive, cut short before its format version"]
        else:
            lines = [f"7z archive, format version {data[6]}.{data[7]}"]
    elif data[:4] == CABINET_SIGNATURE:
        lines = describe_cabinet(data, findings, what)
    elif data[:2] == b"MZ":
        lines = describe_program(data, findings, what)
    elif not data:
        lines = ["empty"]
    else:
        lines = [f"unrecognised, first bytes {first_bytes(data)}"]
    if kind == "archive":
        problem = seven_zip_problem(buffer_reader(data), len(data))
        if not problem and data[:6] == SEVEN_ZIP_SIGNATURE:
            # The data too, as the real 7z reads it without a password.
            available, problem = test_archive_bytes(data)
            if not available:
                lines.append("    data not tested (7z is not installed)")
        if problem:
            findings.defects.append(f"the archive {what}: {problem}; setup "
                                    "would fail to read it")
    if kind == "setup" and resource.type == "B7":
        if data[:2] == b"MZ" or data[:4] == CABINET_SIGNATURE:
            findings.defects.append(
                f"{what} is carried as a patch (type B7), but it is a "
                f"{'program' if data[:2] == b'MZ' else 'cabinet'}: pack the "
                "setup program itself with --setup-kind cabinet (the "
                "default)")
    if kind == "setup" and resource.type == "BN" and data[:2] != b"MZ":
        findings.defects.append(f"{what} runs as setup.exe but is not a "
                                "program: carry the setup program itself")
    return lines


def display_key(key):
    return f'"{key}"' if isinstance(key, str) else f"#{key}"


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


def listing(path, image, resources, findings):
    lines = [f"installer: {path} ({len(image.data)} bytes)",
             "payload resources (in the order searched):"]
    payload = []
    for type_name in PAYLOAD_TYPES:
        payload += [r for r in resources
                    if isinstance(r.type, str) and r.type == type_name]
    versions = [r for r in resources
                if r.type == RT_RCDATA and r.name == PREVIOUS_VERSION_ID]
    if not payload and not versions:
        lines.append("  none")
    for resource in payload + versions:
        head = (f"  {display_type(resource.type)} {display_key(resource.name)}"
                f" language {resource.language}, {resource.size} bytes")
        if len(resource.data) < resource.size:
            head += f" (the file holds only {len(resource.data)})"
        if resource in versions:
            content = ["previous-version text"]
        else:
            content = describe_content(resource, findings)
        lines.append(f"{head}: {content[0]}")
        lines += ["  " + line for line in content[1:]]
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
    lines.append("installer's own manifest: "
                 f"{describe_execution_level(resources)}")
    offset, size = image.directory(SECURITY_DIRECTORY)
    if size:
        lines.append(f"Authenticode signature: present ({size} bytes at file "
                     f"offset {offset})")
    else:
        lines.append("Authenticode signature: absent")
    return lines


def refused_names(resources):
    """A line for each payload resource whose name the installer makes no
    file of in its work folder, as its own rule says."""
    lines = []
    for resource in resources:
        if (isinstance(resource.type, str) and
                resource.type in PAYLOAD_TYPES and
                isinstance(resource.name, str)):
            reason = unusable_name_reason(resource.name)
            if reason:
                lines.append(f"payload resource {resource.type} "
                             f"{resource.name!r} is no name of a "
                             f"file in the work folder: {reason}")
    return lines


def exit_code_names():
    """The stub's own names of its exit codes, read from its header; none
    when the header is not beside this script."""
    header = os.path.join(SOURCE_DIR, "stub", "run_outcome.h")
    try:
        with open(header, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        return {}
    body = re.search(r"enum class ExitCode[^{]*\{(.*?)\};", text, re.S)
    if body is None:
        return {}
    return {int(number): name for name, number in
            re.findall(r"(\w+)\s*=\s*(\d+)", body.group(1))}


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
        return f"outcome: success {tags}", EXIT_SUCCESS
    why = exit_code_names().get(exit_code, "")
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
  ran out of time), 4 no prediction: neither Windows nor Wine here, 5 the
  inspector itself failed, 6 not probed: a payload name the installer
  refuses (a way out of its work folder, a stream, a device)

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
        resources = read_resources(image)
    except (struct.error, ValueError) as error:
        resources = []
        print(f"inspect-installer: the resource directory is damaged "
              f"({error or 'cut short'})", file=sys.stderr)
    findings = Findings()
    lines = listing(args.file, image, resources, findings)
    if not args.quiet:
        print("\n".join(lines), flush=True)
    for defect in findings.defects:
        print(f"defect: {defect}", flush=True)
    refused = refused_names(resources)
    if refused:
        for line in refused:
            print(f"inspect-installer: not probed: {line}")
        print("inspect-installer: the installer refuses such a name before "
              "it writes anything (exit code 112 or 115, Windows error 123, "
              "ERROR_INVALID_NAME); its unpacking is not run here on it: "
              "pack the installer with scripts/pack-installer")
        return EXIT_NAMES_REFUSED
    try:
        report = probe(args.file, build_dir, args.timeout)
    except NoProbe as problem:
        print(f"inspect-installer: unpacking not predicted: {problem}")
        return EXIT_NO_PROBE
    except NoPrediction as problem:
        print(f"inspect-installer: no prediction: {problem}", file=sys.stderr)
        return EXIT_NO_PREDICTION
    try:
        line, status = outcome_line(report, findings)
        if int(report["exit-code"]) != 0:
            line += "\nadvice: " + advice(report, findings, args.file)
    except (KeyError, ValueError):
        print(f"inspect-installer: no prediction: the probe's report is "
              f"incomplete: {report}", file=sys.stderr)
        return EXIT_NO_PREDICTION
    print(line)
    if report.get("cleanup") == "incomplete":
        print(f"inspect-installer: warning: the probe's work folder "
              f"{report.get('work-folder')} could not be removed; remove it "
              "by hand", file=sys.stderr)
    return status
