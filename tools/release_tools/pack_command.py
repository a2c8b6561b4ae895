r"""Links an installer: the stub's code, its own resources (manifest, icon,
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

    "<folder>\KV_xxxxx.tmp\setup.exe"
        --install-archive="<folder>\KV_xxxxx.tmp\KORVEL.PACKED.7Z"
        <the installer's own arguments>

with the work folder as its current folder, as the caller (the switch is
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
also fixes the signing time. Last, the inspector's own judgement (that of
scripts/inspect-installer, made in this process) runs the stub's own unpack
stage on the result where it is written (natively on Windows, under Wine
elsewhere), and a predicted failure refuses it with its cause and what to
do (--no-inspect skips this). A packed installer ends with one line naming it, its size,
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

import sys

from .command_line import escape_unshowable_names, parser_for
from .contract import CONTRACT
from .image_writer import LayoutError
from .pack_rules import PRODUCT_STRINGS, Refusal
from .packing import (ARCHIVE_NAME, ARCHIVE_TYPE, SETUP_KINDS, PackRequest,
                      ProductOptions, pack)


SETUP_EXE = CONTRACT.setup_program_name


EXAMPLE = f"""\
what setup receives:
  "<work folder>\\{SETUP_EXE}" --install-archive="<work folder>\\{ARCHIVE_NAME}"
  [--previous-version="TEXT"] followed by the installer's own arguments,
  started in the work folder, which is deleted when setup returns; so setup
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


def kind(name):
    """A setup kind's resource type and default name, as the help says
    them."""
    return " ".join(SETUP_KINDS[name])


def add_payload_options(parser):
    payload = parser.add_argument_group("payload")
    payload.add_argument(
        "--archive", metavar="FILE",
        help="the product's 7z archive, carried as resource "
             f"{ARCHIVE_TYPE} {ARCHIVE_NAME!r} (required unless "
             "--no-payload)")
    payload.add_argument(
        "--setup", metavar="FILE",
        help="the product's setup program, or with --setup-kind patch its "
             "patch (required unless --no-payload)")
    payload.add_argument(
        "--setup-kind", choices=sorted(SETUP_KINDS), default="cabinet",
        help="how the setup program is carried: 'cabinet' compressed into a "
             f"cabinet holding {SETUP_EXE} (resource {kind('cabinet')}), "
             f"'plain' as it is ({kind('plain')}), 'patch' as a patch that "
             "the installed setup program turns into the new one "
             f"({kind('patch')}); default: cabinet")
    payload.add_argument(
        "--archive-name", metavar="NAME",
        help="the archive's resource name, which is also its file name in "
             f"the work folder; must start with "
             f"{CONTRACT.archive_prefix!r}; default: "
             f"{ARCHIVE_NAME}")
    payload.add_argument(
        "--setup-name", metavar="NAME",
        help="the setup resource's name; must start with "
             f"{CONTRACT.setup_prefix!r}; default: the kind's name above")
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


def add_product_options(parser):
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


def add_output_and_signing_options(parser):
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


def add_build_options(parser):
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


def parser():
    made = parser_for("pack-installer", __doc__, EXAMPLE)
    add_payload_options(made)
    add_product_options(made)
    add_output_and_signing_options(made)
    add_build_options(made)
    return made


def request_of(args):
    """The PackRequest that the parsed command line asks for: the options'
    namespace goes no further than here."""
    return PackRequest(
        archive=args.archive, setup=args.setup, setup_kind=args.setup_kind,
        archive_name=args.archive_name, setup_name=args.setup_name,
        previous_version=args.previous_version,
        allow_elevated_setup=args.allow_elevated_setup,
        no_payload=args.no_payload,
        product=ProductOptions(
            args.product_version, args.icon,
            {option: getattr(args, option) for option in PRODUCT_STRINGS
             if getattr(args, option) is not None}),
        output=args.output, map_file=args.map,
        sign_cert=args.sign_cert, sign_key=args.sign_key,
        timestamp_url=args.timestamp_url, build_dir=args.build_dir,
        no_build=args.no_build,
        page_aligned_sections=args.page_aligned_sections,
        quiet=args.quiet, no_inspect=args.no_inspect)


def main(argv=None):
    args = parser().parse_args(argv)
    escape_unshowable_names()
    try:
        pack(request_of(args))
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
