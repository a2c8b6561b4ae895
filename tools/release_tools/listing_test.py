#!/usr/bin/env python3
"""The listing: a previous-version text as the installer accepts it, the
payload types' resources as stored (what the search never reaches said in
one line), an item the installer's search took that the listing does not
see listed after them, and a directory it cannot read said to be."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import item_content, judged_items, listing  # noqa: E402
from release_tools import pe_image  # noqa: E402
from release_tools.pe_image_test import (  # noqa: E402
    image_with_resources, laid_out)


def resource(data, size=None):
    return pe_image.Resource(10, 1, 1033,
                             len(data) if size is None else size, data)


class PreviousVersionTest(unittest.TestCase):
    def test_as_the_installer_accepts_it(self):
        rows = [
            ("a text", resource("4.2\0".encode("utf-16-le")), "4.2", None),
            ("empty", resource(b"\0\0"), "", None),
            ("no terminator", resource("4.2".encode("utf-16-le")), None,
             "not terminated by a zero unit"),
            ("an odd size", resource(b"4\0\0"), None,
             "3 bytes, not a whole UTF-16 text"),
            ("nothing", resource(b""), None,
             "0 bytes, not a whole UTF-16 text"),
            ("cut short", resource(b"4\0\0\0", size=8), None, "cut short"),
        ]
        for why, given, text, problem in rows:
            with self.subTest(why):
                self.assertEqual(listing.previous_version_text(given),
                                 (text, problem))


class ListingTest(unittest.TestCase):
    def lines(self, items, directory=True, taken=None):
        image = image_with_resources(bytes(laid_out(items)[0]))
        found = item_content.Findings()
        tests = item_content.ArchiveTests(0)
        tests.skipped = True
        return "\n".join(listing.listing(
            "installer.exe", image,
            pe_image.ResourceDirectory(image) if directory else None,
            taken or {}, found, tests))

    def test_what_is_listed(self):
        many = [("BN", f"X{i:03}", b"x") for i in range(40)]
        text = self.lines(many + [(10, 1, "1.0\0".encode("utf-16-le"))])
        self.assertIn('BN "X031" language 1033', text)
        self.assertNotIn('"X032"', text)
        self.assertIn("BN: 8 more resources, which the search never "
                      "reaches", text)
        self.assertIn('previous version: "1.0"', text)
        self.assertIn("installer's own manifest: no manifest", text)
        self.assertIn("Authenticode signature: absent", text)
        self.assertIn("payload resources (in the order searched):\n  none",
                      self.lines([]))

    def test_items_the_listing_does_not_see(self):
        taken = {"setup": judged_items.PayloadItem(
            "setup", "BL", "SETUP.EX_", 4, 0x9000, b"text")}
        text = self.lines([], taken=taken)
        self.assertIn('BL "SETUP.EX_", 4 bytes (taken by the installer\'s '
                      'search, not found by this listing)', text)
        text = self.lines([("BN", "SETUP.EXE", b"x")], directory=False,
                          taken=taken)
        self.assertIn("(the resource directory cannot be read)", text)
        self.assertIn('BL "SETUP.EX_", 4 bytes: unrecognised', text)


if __name__ == "__main__":
    unittest.main()
