"""The file formats that the packing and inspection commands read: PE
images, their resources and manifests, and cabinets. Shared by
scripts/pack-installer and scripts/inspect-installer, which put this folder
on their module path.

Every reader takes bytes and works on what they hold: a cut-short or damaged
file gives fewer facts or a ValueError, never a read past its end.
"""
import re
import struct
import zlib

RT_MANIFEST = 24
MANIFEST_ID = 1  # the manifest that Windows reads for an executable
RESOURCE_DIRECTORY = 2
SECURITY_DIRECTORY = 4

MACHINES = {0x8664: "x86-64", 0x14C: "x86", 0xAA64: "ARM64"}

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
        """The bytes at an RVA; fewer when the file is cut short."""
        offset, available = self.offset_of(rva)
        if offset is None:
            return b""
        return self.data[offset:offset + min(size, available)]


class Resource:
    def __init__(self, type_key, name_key, language, size, data):
        self.type = type_key    # str for a named entry, int for a numbered
        self.name = name_key
        self.language = language
        self.size = size        # as the directory states it
        self.data = data        # what the file holds of it


def resource_key(section, entry_name):
    if entry_name & 0x80000000:
        at = entry_name & 0x7FFFFFFF
        length = u16(section, at)
        return section[at + 2:at + 2 + 2 * length].decode("utf-16-le",
                                                           "replace")
    return entry_name


def read_resources(image):
    """Every (type, name, language) leaf of the resource directory."""
    rva, size = image.directory(RESOURCE_DIRECTORY)
    if rva == 0 or size == 0:
        return []
    offset, available = image.offset_of(rva)
    section = (image.data[offset:offset + available] if offset is not None
               else b"")
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
                data_rva, data_size = struct.unpack_from("<II", section, leaf)
                resources.append(Resource(type_key, name_key, language,
                                          data_size,
                                          image.read(data_rva, data_size)))
    return resources


def machine_name(machine):
    return MACHINES.get(machine, f"machine 0x{machine:04X}")


def execution_level(resources):
    """What the executable's manifest asks of Windows:
    (level, uiAccess), each a text or None; None when there is no manifest
    or it names no requestedExecutionLevel. Raises ValueError when the
    manifest cannot be read as text."""
    manifests = [r for r in resources
                 if r.type == RT_MANIFEST and r.name == MANIFEST_ID]
    if not manifests:
        return None
    for encoding in ("utf-8-sig", "utf-16"):
        try:
            text = manifests[0].data.decode(encoding)
            break
        except UnicodeDecodeError:
            continue
    else:
        raise ValueError("the manifest is not UTF-8 or UTF-16 text")
    element = re.search(r"<(?:\w+:)?requestedExecutionLevel\b([^>]*)>", text)
    if not element:
        return None
    level = re.search(r"\blevel\s*=\s*[\"']([^\"']*)[\"']", element.group(1))
    ui = re.search(r"\buiAccess\s*=\s*[\"']([^\"']*)[\"']", element.group(1))
    return (level.group(1) if level else None, ui.group(1) if ui else None)


def describe_execution_level(resources):
    """The manifest's requestedExecutionLevel as the listings show it."""
    has_manifest = any(r.type == RT_MANIFEST and r.name == MANIFEST_ID
                       for r in resources)
    try:
        found = execution_level(resources)
    except ValueError:
        return "unreadable manifest"
    if found is None:
        return ("no requestedExecutionLevel" if has_manifest
                else "no manifest")
    level, ui = found
    result = (f"requestedExecutionLevel \"{level}\"" if level is not None
              else "requestedExecutionLevel without a level")
    if ui is not None:
        result += f", uiAccess \"{ui}\""
    return result


def refusal_to_start(machine, level):
    """Why Windows would refuse to start a setup program named "setup.exe"
    from a process that runs as its caller, as the installer does
    (CreateProcessW fails with ERROR_ELEVATION_REQUIRED, 740); None when it
    would start it. `level` is the manifest's requestedExecutionLevel or
    None."""
    if level == "requireAdministrator":
        return ("its manifest asks for \"requireAdministrator\", so a run "
                "that is not elevated cannot start it")
    if level == "highestAvailable":
        return ("its manifest asks for \"highestAvailable\", so an "
                "administrator's run that is not elevated cannot start it")
    if level is None and machine == 0x14C:
        return ("it is a 32-bit program named setup.exe without a "
                "requestedExecutionLevel, which Windows' installer detection "
                "runs only elevated")
    return None


def setup_program_facts(data):
    """(machine, requested execution level or None) of a setup program's
    bytes; raises NotPeImage or ValueError."""
    image = PeImage(data)
    found = execution_level(read_resources(image))
    return image.machine, (found[0] if found else None)


def c_string(data, at):
    end = data.index(b"\0", at)
    return data[at:end], end + 1


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
