"""The packing of one installer, start to end: the request checked by the
refusal rules, the build brought up to date, the setup program put into a
cabinet, the payload and the product's own resources laid into a copy of
the bare stub (or, for the build and the layouts for tests, the image
linked anew), the inputs held to what was checked, the archive's data
tested meanwhile, the image signed and inspected, and the one line that
names what was written. The command line that asks for it is
pack_command.py's."""

import hashlib
import os
import re
import shutil
import stat
import sys
import tempfile

from .cabinet import write_cabinet
from .contract import CONTRACT
from .icon_file import group_icon, read_icon_file
from .inspection import Output, inspect_safely
from .image_writer import COPY_BLOCK, lay_out_sections
from .layout import BARE_STUB, default_build_dir, is_kit
from .linking import ensure_build, link_with_toolchain
from .pack_rules import (
    DOS_DATE_FIRST, DOS_DATE_LAST, PAYLOAD_LIMIT, PRODUCT_STRINGS,
    check_archive, check_archive_name, check_cabinet_size, check_input_file,
    check_payload_size, check_previous_version, check_product,
    check_setup_name, check_setup_program, refuse, source_date_epoch)
from .pe_image import PeImage, read_resources
from .seven_zip import ArchiveTest
from .signing import check_signing, sign_image
from .verdict import EXIT_FAILURE_PREDICTED, EXIT_NO_PROBE, EXIT_SUCCESS
from .version_record import (
    parse_version, read_version_record, write_version_record)


SETUP_KINDS = {
    # kind: (resource type, default resource name)
    "cabinet": (CONTRACT.cabinet_type, "SETUP.EX_"),
    "plain": (CONTRACT.plain_type, "SETUP.EXE"),
    "patch": (CONTRACT.patch_or_archive_type, "SETUP.PATCH"),
}
ARCHIVE_TYPE = CONTRACT.patch_or_archive_type
ARCHIVE_NAME = "KORVEL.PACKED.7Z"


# Above this size of image, older Windows versions have been reported to
# refuse to load it; unverified, so only a warning.
LARGE_IMAGE = 1_800_000_000


# The previous-version text, and the stub's own resources that a pack may
# replace: the icon (group 107 and its images), the version record and the
# manifest, each number 1 but the group.
RT_ICON = 3
RT_RCDATA = 10
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24
ICON_GROUP_ID = 107


# The installer's own identity in its manifest: the first assemblyIdentity.
MANIFEST_IDENTITY = re.compile(rb"<assemblyIdentity\b[^>]*>")
MANIFEST_VERSION = re.compile(rb'(\sversion=")[^"]*(")')


class ProductOptions:
    """The product's own identity that a pack gives the installer: its
    version (text, or None), its icon file (or None) and the version
    record's strings by option name (product_name, company_name,
    file_description, copyright)."""

    def __init__(self, version=None, icon=None, strings=None):
        self.version = version
        self.icon = icon
        self.strings = dict(strings or {})

    def given(self):
        """The options given, by name, in the order the refusals name them."""
        return ([name for name, value in (("product_version", self.version),
                                          ("icon", self.icon))
                 if value is not None] + list(self.strings))


class PackRequest:
    """What one pack is asked for, as the command line gives it."""

    def __init__(self, output, archive=None, setup=None, setup_kind="cabinet",
                 archive_name=None, setup_name=None, previous_version=None,
                 allow_elevated_setup=False, no_payload=False, product=None,
                 map_file=None, sign_cert=None, sign_key=None,
                 timestamp_url=None, build_dir=None, no_build=False,
                 page_aligned_sections=False, quiet=False, no_inspect=False):
        self.output = output
        self.archive = archive
        self.setup = setup
        self.setup_kind = setup_kind
        self.archive_name = archive_name
        self.setup_name = setup_name
        self.previous_version = previous_version
        self.allow_elevated_setup = allow_elevated_setup
        self.no_payload = no_payload
        self.product = product or ProductOptions()
        self.map_file = map_file
        self.sign_cert = sign_cert
        self.sign_key = sign_key
        self.timestamp_url = timestamp_url
        self.build_dir = build_dir
        self.no_build = no_build
        self.page_aligned_sections = page_aligned_sections
        self.quiet = quiet
        self.no_inspect = no_inspect

    def linked(self):
        """Whether the image is linked anew rather than laid out from the
        bare stub: the bare stub itself, and the layouts for tests."""
        return bool(self.no_payload or self.map_file or
                    self.page_aligned_sections)


def file_identity(path):
    """What tells a file's content changed: its identity, size and times."""
    status = os.stat(path)
    return (status.st_dev, status.st_ino, status.st_size,
            status.st_mtime_ns, status.st_ctime_ns)


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
        write_cabinet(setup, cabinet, CONTRACT.setup_program_name, seconds)
    except (OSError, ValueError) as error:
        refuse(f"the setup program cannot be put into a cabinet: {error}")
    return cabinet


def inspect_image(path, build_dir):
    """The predicted outcome line of the installer at `path`; refuses one
    whose unpacking, run by the stub's own code, would fail where it is
    written, or whose payload the run would fail on, with the inspector's
    account of why and what to do. The inspector's own judgement, made
    here, in its own words."""
    said = Output(keep=True)
    status = inspect_safely(path, build_dir, quiet=True, output=said)
    text = said.text().strip()
    if status == EXIT_NO_PROBE:
        print(f"pack-installer: {text}", file=sys.stderr)
        return "outcome: none (neither Windows nor Wine here to run the probe)"
    if status == EXIT_FAILURE_PREDICTED:
        refuse("the inspection of the installer predicts that it fails "
               f"where it was written:\n{text}\n"
               "--no-inspect skips the check")
    if status != EXIT_SUCCESS:
        refuse("the inspection of the installer failed:\n"
               f"{text}\nSee scripts/inspect-installer "
               "--help; --no-inspect skips the check")
    return next(text for text, _ in reversed(said.said)
                if text.startswith("outcome: "))


def version_record_resource(resources, version, strings):
    """The stub's version record with the product's version (text or None)
    and strings (by key) written in."""
    record = next((r for r in resources if r.type == RT_VERSION), None)
    if record is None:
        refuse("the stub has no version record to change")
    numbers, _, known = read_version_record(bytes(record.data))
    if version is not None:
        numbers = parse_version(version)
        text = ".".join(str(part) for part in numbers)
        known["FileVersion"] = known["ProductVersion"] = text
    known.update(strings)
    return (RT_VERSION, record.name, write_version_record(numbers, known))


def manifest_resource(resources, version):
    """The stub's manifest with the product's version as its own identity's:
    Windows checks the one against the assembly it names."""
    manifest = next((r for r in resources if r.type == RT_MANIFEST), None)
    identity = manifest and MANIFEST_IDENTITY.search(bytes(manifest.data))
    if not identity or not MANIFEST_VERSION.search(identity.group(0)):
        refuse("the stub's manifest has no identity version to change")
    data = bytes(manifest.data)
    text = ".".join(str(part) for part in parse_version(version))
    element = MANIFEST_VERSION.sub(
        lambda m: m.group(1) + text.encode("ascii") + m.group(2),
        identity.group(0), count=1)
    return (RT_MANIFEST, manifest.name,
            data[:identity.start()] + element + data[identity.end():])


def product_resources(product, image_path):
    """What the ProductOptions replace of the stub's own resources at
    `image_path`: (own items, dropped items), both empty without them."""
    strings = {key: product.strings[option]
               for option, key in PRODUCT_STRINGS.items()
               if option in product.strings}
    if product.version is None and not strings and product.icon is None:
        return [], []
    with open(image_path, "rb") as f:
        resources = read_resources(PeImage(f.read()))
    own, drop = [], []
    if product.version is not None or strings:
        own.append(version_record_resource(resources, product.version,
                                           strings))
    if product.version is not None:
        own.append(manifest_resource(resources, product.version))
    if product.icon is not None:
        images = read_icon_file(product.icon)
        drop = [(r.type, r.name) for r in resources if r.type == RT_ICON]
        own.append((RT_GROUP_ICON, ICON_GROUP_ID, group_icon(images, 1)))
        own += [(RT_ICON, i + 1, image[-1]) for i, image in enumerate(images)]
    return own, drop


def lay_out_bare_stub(product, build_dir, output, payload, previous_version,
                      finish):
    """The installer as a copy of the bare stub with the payload, and the
    previous-version text (RT_RCDATA 1, English) and the product's own
    version record, manifest and icon, laid into its resources."""
    bare = os.path.join(build_dir, BARE_STUB)
    if not os.path.isfile(bare):
        refuse(f"the bare stub {bare!r} is missing; build the stub with "
               "'make build' or name its build folder with --build-dir")
    own, drop = product_resources(product, bare)
    if previous_version is not None:
        own.append((RT_RCDATA, CONTRACT.previous_version_resource,
                    previous_version))
    partial = f"{output}.partial-{os.getpid()}"
    try:
        shutil.copyfile(bare, partial)
        lay_out_sections(partial, True, payload, own, drop)
        finish(partial)
        os.replace(partial, output)
    finally:
        if os.path.exists(partial):
            os.remove(partial)


def report_packed(request, output, verdict):
    size = os.path.getsize(output)
    if size > LARGE_IMAGE:
        print(f"pack-installer: warning: the installer is {size} bytes; "
              "older Windows versions have been reported to refuse images "
              f"above about {LARGE_IMAGE // 10**8 / 10:.1f} GB (not verified "
              "here), so try it on the oldest Windows it must run on",
              file=sys.stderr)
    if request.no_payload:
        predicted = "none (no payload)"
    elif request.no_inspect:
        predicted = "not inspected (--no-inspect)"
    else:
        predicted = verdict[0].removeprefix("outcome: ")
    if request.quiet:
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


def check_output(output, shown, inputs):
    """Refuses an output that is a folder, in no folder, or an existing file
    of another kind or one of the inputs: the installer replaces only a file
    of its own kind, never an input, a device or a pipe. `shown` is the
    output as given, for the messages."""
    if os.path.isdir(output):
        refuse(f"output {shown!r} is a folder")
    if os.path.lexists(output):
        if not stat.S_ISREG(os.stat(output).st_mode):
            refuse(f"output {shown!r} exists and is not a regular file")
        for given in inputs:
            if (given and os.path.exists(given) and
                    os.path.samefile(given, output)):
                refuse(f"output {shown!r} is the input {given!r}; "
                       "name another file")
    if not os.path.isdir(os.path.dirname(output)):
        refuse(f"the folder of output {shown!r} does not exist")


def check_payload_inputs(request):
    """The refusal rules for the payload's inputs; the names the archive and
    setup resources take."""
    if not request.archive or not request.setup:
        refuse("--archive and --setup are both required "
               "(or --no-payload for the bare stub)")
    kind = request.setup_kind
    archive_name = request.archive_name or ARCHIVE_NAME
    setup_name = request.setup_name or SETUP_KINDS[kind][1]
    check_input_file(request.archive, "archive")
    check_input_file(request.setup, "setup program")
    check_archive(request.archive)
    check_setup_program(request.setup, kind, request.allow_elevated_setup)
    check_archive_name(archive_name)
    check_setup_name(setup_name, kind)
    if kind == "cabinet":
        check_cabinet_size(request.setup)
    return archive_name, setup_name


def start_archive_test(archive):
    """The real 7z's test of the archive's data, started to run while the
    installer is written; None for one too large for a resource, which is
    refused as that."""
    if os.path.getsize(archive) > PAYLOAD_LIMIT:
        return None
    test = ArchiveTest(archive)
    if not test.available:
        print(f"pack-installer: warning: the data of archive {archive!r} "
              "was not tested (7z is not installed); only its headers were "
              "checked", file=sys.stderr)
    return test


def payload_items(request, names, work, previous_version):
    """The payload as it goes into the resources, in the order written:
    (resource type, name in upper case, as a resource compiler stores it,
    file); a cabinet's setup program is put into its cabinet first."""
    archive_name, setup_name = names
    setup_type = SETUP_KINDS[request.setup_kind][0]
    setup_file = os.path.abspath(request.setup)
    if request.setup_kind == "cabinet":
        setup_file = make_cabinet(setup_file, work)
    # What goes into the resources is what counts.
    check_payload_size([os.path.getsize(request.archive),
                        os.path.getsize(setup_file),
                        len(previous_version or b"")])
    return [(ARCHIVE_TYPE, archive_name.upper(),
             os.path.abspath(request.archive)),
            (setup_type, setup_name.upper(), setup_file)]


class Finishing:
    """What is done to the written image before it takes its name: the
    inputs held to what was checked, the archive's test taken, the image
    signed and inspected; `verdict` then holds the inspection's outcome
    line."""

    def __init__(self, request, build_dir, signing, archive_test, inputs):
        self.request = request
        self.build_dir = build_dir
        self.signing = signing
        self.archive_test = archive_test
        self.inputs = inputs
        self.inspect = False
        self.verdict = []

    def __call__(self, image):
        for path, identity in self.inputs.items():
            if file_identity(path) != identity:
                refuse(f"{path!r} changed while it was packed; pack "
                       "again once nothing writes it")
        # The archive's data, tested while the installer was written.
        if self.archive_test is not None:
            problem = self.archive_test.problem()
            if problem:
                refuse(f"archive {self.request.archive!r}: {problem}")
        if self.signing is not None:
            sign_image(image, self.signing)
        if self.inspect and not self.request.no_inspect:
            self.verdict.append(inspect_image(image, self.build_dir))


def check_request(request, kit):
    """Every refusal rule that needs nothing written; the payload's names,
    the signing and the previous-version text as packing takes them."""
    if kit and request.linked():
        refuse("the release kit packs installers from its bare stub; "
               "--no-payload, --map and --page-aligned-sections need the "
               "project's own build")
    output = os.path.abspath(request.output)
    check_output(output, request.output,
                 (request.archive, request.setup, request.product.icon))
    names = None
    if not request.no_payload:
        names = check_payload_inputs(request)
    signing = check_signing(request.sign_cert, request.sign_key,
                            request.timestamp_url)
    previous_version = None
    if request.previous_version is not None:
        previous_version = check_previous_version(request.previous_version)
    check_product(request.product, request.linked())
    return output, names, signing, previous_version


def pack(request):
    """Packs the installer that the PackRequest asks for, or refuses it
    (Refusal, LayoutError) with nothing written."""
    kit = is_kit()
    build_dir = os.path.abspath(request.build_dir or default_build_dir())
    output, names, signing, previous_version = check_request(request, kit)
    if not request.no_build and not kit:
        ensure_build(build_dir)
    # What the inputs were when they were checked: an input that another
    # program changes before its copy is done is not packed.
    inputs = {path: file_identity(path) for path in
              ([request.archive, request.setup] if names else [])}
    work = tempfile.mkdtemp(prefix="pack-installer.")
    archive_test = None
    try:
        payload = []
        if names:
            archive_test = start_archive_test(request.archive)
            payload = payload_items(request, names, work, previous_version)
        finish = Finishing(request, build_dir, signing, archive_test, inputs)
        finish.inspect = bool(payload)
        if payload and not request.map_file and \
                not request.page_aligned_sections:
            lay_out_bare_stub(request.product, build_dir, output, payload,
                              previous_version, finish)
        else:
            link_with_toolchain(build_dir, work, output, payload,
                                previous_version, finish, request.map_file,
                                request.page_aligned_sections)
    finally:
        if archive_test is not None:
            archive_test.stop()
        shutil.rmtree(work, ignore_errors=True)
    report_packed(request, output, finish.verdict)
