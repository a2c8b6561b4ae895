"""The file formats that the packing and inspection commands read: PE
images, their resources and manifests, and cabinets. Shared by
scripts/pack-installer and scripts/inspect-installer, which put this folder
on their module path.

Every reader takes a bytes-like object (bytes, or a read-only mmap of a
file of any size, sliced through memoryviews so that nothing is copied) and
works on what it holds: a cut-short or damaged file gives fewer facts or a
ValueError, never a read past its end.
"""
import os
import struct
import time
import xml.etree.ElementTree as ElementTree
import zlib

RT_MANIFEST = 24
MANIFEST_ID = 1  # the manifest that Windows reads for an executable
RESOURCE_DIRECTORY = 2
SECURITY_DIRECTORY = 4

MACHINES = {0x8664: "x86-64", 0x14C: "x86", 0xAA64: "ARM64"}
# The machines whose programs an x86-64 Windows starts.
STARTABLE_MACHINES = (0x8664, 0x14C)
SUBSYSTEMS = {1: "native (a driver)", 2: "Windows GUI", 3: "console",
              9: "Windows CE", 10: "EFI application",
              11: "EFI boot service driver", 12: "EFI runtime driver",
              14: "Xbox", 16: "Windows boot application"}
STARTABLE_SUBSYSTEMS = (2, 3)
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
CLR_DIRECTORY = 14
COMIMAGE_FLAGS_ILONLY = 0x1
COMIMAGE_FLAGS_32BITREQUIRED = 0x2
COMIMAGE_FLAGS_32BITPREFERRED = 0x20000
# The namespaces in which Windows reads a manifest's elements.
MANIFEST_NAMESPACES = ("urn:schemas-microsoft-com:asm.v1",
                       "urn:schemas-microsoft-com:asm.v2",
                       "urn:schemas-microsoft-com:asm.v3")

CABINET_SIGNATURE = b"MSCF"
CABINET_COMPRESSION = {0: "none", 1: "MSZIP", 2: "Quantum", 3: "LZX"}
CABINET_FOLDER_CONTINUED = {0xFFFD: "continued from a previous cabinet",
                            0xFFFE: "continued in a next cabinet",
                            0xFFFF: "continued both ways"}


def u16(data, at):
    return struct.unpack_from("<H", data, at)[0]


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


class NotPeImage(Exception):
    pass


class PeImage:
    """The parts of a PE image's headers that the listing needs."""

    def __init__(self, data):
        self.data = data
        if len(data) < 64 or data[:2] != b"MZ":
            raise NotPeImage("no MZ header")
        pe = u32(data, 60)
        if pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
            raise NotPeImage("no PE signature")
        self.machine = u16(data, pe + 4)
        self.characteristics = u16(data, pe + 22)
        section_count = u16(data, pe + 6)
        optional_size = u16(data, pe + 20)
        optional = pe + 24
        if optional + optional_size > len(data) or optional_size < 2:
            raise NotPeImage("optional header cut short")
        magic = u16(data, optional)
        if magic == 0x20B:
            directories = optional + 112
        elif magic == 0x10B:
            directories = optional + 96
        else:
            raise NotPeImage(f"unknown optional header magic 0x{magic:04X}")
        if directories > optional + optional_size:
            raise NotPeImage("optional header cut short")
        self.subsystem = u16(data, optional + 68)
        count = u32(data, directories - 4)
        self.directories = []
        for i in range(count):
            at = directories + 8 * i
            if at + 8 > optional + optional_size:
                break
            self.directories.append(struct.unpack_from("<II", data, at))
        self.sections = []
        sections = optional + optional_size
        for i in range(section_count):
            at = sections + 40 * i
            if at + 40 > len(data):
                raise NotPeImage("section table cut short")
            virtual_size, virtual_address, raw_size, raw_offset = (
                struct.unpack_from("<IIII", data, at + 8))
            self.sections.append((virtual_address,
                                  max(virtual_size, raw_size), raw_offset,
                                  raw_size))

    def directory(self, index):
        if index < len(self.directories):
            return self.directories[index]
        return (0, 0)

    def offset_of(self, rva):
        """The file offset of an RVA and the bytes the file holds from it."""
        for address, size, raw_offset, raw_size in self.sections:
            if address <= rva < address + size:
                inside = rva - address
                return raw_offset + inside, max(0, raw_size - inside)
        return None, 0

    def read(self, rva, size):
        """A view of the bytes at an RVA; fewer when the file is cut
        short."""
        offset, available = self.offset_of(rva)
        if offset is None:
            return b""
        return memoryview(self.data)[offset:offset + min(size, available)]

    def clr_flags(self):
        """The runtime flags of a .NET image's CLR header; None for a
        native image."""
        rva, size = self.directory(CLR_DIRECTORY)
        header = self.read(rva, 20) if rva and size else b""
        return u32(header, 16) if len(header) == 20 else None

    def runs_as(self):
        """The machine whose process runs the image on x86-64 Windows: an
        x86-marked .NET image that holds only IL and neither requires nor
        prefers 32 bits runs as a 64-bit process."""
        flags = self.clr_flags()
        if (self.machine == 0x14C and flags is not None
                and flags & COMIMAGE_FLAGS_ILONLY
                and not flags & (COMIMAGE_FLAGS_32BITREQUIRED |
                                 COMIMAGE_FLAGS_32BITPREFERRED)):
            return 0x8664
        return self.machine

    def refusal_to_start_at_all(self):
        """Why Windows would start this image as a program for nobody; None
        when it is a program it can start."""
        if self.characteristics & IMAGE_FILE_DLL:
            return ("it is a DLL, not a program; give the setup program "
                    "itself")
        if not self.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE:
            return ("it is not marked executable (an object file or a "
                    "failed link); give the linked setup program")
        if self.subsystem not in STARTABLE_SUBSYSTEMS:
            what = SUBSYSTEMS.get(self.subsystem,
                                  f"subsystem {self.subsystem}")
            return (f"its subsystem is {what}, and Windows starts only "
                    "Windows GUI and console programs with CreateProcess; "
                    "give the setup program itself")
        if self.machine not in STARTABLE_MACHINES:
            return (f"it is built for {machine_name(self.machine)}, and the "
                    "installer runs on x86-64 Windows, which starts only "
                    "x86-64 and x86 programs; build setup for one of them")
        return None


class Resource:
    def __init__(self, type_key, name_key, language, size, data, codepage=0):
        self.type = type_key    # str for a named entry, int for a numbered
        self.name = name_key
        self.language = language
        self.size = size        # as the directory states it
        self.data = data        # what the file holds of it
        self.codepage = codepage


def resource_key(section, entry_name):
    if entry_name & 0x80000000:
        at = entry_name & 0x7FFFFFFF
        length = u16(section, at)
        return bytes(section[at + 2:at + 2 + 2 * length]).decode(
            "utf-16-le", "replace")
    return entry_name


def read_resources(image):
    """Every (type, name, language) leaf of the resource directory."""
    rva, size = image.directory(RESOURCE_DIRECTORY)
    if rva == 0 or size == 0:
        return []
    offset, available = image.offset_of(rva)
    section = (memoryview(image.data)[offset:offset + available]
               if offset is not None else b"")
    if len(section) < 16:
        raise ValueError("the resource directory lies outside the file")
    resources = []
    seen = set()

    def entries(at):
        if at in seen or at + 16 > len(section):
            return []
        seen.add(at)
        count = u16(section, at + 12) + u16(section, at + 14)
        found = []
        for i in range(count):
            entry = at + 16 + 8 * i
            if entry + 8 > len(section):
                break
            name, target = struct.unpack_from("<II", section, entry)
            found.append((resource_key(section, name), target))
        return found

    for type_key, type_target in entries(0):
        if not type_target & 0x80000000:
            continue
        for name_key, name_target in entries(type_target & 0x7FFFFFFF):
            if not name_target & 0x80000000:
                continue
            for language, leaf in entries(name_target & 0x7FFFFFFF):
                if leaf & 0x80000000 or leaf + 16 > len(section):
                    continue
                data_rva, data_size, codepage = struct.unpack_from(
                    "<III", section, leaf)
                resources.append(Resource(type_key, name_key, language,
                                          data_size,
                                          image.read(data_rva, data_size),
                                          codepage))
    return resources


def machine_name(machine):
    return MACHINES.get(machine, f"machine 0x{machine:04X}")


class ManifestError(ValueError):
    pass


def manifest_resource(resources):
    """The manifest that Windows reads when it starts the image, or None."""
    return next((r for r in resources
                 if r.type == RT_MANIFEST and r.name == MANIFEST_ID), None)


def requested_privileges(data):
    """(level, uiAccess) of a manifest's requestedExecutionLevel, each a text
    or None; None when it names none. Read as Windows reads it: XML in
    UTF-8 or UTF-16 (with or without a byte-order mark), comments ignored,
    the element taken only in a manifest namespace. Raises ManifestError
    when the manifest is not well-formed XML."""
    try:
        root = ElementTree.fromstring(bytes(data))
    except ElementTree.ParseError as error:
        raise ManifestError(f"not well-formed XML: {error}") from None
    for element in root.iter():
        namespace, _, name = element.tag.rpartition("}")
        if (name == "requestedExecutionLevel"
                and namespace.lstrip("{") in MANIFEST_NAMESPACES):
            return element.get("level"), element.get("uiAccess")
    return None


def describe_execution_level(resources):
    """The manifest's requestedExecutionLevel as the listings show it."""
    manifest = manifest_resource(resources)
    if manifest is None:
        return "no manifest"
    try:
        found = requested_privileges(manifest.data)
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


def refusal_to_start(image, resources):
    """A StartRefusal, or None when Windows starts the image from the
    installer in any run."""
    reason = image.refusal_to_start_at_all()
    if reason:
        return StartRefusal(reason)
    manifest = manifest_resource(resources)
    found = None
    if manifest is not None:
        try:
            found = requested_privileges(manifest.data)
        except ManifestError as error:
            return StartRefusal(
                f"its manifest is {error}, and Windows starts no program "
                "whose manifest it cannot read (the side-by-side "
                "configuration is incorrect); repair the manifest")
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
        return StartRefusal(
            "it is a 32-bit program named setup.exe without a "
            "requestedExecutionLevel, which Windows' installer detection "
            "runs only elevated", True)
    return None


def describe_machine(image):
    """The image's machine, and for a .NET image how it runs."""
    text = machine_name(image.machine)
    if image.clr_flags() is not None:
        width = "64-bit" if image.runs_as() == 0x8664 else "32-bit"
        text += f" (.NET, runs as a {width} process on x86-64 Windows)"
    return text


def c_string(data, at):
    end = bytes(data[at:at + 256]).find(b"\0")
    if end < 0:
        raise ValueError("a name in the cabinet is not terminated")
    return bytes(data[at:at + end]), at + end + 1


class Cabinet:
    """A cabinet's header, folders and files (format of MS-CAB). Raises
    ValueError or struct.error on a header that is cut short or damaged;
    `files` then holds what could be read."""

    def __init__(self, data):
        self.data = data
        self.size = u32(data, 8)
        files_at = u32(data, 16)
        self.minor, self.major, folders, files, flags = struct.unpack_from(
            "<BBHHH", data, 24)
        at = 36
        folder_reserve = 0
        self.data_reserve = 0
        if flags & 0x4:
            header_reserve, folder_reserve, self.data_reserve = (
                struct.unpack_from("<HBB", data, at))
            at += 4 + header_reserve
        self.continues = []
        if flags & 0x1:
            _, at = c_string(data, at)
            _, at = c_string(data, at)
            self.continues.append("continues from a previous cabinet")
        if flags & 0x2:
            _, at = c_string(data, at)
            _, at = c_string(data, at)
            self.continues.append("continues in a next cabinet")
        self.folders = []  # (first data block, block count, compression)
        for _ in range(folders):
            self.folders.append(struct.unpack_from("<IHH", data, at))
            at += 8 + folder_reserve
        self.file_count = files
        self.files = []  # (name, size, offset in its folder, folder index)
        at = files_at
        for _ in range(files):
            size, offset, folder, _, _, attributes = struct.unpack_from(
                "<IIHHHH", data, at)
            name, at = c_string(data, at + 16)
            encoding = "utf-8" if attributes & 0x80 else "latin-1"
            self.files.append((name.decode(encoding, "replace"), size, offset,
                               folder))

    def compression_name(self, folder):
        kind = self.folders[folder][2] & 0xF
        return CABINET_COMPRESSION.get(kind, f"unknown type {kind}")

    def file_bytes(self, index):
        """The bytes of file `index`, from a folder stored or compressed
        with MSZIP; raises ValueError when the cabinet cannot give them."""
        name, size, offset, folder = self.files[index]
        if folder >= len(self.folders):
            where = CABINET_FOLDER_CONTINUED.get(
                folder, "in a folder that the cabinet lacks")
            raise ValueError(f"{name} is {where}")
        at, blocks, compression = self.folders[folder]
        compression &= 0xF
        if compression not in (0, 1):
            raise ValueError(f"{self.compression_name(folder)} compression "
                             "is not read here")
        out = bytearray()
        for _ in range(blocks):
            if len(out) >= offset + size:
                break
            if at + 8 > len(self.data):
                raise ValueError("the data blocks are cut short")
            stored, expanded = struct.unpack_from("<HH", self.data, at + 4)
            at += 8 + self.data_reserve
            block = self.data[at:at + stored]
            at += stored
            if len(block) != stored:
                raise ValueError("the data blocks are cut short")
            if compression == 0:
                out += block
                continue
            # Each MSZIP block is a deflate stream that may refer back into
            # the previous blocks' output.
            if block[:2] != b"CK":
                raise ValueError("an MSZIP block lacks its signature")
            try:
                inflate = zlib.decompressobj(-15, zdict=bytes(out[-32768:]))
                piece = inflate.decompress(block[2:], expanded)
            except zlib.error as error:
                raise ValueError(f"damaged MSZIP data ({error})") from None
            if len(piece) != expanded:
                raise ValueError("an MSZIP block expands to the wrong size")
            out += piece
        if len(out) < offset + size:
            raise ValueError("the folder holds less than its files")
        return bytes(out[offset:offset + size])


SEVEN_ZIP_SIGNATURE = b"7z\xbc\xaf\x27\x1c"
SEVEN_ZIP_START_HEADER = 32
CRC_BLOCK = 1 << 20


# What one MSZIP data block holds at most, uncompressed (MS-CAB).
CABINET_BLOCK = 32768
# _A_ARCH: the attribute a cabinet tool gives a file it stores.
CABINET_ARCHIVE_ATTRIBUTE = 0x20


def cabinet_checksum(data, seed=0):
    """The checksum of MS-CAB's CFDATA: the data's little-endian 32-bit
    words XORed into `seed`, then its last one to three bytes, the first of
    them highest."""
    whole = len(data) - len(data) % 4
    words = whole // 4
    value = int.from_bytes(data[:whole], "little")
    folded = seed
    # XOR of all words, by halving the number: a few big-integer steps
    # instead of a step a word.
    while words > 1:
        if words % 2:
            words -= 1
            folded ^= value >> (32 * words)
            value &= (1 << (32 * words)) - 1
        half = words // 2
        value = (value & ((1 << (32 * half)) - 1)) ^ (value >> (32 * half))
        words = half
    folded ^= value
    tail = 0
    for byte in data[whole:]:
        tail = (tail << 8) | byte
    return (folded ^ tail) & 0xFFFFFFFF


def dos_date_time(seconds):
    """A time as a cabinet stores it: DOS date and time, of the UTC time,
    so that the bytes do not depend on the packing machine's time zone."""
    t = time.gmtime(seconds)
    date = ((t.tm_year - 1980) << 9) | (t.tm_mon << 5) | t.tm_mday
    clock = (t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec // 2)
    return date, clock


def write_cabinet(source, destination, name, seconds):
    """Writes to `destination` a cabinet of one folder compressed with
    MSZIP that holds `source` as `name`, stored with the time `seconds` and
    the archive attribute. Every block is compressed on its own, without
    the previous block as a dictionary, which every MSZIP reader expands;
    the same input gives the same bytes. The file is read and written in
    blocks, never whole."""
    size = os.path.getsize(source)
    encoded = name.encode("ascii") + b"\0"
    files_at = 36 + 8
    data_at = files_at + 16 + len(encoded)
    date, clock = dos_date_time(seconds)
    blocks = 0
    with open(source, "rb") as f, open(destination, "wb") as out:
        out.write(bytes(data_at))
        remaining = size
        while remaining > 0:
            chunk = f.read(min(CABINET_BLOCK, remaining))
            if not chunk:
                raise ValueError(f"{source!r} ended while it was compressed")
            remaining -= len(chunk)
            compressor = zlib.compressobj(9, zlib.DEFLATED, -15, 9)
            block = b"CK" + compressor.compress(chunk) + compressor.flush()
            sizes = struct.pack("<HH", len(block), len(chunk))
            out.write(struct.pack(
                "<I", cabinet_checksum(sizes, cabinet_checksum(block))))
            out.write(sizes)
            out.write(block)
            blocks += 1
        if blocks > 0xFFFF:
            raise ValueError("the file is too large for one cabinet folder")
        total = out.tell()
        out.seek(0)
        out.write(b"MSCF" + struct.pack("<IIIII", 0, total, 0, files_at, 0))
        out.write(struct.pack("<BBHHHHH", 3, 1, 1, 1, 0, 0, 0))
        out.write(struct.pack("<IHH", data_at, blocks, 1))
        out.write(struct.pack("<IIHHHH", size, 0, 0, date, clock,
                              CABINET_ARCHIVE_ATTRIBUTE) + encoded)


def seven_zip_problem(read_at, size, name=""):
    """What keeps a 7z archive from being read whole, as far as its own
    headers tell, or None. `read_at(offset, count)` gives the archive's
    bytes, `size` is how many it has, `name` its file name if it has one.

    The start header (signature, format version, its own CRC, and where
    the next header lies, how long it is and its CRC) says where the
    archive ends, so a cut-short archive or the first volume of a split one
    shows without reading the data between."""
    start = bytes(read_at(0, SEVEN_ZIP_START_HEADER))
    if start[:6] != SEVEN_ZIP_SIGNATURE:
        return ("it is not a 7z archive (no signature 37 7A BC AF 27 1C); "
                "make one with '7z a product.7z FILES...'")
    if len(start) < SEVEN_ZIP_START_HEADER:
        return (f"it is cut short inside its start header ({size} bytes); "
                "pack the whole archive")
    if start[6] != 0:
        return (f"its format version {start[6]}.{start[7]} is not one that "
                "7z reads (0.x); make it with 7z")
    if zlib.crc32(start[12:32]) != u32(start, 8):
        return ("its start header is damaged (its CRC does not match); "
                "make the archive again")
    offset, length, crc = struct.unpack_from("<QQI", start, 12)
    end = SEVEN_ZIP_START_HEADER + offset + length
    if end > size:
        if name[-3:].isdigit() and name[-4:-3] == ".":
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
