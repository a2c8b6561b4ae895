"""What the packer refuses, before anything is written: inputs that are
missing or not files, an archive setup could not read whole, a setup
program that Windows would not start from the installer (judged by the
same rules as the inspector's), names the installer would not find or
could not write, a previous-version text it cannot pass on, product
options Windows would not read, a payload too large for one image, and a
SOURCE_DATE_EPOCH that is no date a cabinet can store. Each refusal says
what went wrong and what to do."""

import mmap
import os
import re
import stat
import struct
import subprocess
import sys

from .cabinet import CABINET_SIGNATURE
from .contract import CONTRACT
from .icon_file import IconError, read_icon_file
from .payload_names import unusable_name_reason
from .pe_image import NotPeImage, PeImage, ResourceDirectory, describe_machine
from .seven_zip import SEVEN_ZIP_SIGNATURE, file_reader, seven_zip_problem
from .program_judgement import ELEVATED_ONLY, judge_program
from .start_policy import program_manifest
from .version_record import VersionError, parse_version


# Resource data of a PE image is addressed by 32-bit RVAs and sizes, so no
# image can pass 4 GiB. windres and ld were measured to handle a single
# 2.2 GB resource; the limit keeps the whole payload below 2 GiB so that
# every RVA also fits a signed 32-bit offset, which some loaders and tools
# assume.
PAYLOAD_LIMIT = 0x7FFF0000


# A cabinet stores its member's date as a DOS date: 1980-01-01 00:00:00 to
# 2107-12-31 23:59:58 (UTC here).
DOS_DATE_FIRST = 315532800
DOS_DATE_LAST = 4354819198


# A cabinet folder holds at most this many uncompressed bytes.
CABINET_FILE_LIMIT = 0x7FFF8000


# The stub writes each payload item as a file named like its resource inside
# its work folder, in a 260-unit path: even at a drive's root ("C:\" and
# the folder's name with its backslash) a name can have only what is left.
WORK_FOLDER_NAME_LENGTH = (len(CONTRACT.work_folder_prefix) +
                           CONTRACT.work_folder_digits +
                           len(CONTRACT.work_folder_suffix))
NAME_LENGTH_LIMIT = (CONTRACT.path_capacity - 1 - len("C:\\") -
                     WORK_FOLDER_NAME_LENGTH - 1)


NAME_PATTERN = re.compile(r"[A-Za-z0-9._-]+\Z")


# The stub compares the previous version against a 259-character registry
# text and quotes it on setup's command line.
PREVIOUS_VERSION_LIMIT = 259


# The version record's strings that the product options set, by the
# option's name.
PRODUCT_STRINGS = {"product_name": "ProductName",
                   "company_name": "CompanyName",
                   "file_description": "FileDescription",
                   "copyright": "LegalCopyright"}


class Refusal(Exception):
    """What the packer refuses, with why and what to do."""


def refuse(message):
    raise Refusal(message)


def run_tool(command, what, cwd=None):
    """Runs a tool the packer needs (a linker, a signer, CMake); its failure
    refuses the pack with what it said."""
    result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        refuse(f"{what} failed ({' '.join(command)}):\n{result.stdout}")
    return result.stdout


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
    """Refuses an archive that setup could not read whole, as far as its
    own headers tell (its data is tested while the installer is written)."""
    with open(path, "rb") as f:
        problem = seven_zip_problem(file_reader(f), os.path.getsize(path),
                                    os.path.basename(path))
    if problem:
        refuse(f"archive {path!r}: {problem}")


def check_patch(path):
    """Refuses a patch that is plainly something else."""
    head = read_head(path, 8)
    if head[:2] == b"MZ":
        refuse(f"patch {path!r} is a program, not a patch; give a setup "
               "program with --setup-kind cabinet (the default) or "
               "plain")
    if head[:4] == CABINET_SIGNATURE or head[:6] == SEVEN_ZIP_SIGNATURE:
        what = "a cabinet" if head[:4] == CABINET_SIGNATURE else "an archive"
        refuse(f"patch {path!r} is {what}, not a patch; give the setup "
               "program itself with --setup-kind cabinet (the default), "
               "which packs it into a cabinet")


def check_program_head(path):
    """Refuses a setup program that is no PE image by its first bytes."""
    head = read_head(path, 8)
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


def check_setup_program(path, kind, allow_elevated):
    """Refuses a setup program (kinds cabinet and plain) that Windows would
    not start from the installer, which runs as its caller, and a patch
    that is plainly something else; warns of what the program needs beyond
    a fresh Windows, and of what is not judged here."""
    if kind == "patch":
        check_patch(path)
        return
    check_program_head(path)
    judgement, machine = judge_setup_file(path)
    for note in judgement.notes:
        warn(f"setup program {path!r} {note}")
    if judgement.unread:
        refuse(f"setup program {path!r} ({machine}): {judgement.unread}, so "
               "whether Windows starts it is not judged here; give it a "
               "manifest in UTF-8 or UTF-16, without a DOCTYPE")
    for reason in judgement.unjudged:
        warn(f"setup program {path!r}: {reason}; try it on Windows")
    refusal = judgement.refusal
    if refusal is None or (allow_elevated and refusal.elevated_would_start):
        return
    if not refusal.elevated_would_start:
        refuse(f"setup program {path!r} ({machine}): {refusal.reason}. "
               "Windows would not start it from the installer")
    refuse(f"setup program {path!r} ({machine}): {refusal.reason}. "
           f"{ELEVATED_ONLY}: any other run fails to start it "
           "(ERROR_ELEVATION_REQUIRED, 740), as the installer runs with its "
           "caller's rights. Give it a manifest with "
           "<requestedExecutionLevel level=\"asInvoker\" "
           "uiAccess=\"false\"/>, or pass --allow-elevated-setup if every "
           "run of the installer is itself elevated")


def judge_setup_file(path):
    """The judgement of the setup program at `path`, read through a mapping
    so that only its headers and resources are read, and its machine."""
    with open(path, "rb") as f:
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
    return judge_program(image, manifest), describe_machine(image)


def warn(message):
    print(f"pack-installer: warning: {message}", file=sys.stderr)


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


def check_archive_name(name):
    check_name(name, CONTRACT.archive_prefix, "archive")


def check_setup_name(name, kind):
    check_name(name, CONTRACT.setup_prefix, "setup")
    if (kind in ("cabinet", "patch") and
            name.lower() == CONTRACT.setup_program_name):
        refuse(f"setup name {name!r} is the name of the setup program that "
               f"the stub makes from a {kind}; choose another")


def check_previous_version(text):
    """The previous-version text as the resource stores it: UTF-16LE with
    its terminator."""
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


def check_product(product, linked):
    """The product's version, strings and icon (a ProductOptions), refused
    as Windows would not read them, before anything is written; `linked`
    says that the image is linked anew, which takes none of them."""
    given = product.given()
    if not given:
        return
    if linked:
        refuse(f"--{given[0].replace('_', '-')} is for installers packed "
               "with a payload, without --map or --page-aligned-sections")
    if product.version is not None:
        try:
            parse_version(product.version)
        except VersionError as error:
            refuse(str(error))
    for option, text in product.strings.items():
        if "\0" in text or len(text) > 256:
            refuse(f"--{option.replace('_', '-')} must be a text of at most "
                   "256 characters without NUL")
    if product.icon is not None:
        check_input_file(product.icon, "icon")
        try:
            read_icon_file(product.icon)
        except (IconError, OSError) as error:
            refuse(str(error))


def check_payload_size(sizes):
    total = sum(sizes)
    if total > PAYLOAD_LIMIT:
        refuse(f"payload of {total} bytes is above the limit of "
               f"{PAYLOAD_LIMIT} bytes that one installer image can carry; "
               "make the archive smaller")


def check_cabinet_size(path):
    size = os.path.getsize(path)
    if size > CABINET_FILE_LIMIT:
        refuse(f"setup program of {size} bytes is above the "
               f"{CABINET_FILE_LIMIT} bytes a cabinet can hold")


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
