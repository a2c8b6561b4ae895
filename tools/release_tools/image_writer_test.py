#!/usr/bin/env python3
"""The image writer against pefile, an oracle that owes it nothing: the
bare stub laid out with a payload, the previous-version text and a new
version record reads back resource by resource, with the checksum pefile
computes. Needs the built stub: STUB_BUILD_DIR names the build folder."""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.append("/usr/lib/python3/dist-packages")
from release_tools import image_writer, pe_image  # noqa: E402

try:
    import pefile
except ImportError:
    pefile = None

BUILD = os.environ.get("STUB_BUILD_DIR", "")
BARE = os.path.join(BUILD, "stub", "installer_stub.exe")


@unittest.skipIf(pefile is None or not os.path.isfile(BARE),
                 "needs pefile and the built stub (STUB_BUILD_DIR)")
class LayOutSectionsTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="image-writer-test.")
        self.addCleanup(shutil.rmtree, self.work, True)

    def test_payload_and_own_resources_read_back(self):
        archive = os.path.join(self.work, "product.7z")
        with open(archive, "wb") as f:
            f.write(os.urandom(70001))
        image = os.path.join(self.work, "installer.exe")
        shutil.copyfile(BARE, image)
        version = b"4\x002\x00\x00\x00"
        image_writer.lay_out_sections(
            image, True, [("B7", "KORVEL.PACKED.7Z", archive),
                          ("BN", "SETUP.EXE", b"MZ setup")],
            [(10, 1, version), (16, 1, b"a new record")])
        with open(image, "rb") as f:
            data = f.read()
        ours = {(r.type, r.name): bytes(r.data)
                for r in pe_image.read_resources(pe_image.PeImage(data))}
        pe = pefile.PE(image)
        theirs = {}
        for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for name in kind.directory.entries:
                key = (kind.id if kind.name is None else str(kind.name),
                       name.id if name.name is None else str(name.name))
                entry = name.directory.entries[0].data.struct
                theirs[key] = pe.get_data(entry.OffsetToData, entry.Size)
        self.assertEqual(ours, theirs)
        with open(archive, "rb") as f:
            self.assertEqual(ours[("B7", "KORVEL.PACKED.7Z")], f.read())
        self.assertEqual(ours[(10, 1)], version)
        self.assertEqual(ours[(16, 1)], b"a new record")
        self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())
        resources = pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress
        section = next(s for s in pe.sections
                       if s.VirtualAddress == resources)
        self.assertEqual(section.PointerToRawData % 4096, 0)
        self.assertFalse(section.Characteristics & 0x80000000)

    def test_signed_image_is_refused(self):
        image = os.path.join(self.work, "signed.exe")
        pe = pefile.PE(BARE, fast_load=True)
        pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].VirtualAddress = 0x1000
        pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size = 16
        pe.write(image)
        with self.assertRaises(image_writer.LayoutError):
            image_writer.lay_out_sections(image, True, [])


class PeChecksumTest(unittest.TestCase):
    @unittest.skipIf(pefile is None, "needs pefile")
    def test_as_pefile_computes_it(self):
        if not os.path.isfile(BARE):
            self.skipTest("needs the built stub (STUB_BUILD_DIR)")
        with open(BARE, "rb") as f:
            data = bytearray(f.read())
        at = pefile.PE(data=bytes(data), fast_load=True).OPTIONAL_HEADER \
            .get_field_absolute_offset("CheckSum")
        data[at:at + 4] = bytes(4)
        checksum = image_writer.PeChecksum()
        # Blocks of odd sizes: the words run across them.
        for start in range(0, len(data), 777):
            checksum.update(bytes(data[start:start + 777]))
        data[at:at + 4] = checksum.value().to_bytes(4, "little")
        pe = pefile.PE(data=bytes(data), fast_load=True)
        self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())


if __name__ == "__main__":
    unittest.main()
