#!/usr/bin/env python3
"""A seeded mutation fuzzer for every reader of outside data in the release
tools: PE images and their resources, manifests and the start policy,
cabinets (expanded too), 7z headers, version records and icon files. Each
run mutates seeds that real tools made (bit flips, interesting numbers,
cuts, repeats) and holds every reader to its contract: only its documented
errors escape, each call ends within a second, and memory stays within a
bound. A finding keeps its input below FINDINGS and fails the run.

    reader_fuzz.py RUNS FINDINGS SEED...

The seeds are files: PE images, cabinets, 7z archives and icons, told
apart by their first bytes; manifests and version records are taken from
the images' resources."""
import os
import random
import resource
import struct
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import (  # noqa: E402
    cabinet, icon_file, pe_image, seven_zip, start_policy, version_record)

# What a reader may raise for a file it cannot read: ValueError (which most
# of the readers' own errors extend), struct.error, and NotPeImage.
DOCUMENTED = (ValueError, struct.error, pe_image.NotPeImage)
INTERESTING = (0, 1, 0x7F, 0x80, 0xFF, 0x7FFF, 0x8000, 0xFFFF, 0x7FFFFFFF,
               0x80000000, 0xFFFFFFFF)
TIME_LIMIT = 1.0
MEMORY_LIMIT = 2 << 30


def read_pe(data):
    image = pe_image.PeImage(data)
    pe_image.read_resources(image)
    pe_image.describe_machine(image)
    manifest = start_policy.program_manifest(pe_image.ResourceDirectory(image))
    start_policy.refusal_to_start(image, manifest)


def read_cabinet(data):
    parsed = cabinet.Cabinet(data)
    for index in range(len(parsed.files)):
        try:
            parsed.file_bytes(index)
        except ValueError:
            pass


def read_seven_zip(data):
    seven_zip.seven_zip_problem(seven_zip.buffer_reader(data), len(data),
                                "fuzzed.7z")


def read_manifest(data):
    manifest = start_policy.Manifest(data)
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


def seeds_of(paths):
    seeds = {name: [] for name in READERS}
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


def main():
    runs, findings = int(sys.argv[1]), sys.argv[2]
    seeds = seeds_of(sys.argv[3:])
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))
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
            data = mutate(rng.choice(seeds[name]), rng)
            began = time.monotonic()
            problem = None
            try:
                reader(data)
            except DOCUMENTED:
                pass
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
