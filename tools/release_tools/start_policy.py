"""Whether Windows starts a program as a setup program from a folder beside
an installer that runs as its caller: its kind, machine and subsystem, and
its manifest, read as Windows reads it."""

import re
import xml.etree.ElementTree as ElementTree

from .contract import CONTRACT


RT_MANIFEST = 24


# The name under which the installer starts its setup program, which
# installer detection reads.
SETUP_EXE = CONTRACT.setup_program_name


MANIFEST_ID = 1  # the manifest that Windows reads for an executable


# The machines whose programs an x86-64 Windows starts.
STARTABLE_MACHINES = (0x8664, 0x14C)


IMAGE_SUBSYSTEM_NATIVE = 1


SUBSYSTEMS = {IMAGE_SUBSYSTEM_NATIVE: "native (a driver)", 2: "Windows GUI", 3: "console",
              9: "Windows CE", 10: "EFI application",
              11: "EFI boot service driver", 12: "EFI runtime driver",
              14: "Xbox", 16: "Windows boot application"}


STARTABLE_SUBSYSTEMS = (2, 3)


IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002


IMAGE_FILE_DLL = 0x2000


# The namespaces in which Windows reads a manifest's elements.
MANIFEST_NAMESPACES = ("urn:schemas-microsoft-com:asm.v1",
                       "urn:schemas-microsoft-com:asm.v2",
                       "urn:schemas-microsoft-com:asm.v3")


class ManifestError(ValueError):
    pass


# Manifests larger than this are not read here. Windows refuses a manifest
# it finds too big (ERROR_SXS_MANIFEST_TOO_BIG) at a size it does not
# document; programs carry a few kilobytes, and a parse of a megabyte of
# markup already takes a tenth of a second and tens of megabytes.
MANIFEST_LIMIT = 1 << 20


# What this tool's XML parser (expat) cannot read where Windows' own may:
# entities that expand past its limit on amplification (a document that is
# well-formed XML all the same), and, in a document with a type
# declaration, an entity that it may define outside the document, which is
# never read here.
TOOL_LIMIT_ERRORS = ("limit on input amplification factor",)
UNDEFINED_ENTITY_ERROR = "undefined entity"


def has_doctype(data):
    """Whether a manifest's bytes (UTF-8 or UTF-16, either order) hold a
    document type declaration."""
    return any("<!DOCTYPE".encode(encoding) in data
               for encoding in ("utf-8", "utf-16-le", "utf-16-be"))


class Manifest:
    """A program's manifest, read once as Windows reads it: XML in UTF-8 or
    UTF-16 (with or without a byte-order mark), comments ignored, elements
    taken only in the manifest namespaces. `error` is the ManifestError of
    one that is not well-formed; `unread` says why one that may be well-
    formed cannot be read here (an encoding this tool does not decode,
    entities past its parser's limits); one larger than MANIFEST_LIMIT is
    not parsed at all (`too_large`)."""

    def __init__(self, data):
        self.size = len(data)
        self.head = bytes(data[:4096])
        self.root = None
        self.error = None
        self.unread = None
        self.too_large = self.size > MANIFEST_LIMIT
        if self.too_large:
            return
        self.doctype = has_doctype(bytes(data))
        try:
            self.root = ElementTree.fromstring(bytes(data))
        except ElementTree.ParseError as error:
            self.read_parse_error(error)
        except (ValueError, LookupError) as error:
            # An encoding that the parser cannot decode (Shift_JIS, "ANSI",
            # an unknown name): a limit of this tool, not of Windows.
            declared = re.search(rb'encoding=["\']([^"\']*)', self.head[:200])
            name = (declared.group(1).decode("ascii", "replace") if declared
                    else "?")
            self.unread = (f"its manifest declares the encoding {name!r}, "
                           f"which this tool does not decode ({error})")

    def read_parse_error(self, error):
        text = str(error)
        if any(limit in text for limit in TOOL_LIMIT_ERRORS):
            self.unread = ("its manifest's entities expand past what this "
                           f"tool's XML parser takes ({text})")
        elif self.doctype and text.startswith(UNDEFINED_ENTITY_ERROR):
            self.unread = ("its manifest refers to an entity that it may "
                           "define outside itself, which this tool does not "
                           f"read ({text})")
        else:
            self.error = ManifestError(f"not well-formed XML: {error}")

    def unjudged(self):
        """Why whether Windows starts the program is not judged here by
        this manifest, or None: it is too large or cannot be read here, or
        it has a document type declaration, which Windows' parser may not
        take (its documentation does not say)."""
        if self.too_large:
            return (f"its manifest is {self.size} bytes, more than the "
                    f"{MANIFEST_LIMIT} read here")
        if self.unread:
            return self.unread
        if self.doctype:
            return "its manifest has a DOCTYPE, which is not judged here"
        return None


def as_manifest(manifest):
    return manifest if isinstance(manifest, Manifest) else Manifest(manifest)


def program_manifest(directory):
    """The manifest that Windows reads when it starts an image, found in
    its ResourceDirectory as the loader finds it (RT_MANIFEST 1; of several
    languages the neutral one, else the first), as a Manifest; None when
    there is none."""
    found = (directory.default_language(RT_MANIFEST, MANIFEST_ID) or
             next(iter(directory.languages(RT_MANIFEST, MANIFEST_ID)), None))
    return Manifest(found.data) if found is not None else None


def manifest_resource(resources):
    """The manifest resource among `resources`, or None."""
    return next((r for r in resources
                 if r.type == RT_MANIFEST and r.name == MANIFEST_ID), None)


def requested_privileges(manifest):
    """(level, uiAccess) of a manifest's requestedExecutionLevel, each a text
    or None; None when it names none (or is too large to be read here).
    `manifest` is a Manifest or its bytes. Raises ManifestError when the
    manifest is not well-formed XML, or cannot be read here."""
    manifest = as_manifest(manifest)
    if manifest.error is not None:
        raise manifest.error
    if manifest.unread is not None:
        raise ManifestError(manifest.unread)
    if manifest.root is None:
        return None
    for element in manifest.root.iter():
        namespace, _, name = element.tag.rpartition("}")
        if (name == "requestedExecutionLevel"
                and namespace.lstrip("{") in MANIFEST_NAMESPACES):
            return element.get("level"), element.get("uiAccess")
    return None


def describe_execution_level(manifest):
    """The manifest's requestedExecutionLevel as the listings show it;
    `manifest` is a Manifest or None."""
    if manifest is None:
        return "no manifest"
    if manifest.too_large:
        return (f"manifest of {manifest.size} bytes, not read here (more "
                f"than {MANIFEST_LIMIT})")
    if manifest.unread:
        return "manifest not read by this tool"
    try:
        found = requested_privileges(manifest)
    except ManifestError as error:
        return f"manifest {error}"
    if found is None:
        return "no requestedExecutionLevel"
    level, ui = found
    result = (f"requestedExecutionLevel \"{level}\"" if level is not None
              else "requestedExecutionLevel without a level")
    if ui is not None:
        result += f", uiAccess \"{ui}\""
    return result


class StartRefusal:
    """Why Windows would not start a program as "setup.exe" from the
    installer, which runs as its caller. `elevated_would_start` says that a
    run of the installer that is itself elevated would start it."""

    def __init__(self, reason, elevated_would_start=False):
        self.reason = reason
        self.elevated_would_start = elevated_would_start


# The architectures that a program's own assemblyIdentity may name for an
# image of each machine ("*" and none fit every image).
IDENTITY_ARCHITECTURES = {0x8664: {"amd64"}, 0x14C: {"x86", "msil"},
                          0xAA64: {"arm64"}}
# Assemblies that a fresh Windows does not carry: a program that depends on
# one starts only where its runtime was installed.
MISSING_ASSEMBLIES = ("Microsoft.VC80.", "Microsoft.VC90.")


def manifest_root(manifest):
    """The manifest's XML root, or None when it cannot be read."""
    return as_manifest(manifest).root


# The windowsSettings elements whose namespace Microsoft's documentation of
# application manifests names, by the year in
# "http://schemas.microsoft.com/SMI/<year>/WindowsSettings". Windows starts
# no program whose manifest puts one in another such namespace, or gives
# one twice (the side-by-side configuration is incorrect). Elements not
# listed here are not judged.
SETTING_YEARS = {"dpiAware": "2005", "dpiAwareness": "2016",
                 "longPathAware": "2016", "gdiScaling": "2017",
                 "activeCodePage": "2019", "heapType": "2020"}
SETTINGS_NAMESPACE = re.compile(
    r"https?://schemas\.microsoft\.com/SMI/(\d{4})/WindowsSettings\Z")


def settings_problem(manifest):
    """What Windows refuses in the manifest's windowsSettings: a setting in
    another year's namespace than its own, or one given twice; else None."""
    root = manifest_root(manifest)
    if root is None:
        return None
    for settings in root.iter():
        if settings.tag.rpartition("}")[2] != "windowsSettings":
            continue
        seen = set()
        for element in settings:
            namespace, _, name = element.tag.rpartition("}")
            year = SETTINGS_NAMESPACE.match(namespace.lstrip("{"))
            if name not in SETTING_YEARS or year is None:
                continue
            if year.group(1) != SETTING_YEARS[name]:
                return (f"its manifest gives {name} in the "
                        f"{year.group(1)} settings namespace, which does not "
                        f"define it (its own is the {SETTING_YEARS[name]} "
                        "one)")
            if name in seen:
                return f"its manifest gives {name} twice"
            seen.add(name)
    return None


def identity_architecture_mismatch(manifest, machine):
    """The processorArchitecture that the manifest's own assemblyIdentity
    names when it does not fit an image of `machine`, else None."""
    root = manifest_root(manifest)
    if root is None:
        return None
    for element in root:
        namespace, _, name = element.tag.rpartition("}")
        if (name == "assemblyIdentity" and
                namespace.lstrip("{") in MANIFEST_NAMESPACES):
            architecture = (element.get("processorArchitecture") or "*")
            fits = IDENTITY_ARCHITECTURES.get(machine)
            if (architecture != "*" and fits is not None and
                    architecture.lower() not in fits):
                return architecture
            return None
    return None


def missing_dependencies(manifest):
    """The names of the assemblies the manifest depends on that a fresh
    Windows lacks."""
    root = manifest_root(manifest)
    if root is None:
        return []
    own = set(root)  # the program's own identity stands at the top
    return [element.get("name") for element in root.iter()
            if element not in own and
            element.tag.rpartition("}")[2] == "assemblyIdentity" and
            (element.get("name") or "").startswith(MISSING_ASSEMBLIES)]


def refusal_to_start(image, manifest):
    """A StartRefusal, or None when Windows starts the image from the
    installer in any run (or, for a manifest not judged here, as far as the
    image tells). `manifest` is the image's Manifest or None."""
    reason = image.refusal_to_start_at_all()
    if reason:
        return StartRefusal(reason)
    if manifest is not None and (manifest.too_large or manifest.unread):
        return None  # what it asks for is not known here
    found = None
    if manifest is not None:
        try:
            found = requested_privileges(manifest)
        except ManifestError as error:
            return StartRefusal(
                f"its manifest is {error}, and Windows starts no program "
                "whose manifest it cannot read (the side-by-side "
                "configuration is incorrect); repair the manifest")
    if manifest is not None:
        problem = settings_problem(manifest)
        if problem:
            return StartRefusal(
                f"{problem}, and Windows starts no such program (the "
                "side-by-side configuration is incorrect); repair the "
                "manifest")
        mismatch = identity_architecture_mismatch(manifest, image.machine)
        if mismatch:
            return StartRefusal(
                f"its manifest's own assemblyIdentity says "
                f"processorArchitecture=\"{mismatch}\", which is not the "
                "image's; Windows starts no such program (the side-by-side "
                "configuration is incorrect): make the manifest match")
    level, ui = found or (None, None)
    if ui is not None and ui.strip().lower() == "true":
        return StartRefusal(
            "its manifest asks for uiAccess=\"true\", which Windows grants "
            "only to a signed program in a secure folder such as Program "
            "Files, never to one in a work folder beside the installer; set "
            "uiAccess=\"false\"")
    if level == "requireAdministrator":
        return StartRefusal(
            "its manifest asks for \"requireAdministrator\", so a run that "
            "is not elevated cannot start it", True)
    if level == "highestAvailable":
        return StartRefusal(
            "its manifest asks for \"highestAvailable\", so an "
            "administrator's run that is not elevated cannot start it", True)
    # Installer detection looks at the image as the loader sees it, before
    # any runtime decides how wide its process is, so a .NET image marked
    # x86 counts as 32-bit here even when it runs as a 64-bit process.
    if level is None and image.machine == 0x14C:
        if image.clr_flags() is not None:
            return StartRefusal(
                f"its image is marked x86 and it is named {SETUP_EXE} "
                "without a requestedExecutionLevel, and Windows' installer "
                "detection, which reads that mark before the .NET runtime "
                "chooses how wide a process to run it in, runs such a "
                "program only elevated", True)
        return StartRefusal(
            f"it is a 32-bit program named {SETUP_EXE} without a "
            "requestedExecutionLevel, which Windows' installer detection "
            "runs only elevated", True)
    return None
