#!/usr/bin/env python3
"""Icon files taken apart, and files that are not icons refused."""
import os
import shutil
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import icon_file  # noqa: E402

PNG = icon_file.PNG_SIGNATURE + bytes(24)


def ico(images, count=None):
    head = struct.pack("<HHH", 0, 1, len(images) if count is None else count)
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for image in images:
        entries += struct.pack("<BBBBHHII", 32, 32, 0, 0, 1, 32, len(image),
                               offset + len(data))
        data += image
    return head + entries + data


class IconFileTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="icon-test.")
        self.addCleanup(shutil.rmtree, self.work, True)

    def write(self, data):
        path = os.path.join(self.work, "icon.ico")
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_images_and_their_group(self):
        bitmap = struct.pack("<I", 40) + bytes(60)
        images = icon_file.read_icon_file(self.write(ico([PNG, bitmap])))
        self.assertEqual([image[-1] for image in images], [PNG, bitmap])
        group = icon_file.group_icon(images, 5)
        self.assertEqual(struct.unpack_from("<HHH", group), (0, 1, 2))
        self.assertEqual(struct.unpack_from("<IH", group, 6 + 8),
                         (len(PNG), 5))
        self.assertEqual(struct.unpack_from("<IH", group, 6 + 14 + 8),
                         (len(bitmap), 6))

    def test_not_icons(self):
        cases = {
            "text": b"not an icon at all",
            "cursor": struct.pack("<HHH", 0, 2, 1) + bytes(16),
            "no images": struct.pack("<HHH", 0, 1, 0),
            "image past the end": ico([PNG])[:-4],
            "directory past the end": ico([PNG], count=3)[:40],
            "neither PNG nor bitmap": ico([b"GIF89a" + bytes(20)]),
        }
        for why, data in cases.items():
            with self.subTest(why), self.assertRaises(icon_file.IconError):
                icon_file.read_icon_file(self.write(data))


if __name__ == "__main__":
    unittest.main()
