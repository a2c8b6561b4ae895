"""MSCF cabinets (MS-CAB): read as far as their headers and MSZIP data
allow, and written with one MSZIP folder holding one file."""

import io
import os
import struct
import time
import zlib

from .pe_image import u32


CABINET_SIGNATURE = b"MSCF"


CABINET_COMPRESSION = {0: "none", 1: "MSZIP", 2: "Quantum", 3: "LZX"}


CABINET_FOLDER_CONTINUED = {0xFFFD: "continued from a previous cabinet",
                            0xFFFE: "continued in a next cabinet",
                            0xFFFF: "continued both ways"}


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

    def blocks(self, folder):
        """(offset of its data, stored size, expanded size) of each data
        block of `folder`, in turn, read from the blocks' own headers
        without expanding anything; raises ValueError when they are cut
        short or a block claims more than the 32 KiB a block may hold."""
        at, count, _ = self.folders[folder]
        for _ in range(count):
            if at + 8 > len(self.data):
                raise ValueError("the data blocks are cut short")
            stored, expanded = struct.unpack_from("<HH", self.data, at + 4)
            if expanded > CABINET_BLOCK:
                raise ValueError("a data block claims more than the 32 KiB "
                                 "a block may hold")
            at += 8 + self.data_reserve
            if at + stored > len(self.data):
                raise ValueError("the data blocks are cut short")
            yield at, stored, expanded
            at += stored

    def expansion_problem(self, index, limit):
        """Why file `index` is not expanded here, or None: its folder's
        compression is not read here, or reaching its end takes inflating
        more than `limit` bytes (every block before it). Raises ValueError
        when the cabinet cannot hold it: its folder is missing, or its
        blocks end before it does. Nothing is inflated to tell."""
        name, size, offset, folder = self.files[index]
        if folder >= len(self.folders):
            where = CABINET_FOLDER_CONTINUED.get(
                folder, "in a folder that the cabinet lacks")
            raise ValueError(f"{name} is {where}")
        compression = self.folders[folder][2] & 0xF
        if compression not in (0, 1):
            return (f"{self.compression_name(folder)} compression is not "
                    "read here")
        if size == 0:
            return None  # the empty file it says it is
        end = offset + size
        held = 0
        for _, _, expanded in self.blocks(folder):
            held += expanded
            if held >= end:
                break
        if held < end:
            raise ValueError(f"{name} lies beyond what its folder holds")
        if end > limit:
            return (f"{name} lies {offset} bytes into its folder, and "
                    f"reaching its end takes expanding {end} bytes, more "
                    f"than the {limit} expanded here")
        return None

    def expand(self, index, out, limit):
        """Writes the bytes of file `index` to the file object `out`, block
        by block, keeping only the window that the next block may refer back
        into: never the whole file. Raises ValueError when the cabinet
        cannot give them (expansion_problem says why before any inflating,
        and damaged data says why while inflating)."""
        problem = self.expansion_problem(index, limit)
        if problem:
            raise ValueError(f"not expanded here: {problem}")
        name, size, offset, folder = self.files[index]
        if size == 0:
            return  # the empty file it says it is
        compression = self.folders[folder][2] & 0xF
        end = offset + size
        window = b""
        expanded_so_far = 0
        for at, stored, expanded in self.blocks(folder):
            if expanded_so_far >= end:
                break
            block = self.data[at:at + stored]
            if compression == 0:
                piece = bytes(block)
            elif expanded == 0:
                piece = b""  # a block that says it holds nothing
            else:
                # Each MSZIP block is a deflate stream that may refer back
                # into the previous blocks' output, and never expands past
                # what its header says.
                if block[:2] != b"CK":
                    raise ValueError("an MSZIP block lacks its signature")
                try:
                    inflate = zlib.decompressobj(-15, zdict=window)
                    piece = inflate.decompress(bytes(block[2:]), expanded)
                except zlib.error as error:
                    raise ValueError(f"damaged MSZIP data ({error})") from None
                if inflate.unconsumed_tail:
                    raise ValueError("a data block expands to more than its "
                                     "header says")
            if len(piece) != expanded:
                raise ValueError("a data block expands to another size than "
                                 "its header says")
            window = (window + piece)[-CABINET_BLOCK:]
            start = max(offset - expanded_so_far, 0)
            stop = min(end - expanded_so_far, len(piece))
            if start < stop:
                out.write(piece[start:stop])
            expanded_so_far += len(piece)

    def file_bytes(self, index, limit=1 << 31):
        """The bytes of file `index`, held in memory: for small files."""
        out = io.BytesIO()
        self.expand(index, out, limit)
        return out.getvalue()


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
