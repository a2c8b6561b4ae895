"""The benchmark's payloads and the installers made of them: an archive of
incompressible data of each size, the stand-in setup program padded to the
shipped one's size, the NSIS installer that writes the same files, and the
fair floor carrying the payload in a resource section laid out as the
stub's."""

import mmap
import os
import shutil
import subprocess

from release_tools import image_writer, pe_image
from release_tools.contract import CONTRACT
from release_tools.packing import ARCHIVE_NAME, SETUP_KINDS

from .plan import (MIB, NSIS_FOLDER, SETUP_EXE, SETUP_RANDOM_PADDING,
                   SETUP_SIZE, BenchError)


def write_random(path, size):
    with open(path, "wb") as f:
        left = size
        while left:
            chunk = min(left, 4 * MIB)
            f.write(os.urandom(chunk))
            left -= chunk


def make_archive(folder, size):
    """A 7z archive of `size` bytes holding one stored file of random data."""
    data = os.path.join(folder, "product.bin")
    archive = os.path.join(folder, ARCHIVE_NAME)
    overhead = 0
    for _ in range(2):
        want = size - overhead
        if not os.path.exists(data):
            write_random(data, want)
        elif os.path.getsize(data) > want:
            os.truncate(data, want)
        else:
            with open(data, "ab") as f:
                f.write(os.urandom(want - os.path.getsize(data)))
        if os.path.exists(archive):
            os.remove(archive)
        subprocess.run(["7z", "a", "-mx0", "-bd", "-bso0", archive, data],
                       check=True)
        overhead = os.path.getsize(archive) - want
        if os.path.getsize(archive) == size:
            break
    os.remove(data)
    return archive


def make_setup(stand_in, path):
    """The stand-in setup padded after its image to the shipped size."""
    with open(stand_in, "rb") as f:
        image = f.read()
    if len(image) > SETUP_SIZE:
        raise BenchError(f"{stand_in} is larger than {SETUP_SIZE} bytes")
    padding = SETUP_SIZE - len(image)
    random_part = min(padding, SETUP_RANDOM_PADDING)
    with open(path, "wb") as f:
        f.write(image)
        f.write(os.urandom(random_part))
        f.write(bytes(padding - random_part))


def payload_resource_bytes(image_path):
    """The bytes of every resource of a payload type in a PE image, as the
    release inspector reads the resource directory."""
    with open(image_path, "rb") as f:
        data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    image = pe_image.PeImage(data)
    return sum(resource.size for resource in pe_image.read_resources(image)
               if resource.type in CONTRACT.payload_types)


NSIS_SCRIPT = r"""Target amd64-unicode
SetCompress off
SilentInstall silent
RequestExecutionLevel user
Name "Benchmark product"
OutFile "{output}"

Section
  StrCpy $R0 "$EXEDIR\{folder}"
  SetOutPath $R0
  File "/oname={archive_name}" "{archive}"
  File "/oname={setup_exe}" "{setup}"
  ClearErrors
  ExecWait '"$R0\{setup_exe}" --install-archive="$R0\{archive_name}"' $R1
  IfErrors 0 +2
    StrCpy $R1 1
  SetOutPath $EXEDIR
  Delete "$R0\{archive_name}"
  Delete "$R0\{setup_exe}"
  RMDir $R0
  SetErrorLevel $R1
SectionEnd
"""


def nsis_text(path):
    return os.path.abspath(path).replace("$", "$$")


def make_nsis_installer(archive, setup, output):
    script = output + ".nsi"
    with open(script, "w") as f:
        f.write(NSIS_SCRIPT.format(output=nsis_text(output),
                                   folder=NSIS_FOLDER,
                                   archive_name=ARCHIVE_NAME,
                                   setup_exe=SETUP_EXE,
                                   archive=nsis_text(archive),
                                   setup=nsis_text(setup)))
    result = subprocess.run(["makensis", "-V2", "-NOCD", script],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)
    if result.returncode != 0:
        raise BenchError(f"makensis failed:\n{result.stdout}")


def make_fair_floor(fair_floor, output, archive, setup):
    """The fair floor's program with the archive and the setup program laid
    into its resource section as the stub's payload is."""
    shutil.copy(fair_floor, output)
    image_writer.lay_out_sections(output, True, [
        (CONTRACT.patch_or_archive_type, ARCHIVE_NAME, archive),
        (SETUP_KINDS["plain"][0], SETUP_KINDS["plain"][1], setup)])
