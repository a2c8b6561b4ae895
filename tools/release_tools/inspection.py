"""One inspection of an installer, start to end: the image mapped and its
resource directory searched as the installer searches it, the archive's
data tested while the probe runs the installer's own unpack stage where
the file lies, the items that stage took listed and judged, and the
verdict said. Both commands use it: the inspector prints what it says
(inspect_command.py), the packer keeps it and refuses an installer
predicted to fail."""

import gc
import mmap
import os
import stat
import struct
import sys
import time

from .item_content import ArchiveTests, Findings
from .judged_items import disagreements, probe_items, searched_items
from .listing import listing
from .payload_search import search_payload
from .pe_image import NotPeImage, PeImage, ResourceDirectory
from .probe import NoPrediction, NoProbe, probe
from .verdict import (
    EXIT_INSPECTOR_FAILED, EXIT_NAMES_REFUSED, EXIT_NO_PREDICTION,
    EXIT_NO_PROBE, EXIT_USAGE, advice, outcome_line, refused_name_lines)


PROBE_TIMEOUT = 120  # seconds; the shipped payload takes a few under Wine


class Output:
    """Where an inspection says what it finds, line by line: printed as it
    comes (to standard output, or to standard error what is no part of the
    listing and verdict), or kept in the order said, for a caller that
    judges by it."""

    def __init__(self, keep=False):
        self.keep = keep
        self.said = []  # (text, whether it goes to standard error)

    def say(self, text, error=False):
        if self.keep:
            self.said.append((text, error))
        else:
            print(text, file=sys.stderr if error else sys.stdout, flush=True)

    def text(self, errors=True):
        """What was said, in order; without `errors`, only what goes to
        standard output."""
        return "\n".join(text for text, error in self.said
                         if errors or not error)


def inspect_safely(path, build_dir, timeout=PROBE_TIMEOUT, quiet=False,
                   output=None):
    """inspect_file, with a fault of the inspector's own said and given its
    own status, never read as a prediction."""
    output = output or Output()
    try:
        return inspect_file(path, build_dir, timeout, quiet, output)
    except Exception as error:  # noqa: BLE001  (its own status, not 1)
        output.say(f"inspect-installer: the inspector failed: "
                   f"{type(error).__name__}: {error}", error=True)
        return EXIT_INSPECTOR_FAILED


def inspect_file(path, build_dir, timeout=PROBE_TIMEOUT, quiet=False,
                 output=None):
    """Lists the installer at `path` (not with `quiet`) and predicts its
    unpacking where it lies with the probe of `build_dir`, within `timeout`
    seconds; says so to `output` (an Output) and returns the status."""
    output = output or Output()
    # A pipe or device would block or never end; only files are read.
    if os.path.exists(path) and not stat.S_ISREG(os.stat(path).st_mode):
        output.say(f"inspect-installer: {path} is not a regular file",
                   error=True)
        return EXIT_USAGE
    try:
        with open(path, "rb") as f:
            # Mapped, so that only what is examined is read, whatever the
            # size of the payload.
            data = (mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
                    if os.fstat(f.fileno()).st_size else b"")
    except OSError as error:
        output.say(f"inspect-installer: cannot read {path}: "
                   f"{error.strerror}; check the path", error=True)
        return EXIT_USAGE
    try:
        return inspect_mapped(path, data, build_dir, timeout, quiet, output)
    finally:
        release_mapping(data)


def release_mapping(data):
    """Closes the file's mapping once nothing views it any more, so that the
    packer can rename the file it inspected (Windows renames no file that
    is mapped)."""
    if not isinstance(data, mmap.mmap):
        return
    try:
        data.close()
    except BufferError:
        gc.collect()  # views held in a cycle
        try:
            data.close()
        except BufferError:
            pass  # a view still lives; the mapping goes with it


def inspect_mapped(path, data, build_dir, timeout, quiet, output):
    try:
        image = PeImage(data)
    except (NotPeImage, struct.error) as error:
        output.say(f"inspect-installer: {path} is not a PE image ({error}); "
                   "give an installer made by scripts/pack-installer",
                   error=True)
        return EXIT_USAGE
    try:
        directory = ResourceDirectory(image)
        search = search_payload(directory)
    except (struct.error, ValueError) as error:
        directory = search = None
        output.say(f"inspect-installer: the resource directory is damaged "
                   f"({error or 'cut short'})", error=True)
    refused = refused_name_lines(search)
    if refused:
        # The probe runs the installer's own code here: never on a name
        # that could take it out of its work folder.
        for line in refused:
            output.say(f"inspect-installer: {line}")
        return EXIT_NAMES_REFUSED
    tests = ArchiveTests(time.monotonic() + timeout)
    try:
        own = searched_items(search)
        if "archive" in own:
            # Tested while the probe runs: both within the time given.
            tests.start(own["archive"].data,
                        (own["archive"].rva, own["archive"].size))
        inspected = Inspected(path, image, directory, search, tests)
        return predict(inspected, build_dir, timeout, quiet, output)
    finally:
        tests.stop()


class Inspected:
    """The installer being inspected: its path, image, resource directory
    and this listing's search of it (both None when the directory cannot
    be read), and the archive's data test."""

    def __init__(self, path, image, directory, search, tests):
        self.path = path
        self.image = image
        self.directory = directory
        self.search = search
        self.tests = tests


def run_probe(inspected, build_dir, timeout):
    """(the probe's report, or None with the status and message of why
    there is none)."""
    try:
        return probe(inspected.path, build_dir, timeout), None, None
    except NoProbe as problem:
        return (None, EXIT_NO_PROBE,
                f"inspect-installer: unpacking not predicted: {problem}")
    except NoPrediction as problem:
        inspected.tests.stop()
        inspected.tests.skipped = True
        return (None, EXIT_NO_PREDICTION,
                f"inspect-installer: no prediction: {problem}")


def items_to_judge(report, inspected, findings):
    """The items the installer's search took, as the probe reports them,
    with what this listing's search finds otherwise among the findings;
    without such a report, this listing's own."""
    if report is not None and "search-exit-code" in report:
        items = probe_items(report, inspected.image)
        findings.unjudged += disagreements(report, inspected.search, items,
                                           inspected.image)
        return items
    # A run that ends before its work folder exists searches nothing; one
    # that unpacks has searched.
    if report is not None and report.get("exit-code") == "0":
        findings.unjudged.append(
            "the probe did not say what the installer's search finds (it "
            "was built before this inspector: rebuild it with 'make "
            "build')")
    return searched_items(inspected.search)


def predict(inspected, build_dir, timeout, quiet, output):
    findings = Findings()
    report, status, message = run_probe(inspected, build_dir, timeout)
    items = items_to_judge(report, inspected, findings)
    lines = listing(inspected.path, inspected.image, inspected.directory,
                    items, findings, inspected.tests)
    if not quiet:
        output.say("\n".join(lines))
    for defect in findings.defects:
        output.say(f"defect: {defect}")
    for reason in findings.unjudged:
        output.say(f"not judged: {reason}")
    if report is None:
        output.say(message, error=status != EXIT_NO_PROBE)
        return status
    return say_outcome(report, findings, inspected.path, output)


def say_outcome(report, findings, path, output):
    try:
        line, status = outcome_line(report, findings)
        if int(report["exit-code"]) != 0:
            line += "\nadvice: " + advice(report, findings, path)
    except (KeyError, ValueError):
        output.say(f"inspect-installer: no prediction: the probe's report is "
                   f"incomplete: {report}", error=True)
        return EXIT_NO_PREDICTION
    if line is None:
        output.say("inspect-installer: no prediction: the installer "
                   "unpacks, but what it would run was not all judged (see "
                   "'not judged' above)", error=True)
    else:
        output.say(line)
    if report.get("cleanup") == "incomplete":
        output.say(f"inspect-installer: warning: the probe's work folder "
                   f"{report.get('work-folder')} could not be removed; "
                   "remove it by hand", error=True)
    return status
