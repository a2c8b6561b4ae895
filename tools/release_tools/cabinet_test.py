#!/usr/bin/env python3
"""The cabinet writer against two readers: gcab, which owes it nothing, and
the module's own reader, which expands MSZIP as the format describes it.
Sizes around the block size, data that compresses and data that does not,
and the checksum against one gcab wrote."""
import io
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import tracemalloc
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import cabinet  # noqa: E402


def mszip(data):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    return b"CK" + compressor.compress(data) + compressor.flush()


def cabinet_of(blocks, size, offset, compression=1):
    """A cabinet of one folder (MSZIP unless `compression` says otherwise)
    of `blocks` (stored bytes, expanded size) holding one file "setup.exe"
    of `size` bytes at `offset`."""
    name = b"setup.exe\0"
    files_at = 36 + 8
    data_at = files_at + 16 + len(name)
    body = b"".join(struct.pack("<IHH", 0, len(stored), expanded) + stored
                    for stored, expanded in blocks)
    return (b"MSCF" + struct.pack("<IIIII", 0, data_at + len(body), 0,
                                  files_at, 0) +
            struct.pack("<BBHHHHH", 3, 1, 1, 1, 0, 0, 0) +
            struct.pack("<IHH", data_at, len(blocks), compression) +
            struct.pack("<IIHHHH", size, offset, 0, 0, 0, 0x20) + name + body)


class WriteCabinetTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="cabinet-test.")
        self.addCleanup(shutil.rmtree, self.work, True)

    def write(self, data):
        source = os.path.join(self.work, "program.bin")
        with open(source, "wb") as f:
            f.write(data)
        path = os.path.join(self.work, "setup.cab")
        cabinet.write_cabinet(source, path, "setup.exe", 1700000000)
        with open(path, "rb") as f:
            return path, f.read()

    def test_every_reader_gets_the_bytes_back(self):
        rng = random.Random(7)
        cases = {
            "one byte": b"x",
            "one block less one": bytes(rng.getrandbits(8)
                                        for _ in range(32767)),
            "one block": b"MZ" + b"\0" * 32766,
            "one block and one byte": b"ab" * 16384 + b"c",
            "incompressible, several blocks": rng.randbytes(100003),
            "compressible, several blocks": b"setup program text\n" * 9000,
        }
        for why, data in cases.items():
            with self.subTest(why):
                path, written = self.write(data)
                parsed = cabinet.Cabinet(written)
                self.assertEqual(parsed.size, len(written))
                self.assertEqual([f[:2] for f in parsed.files],
                                 [("setup.exe", len(data))])
                self.assertEqual(parsed.compression_name(0), "MSZIP")
                self.assertEqual(bytes(parsed.file_bytes(0)), data)
                if shutil.which("gcab") is None:
                    continue
                out = os.path.join(self.work, "out")
                shutil.rmtree(out, ignore_errors=True)
                os.mkdir(out)
                subprocess.run(["gcab", "-x", "-C", out, path], check=True,
                               stdout=subprocess.DEVNULL)
                with open(os.path.join(out, "setup.exe"), "rb") as f:
                    self.assertEqual(f.read(), data)

    def test_bombs_are_refused_at_once(self):
        # One file said to lie at 4.29 GB in its folder, and a block that
        # claims twice the 32 KiB a block may hold: refused before any
        # inflating, in no time and no memory.
        _, written = self.write(b"setup" * 1000)
        far = bytearray(written)
        files_at = struct.unpack_from("<I", far, 16)[0]
        struct.pack_into("<I", far, files_at + 4, 0xFFFFFF00)
        greedy = bytearray(written)
        data_at = struct.unpack_from("<I", greedy, 36)[0]
        struct.pack_into("<H", greedy, data_at + 6, 65535)
        for why, data in (("far offset", far), ("greedy block", greedy)):
            with self.subTest(why):
                started = time.monotonic()
                with self.assertRaises(ValueError):
                    cabinet.Cabinet(bytes(data)).file_bytes(0)
                self.assertLess(time.monotonic() - started, 1)

    def test_hostile_cabinets_cost_what_they_hold(self):
        # Each checked before anything is inflated, or inflated within what
        # its headers say: a file 2 GB into a 3.7 MB folder of blocks of
        # zeros, a block that says it expands to 0 bytes (zlib reads a
        # limit of 0 as none), and a file of zero bytes.
        zeros = mszip(bytes(cabinet.CABINET_BLOCK))
        endless = mszip(bytes(64 << 20))[:65535]
        rows = [
            # why, blocks, file size, file offset, expansion's answer
            ("a file 2 GB into its folder", [(zeros, 32768)] * 65535,
             32768, 65534 * 32768, "more than the 134217728 expanded here"),
            ("a block that says it holds nothing", [(endless, 0)], 1000, 0,
             ValueError),
            ("an empty file", [(endless, 0)], 0, 0, b""),
            ("an empty file past its folder's blocks", [(zeros, 32768)], 0,
             1 << 20, b""),
        ]
        for why, blocks, size, offset, expected in rows:
            with self.subTest(why):
                parsed = cabinet.Cabinet(cabinet_of(blocks, size, offset))
                tracemalloc.start()
                try:
                    try:
                        problem = parsed.expansion_problem(0, 128 << 20)
                        if problem is None:
                            out = io.BytesIO()
                            parsed.expand(0, out, 128 << 20)
                            problem = out.getvalue()
                    except ValueError:
                        problem = ValueError
                    peak = tracemalloc.get_traced_memory()[1]
                finally:
                    tracemalloc.stop()
                if isinstance(expected, str):
                    self.assertIn(expected, problem)
                else:
                    self.assertEqual(problem, expected)
                self.assertLess(peak, 1 << 20)

    def test_a_file_is_streamed_never_held(self):
        # 8 MiB expanded through a file object: the reader keeps one
        # block's window, never the file (at the 128 MiB bound it held the
        # bytes twice).
        content = b"MZ" + bytes((8 << 20) - 2)
        blocks = [(mszip(content[at:at + 32768]), 32768)
                  for at in range(0, len(content), 32768)]
        parsed = cabinet.Cabinet(cabinet_of(blocks, len(content), 0))
        with tempfile.TemporaryFile() as out:
            tracemalloc.start()
            try:
                parsed.expand(0, out, 128 << 20)
                peak = tracemalloc.get_traced_memory()[1]
            finally:
                tracemalloc.stop()
            self.assertEqual(out.tell(), len(content))
            out.seek(0)
            self.assertEqual(out.read(2), b"MZ")
        self.assertLess(peak, 1 << 20)
        # A block that expands to more than its header says is damaged.
        lying = bytearray(cabinet_of(blocks[:1], 1000, 0))
        struct.pack_into("<H", lying, 36 + 8 + 16 + 10 + 6, 1000)
        with self.assertRaises(ValueError):
            cabinet.Cabinet(bytes(lying)).file_bytes(0)

    def test_same_input_same_bytes(self):
        data = random.Random(3).randbytes(70000)
        _, first = self.write(data)
        _, second = self.write(data)
        self.assertEqual(first, second)

    def test_checksum_of_words_and_tail(self):
        # XOR of the words, then the tail with its first byte highest.
        self.assertEqual(cabinet.cabinet_checksum(b""), 0)
        self.assertEqual(cabinet.cabinet_checksum(b"\1\0\0\0\2\0\0\0"),
                         3)
        self.assertEqual(cabinet.cabinet_checksum(b"\1\2\3"), 0x010203)
        self.assertEqual(cabinet.cabinet_checksum(b"\0\0\0\0\1", 5),
                         4)
        words = random.Random(5).randbytes(4 * 999 + 2)
        slow = 0
        for at in range(0, 4 * 999, 4):
            slow ^= int.from_bytes(words[at:at + 4], "little")
        slow ^= (words[-2] << 8) | words[-1]
        self.assertEqual(cabinet.cabinet_checksum(words), slow)

    @unittest.skipIf(shutil.which("gcab") is None, "no gcab")
    def test_checksums_as_gcab_writes_them(self):
        folder = os.path.join(self.work, "in")
        os.mkdir(folder)
        with open(os.path.join(folder, "setup.exe"), "wb") as f:
            f.write(random.Random(9).randbytes(50001) + b"tail" * 9000)
        path = os.path.join(self.work, "gcab.cab")
        subprocess.run(["gcab", "-c", "-z", path, "setup.exe"],
                       cwd=folder, check=True)
        with open(path, "rb") as f:
            data = f.read()
        at, blocks, _ = struct.unpack_from("<IHH", data, 36)
        self.assertGreater(blocks, 1)
        for _ in range(blocks):
            stored, size = struct.unpack_from("<IH", data, at)
            block = data[at + 8:at + 8 + size]
            self.assertEqual(cabinet.cabinet_checksum(
                data[at + 4:at + 8], cabinet.cabinet_checksum(block)),
                stored)
            at += 8 + size

    def test_date_is_utc(self):
        # 2023-11-14 22:13:20 UTC, whatever the zone of the machine.
        date, clock = cabinet.dos_date_time(1700000000)
        self.assertEqual(date, (43 << 9) | (11 << 5) | 14)
        self.assertEqual(clock, (22 << 11) | (13 << 5) | 10)


if __name__ == "__main__":
    unittest.main()
