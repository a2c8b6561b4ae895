"""PE images as the loader sees them, read bounded: headers, sections,
data directories and the resource directory. Every reader takes a
bytes-like object (bytes, or a read-only mmap of a file of any size, sliced
through memoryviews so that nothing is copied) and works on what it holds:
a cut-short or damaged file gives fewer facts or a ValueError, never a read
past its end."""

import struct

from .start_policy import (
    IMAGE_FILE_DLL, IMAGE_FILE_EXECUTABLE_IMAGE, IMAGE_SUBSYSTEM_NATIVE,
    STARTABLE_MACHINES, STARTABLE_SUBSYSTEMS, SUBSYSTEMS)


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
        # A driver that exports functions to other drivers is marked a DLL
        # too; its native subsystem tells it from one.
        if (self.characteristics & IMAGE_FILE_DLL and
                self.subsystem != IMAGE_SUBSYSTEM_NATIVE):
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
    def __init__(self, type_key, name_key, language, size, data, codepage=0,
                 rva=0):
        self.type = type_key    # str for a named entry, int for a numbered
        self.name = name_key
        self.language = language
        self.size = size        # as the directory states it
        self.data = data        # what the file holds of it
        self.codepage = codepage
        self.rva = rva          # where the image maps it


# What reading one resource directory may cost, well above what any image
# carries: entries read, and UTF-16 units of names decoded, over all its
# tables, however often a table is reached (the loader follows offsets,
# and a table reached from two entries is read as often). Tables that
# overlap or share their entries, and names of 65,535 units each at their
# own offset, could otherwise make a small file cost billions of steps or
# gigabytes.
MAX_ENTRIES_READ = 1 << 18
MAX_NAME_UNITS_READ = 1 << 22
# Leaves that one walk of the whole directory gives, and the units of a
# name that a listing shows.
MAX_RESOURCES = 1 << 16
SHOWN_NAME_UNITS = 300


class ResourceDirectory:
    """The resource directory read as the loader reads it: a type, a name
    and a language each looked up in their table by a binary search of its
    entries (named ones first, compared by their UTF-16 units, then
    numbered ones), a table reached twice read twice. The work is bounded
    by the entries and name units read overall; past the bounds a
    ValueError says so."""

    def __init__(self, image):
        self.image = image
        self.entries_read = 0
        self.units_read = 0
        rva, size = image.directory(RESOURCE_DIRECTORY)
        if rva == 0 or size == 0:
            self.section = b""
            return
        offset, available = image.offset_of(rva)
        self.section = (memoryview(image.data)[offset:offset + available]
                        if offset is not None else b"")
        if len(self.section) < 16:
            raise ValueError("the resource directory lies outside the file")

    def charge(self, entries=0, units=0):
        self.entries_read += entries
        self.units_read += units
        if self.entries_read > MAX_ENTRIES_READ:
            raise ValueError("the resource directory takes more reading than "
                             "any image's (its tables overlap?)")
        if self.units_read > MAX_NAME_UNITS_READ:
            raise ValueError("the resource directory's names are longer "
                             "than any image's")

    def table(self, at):
        """(named, numbered) entry counts of the table at `at`; None when
        it lies outside the section."""
        if at + 16 > len(self.section):
            return None
        return u16(self.section, at + 12), u16(self.section, at + 14)

    def entry(self, table, index):
        """(name field, target) of entry `index` of the table at `table`;
        None when it lies outside the section."""
        at = table + 16 + 8 * index
        if at + 8 > len(self.section):
            return None
        self.charge(entries=1)
        return struct.unpack_from("<II", self.section, at)

    def name_units(self, field, limit):
        """The stored length of the name that `field` points at, and at
        most `limit` of its units as UTF-16-LE bytes (fewer when the section
        ends first)."""
        at = field & 0x7FFFFFFF
        if at + 2 > len(self.section):
            return 0, b""
        length = u16(self.section, at)
        count = min(length, limit)
        raw = bytes(self.section[at + 2:at + 2 + 2 * count])
        raw = raw[:len(raw) - len(raw) % 2]  # whole units only
        self.charge(units=len(raw) // 2)
        return length, raw

    def key(self, field, limit=SHOWN_NAME_UNITS):
        """An entry's key: its number, or its name (at most `limit` units;
        a longer one is cut, which `name_length` tells)."""
        if not field & 0x80000000:
            return field & 0xFFFF
        _, raw = self.name_units(field, limit)
        return raw.decode("utf-16-le", "surrogatepass")

    def name_length(self, field):
        return self.name_units(field, 0)[0]

    def find(self, table, key, want_directory):
        """The target of `key` (a number, or a name as UTF-16-BE bytes) in
        the table at `table`, found by a binary search as the loader finds
        it; None when it is not there or is not the kind wanted (a table,
        or data)."""
        counts = self.table(table)
        if counts is None:
            return None
        named, numbered = counts
        if isinstance(key, int):
            low, high = named, named + numbered - 1
        else:
            low, high = 0, named - 1
            wanted = len(key) // 2
        while low <= high:
            middle = (low + high) // 2
            found = self.entry(table, middle)
            if found is None:
                return None
            field, target = found
            if isinstance(key, int):
                stored = field & 0xFFFF
                order = (key > stored) - (key < stored)
            else:
                # Enough of the stored name to order it against the key.
                length, raw = self.name_units(field, wanted + 1)
                stored = swap_units(raw)
                order = (key > stored) - (key < stored)
                if order == 0 and length != wanted:
                    order = -1 if wanted < length else 1
            if order == 0:
                if bool(target & 0x80000000) != want_directory:
                    return None
                return target & 0x7FFFFFFF
            if order < 0:
                high = middle - 1
            else:
                low = middle + 1
        return None

    def type_table(self, type_key):
        """The table of a type's names, or None."""
        if not self.section:
            return None
        return self.find(0, lookup_key(type_key), True)

    def entries(self, table, limit):
        """The first `limit` entries (field, target) of the table at
        `table`, in the order stored, and how many it claims."""
        counts = self.table(table)
        if counts is None:
            return [], 0
        total = counts[0] + counts[1]
        found = []
        for index in range(min(total, limit)):
            entry = self.entry(table, index)
            if entry is None:
                break
            found.append(entry)
        return found, total

    def leaf(self, type_key, name_key, language, target):
        """The Resource that a data entry at `target` describes, or None
        when the entry lies outside the section."""
        if target + 16 > len(self.section):
            return None
        data_rva, size, codepage = struct.unpack_from("<III", self.section,
                                                      target)
        return Resource(type_key, name_key, language, size,
                        self.image.read(data_rva, size), codepage, data_rva)

    def languages(self, type_key, name_key, limit=64):
        """Every language of a resource found by its type and name as the
        loader finds them (the name as the lookup is given it), as
        Resources in the order stored; empty when the lookup finds
        nothing."""
        names = self.type_table(type_key)
        if names is None:
            return []
        languages = self.find(names, lookup_key(name_key), True)
        if languages is None:
            return []
        found = []
        for field, target in self.entries(languages, limit)[0]:
            if target & 0x80000000:
                continue
            resource = self.leaf(type_key, name_key, field & 0xFFFF, target)
            if resource is not None:
                found.append(resource)
        return found

    def default_language(self, type_key, name_key):
        """The resource that a lookup without a language finds: the only
        language there is, or the neutral one; None when there is none,
        or when several languages leave the choice to the user's language
        settings (`languages` lists them)."""
        found = self.languages(type_key, name_key)
        if len(found) == 1:
            return found[0]
        neutral = [r for r in found if r.language == 0]
        return neutral[0] if len(neutral) == 1 else None


def swap_units(raw):
    """UTF-16-LE bytes as UTF-16-BE, which orders as the units do."""
    swapped = bytearray(len(raw) - len(raw) % 2)
    swapped[0::2] = raw[1::2]
    swapped[1::2] = raw[0:len(swapped):2]
    return bytes(swapped)


def lookup_key(key):
    """A number, or a name as the lookup compares it: UTF-16-BE units."""
    if isinstance(key, int):
        return key
    return key.encode("utf-16-be", "surrogatepass")


def read_resources(image):
    """Every (type, name, language) leaf of the resource directory, each
    table read as often as an entry points at it, within the directory's
    bounds and at most MAX_RESOURCES leaves."""
    directory = ResourceDirectory(image)
    if not directory.section:
        return []
    resources = []
    names = {}

    def entries(at):
        found = []
        for field, target in directory.entries(at, MAX_ENTRIES_READ)[0]:
            if field not in names:
                names[field] = directory.key(field, 0xFFFF)
            found.append((names[field], target))
        return found

    for type_key, type_target in entries(0):
        if not type_target & 0x80000000:
            continue
        for name_key, name_target in entries(type_target & 0x7FFFFFFF):
            if not name_target & 0x80000000:
                continue
            for language, leaf in entries(name_target & 0x7FFFFFFF):
                if leaf & 0x80000000 or not isinstance(language, int):
                    continue
                resource = directory.leaf(type_key, name_key, language, leaf)
                if resource is None:
                    continue
                resources.append(resource)
                if len(resources) > MAX_RESOURCES:
                    raise ValueError("the resource directory has more "
                                     "resources than any image carries")
    return resources


def find_resource(image, type_key, name_key):
    """The resource a lookup of (type, name) without a language finds, as
    the loader finds it; None when there is none or several languages leave
    the choice to the user's settings."""
    return ResourceDirectory(image).default_language(type_key, name_key)


def machine_name(machine):
    return MACHINES.get(machine, f"machine 0x{machine:04X}")


def describe_machine(image):
    """The image's machine, and for a .NET image how it runs."""
    text = machine_name(image.machine)
    if image.clr_flags() is not None:
        width = "64-bit" if image.runs_as() == 0x8664 else "32-bit"
        text += f" (.NET, runs as a {width} process on x86-64 Windows)"
    return text
