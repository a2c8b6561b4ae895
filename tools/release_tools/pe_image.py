"""PE images as the loader sees them, read bounded: headers, sections,
data directories and the resource directory. Every reader takes a
bytes-like object (bytes, or a read-only mmap of a file of any size, sliced
through memoryviews so that nothing is copied) and works on what it holds:
a cut-short or damaged file gives fewer facts or a ValueError, never a read
past its end."""

import struct

from .start_policy import (
    IMAGE_FILE_DLL, IMAGE_FILE_EXECUTABLE_IMAGE, STARTABLE_MACHINES,
    STARTABLE_SUBSYSTEMS, SUBSYSTEMS)


RESOURCE_DIRECTORY = 2


SECURITY_DIRECTORY = 4


MACHINES = {0x8664: "x86-64", 0x14C: "x86", 0xAA64: "ARM64"}


CLR_DIRECTORY = 14


COMIMAGE_FLAGS_ILONLY = 0x1


COMIMAGE_FLAGS_32BITREQUIRED = 0x2


COMIMAGE_FLAGS_32BITPREFERRED = 0x20000


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


# Bounds on the resource directory, well above what any image carries:
# entries in one table (as pefile bounds them), and entries in all.
MAX_TABLE_ENTRIES = 4096
MAX_DIRECTORY_ENTRIES = 65536


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
    visited = [0]
    names = {}

    def entries(at):
        if at in seen or at + 16 > len(section):
            return []
        seen.add(at)
        count = u16(section, at + 12) + u16(section, at + 14)
        # Tables that overlap or share their entries could otherwise make a
        # small file cost billions of steps.
        if count > MAX_TABLE_ENTRIES:
            raise ValueError(f"a resource table claims {count} entries")
        visited[0] += count
        if visited[0] > MAX_DIRECTORY_ENTRIES:
            raise ValueError("the resource directory has more entries than "
                             "any image carries (its tables overlap?)")
        found = []
        for i in range(count):
            entry = at + 16 + 8 * i
            if entry + 8 > len(section):
                break
            name, target = struct.unpack_from("<II", section, entry)
            if name not in names:
                names[name] = resource_key(section, name)
            found.append((names[name], target))
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


def describe_machine(image):
    """The image's machine, and for a .NET image how it runs."""
    text = machine_name(image.machine)
    if image.clr_flags() is not None:
        width = "64-bit" if image.runs_as() == 0x8664 else "32-bit"
        text += f" (.NET, runs as a {width} process on x86-64 Windows)"
    return text
