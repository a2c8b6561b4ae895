#!/usr/bin/env python3
"""Writes the cabinets, payload files and payload images of the unpack tests.

    make_cabinets.py OUTPUT_FOLDER WINDRES CC

Everything is deterministic: the contents come from SHA-256 in counter mode
and every file gets the same fixed modification time, which gcab stores as
the cabinet's DOS date and time.

Besides the data files this makes two resource-only images:
  base_image.dll     no resources; the tests give copies of it the resource
                     sets they need
  shipped_image.dll  the shipped layout: "B7" "KORVEL.PACKED.7Z" (archive.7z)
                     and "BL" "SETUP.EX_" (setup_large.cab)
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

# 2019-06-14 13:37:42 UTC; DOS times have two-second steps.
FIXED_TIME = 1560519462

# The size of the setup program of the shipped build.
LARGE_SIZE = 4491776


def generated_bytes(seed, size):
    """Pseudo-random letters: four bits of entropy a byte, so MSZIP both
    compresses them and needs many blocks."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        digest = hashlib.sha256(b"%s:%d" % (seed, counter)).digest()
        out.extend(0x41 + (b & 0x0F) for b in digest)
        counter += 1
    return bytes(out[:size])


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (FIXED_TIME, FIXED_TIME))


def cabinet(output, cabinet_name, files):
    """files: list of (name in the cabinet, bytes)."""
    target = os.path.join(output, cabinet_name)
    if os.path.exists(target):
        os.remove(target)
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for name, data in files:
            path = os.path.join(folder, name)
            write(path, data)
            paths.append(path)
        subprocess.run(["gcab", "--create", "--zip", "--nopath", target]
                       + paths, check=True)


def resource_image(output, windres, cc, name, resources):
    """resources: list of (name, type, file path) for the .rc script."""
    with tempfile.TemporaryDirectory() as folder:
        script = os.path.join(folder, name + ".rc")
        with open(script, "w") as f:
            for resource_name, resource_type, path in resources:
                f.write('%s %s "%s"\n' % (resource_name, resource_type,
                                           path.replace("\\", "/")))
        objects = []
        if resources:
            compiled = os.path.join(folder, name + ".o")
            subprocess.run([windres, "-i", script, "-O", "coff", "-o",
                            compiled], check=True)
            objects.append(compiled)
        source = os.path.join(folder, "empty.c")
        with open(source, "w") as f:
            f.write("int __stdcall ImageEntry(void* a, unsigned long b, "
                    "void* c) { (void)a; (void)b; (void)c; return 1; }\n")
        subprocess.run([cc, "-shared", "-nostdlib", "-Os", "-s",
                        "-Wl,--entry=ImageEntry", "-o",
                        os.path.join(output, name + ".dll"), source]
                       + objects, check=True)


def main():
    output, windres, cc = sys.argv[1:4]
    os.makedirs(output, exist_ok=True)
    large = generated_bytes(b"setup-large", LARGE_SIZE)
    write(os.path.join(output, "setup_large.bin"), large)
    cabinet(output, "setup_large.cab", [("setup.exe", large)])

    small = generated_bytes(b"setup-small", 100000)
    write(os.path.join(output, "setup_small.bin"), small)
    cabinet(output, "setup_small.cab", [("setup.exe", small)])

    first = generated_bytes(b"first", 3000)
    second = generated_bytes(b"second", 5000)
    write(os.path.join(output, "second.bin"), second)
    cabinet(output, "two_files.cab", [("first.txt", first),
                                       ("second.txt", second)])

    archive = os.path.join(output, "archive.7z")
    write(archive, b"7z\xbc\xaf\x27\x1c\x00\x04"
          + generated_bytes(b"archive", 20000))

    resource_image(output, windres, cc, "base_image", [])
    resource_image(output, windres, cc, "shipped_image", [
        ("KORVEL.PACKED.7Z", "B7", archive),
        ("SETUP.EX_", "BL", os.path.join(output, "setup_large.cab")),
    ])


if __name__ == "__main__":
    main()
