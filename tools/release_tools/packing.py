"""Links an installer: the stub's code, its own resources (manifest, icon,
version record) and a payload of a product archive and a setup program.

    pack-installer --archive product.7z --setup setup.exe
                   [--setup-kind cabinet|plain|patch]
                   [--archive-name NAME] [--setup-name NAME]
                   [--previous-version TEXT] [--allow-elevated-setup]
                   [--sign-cert CERT --sign-key KEY [--timestamp-url URL]]
                   [--no-inspect] [--no-build] [--page-aligned-sections]
                   [--quiet] --output installer.exe [--build-dir DIR]
                   [--map FILE]
    pack-installer --no-payload --output stub.exe [--build-dir DIR] [--map FILE]

Setup kinds, each giving the stub's resource type for the setup program:
  cabinet  (default) compressed (MSZIP) into a cabinet holding
           "setup.exe"; resource "BL", name "SETUP.EX_"
  plain    stored as it is; resource "BN", name "SETUP.EXE"
  patch    a patch for the installed setup program; resource "B7",
           name "SETUP.PATCH"
The archive becomes resource "B7" "KORVEL.PACKED.7Z". --previous-version
stores the text as resource RT_RCDATA 1 (UTF-16LE with its terminator).

An installer is the bare stub (build/stub/installer_stub.exe) with the
payload and the previous-version text laid into its resource section:
packing itself needs no compiler, resource compiler or linker. This script
is also the one place that knows how the image is linked: the build links
the bare stub (--no-payload) through it, and so do the layouts for tests
(--map, --page-aligned-sections), from the stub's static libraries. Both
come from the build folder (default: build/ beside this script's folder),
which is first configured with the CMake preset of `make build` if it does
not exist and brought up to date (--no-build, which the build itself
passes, skips that). STUB_CC and STUB_WINDRES name the mingw-w64 compiler
driver and resource compiler for the links.

What setup receives: the installer writes the archive and setup.exe into a
private work folder beside itself and starts

    "<folder>\KV_xxxxx.tmp\setup.exe" --install-archive="<folder>\KV_xxxxx.tmp\KORVEL.PACKED.7Z" <the installer's own arguments>

in the caller's working folder, as the caller (the switch is
--uncompressed-archive= for an archive carried in BL or BN; with a stored
previous version --previous-version="TEXT" comes before the installer's
arguments, and a referral code, when one is derived, after them). It waits for
setup to end, deletes the folder and ends with setup's exit code. So setup
must not return before it is done with the archive: a copy of itself that
it starts and leaves running finds the archive gone.

The setup program (kinds cabinet and plain) runs as "setup.exe", started by
an installer that runs as its caller. It must be a program Windows starts:
not a DLL, a driver or an image for another machine than x86-64 or x86,
with a manifest that is well-formed XML and does not ask for uiAccess. And
Windows refuses to start it there (ERROR_ELEVATION_REQUIRED, 740) when its
manifest asks for "requireAdministrator" or "highestAvailable", or when it
is a 32-bit program without a requestedExecutionLevel (installer
detection): such a program is refused unless --allow-elevated-setup says
that every run of the installer is itself elevated. The manifest is read as
Windows reads it (XML, UTF-8 or UTF-16, comments ignored).

The same inputs make the same bytes, whatever the folder, the clock, the
time zone, the user or the locale: the image carries no time stamp, the
resources are sorted by type, name and language, and the cabinet's stored
date is the setup program's modification time, or SOURCE_DATE_EPOCH (in
seconds) when that is set. With a certificate and its key the installer is
signed with osslsigncode (Authenticode, SHA-256); SOURCE_DATE_EPOCH then
also fixes the signing time. Last, scripts/inspect-installer runs the stub's
own unpack stage on the result under Wine, where it is written, and a
predicted failure refuses it with its cause and what to do (--no-inspect
skips this). A packed installer ends with one line naming it, its size,
its SHA-256 and the predicted outcome.

The payload is copied into the image through a fixed buffer, never held in
memory whole, so packing takes the same memory whatever the product's size.

Refused, with a message, a non-zero exit and no output file: a missing
input; an archive that is not a whole 7z archive as far as its own headers
tell (signature, start header CRC, the next header inside the file and its
CRC), such as a cut-short copy or one volume of a split archive; a setup
program (kinds cabinet and plain) that is not a PE image or that Windows
would not start from the installer; a patch that is a program, a cabinet
or an archive; a resource name the stub would not find or could not
write; a previous-version text the stub cannot pass on; a payload (as it
goes into the resources) above PAYLOAD_LIMIT bytes; and a failed signing
or inspection. The
output is written under a temporary name beside it and renamed only when
complete.
"""

import argparse
import hashlib
import mmap
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile

from .layout import BARE_STUB, SOURCE_DIR, default_build_dir, is_kit
from .pe_image import (NotPeImage, PeImage, ResourceDirectory,
                       describe_machine, read_resources)
from .start_policy import (MANIFEST_LIMIT, missing_dependencies,
                           program_manifest, refusal_to_start)
from .cabinet import CABINET_SIGNATURE, write_cabinet
from .seven_zip import (SEVEN_ZIP_SIGNATURE, ArchiveTest, file_reader,
                        seven_zip_problem)
from .image_writer import COPY_BLOCK, PAGE_SIZE, LayoutError, lay_out_sections
from .payload_names import unusable_name_reason
from .version_record import (
    VersionError, parse_version, read_version_record, write_version_record)
from .icon_file import IconError, group_icon, read_icon_file




# Everything the stub's image is linked with, in one place. The entry
# library is taken whole: nothing else refers to the entry point or to the
# routines the compiler calls on its own, and the link must keep them.
ENTRY_LIBRARY = "stub/libstub_entry.a"


STUB_LIBRARIES = [
    "stub/libstub_core.a",
    "launch/libstub_launch.a",
    "unpack/libstub_unpack.a",
    "cleanup/libstub_cleanup.a",
    "support/libstub_support.a",
]


GENERATED_ICON = "resources/installer.ico"


# What packing needs from the build: the bare stub, the stub's libraries and
# the icon (for the test layouts), and the probe that the inspection runs.
BUILD_TARGETS = ["installer_stub", "stub_entry", "stub_core", "stub_launch",
                 "stub_unpack", "stub_cleanup", "stub_support",
                 "installer_icon", "payload_probe"]


# The commands the build needs; scripts/install-deps brings them.
TOOLCHAIN = ["cmake", "ninja", "x86_64-w64-mingw32-gcc-posix",
             "x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-windres"]


INSTALL_TOOLCHAIN = "make deps (as root; it runs scripts/install-deps)"


# The header says what the image is: a program for Windows Vista (6.0) and
# later, which it is by the functions it calls; one that keeps no per-session
# state of its own, so that Terminal Services leave its INI and registry
# paths alone (TERMINAL_SERVER_AWARE).
LINK_FLAGS = [
    "-flto", "-Os", "-nostdlib", "-nostartfiles", "-mwindows",
    "-Wl,--subsystem,windows:6.0",
    "-Wl,--major-os-version,6", "-Wl,--minor-os-version,0",
    "-Wl,--tsaware",
    "-Wl,-e,InstallerEntry", "-s", "-Wl,--gc-sections",
    "-Wl,--no-insert-timestamp",
]


# shell32 is not among them: the stub loads it only when a run has arguments
# to split.
SYSTEM_LIBRARIES = ["-lkernel32", "-ladvapi32"]


# Resource data of a PE image is addressed by 32-bit RVAs and sizes, so no
# image can pass 4 GiB. windres and ld were measured to handle a single
# 2.2 GB resource; the limit keeps the whole payload below 2 GiB so that
# every RVA also fits a signed 32-bit offset, which some loaders and tools
# assume.
PAYLOAD_LIMIT = 0x7FFF0000


# Above this size of image, older Windows versions have been reported to
# refuse to load it; unverified, so only a warning.
LARGE_IMAGE = 1_800_000_000


# A cabinet stores its member's date as a DOS date: 1980-01-01 00:00:00 to
# 2107-12-31 23:59:58 (UTC here).
DOS_DATE_FIRST = 315532800


DOS_DATE_LAST = 4354819198


# A cabinet folder holds at most this many uncompressed bytes.
CABINET_FILE_LIMIT = 0x7FFF8000


SETUP_KINDS = {
    # kind: (resource type, default resource name)
    "cabinet": ("BL", "SETUP.EX_"),
    "plain": ("BN", "SETUP.EXE"),
    "patch": ("B7", "SETUP.PATCH"),
}


ARCHIVE_TYPE = "B7"


# The inspector's status when it cannot run the probe on this machine.
INSPECTION_NOT_RUN = 4


# The previous-version text: RT_RCDATA 1.
RT_RCDATA = 10


PREVIOUS_VERSION_ID = 1


# The stub's own resources that a pack may replace: the icon (group 107 and
# its images), the version record and the manifest, each number 1 but the
# group.
RT_ICON = 3


RT_GROUP_ICON = 14


RT_VERSION = 16


RT_MANIFEST = 24


ICON_GROUP_ID = 107


# The version record's strings that options set, by option.
PRODUCT_STRINGS = {"product_name": "ProductName",
                   "company_name": "CompanyName",
                   "file_description": "FileDescription",
                   "copyright": "LegalCopyright"}


# The installer's own identity in its manifest: the first assemblyIdentity.
MANIFEST_IDENTITY = re.compile(rb"<assemblyIdentity\b[^>]*>")


MANIFEST_VERSION = re.compile(rb'(\sversion=")[^"]*(")')


ARCHIVE_NAME = "KORVEL.PACKED.7Z"


# The stub writes each payload item as a file named like its resource inside
# "<folder>\KV_xxxxx.tmp\", in a 260-unit path: even at a drive's root
# ("C:\KV_xxxxx.tmp\", 16 characters) a name can have at most 243.
NAME_LENGTH_LIMIT = 259 - 16


NAME_PATTERN = re.compile(r"[A-Za-z0-9._-]+\Z")


# The stub compares the previous version against a 259-character registry
# text and quotes it on setup's command line.
PREVIOUS_VERSION_LIMIT = 259


class Refusal(Exception):
    pass


def refuse(message):
    raise Refusal(message)


def file_identity(path):
    """What tells a file's content changed: its identity, size and times."""
    status = os.stat(path)
    return (status.st_dev, status.st_ino, status.st_size,
            status.st_mtime_ns, status.st_ctime_ns)


def check_input_file(path, what):
    if not os.path.exists(path):
        refuse(f"{what} {path!r} does not exist; check the path")
    if not os.path.isfile(path):
        refuse(f"{what} {path!r} is not a file; name the file itself")
    if not stat.S_ISREG(os.stat(path).st_mode):
        refuse(f"{what} {path!r} is not a regular file")
    if not os.access(path, os.R_OK):
        refuse(f"{what} {path!r} cannot be read; check its permissions")


def read_head(path, count):
    with open(path, "rb") as f:
        return f.read(count)


def check_archive(path):
    """Refuses an archive that setup could not read whole: as far as its
    own headers tell, then as the real 7z reads its data."""
    with open(path, "rb") as f:
        problem = seven_zip_problem(file_reader(f), os.path.getsize(path),
                                    os.path.basename(path))
    if problem:
        refuse(f"archive {path!r}: {problem}")


def check_setup_program(path, kind, allow_elevated):
    """Refuses a setup program (kinds cabinet and plain) that Windows would
    not start from the installer, which runs as its caller, and a patch
    that is plainly something else."""
    head = read_head(path, 8)
    if kind == "patch":
        if head[:2] == b"MZ":
            refuse(f"patch {path!r} is a program, not a patch; give a setup "
                   "program with --setup-kind cabinet (the default) or "
                   "plain")
        if head[:4] == CABINET_SIGNATURE or head[:6] == SEVEN_ZIP_SIGNATURE:
            what = "a cabinet" if head[:4] == CABINET_SIGNATURE else "an archive"
            refuse(f"patch {path!r} is {what}, not a patch; give the setup "
                   "program itself with --setup-kind cabinet (the default), "
                   "which packs it into a cabinet")
        return
    if head[:4] == CABINET_SIGNATURE:
        refuse(f"setup program {path!r} is a cabinet, not a program; give "
               "the setup program itself, which the packer compresses into "
               "a cabinet holding only it (--setup-kind cabinet)")
    if head[:6] == SEVEN_ZIP_SIGNATURE:
        refuse(f"setup program {path!r} is a 7z archive, not a program; give "
               "the setup program itself, and the archive with --archive")
    if head[:2] != b"MZ":
        refuse(f"setup program {path!r} is not a PE image (no MZ header) "
               "and neither a cabinet nor an archive; give the setup program "
               "itself, or pass --setup-kind patch if it is a patch that the "
               "installed setup program applies")
    with open(path, "rb") as f:
        # Mapped, so that only the headers and resources are read.
        view = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    try:
        image = PeImage(view)
        manifest = program_manifest(ResourceDirectory(image))
    except NotPeImage as problem:
        refuse(f"setup program {path!r} is not a PE image ({problem}); give "
               "a Windows program")
    except (struct.error, ValueError) as problem:
        refuse(f"setup program {path!r}: its resources cannot be read "
               f"({problem}), so whether Windows starts it is not known; "
               "repair the program")
    refusal = refusal_to_start(image, manifest)
    machine = describe_machine(image)
    missing = missing_dependencies(manifest) if manifest else []
    # Whether Windows' manifest parser takes a document type declaration
    # is not documented; Python's expands it. Nor is the size up to which
    # Windows reads one.
    unjudged = None
    if manifest is not None and manifest.too_large:
        unjudged = (f"of {manifest.size} bytes, more than the "
                    f"{MANIFEST_LIMIT} judged here")
    elif manifest is not None and b"<!DOCTYPE" in manifest.head:
        unjudged = "with a DOCTYPE, which is not judged here"
    del image, manifest  # the views into the mapping
    for name in missing:
        print(f"pack-installer: warning: setup program {path!r} depends on "
              f"{name}, which a fresh Windows lacks: it starts only where "
              "that runtime was installed first", file=sys.stderr)
    if unjudged:
        print(f"pack-installer: warning: setup program {path!r} has a "
              f"manifest {unjudged}; try it on Windows", file=sys.stderr)
    if refusal is None or (allow_elevated and refusal.elevated_would_start):
        return
    if not refusal.elevated_would_start:
        refuse(f"setup program {path!r} ({machine}): {refusal.reason}. "
               "Windows would not start it from the installer")
    refuse(f"setup program {path!r} ({machine}): {refusal.reason}. "
           "Windows would refuse to start it from the installer "
           "(ERROR_ELEVATION_REQUIRED, 740), which runs with its caller's "
           "rights. Give it a manifest with <requestedExecutionLevel "
           "level=\"asInvoker\" uiAccess=\"false\"/>, or pass "
           "--allow-elevated-setup if every run of the installer is itself "
           "elevated")


def check_name(name, prefix, what):
    if not NAME_PATTERN.match(name):
        refuse(f"{what} name {name!r} may hold only ASCII letters, digits, "
               "'.', '_' and '-'; choose another")
    if not name.lower().startswith(prefix):
        refuse(f"{what} name {name!r} does not start with {prefix!r}; "
               "the stub finds payload items only by that prefix, so "
               "choose one that does")
    if len(name) > NAME_LENGTH_LIMIT:
        refuse(f"{what} name {name!r} is longer than {NAME_LENGTH_LIMIT} "
               "characters; the stub could not write it into its work "
               "folder, so choose a shorter one")
    # The installer's own rule: a name it makes no file of ends its run.
    reason = unusable_name_reason(name)
    if reason:
        refuse(f"{what} name {name!r} is no name the installer can make a "
               f"file of in its work folder: {reason}; choose another")


def check_setup_name(name, kind):
    check_name(name, "setup", "setup")
    if kind in ("cabinet", "patch") and name.lower() == "setup.exe":
        refuse(f"setup name {name!r} is the name of the setup program that "
               f"the stub makes from a {kind}; choose another")


def check_previous_version(text):
    if "\0" in text or '"' in text:
        refuse("previous version must not hold a NUL or a double quote, "
               "which setup's command line cannot carry; leave them out")
    if len(text) > PREVIOUS_VERSION_LIMIT:
        refuse(f"previous version is longer than {PREVIOUS_VERSION_LIMIT} "
               "characters; the installed setup path it must match cannot "
               "be, so give the version as the installed setup names it")
    try:
        return text.encode("utf-16-le") + b"\0\0"
    except UnicodeEncodeError:
        refuse("previous version is not valid text")


def check_product(args):
    """The product's version, strings and icon, refused as Windows would
    not read them, before anything is written."""
    given = [option for option in ["product_version", "icon"] +
             list(PRODUCT_STRINGS) if getattr(args, option) is not None]
    if not given:
        return
    if args.no_payload or args.map or args.page_aligned_sections:
        refuse("--" + given[0].replace("_", "-") + " is for installers "
               "packed with a payload, without --map or "
               "--page-aligned-sections")
    if args.product_version is not None:
        try:
            parse_version(args.product_version)
        except VersionError as error:
            refuse(str(error))
    for option in PRODUCT_STRINGS:
        text = getattr(args, option)
        if text is not None and ("\0" in text or len(text) > 256):
            refuse(f"--{option.replace('_', '-')} must be a text of at most "
                   "256 characters without NUL")
    if args.icon is not None:
        check_input_file(args.icon, "icon")
        try:
            read_icon_file(args.icon)
        except (IconError, OSError) as error:
            refuse(str(error))


def check_payload_size(sizes):
    total = sum(sizes)
    if total > PAYLOAD_LIMIT:
        refuse(f"payload of {total} bytes is above the limit of "
               f"{PAYLOAD_LIMIT} bytes that one installer image can carry; "
               "make the archive smaller")


def tool(variable, default):
    return os.environ.get(variable) or default


def run(command, what, cwd=None):
    result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        refuse(f"{what} failed ({' '.join(command)}):\n{result.stdout}")


def source_date_epoch():
    """SOURCE_DATE_EPOCH as seconds, or None when it is unset."""
    text = os.environ.get("SOURCE_DATE_EPOCH")
    if text is None or text == "":
        return None
    if not (text.isascii() and text.isdigit()):
        refuse(f"SOURCE_DATE_EPOCH {text!r} is not a number of seconds")
    seconds = int(text)
    if not DOS_DATE_FIRST <= seconds <= DOS_DATE_LAST:
        refuse(f"SOURCE_DATE_EPOCH {text} lies outside the years 1980 to "
               "2107 that a cabinet can store")
    return seconds


def make_cabinet(setup, work):
    """A cabinet holding exactly one member, "setup.exe", compressed with
    MSZIP. Its date is the setup program's modification time, in UTC, or
    SOURCE_DATE_EPOCH when that is set; nothing else in it depends on when
    or where it is made."""
    epoch = source_date_epoch()
    seconds = epoch if epoch is not None else int(os.stat(setup).st_mtime)
    seconds = min(max(seconds, DOS_DATE_FIRST), DOS_DATE_LAST)
    cabinet = os.path.join(work, "setup.cab")
    try:
        write_cabinet(setup, cabinet, "setup.exe", seconds)
    except (OSError, ValueError) as error:
        refuse(f"the setup program cannot be put into a cabinet: {error}")
    return cabinet


def check_signing(args):
    """The signing inputs, or None when the installer is not to be signed."""
    if not args.sign_cert and not args.sign_key:
        if args.timestamp_url:
            refuse("--timestamp-url needs --sign-cert and --sign-key; give "
                   "them too, or leave the time stamp out")
        return None
    if not args.sign_cert or not args.sign_key:
        refuse("--sign-cert and --sign-key go together; give both")
    check_input_file(args.sign_cert, "certificate")
    check_input_file(args.sign_key, "key")
    if shutil.which("osslsigncode") is None:
        if sys.platform == "win32":
            refuse("osslsigncode is not on PATH, so the installer cannot be "
                   "signed here. Pack without --sign-cert and --sign-key, "
                   "then sign with Windows' own signtool: signtool sign /fd "
                   "SHA256 /f certificate.pfx installer.exe")
        refuse("osslsigncode is not installed; it is needed for signing. "
               "Install it (on Debian: apt-get install osslsigncode)")
    return (os.path.abspath(args.sign_cert), os.path.abspath(args.sign_key),
            args.timestamp_url)


def sign_image(path, signing):
    """Adds an Authenticode signature (SHA-256) to the image at `path`.

    Signing appends the certificate table and fills the image's security
    directory and checksum; the sections, the payload among them, keep
    their bytes. With SOURCE_DATE_EPOCH the signing time is that moment, so
    the same key signs the same installer to the same bytes (unless a time
    stamp is asked for, which the authority makes anew)."""
    certificate, key, timestamp_url = signing
    signed = f"{path}.signed"
    command = ["osslsigncode", "sign", "-certs", certificate, "-key", key,
               "-h", "sha256", "-in", path, "-out", signed]
    if timestamp_url:
        command[2:2] = ["-t", timestamp_url]
    epoch = source_date_epoch()
    if epoch is not None:
        command[2:2] = ["-time", str(epoch)]
    try:
        run(command, "signing")
        os.replace(signed, path)
    finally:
        if os.path.exists(signed):
            os.remove(signed)


def inspect_image(path, build_dir):
    """The predicted outcome line of the installer at `path`; refuses one
    whose unpacking, run by the stub's own code under Wine, would fail where
    it is written, or whose payload the run would fail on, with the
    inspector's account of why and what to do."""
    inspector = os.path.join(SOURCE_DIR, "scripts", "inspect-installer")
    result = subprocess.run(
        [sys.executable, inspector, "--quiet", "--build-dir", build_dir, path],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode == INSPECTION_NOT_RUN:
        print(f"pack-installer: {result.stdout.strip()}", file=sys.stderr)
        return "outcome: none (neither Windows nor Wine here to run the probe)"
    if result.returncode == 1:
        refuse("the inspection of the installer predicts that it fails "
               f"where it was written:\n{result.stdout.strip()}\n"
               "--no-inspect skips the check")
    if result.returncode != 0:
        refuse("the inspection of the installer failed:\n"
               f"{result.stdout.strip()}\nSee scripts/inspect-installer "
               "--help; --no-inspect skips the check")
    return result.stdout.strip().splitlines()[-1]


def rc_string(text):
    return '"' + text.replace('"', '""') + '"'


def link_image(build_dir, resources, output, map_file, page_aligned=True,
               finish=None, file_alignment=None, payload=()):
    """Links the image to a temporary name beside `output`, lays out its
    sections with the `payload` items (type, name, file) among its
    resources, lets `finish` (if given) complete the temporary file, then
    renames it. A `file_alignment` of 4096 (for tests) puts every section on
    a page boundary of the file, so that Wine maps the code from the file as
    Windows always does; Wine reads the sections of other images into
    private memory."""
    libraries = [os.path.join(build_dir, p)
                 for p in [ENTRY_LIBRARY] + STUB_LIBRARIES]
    for library in libraries:
        if not os.path.isfile(library):
            refuse(f"stub library {library!r} is missing; build the stub "
                   "with 'make build' or name its build folder with "
                   "--build-dir")
    partial = f"{output}.partial-{os.getpid()}"
    command = ([tool("STUB_CC", "x86_64-w64-mingw32-gcc-posix")] + LINK_FLAGS +
               ["-o", partial, resources,
                "-Wl,--whole-archive", libraries[0], "-Wl,--no-whole-archive",
                "-Wl,--start-group"] + libraries[1:] + ["-Wl,--end-group"] +
               SYSTEM_LIBRARIES)
    if map_file:
        # The image itself is stripped; the map still tells where each
        # symbol, the entry point among them, was placed.
        command.append("-Wl,-Map," + os.path.abspath(map_file))
    if file_alignment:
        command.append(f"-Wl,--file-alignment,{file_alignment}")
    try:
        run(command, "linking")
        lay_out_sections(partial, page_aligned, payload)
        if finish is not None:
            finish(partial)
        os.replace(partial, output)
    finally:
        if os.path.exists(partial):
            os.remove(partial)


def ensure_build(build_dir):
    """Configures `build_dir` with the preset of `make build` when it has no
    build yet, then brings what packing needs up to date, saying one line
    when that does any work."""
    missing = [command for command in TOOLCHAIN if shutil.which(command) is None]
    if missing or not os.path.isfile("/usr/src/googletest/CMakeLists.txt"):
        what = ", ".join(missing) or "GoogleTest's sources"
        refuse(f"the stub cannot be built: {what} missing. Install the "
               f"toolchain with {INSTALL_TOOLCHAIN}")
    fresh = not os.path.isfile(os.path.join(build_dir, "build.ninja"))
    if fresh:
        print(f"pack-installer: building the stub in {build_dir} (cmake "
              "--preset default; under a minute)",
              file=sys.stderr, flush=True)
        run(["cmake", "--preset", "default", "-B", build_dir],
            "configuring the build", cwd=SOURCE_DIR)
    result = subprocess.run(
        ["cmake", "--build", build_dir, "--target"] + BUILD_TARGETS,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        refuse(f"building the stub failed:\n{result.stdout}")
    if not fresh and "no work to do" not in result.stdout:
        print(f"pack-installer: rebuilt the stub in {build_dir}, which was "
              "out of date", file=sys.stderr, flush=True)


def pack(args):
    kit = is_kit()
    if kit and (args.no_payload or args.map or args.page_aligned_sections):
        refuse("the release kit packs installers from its bare stub; "
               "--no-payload, --map and --page-aligned-sections need the "
               "project's own build")
    build_dir = os.path.abspath(args.build_dir or default_build_dir())
    output = os.path.abspath(args.output)
    if os.path.isdir(output):
        refuse(f"output {args.output!r} is a folder")
    # The installer replaces only a file of its own kind: never one of its
    # inputs, never a device or pipe.
    if os.path.lexists(output):
        if not stat.S_ISREG(os.stat(output).st_mode):
            refuse(f"output {args.output!r} exists and is not a regular file")
        for given in (args.archive, args.setup, args.icon):
            if (given and os.path.exists(given) and
                    os.path.samefile(given, output)):
                refuse(f"output {args.output!r} is the input {given!r}; "
                       "name another file")
    if not os.path.isdir(os.path.dirname(output)):
        refuse(f"the folder of output {args.output!r} does not exist")

    payload = []  # (resource type, name, file) in the order written
    if not args.no_payload:
        if not args.archive or not args.setup:
            refuse("--archive and --setup are both required "
                   "(or --no-payload for the bare stub)")
        kind = args.setup_kind
        setup_type, setup_name = SETUP_KINDS[kind]
        archive_name = args.archive_name or ARCHIVE_NAME
        setup_name = args.setup_name or setup_name
        check_input_file(args.archive, "archive")
        check_input_file(args.setup, "setup program")
        check_archive(args.archive)
        check_setup_program(args.setup, kind, args.allow_elevated_setup)
        check_name(archive_name, "korvel", "archive")
        check_setup_name(setup_name, kind)
        if kind == "cabinet" and os.path.getsize(args.setup) > CABINET_FILE_LIMIT:
            refuse(f"setup program of {os.path.getsize(args.setup)} bytes is "
                   f"above the {CABINET_FILE_LIMIT} bytes a cabinet can hold")
    signing = check_signing(args)
    previous_version = None
    if args.previous_version is not None:
        previous_version = check_previous_version(args.previous_version)
    check_product(args)

    if not args.no_build and not kit:
        ensure_build(build_dir)
    # What the inputs were when they were checked: an input that another
    # program changes before its copy is done is not packed.
    inputs = {path: file_identity(path) for path in
              ([args.archive, args.setup] if not args.no_payload else [])}
    work = tempfile.mkdtemp(prefix="pack-installer.")
    archive_test = None
    try:
        # One too large for a resource is refused as that, below.
        if (not args.no_payload and
                os.path.getsize(args.archive) <= PAYLOAD_LIMIT):
            archive_test = ArchiveTest(args.archive)
            if not archive_test.available:
                print(f"pack-installer: warning: the data of archive "
                      f"{args.archive!r} was not tested (7z is not "
                      "installed); only its headers were checked",
                      file=sys.stderr)
        if not args.no_payload:
            setup_file = os.path.abspath(args.setup)
            if kind == "cabinet":
                setup_file = make_cabinet(setup_file, work)
            # What goes into the resources is what counts.
            check_payload_size([os.path.getsize(args.archive),
                                os.path.getsize(setup_file),
                                len(previous_version or b"")])
            # Names in upper case, as a resource compiler stores them.
            payload.append((ARCHIVE_TYPE, archive_name.upper(),
                            os.path.abspath(args.archive)))
            payload.append((setup_type, setup_name.upper(), setup_file))

        verdict = []

        def finish(image):
            for path, identity in inputs.items():
                if file_identity(path) != identity:
                    refuse(f"{path!r} changed while it was packed; pack "
                           "again once nothing writes it")
            # The archive's data, tested while the installer was written.
            if archive_test is not None:
                problem = archive_test.problem()
                if problem:
                    refuse(f"archive {args.archive!r}: {problem}")
            if signing is not None:
                sign_image(image, signing)
            if payload and not args.no_inspect:
                verdict.append(inspect_image(image, build_dir))

        if payload and not args.map and not args.page_aligned_sections:
            lay_out_bare_stub(args, build_dir, output, payload,
                              previous_version, finish)
        else:
            link_with_toolchain(args, build_dir, work, output, payload,
                                previous_version, finish)
    finally:
        if archive_test is not None:
            archive_test.stop()
        shutil.rmtree(work, ignore_errors=True)
    report_packed(args, output, verdict)


def product_resources(args, image_path):
    """What the product options replace of the stub's own resources at
    `image_path`: (own items, dropped items), both empty without them."""
    strings = {key: getattr(args, option)
               for option, key in PRODUCT_STRINGS.items()
               if getattr(args, option) is not None}
    if args.product_version is None and not strings and args.icon is None:
        return [], []
    with open(image_path, "rb") as f:
        resources = read_resources(PeImage(f.read()))
    own, drop = [], []
    if args.product_version is not None or strings:
        record = next((r for r in resources if r.type == RT_VERSION), None)
        if record is None:
            refuse("the stub has no version record to change")
        version, _, known = read_version_record(bytes(record.data))
        if args.product_version is not None:
            version = parse_version(args.product_version)
            text = ".".join(str(part) for part in version)
            known["FileVersion"] = known["ProductVersion"] = text
        known.update(strings)
        own.append((RT_VERSION, record.name,
                    write_version_record(version, known)))
    if args.product_version is not None:
        manifest = next((r for r in resources if r.type == RT_MANIFEST), None)
        identity = manifest and MANIFEST_IDENTITY.search(bytes(manifest.data))
        if not identity or not MANIFEST_VERSION.search(identity.group(0)):
            refuse("the stub's manifest has no identity version to change")
        data = bytes(manifest.data)
        # The manifest's own identity says the same version as the record:
        # Windows checks the one against the assembly it names.
        element = MANIFEST_VERSION.sub(
            lambda m: m.group(1) + text.encode("ascii") + m.group(2),
            identity.group(0), count=1)
        own.append((RT_MANIFEST, manifest.name,
                    data[:identity.start()] + element +
                    data[identity.end():]))
    if args.icon is not None:
        images = read_icon_file(args.icon)
        drop = [(r.type, r.name) for r in resources if r.type == RT_ICON]
        own.append((RT_GROUP_ICON, ICON_GROUP_ID, group_icon(images, 1)))
        own += [(RT_ICON, i + 1, image[-1]) for i, image in enumerate(images)]
    return own, drop


def lay_out_bare_stub(args, build_dir, output, payload, previous_version,
                      finish):
    """The installer as a copy of the bare stub with the payload, and the
    previous-version text (RT_RCDATA 1, English) and the product's own
    version record, manifest and icon, laid into its resources."""
    bare = os.path.join(build_dir, BARE_STUB)
    if not os.path.isfile(bare):
        refuse(f"the bare stub {bare!r} is missing; build the stub with "
               "'make build' or name its build folder with --build-dir")
    own, drop = product_resources(args, bare)
    if previous_version is not None:
        own.append((RT_RCDATA, PREVIOUS_VERSION_ID, previous_version))
    partial = f"{output}.partial-{os.getpid()}"
    try:
        shutil.copyfile(bare, partial)
        lay_out_sections(partial, True, payload, own, drop)
        finish(partial)
        os.replace(partial, output)
    finally:
        if os.path.exists(partial):
            os.remove(partial)


def link_with_toolchain(args, build_dir, work, output, payload,
                        previous_version, finish):
    """The installer linked anew from the stub's libraries and resources:
    the bare stub itself, and the layouts for tests."""
    script = ['#include "installer.rc"']
    if previous_version is not None:
        version_file = os.path.join(work, "previous-version.bin")
        with open(version_file, "wb") as f:
            f.write(previous_version)
        script += ["LANGUAGE 0x09, 0x01",
                   f"1 RCDATA {rc_string(version_file)}"]
    rc_file = os.path.join(work, "installer-payload.rc")
    with open(rc_file, "w") as f:
        f.write("\n".join(script) + "\n")

    icon = os.path.join(build_dir, GENERATED_ICON)
    if not os.path.isfile(icon):
        refuse(f"icon {icon!r} is missing; build the stub with 'make "
               "build' or name its build folder with --build-dir")
    resources = os.path.join(work, "resources.o")
    run([tool("STUB_WINDRES", "x86_64-w64-mingw32-windres"),
         "-I", os.path.join(SOURCE_DIR, "resources"),
         "-I", os.path.dirname(icon),
         "-i", rc_file, "-o", resources], "windres")
    link_image(build_dir, resources, output, args.map,
               page_aligned=bool(payload), finish=finish,
               file_alignment=PAGE_SIZE if args.page_aligned_sections
               else None, payload=payload)


def report_packed(args, output, verdict):
    size = os.path.getsize(output)
    if size > LARGE_IMAGE:
        print(f"pack-installer: warning: the installer is {size} bytes; "
              "older Windows versions have been reported to refuse images "
              f"above about {LARGE_IMAGE // 10**8 / 10:.1f} GB (not verified "
              "here), so try it on the oldest Windows it must run on",
              file=sys.stderr)
    if args.no_payload:
        predicted = "none (no payload)"
    elif args.no_inspect:
        predicted = "not inspected (--no-inspect)"
    else:
        predicted = verdict[0].removeprefix("outcome: ")
    if args.quiet:
        return
    print(f"pack-installer: wrote {output}: {size} bytes, SHA-256 "
          f"{sha256_of(output)}, predicted {predicted}")


def sha256_of(path):
    digest = hashlib.sha256()
    buffer = bytearray(COPY_BLOCK)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as f:
        while count := f.readinto(buffer):
            digest.update(view[:count])
    return digest.hexdigest()


EXAMPLE = """\
what setup receives:
  "<work folder>\\setup.exe" --install-archive="<work folder>\\KORVEL.PACKED.7Z"
  [--previous-version="TEXT"] followed by the installer's own arguments,
  started in the caller's working folder; the work folder is deleted when setup returns, so setup
  must not return before it is done with the archive.

examples:
  A product archive and its setup program, packed into an installer (the
  last line names it, its size, its SHA-256 and the predicted outcome):

    7z a product.7z product/
    scripts/pack-installer --archive product.7z --setup setup.exe \\
        --output Installer.exe

  The same, signed, and the same file however often it is packed:

    SOURCE_DATE_EPOCH=1767225600 scripts/pack-installer \\
        --archive product.7z --setup setup.exe \\
        --sign-cert signer.pem --sign-key signer-key.pem \\
        --output Installer.exe

  On a fresh clone the first packing builds the stub (under a minute)."""


def main():
    parser = argparse.ArgumentParser(
        prog="pack-installer",
        description=__doc__.split("\n\n")[0],
        epilog=EXAMPLE,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    payload = parser.add_argument_group("payload")
    payload.add_argument(
        "--archive", metavar="FILE",
        help="the product's 7z archive, carried as resource B7 "
             f"{ARCHIVE_NAME!r} (required unless --no-payload)")
    payload.add_argument(
        "--setup", metavar="FILE",
        help="the product's setup program, or with --setup-kind patch its "
             "patch (required unless --no-payload)")
    payload.add_argument(
        "--setup-kind", choices=sorted(SETUP_KINDS), default="cabinet",
        help="how the setup program is carried: 'cabinet' compressed into a "
             "cabinet holding setup.exe (resource BL SETUP.EX_), 'plain' as "
             "it is (BN SETUP.EXE), 'patch' as a patch that the installed "
             "setup program turns into the new one (B7 SETUP.PATCH); "
             "default: cabinet")
    payload.add_argument(
        "--archive-name", metavar="NAME",
        help="the archive's resource name, which is also its file name in "
             f"the work folder; must start with 'korvel'; default: "
             f"{ARCHIVE_NAME}")
    payload.add_argument(
        "--setup-name", metavar="NAME",
        help="the setup resource's name; must start with 'setup'; default: "
             "the kind's name above")
    payload.add_argument(
        "--previous-version", metavar="TEXT",
        help="the version whose installed setup program a patch applies "
             "to, stored as resource RT_RCDATA 1; default: none stored")
    payload.add_argument(
        "--allow-elevated-setup", action="store_true",
        help="accept a setup program that Windows starts only elevated "
             "(its manifest asks for requireAdministrator or "
             "highestAvailable, or a 32-bit one asks for nothing); only for "
             "installers that are always run elevated; default: refused")
    payload.add_argument(
        "--no-payload", action="store_true",
        help="link the bare stub, without payload (the build's own use)")
    product = parser.add_argument_group(
        "the product, as Explorer and installers' logs show it")
    product.add_argument(
        "--product-version", metavar="A.B.C.D",
        help="the version record's file and product version, numbers and "
             "texts, and the manifest's own identity version, kept equal; "
             "each part at most 65535; default: 1.0.0.0")
    for option, key, default in (
            ("--product-name", "ProductName", "Korvel"),
            ("--company-name", "CompanyName", "Quivra"),
            ("--file-description", "FileDescription", "Korvel Installer"),
            ("--copyright", "LegalCopyright", "none")):
        product.add_argument(
            option, metavar="TEXT",
            help=f"the version record's {key}; default: {default}")
    product.add_argument(
        "--icon", metavar="FILE.ico",
        help="the installer's icon (group 107 and its images), from an .ico "
             "file of PNG or bitmap images; default: the stub's own")
    output = parser.add_argument_group("output")
    output.add_argument(
        "--output", required=True, metavar="FILE",
        help="the installer to write; written under a temporary name beside "
             "it and renamed only when complete (required)")
    output.add_argument(
        "--map", metavar="FILE",
        help="also write the linker's map here; default: none")
    signing = parser.add_argument_group("signing (Authenticode, SHA-256)")
    signing.add_argument(
        "--sign-cert", metavar="FILE",
        help="sign with this certificate, PEM or DER; needs --sign-key; "
             "default: not signed")
    signing.add_argument(
        "--sign-key", metavar="FILE", help="the certificate's private key")
    signing.add_argument(
        "--timestamp-url", metavar="URL",
        help="have the signature time-stamped by this authority; default: "
             "no time stamp (the signed file is then reproducible)")
    build = parser.add_argument_group("build and checks")
    build.add_argument(
        "--build-dir", metavar="DIR",
        help="the stub's build folder; default: build/ beside scripts/")
    build.add_argument(
        "--no-build", action="store_true",
        help="take the build folder as it is instead of configuring and "
             "updating it first (the build itself packs this way)")
    build.add_argument(
        "--page-aligned-sections", action="store_true",
        help="for tests: lay every section out on a page boundary of the "
             "file, so that Wine maps the code from the file as Windows "
             "always does (and reads it again when it is needed again); "
             "each section grows by up to a page; default: packed tightly")
    build.add_argument(
        "--quiet", action="store_true",
        help="print nothing but refusals and warnings; default: end with "
             "one line naming the installer, its size, its SHA-256 and its "
             "predicted outcome")
    build.add_argument(
        "--no-inspect", action="store_true",
        help="skip the prediction of the installer's unpacking where it is "
             "written (scripts/inspect-installer, under Wine)")
    args = parser.parse_args()
    # Names that the terminal's encoding cannot show are shown escaped.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        pack(args)
    except (Refusal, LayoutError) as refusal:
        print(f"pack-installer: {refusal}", file=sys.stderr)
        return 1
    except OSError as error:
        # A full volume, a folder that went away: said, not a traceback; the
        # unfinished installer is gone already.
        where = f" ({error.filename})" if error.filename else ""
        print(f"pack-installer: {error.strerror or error}{where}; nothing "
              "was written", file=sys.stderr)
        return 1
    return 0
