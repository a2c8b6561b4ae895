"""7z archives, checked as far as their own headers tell (signature,
version, the start header's CRC, the whole archive present, the next
header's CRC; read in blocks, never whole), and their data tested by the
real 7z as setup would read it."""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import zlib

from .pe_image import u32


SEVEN_ZIP_SIGNATURE = b"7z\xbc\xaf\x27\x1c"


SEVEN_ZIP_START_HEADER = 32


CRC_BLOCK = 1 << 20


def seven_zip_problem(read_at, size, name=""):
    """What keeps a 7z archive from being read whole, as far as its own
    headers tell, or None. `read_at(offset, count)` gives the archive's
    bytes, `size` is how many it has, `name` its file name if it has one.

    The start header (signature, format version, its own CRC, and where
    the next header lies, how long it is and its CRC) says where the
    archive ends, so a cut-short archive or the first volume of a split one
    shows without reading the data between."""
    start = bytes(read_at(0, SEVEN_ZIP_START_HEADER))
    volume = split_volume(name)
    if start[:6] != SEVEN_ZIP_SIGNATURE:
        if volume and volume != 1:
            return (f"it is volume {volume} of a split archive, not its "
                    "start; setup receives one file, so make the archive "
                    "without -v")
        return ("it is not a 7z archive (no signature 37 7A BC AF 27 1C); "
                "make one with '7z a product.7z FILES...'")
    if len(start) < SEVEN_ZIP_START_HEADER:
        return (f"it is cut short inside its start header ({size} bytes); "
                "pack the whole archive")
    if start[6] != 0:
        return (f"its format version {start[6]}.{start[7]} is not one that "
                "7z reads (0.x); make it with 7z")
    if not any(start[8:]) and size > SEVEN_ZIP_START_HEADER:
        # 7z writes the start header last, over zeros it leaves there.
        return ("it is unfinished: its start header was never written, as "
                "7z writes it last (the program writing it was stopped, or "
                "it is still being written); make the archive again and let "
                "7z finish")
    if zlib.crc32(start[12:32]) != u32(start, 8):
        return ("its start header is damaged (its CRC does not match); "
                "make the archive again")
    offset, length, crc = struct.unpack_from("<QQI", start, 12)
    end = SEVEN_ZIP_START_HEADER + offset + length
    if end > size:
        if volume:
            return (f"it is one volume of a split archive (its headers "
                    f"need {end} bytes, this volume holds {size}); setup "
                    "receives one file, so make the archive without -v")
        return (f"it is cut short: its headers say it ends at byte {end}, "
                f"the file holds {size} (an unfinished copy or download, "
                "or the first volume of a split archive); pack the whole "
                "archive")
    if length == 0:
        return None  # an empty archive has no next header
    computed = 0
    at = SEVEN_ZIP_START_HEADER + offset
    while at < end:
        block = read_at(at, min(CRC_BLOCK, end - at))
        if not block:
            return "it could not be read to its end"
        computed = zlib.crc32(block, computed)
        at += len(block)
    if computed != crc:
        return ("its header is damaged (its CRC does not match); make the "
                "archive again")
    return None


def split_volume(name):
    """The volume number of a file named as 7z names the volumes of a split
    archive (product.7z.001, .002, ...), or None."""
    if len(name) > 4 and name[-3:].isdigit() and name[-4] == ".":
        return int(name[-3:])
    return None


def file_reader(f):
    """A `read_at` over an open file."""
    def read_at(offset, count):
        f.seek(offset)
        return f.read(count)
    return read_at


def buffer_reader(data):
    """A `read_at` over a bytes-like object, without copying it."""
    view = memoryview(data)
    return lambda offset, count: view[offset:offset + count]


class ArchiveTest:
    """The real 7z testing the archive's data as setup would read it,
    without a password (setup is given none), in a process of its own while
    the installer is written; `problem` waits for its answer: damage, an
    encryption, or no file at all, or None when it passes (and when 7z is
    not installed, which `available` tells, and when it was stopped before
    it finished, which `finished` tells)."""

    def __init__(self, path):
        self.path = path
        self.process = None
        self.finished = True
        seven_zip = shutil.which("7z") or shutil.which("7za")
        # Where 7z is not installed (a release kit elsewhere) the data is
        # not tested, and the caller says so.
        self.available = seven_zip is not None
        if seven_zip is None:
            return
        self.output = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [seven_zip, "t", "-p-", "-bd", "--", path],
            stdin=subprocess.DEVNULL, stdout=self.output,
            stderr=subprocess.STDOUT)

    def problem(self, timeout=None):
        """The test's answer; after `timeout` seconds (None: no limit) a
        test still running is stopped, and answers None with `finished`
        False: a test cut short is no pass."""
        if self.process is None:
            return None
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.stop()
            self.output.close()
            self.finished = False
            return None
        self.output.seek(0)
        out = self.output.read().decode("utf-8", "replace")
        self.output.close()
        if "Wrong password" in out or "encrypted" in out.lower():
            return ("it is encrypted, and setup is given no password: pack "
                    "an archive made without -p")
        if status != 0:
            errors = [line.strip() for line in out.splitlines()
                      if "error" in line.lower()]
            return ("7z finds its data damaged (" +
                    ("; ".join(errors[:2]) or f"status {status}") +
                    "): make it again, and check it with '7z t'")
        if "No files to process" in out or re.search(r"^Files: 0$", out,
                                                     re.M):
            return empty_archive_problem(out)
        return None

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def empty_archive_problem(out):
    """What to say of an archive that holds no file, by what 7z's test of
    it says: empty folders only, or nothing at all."""
    folders = re.search(r"^Folders: (\d+)$", out, re.M)
    if folders and int(folders.group(1)):
        return ("it holds no file, only empty folders: make it from the "
                "product's files")
    return ("it holds no file: make it from the product's files (7z writes "
            "an empty archive when what it was given is missing)")


class HeldArchiveTest:
    """The ArchiveTest of an archive held in memory (a resource of an
    installer), copied to a temporary file in blocks and started at once;
    `result` waits for it."""

    def __init__(self, data):
        with tempfile.NamedTemporaryFile(suffix=".7z", delete=False) as f:
            self.path = f.name
            try:
                view = memoryview(data)
                for at in range(0, len(view), CRC_BLOCK):
                    f.write(view[at:at + CRC_BLOCK])
            except BaseException:
                f.close()
                os.remove(self.path)
                raise
        try:
            self.test = ArchiveTest(self.path)
        except BaseException:
            os.remove(self.path)
            raise

    def result(self, timeout=None):
        """(available, finished, problem): whether 7z is installed, whether
        it finished within `timeout` seconds, and what it found."""
        try:
            problem = self.test.problem(timeout)
        finally:
            self.close()
        return self.test.available, self.test.finished, problem

    def close(self):
        self.test.stop()
        if os.path.exists(self.path):
            os.remove(self.path)
