"""The installer image written: the stub's image with its resource section
laid out anew, the payload streamed into it through one buffer, and the
image checksum taken as the bytes go out."""

import os
import struct

from .pe_image import PeImage, read_resources, u16, u32


class LayoutError(Exception):
    """An image whose sections cannot be laid out as asked; the message says
    why."""


PE_IMPORT_DIRECTORY = 1


PE_RESOURCE_DIRECTORY = 2


PE_SECURITY_DIRECTORY = 4


PE_RELOCATION_DIRECTORY = 5


IMAGE_SCN_MEM_WRITE = 0x80000000


PAGE_SIZE = 4096


CHECKSUM_PIECE = 64 * 1024


class PeChecksum:
    """The image checksum of the bytes given to `update`, in order: the
    one's-complement sum of the file's 16-bit words (its own field written
    as zero), plus the file's length.

    Such a sum is the bytes' value in base 65536 taken modulo 0xFFFF (an odd
    last byte counts as a word of its own), which Python computes block by
    block far faster than a loop over the words. It is 0 only for a file of
    zeros, which no image is."""

    def __init__(self):
        self.total = 0
        self.length = 0
        self.carry = b""

    def update(self, block):
        self.length += len(block)
        if self.carry:
            block = self.carry + bytes(block)
        if len(block) % 2:
            self.carry = bytes(block[-1:])
            block = memoryview(block)[:-1]
        else:
            self.carry = b""
        # In pieces below the size at which the C library maps every
        # allocation afresh (and the kernel zeroes its pages): integers of
        # that size come from memory the process already has. Measured at
        # 0.94 s a GB, against 1.31 for pieces of a megabyte.
        view = memoryview(block)
        total = 0
        for at in range(0, len(view), CHECKSUM_PIECE):
            total += int.from_bytes(view[at:at + CHECKSUM_PIECE], "little")
        self.total = (self.total + total) % 0xFFFF

    def value(self):
        total = (self.total + int.from_bytes(self.carry, "little")) % 0xFFFF
        return ((total or 0xFFFF) + self.length) & 0xFFFFFFFF


def align(value, alignment):
    return -(-value // alignment) * alignment


def resource_order(key):
    """Named entries first, by their UTF-16 units, then numbered ones, as
    the loader's binary search expects them."""
    if isinstance(key, str):
        return (0, key.encode("utf-16-be"), 0)
    return (1, b"", key)


def resource_directory(items, section_rva):
    """The resource directory of `items` (type, name, language, codepage,
    size), laid out from the start of a section at `section_rva`: the
    directory tables level by level, then the names, then the data entries,
    then each item's data on an 8-byte boundary. Returns the directory's
    bytes and each item's offset in the section, in the order given."""
    tree = {}
    for index, (type_key, name, language, _, _) in enumerate(items):
        tree.setdefault(type_key, {}).setdefault(name, {})[language] = index
    tables = []  # (key list, children) in the order laid out
    strings = {}

    def table_size(children):
        return 16 + 8 * len(children)

    # Breadth first: the root, every type's table, every name's table.
    root = sorted(tree, key=resource_order)
    levels = [[("root", root)],
              [((t,), sorted(tree[t], key=resource_order)) for t in root],
              [((t, n), sorted(tree[t][n])) for t in root
               for n in sorted(tree[t], key=resource_order)]]
    offsets = {}
    at = 0
    for level in levels:
        for path, children in level:
            offsets[path] = at
            at += table_size(children)
            tables.append((path, children))
    for path, children in tables:
        for key in children:
            if isinstance(key, str) and key not in strings:
                strings[key] = at
                at += 2 + 2 * len(key)
    at = align(at, 4)
    leaves = {}
    for t in root:
        for n in sorted(tree[t], key=resource_order):
            for language in sorted(tree[t][n]):
                leaves[tree[t][n][language]] = at
                at += 16
    data_offsets = []
    for item in items:
        at = align(at, 8)
        data_offsets.append(at)
        at += item[4]
    directory = bytearray(min(data_offsets, default=at))
    for path, children in tables:
        table = offsets[path]
        named = sum(isinstance(key, str) for key in children)
        struct.pack_into("<IIHHHH", directory, table, 0, 0, 0, 0, named,
                         len(children) - named)
        for i, key in enumerate(children):
            name = (strings[key] | 0x80000000 if isinstance(key, str)
                    else key)
            if path == "root":
                target = offsets[(key,)] | 0x80000000
            elif len(path) == 1:
                target = offsets[path + (key,)] | 0x80000000
            else:
                target = leaves[tree[path[0]][path[1]][key]]
            struct.pack_into("<II", directory, table + 16 + 8 * i, name,
                             target)
    for key, at in strings.items():
        encoded = key.encode("utf-16-le")
        struct.pack_into("<H", directory, at, len(key))
        directory[at + 2:at + 2 + len(encoded)] = encoded
    for index, at in leaves.items():
        struct.pack_into("<IIII", directory, at,
                         section_rva + data_offsets[index], items[index][4],
                         items[index][3], 0)
    return bytes(directory), data_offsets


COPY_BLOCK = 8 << 20


def lay_out_sections(path, page_aligned, payload=(), own=(), drop=()):
    """Rebuilds the linked image at `path` with the payload in its resource
    section, makes the resource and import sections read-only and, when
    `page_aligned`, starts the resource section on a page boundary of the
    file.

    The payload never passes through the resource compiler or the linker,
    which hold a whole resource in memory (the linker twice): the linked
    image carries only the stub's own resources, and its resource section is
    written here anew, the directory from the linked one's entries and the
    payload items (type, name, file), each file's bytes copied through a
    fixed buffer. Only the base relocations, which nothing addresses by
    position, may follow the resource section; they move behind it. The
    `own` items (type, name, bytes) join the image's own resources where a
    resource compiler would have put them, so that an image linked with
    them and one given them here are laid out alike; each replaces the
    image's resource of the same type and name, and the `drop` ones (type,
    name) go.

    The linker marks the import section writable because the loader fills
    its address table; the loader makes that table writable for as long as
    it fills it (as it must for images that keep it among their constants),
    and read-only the table can no longer be overwritten to redirect the
    stub's calls.

    With the resource section on a page boundary, a loader can map the
    payload straight from the file instead of reading it into private
    memory (Wine reads every section whose file offset is not
    page-aligned), and no copy-on-write commit is charged for it. The bare
    stub, which carries no payload, keeps its tight layout."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    image = PeImage(bytes(data))
    headers = Headers(data)
    if image.directory(PE_SECURITY_DIRECTORY)[1]:
        raise LayoutError("the image is already signed; its layout cannot "
                          "change")
    resource, imports, after = sections_to_lay_out(headers)
    items = resource_items(image, payload, own, drop)
    sizes = [len(source) if isinstance(source, bytes)
             else os.path.getsize(source) for *_, source in items]
    directory, data_offsets = resource_directory(
        [item[:4] + (size,) for item, size in zip(items, sizes)],
        resource.VirtualAddress)
    resource_size = (data_offsets[-1] + sizes[-1] if items
                     else len(directory))
    if resource.VirtualAddress + resource_size > 0xFFFFFFFF - (64 << 20):
        raise LayoutError("the payload makes the image larger than a PE "
                          "image can be")
    old_start = resource.PointerToRawData
    tail = grow_resource_section(headers, resource, after, resource_size,
                                 page_aligned)
    for header in (resource, imports):
        header.Characteristics &= ~IMAGE_SCN_MEM_WRITE
    headers.CheckSum = 0
    write_image(path, data, old_start, resource, directory,
                zip(items, data_offsets, sizes), tail, headers)


class Field:
    """A 32-bit field of a header in the image's bytes, at its offset from
    the header's start."""

    def __init__(self, offset):
        self.offset = offset

    def __get__(self, header, owner=None):
        return u32(header.data, header.at + self.offset)

    def __set__(self, header, value):
        struct.pack_into("<I", header.data, header.at + self.offset,
                         value & 0xFFFFFFFF)


class SectionHeader:
    """One entry of the section table, its fields named as pefile names
    them."""

    Misc_VirtualSize = Field(8)
    VirtualAddress = Field(12)
    SizeOfRawData = Field(16)
    PointerToRawData = Field(20)
    Characteristics = Field(36)

    def __init__(self, data, at):
        self.data = data
        self.at = at

    def extent(self):
        """How far the section reaches in memory from its address."""
        return max(self.Misc_VirtualSize, self.SizeOfRawData)

    def holds(self, rva):
        return 0 <= rva - self.VirtualAddress < self.extent()


class DataDirectory:
    """One entry of the optional header's data directories."""

    VirtualAddress = Field(0)
    Size = Field(4)

    def __init__(self, data, at):
        self.data = data
        self.at = at


class Headers:
    """The PE32+ optional header's fields that a layout changes, its data
    directories and its section table, over the image's bytes, named as
    pefile names them."""

    SizeOfInitializedData = Field(8)
    SectionAlignment = Field(32)
    FileAlignment = Field(36)
    SizeOfImage = Field(56)
    CheckSum = Field(64)

    def __init__(self, data):
        self.data = data
        pe = u32(data, 60)
        self.at = pe + 24  # the optional header
        table = self.at + u16(data, pe + 20)
        self.sections = [SectionHeader(data, table + 40 * i)
                         for i in range(u16(data, pe + 6))]

    def directory(self, index):
        return DataDirectory(self.data, self.at + 112 + 8 * index)

    def checksum_offset(self):
        return self.at + 64

    def section_holding(self, rva):
        return next((h for h in self.sections if h.holds(rva)), None)


def sections_to_lay_out(headers):
    """The resource section, the import section and the sections after the
    resource section (the base relocations at most), or LayoutError when
    the linked image is not laid out so."""
    resource_rva = headers.directory(PE_RESOURCE_DIRECTORY).VirtualAddress
    resource = headers.section_holding(resource_rva)
    if resource is None or resource.VirtualAddress != resource_rva:
        raise LayoutError("the linked image has no resource section of its "
                          "own")
    imports = headers.section_holding(
        headers.directory(PE_IMPORT_DIRECTORY).VirtualAddress)
    if imports is None or imports.at == resource.at:
        raise LayoutError("the linked image has no import section of its own")
    relocations = headers.section_holding(
        headers.directory(PE_RELOCATION_DIRECTORY).VirtualAddress)
    index = [h.at for h in headers.sections].index(resource.at)
    after = headers.sections[index + 1:]
    if any(relocations is None or relocations.at != h.at for h in after):
        raise LayoutError("the linked image has sections after its resources")
    return resource, imports, after


def resource_items(image, payload, own, drop):
    """The resource section's items (type, name, language, codepage, bytes
    or file): the image's own resources with the `own` ones among them in
    the order a resource compiler sorts them, then the payload's."""
    replaced = {(resource_type, name) for resource_type, name, _ in own}
    items = [(r.type, r.name, r.language, r.codepage, bytes(r.data))
             for r in read_resources(image)
             if (r.type, r.name) not in replaced and
             (r.type, r.name) not in drop]
    items += [(resource_type, name, 1033, 0, source)
              for resource_type, name, source in own]
    items.sort(key=lambda item: (resource_order(item[0]),
                                 resource_order(item[1]), item[2]))
    items += [(resource_type, name, 1033, 0, source)
              for resource_type, name, source in payload]
    return items


def grow_resource_section(headers, resource, after, resource_size,
                          page_aligned):
    """The headers as they will be: the resource section grown to
    `resource_size` (starting on a page of the file when `page_aligned`),
    whatever follows it moved behind it, the image's size and its
    initialized data's grown. Returns (old raw offset, raw size) of each
    section that follows."""
    start = resource.PointerToRawData
    if page_aligned:
        start = align(start, PAGE_SIZE)
    raw_size = align(resource_size, headers.FileAlignment)
    growth = raw_size - resource.SizeOfRawData
    resource.Misc_VirtualSize = resource_size
    resource.SizeOfRawData = raw_size
    resource.PointerToRawData = start
    next_rva = align(resource.VirtualAddress + resource_size,
                     headers.SectionAlignment)
    next_raw = start + raw_size
    relocations = headers.directory(PE_RELOCATION_DIRECTORY)
    tail = []
    for header in after:
        tail.append((header.PointerToRawData, header.SizeOfRawData))
        relocations.VirtualAddress += next_rva - header.VirtualAddress
        header.VirtualAddress = next_rva
        header.PointerToRawData = next_raw
        next_rva = align(next_rva + header.extent(), headers.SectionAlignment)
        next_raw += header.SizeOfRawData
    headers.SizeOfImage = next_rva
    headers.SizeOfInitializedData += growth
    directory = headers.directory(PE_RESOURCE_DIRECTORY)
    directory.Size = resource_size
    return tail


def write_image(path, data, old_start, resource, directory, placed, tail,
                headers):
    """Writes the image laid out anew beside `path`, then puts it in its
    place: the headers and sections before the resource section as `data`
    holds them, the resource `directory`, each item's bytes at its offset
    (`placed`: item, offset, size; a file's copied through one buffer), and
    the sections that followed from their `tail` offsets in `data`; the
    checksum is taken as the bytes go out."""
    checksum = PeChecksum()
    buffer = bytearray(COPY_BLOCK)
    buffer_view = memoryview(buffer)
    start, raw_size = resource.PointerToRawData, resource.SizeOfRawData
    try:
        with open(path + ".layout", "wb", buffering=0) as out:
            def put(block):
                checksum.update(block)
                view = memoryview(block)
                while view:
                    view = view[out.write(view):]

            put(data[:old_start])
            put(bytes(start - old_start))
            put(directory)
            at = len(directory)
            for (*_, source), offset, size in placed:
                put(bytes(offset - at))
                if isinstance(source, bytes):
                    put(source)
                else:
                    copy_file(source, size, put, buffer, buffer_view)
                at = offset + size
            put(bytes(raw_size - at))
            for old_raw, size in tail:
                put(data[old_raw:old_raw + size])
            out.seek(headers.checksum_offset())
            out.write(checksum.value().to_bytes(4, "little"))
    except BaseException:
        # A full volume or an input that ends early leaves nothing behind.
        if os.path.exists(path + ".layout"):
            os.remove(path + ".layout")
        raise
    os.replace(path + ".layout", path)


def copy_file(source, size, put, buffer, buffer_view):
    """Gives `put` the first `size` bytes of the file `source`, through
    `buffer`."""
    with open(source, "rb", buffering=0) as f:
        copied = 0
        while copied < size:
            count = f.readinto(buffer)
            if not count:
                raise LayoutError(f"{source!r} changed while it was packed")
            count = min(count, size - copied)
            put(buffer_view[:count])
            copied += count
