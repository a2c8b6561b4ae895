#!/usr/bin/env python3
"""A seeded mutation fuzzer for every reader of outside data in the release
tools: PE images and their resources (the installer's payload search
among them), manifests and the start policy, cabinets (the file that runs
expanded as the inspector expands it), 7z headers, version records and
icon files. Each run mutates seeds that real tools made, with byte flips
(bit flips, interesting numbers, cuts, repeats) or, one run in four, with
changes to their structure that flips rarely reach (resource tables that
share or overflow, names of 65,535 units, manifests about the size limit
and far beyond, cabinet files far into their folder, blocks that say they
hold nothing, files as large as the inspector expands), and holds every
reader to its contract: only its documented errors escape, each call ends
within a second, and it takes no more memory than the tools promise
(100 MiB beyond what the fuzzer holds before its first run). A finding
keeps its input below FINDINGS and fails the run.

    reader_fuzz.py RUNS FINDINGS SEED...

The seeds are files: PE images, cabinets, 7z archives and icons, told
apart by their first bytes; manifests and version records are taken from
the images' resources, and a cabinet of many files in one folder, the
last far into it, is made here."""
import os
import random
import resource
import struct
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import (  # noqa: E402
    cabinet, icon_file, item_content, payload_search, pe_image, seven_zip,
    start_policy, version_record)

# What a reader may raise for a file it cannot read: ValueError (which most
# of the readers' own errors extend), struct.error, and NotPeImage.
DOCUMENTED = (ValueError, struct.error, pe_image.NotPeImage)
INTERESTING = (0, 1, 0x7F, 0x80, 0xFF, 0x7FFF, 0x8000, 0xFFFF, 0x7FFFFFFF,
               0x80000000, 0xFFFFFFFF)
TIME_LIMIT = 1.0
# What the inspector promises to take at most, resident; here as address
# space, which no reader's allocation can pass unseen.
MEMORY_BUDGET = 100 << 20


def read_pe(data):
    image = pe_image.PeImage(data)
    pe_image.read_resources(image)
    pe_image.describe_machine(image)
    payload_search.search_payload(pe_image.ResourceDirectory(image))
    manifest = start_policy.program_manifest(pe_image.ResourceDirectory(image))
    start_policy.refusal_to_start(image, manifest)


class Sink:
    """Takes an expanded file's bytes and keeps only their count."""

    def __init__(self):
        self.size = 0

    def write(self, data):
        self.size += len(data)


def read_cabinet(data):
    """The cabinet as the inspector reads it: its header and files, and the
    file that runs (the last) expanded within the inspector's bounds."""
    parsed = cabinet.Cabinet(data)
    if not parsed.files:
        return
    index = len(parsed.files) - 1
    if parsed.files[index][3] in cabinet.CABINET_FOLDER_CONTINUED:
        return
    limit = max(item_content.EXPAND_LIMIT,
                item_content.EXPANSION_RATIO * len(data))
    if parsed.expansion_problem(index, limit) is None:
        out = Sink()
        parsed.expand(index, out, limit)
        if out.size != parsed.files[index][1]:
            raise AssertionError("the expanded file is not the size it "
                                 "says")


def read_seven_zip(data):
    seven_zip.seven_zip_problem(seven_zip.buffer_reader(data), len(data),
                                "fuzzed.7z")


def read_manifest(data):
    manifest = start_policy.Manifest(data)
    start_policy.describe_execution_level(manifest)
    try:
        start_policy.requested_privileges(manifest)
    except start_policy.ManifestError:
        pass
    start_policy.identity_architecture_mismatch(manifest, 0x8664)
    start_policy.missing_dependencies(manifest)


def read_icon(data):
    with tempfile.NamedTemporaryFile(suffix=".ico", delete=False) as f:
        f.write(data)
    try:
        icon_file.read_icon_file(f.name)
    finally:
        os.remove(f.name)


READERS = {"pe": read_pe, "cabinet": read_cabinet, "seven_zip": read_seven_zip,
           "manifest": read_manifest,
           "version_record": version_record.read_version_record,
           "icon": read_icon}


def cabinet_of(blocks, files):
    """A cabinet of one MSZIP folder of `blocks` (stored bytes, expanded
    size) holding `files` (name, size, offset in the folder)."""
    records = b"".join(struct.pack("<IIHHHH", size, offset, 0, 0, 0, 0x20) +
                       name.encode("ascii") + b"\0"
                       for name, size, offset in files)
    files_at = 36 + 8
    data_at = files_at + len(records)
    body = b"".join(struct.pack("<IHH", 0, len(stored), expanded) + stored
                    for stored, expanded in blocks)
    return (b"MSCF" + struct.pack("<IIIII", 0, data_at + len(body), 0,
                                  files_at, 0) +
            struct.pack("<BBHHHHH", 3, 1, 1, len(files), 0, 0, 0) +
            struct.pack("<IHH", data_at, len(blocks), 1) + records + body)


def made_cabinets():
    """Cabinets that no tool makes but a hostile installer may carry: 200
    files in one folder of 65,535 blocks of zeros (3.9 MB), the last, which
    runs, 2 GB into it; and a block whose deflate data runs on for 64 MiB
    where its header says 32 KiB."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    zeros = b"CK" + compressor.compress(bytes(32768)) + compressor.flush()
    step = 65535 * 32768 // 200
    far = cabinet_of([(zeros, 32768)] * 65535,
                     [(f"file{i:03}.bin", 32768, min(i * step, 65534 * 32768))
                      for i in range(200)])
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    endless = (b"CK" + compressor.compress(bytes(64 << 20)))[:65535]
    bomb = cabinet_of([(endless, 32768)], [("setup.exe", 32768, 0)])
    return [far, bomb]


def seeds_of(paths):
    seeds = {name: [] for name in READERS}
    seeds["cabinet"] += made_cabinets()
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        if data[:2] == b"MZ":
            seeds["pe"].append(data)
            image = pe_image.PeImage(data)
            for found in pe_image.read_resources(image):
                blob = bytes(found.data)
                if found.type == 24:
                    seeds["manifest"].append(blob)
                elif found.type == 16:
                    seeds["version_record"].append(blob)
                elif blob[:4] == cabinet.CABINET_SIGNATURE:
                    seeds["cabinet"].append(blob)
                elif blob[:6] == seven_zip.SEVEN_ZIP_SIGNATURE:
                    seeds["seven_zip"].append(blob)
        elif data[:4] == cabinet.CABINET_SIGNATURE:
            seeds["cabinet"].append(data)
        elif data[:6] == seven_zip.SEVEN_ZIP_SIGNATURE:
            seeds["seven_zip"].append(data)
        elif data[:4] == b"\0\0\1\0":
            seeds["icon"].append(data)
    return seeds


def mutate(data, rng):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        if not data:
            data = bytearray(rng.randbytes(rng.randint(1, 64)))
        kind = rng.randrange(6)
        at = rng.randrange(len(data))
        if kind == 0:
            data[at] ^= 1 << rng.randrange(8)
        elif kind == 1:
            data[at] = rng.choice((0, 0xFF, rng.randrange(256)))
        elif kind == 2 and at + 4 <= len(data):
            struct.pack_into("<I", data, at, rng.choice(INTERESTING))
        elif kind == 3 and at + 2 <= len(data):
            struct.pack_into("<H", data, at, rng.choice(INTERESTING) & 0xFFFF)
        elif kind == 4:
            del data[at:]
        else:
            piece = data[at:at + rng.randint(1, 256)]
            data[at:at] = piece
    return bytes(data)


def resource_tables(data):
    """(file offset of the resource section, every table's offset in it,
    every entry's offset in it) of a PE image, or None."""
    try:
        image = pe_image.PeImage(bytes(data))
        directory = pe_image.ResourceDirectory(image)
    except DOCUMENTED:
        return None
    if not directory.section:
        return None
    start = image.offset_of(image.directory(pe_image.RESOURCE_DIRECTORY)[0])[0]
    tables, entries, pending = [], [], [0]
    while pending and len(tables) < 256:
        table = pending.pop()
        if table in tables:
            continue
        tables.append(table)
        found, _ = directory.entries(table, 256)
        for index, (_, target) in enumerate(found):
            entries.append(table + 16 + 8 * index)
            if target & 0x80000000:
                pending.append(target & 0x7FFFFFFF)
    return start, tables, entries, len(directory.section)


def mutate_directory(data, rng):
    """A resource directory changed as hostile installers change it: a
    table reached from two entries, a table that claims more entries than
    any image has, names of up to 65,535 units, data that claims to be
    larger than the file."""
    found = resource_tables(data)
    if found is None:
        return mutate(data, rng)
    start, tables, entries, size = found
    data = bytearray(data)
    kind = rng.randrange(4)
    if kind == 0:
        at = start + rng.choice(entries)
        struct.pack_into("<I", data, at + 4,
                         rng.choice(tables) | 0x80000000)
    elif kind == 1:
        at = start + rng.choice(tables)
        struct.pack_into("<H", data, at + rng.choice((12, 14)),
                         rng.choice((4097, 5000, 65535)))
    elif kind == 2:
        # A table of up to 4000 named entries, each naming its own offset
        # in a run of 0xFF bytes: names of 65,535 units, or as many as the
        # section holds from there.
        table = rng.choice(tables)
        count = max(0, min(4000, (size - table - 16) // 8 - 64))
        names = table + 16 + 8 * count
        if count and names + 2 * count + 2 <= size:
            struct.pack_into("<HH", data, start + table + 12, count, 0)
            for index in range(count):
                struct.pack_into("<II", data, start + table + 16 + 8 * index,
                                 0x80000000 | (names + 2 * index),
                                 0x80000000 | table)
            data[start + names:start + size] = b"\xff" * (size - names)
    else:
        leaves = [e for e in entries if not struct.unpack_from(
            "<I", data, start + e + 4)[0] & 0x80000000]
        if leaves:
            leaf = struct.unpack_from("<I", data, start +
                                      rng.choice(leaves) + 4)[0]
            if leaf + 8 <= size:
                struct.pack_into("<I", data, start + leaf + 4,
                                 rng.choice(((1 << 20) + 1, 12 << 20,
                                             0xFFFFFFFF)))
    return bytes(data)


def cabinet_places(data):
    """(offsets of the file records, offsets of the first folder's block
    headers) of a cabinet, or None."""
    try:
        parsed = cabinet.Cabinet(data)
        blocks = [at - 8 - parsed.data_reserve
                  for at, _, _ in parsed.blocks(0)] if parsed.folders else []
    except DOCUMENTED:
        return None
    records, at = [], struct.unpack_from("<I", data, 16)[0]
    for _ in parsed.files:
        records.append(at)
        at = data.index(b"\0", at + 16) + 1
    return records, blocks


def mutate_cabinet(data, rng):
    """A cabinet changed as hostile installers change it: a file far into
    its folder, a block that says it holds nothing, a file as large as the
    inspector expands or larger."""
    found = cabinet_places(data)
    if found is None or not found[0]:
        return mutate(data, rng)
    records, blocks = found
    data = bytearray(data)
    record = rng.choice(records)
    kind = rng.randrange(3)
    if kind == 0:
        far = max(len(blocks) - 1, 0) * 32768
        struct.pack_into("<I", data, record + 4,
                         rng.choice((far, rng.randrange(far + 1),
                                     0x7FFF0000, 0xFFFFFF00)))
    elif kind == 1 and blocks:
        struct.pack_into("<H", data, rng.choice(blocks) + 6, 0)
    else:
        struct.pack_into("<I", data, record,
                         rng.choice((0, 128 << 20, (128 << 20) + 1,
                                     0xFFFFFFFF)))
    return bytes(data)


def grown(data, size):
    """The manifest grown to `size` bytes by elements that each cost the
    parser, or None."""
    end = data.rfind(b"</")
    if end < 0:
        return None
    element = b'<file name="setup.dll"/>'
    count, spaces = divmod(max(0, size - len(data)), len(element))
    return b"".join((data[:end], element * count, b" " * spaces,
                     data[end:]))


# The manifest seeds grown about the size limit and far beyond it, made
# before the memory limit is set: a reader's memory is measured, not the
# fuzzer's.
GROWN = {}


def grow_manifests(seeds):
    for seed in seeds:
        GROWN[seed] = [m for m in (grown(seed, size) for size in (
            start_policy.MANIFEST_LIMIT, start_policy.MANIFEST_LIMIT + 1,
            12 << 20)) if m is not None]


def mutate_manifest(data, rng):
    """A manifest about the size limit, or far beyond it."""
    if not GROWN.get(data):
        return mutate(data, rng)
    return rng.choice(GROWN[data])


STRUCTURED = {"pe": mutate_directory, "cabinet": mutate_cabinet,
              "manifest": mutate_manifest}


def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main():
    runs, findings = int(sys.argv[1]), sys.argv[2]
    seeds = seeds_of(sys.argv[3:])
    grow_manifests(seeds["manifest"])
    limit = address_space() + MEMORY_BUDGET
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    rng = random.Random(20261210)
    failures = 0
    for name, reader in READERS.items():
        if not seeds[name]:
            print(f"{name:16} no seed")
            failures += 1
            continue
        started = time.monotonic()
        found = 0
        for run in range(runs):
            seed = rng.choice(seeds[name])
            if name in STRUCTURED and rng.randrange(4) == 0:
                data = STRUCTURED[name](seed, rng)
            else:
                data = mutate(seed, rng)
            began = time.monotonic()
            problem = None
            try:
                reader(data)
            except DOCUMENTED:
                pass
            except MemoryError:
                # Said without a word of the error: until this clause ends,
                # its traceback keeps the reader's memory.
                problem = "MemoryError: more memory than the tools promise"
            except Exception as error:  # noqa: BLE001  (a finding)
                problem = f"{type(error).__name__}: {error}"
            if problem is None and time.monotonic() - began > TIME_LIMIT:
                problem = "took more than a second"
            if problem is not None:
                found += 1
                failures += 1
                os.makedirs(findings, exist_ok=True)
                path = os.path.join(findings, f"{name}-{run}.bin")
                with open(path, "wb") as f:
                    f.write(data)
                print(f"{name}: {problem} (input kept in {path})")
        print(f"{name:16} {runs} runs, {len(seeds[name])} seeds, "
              f"{time.monotonic() - started:.1f} s, "
              f"{'ok' if not found else f'{found} FINDINGS'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
