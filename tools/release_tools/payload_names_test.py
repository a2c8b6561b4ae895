"""The release tools' name rule against the table that the stub's own rule
is tested with (unpack/testdata/payload_file_names.inc)."""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools.layout import SOURCE_DIR  # noqa: E402
from release_tools.payload_names import unusable_name_reason  # noqa: E402

TABLE = os.path.join(SOURCE_DIR, "unpack", "testdata",
                     "payload_file_names.inc")
ROW = re.compile(r'^NAME\((true|false), L"((?:[^"\\]|\\.)*)"\)$')
ESCAPE = re.compile(r'\\(\\|"|u[0-9A-Fa-f]{4})')


def decode(text):
    return ESCAPE.sub(lambda m: chr(int(m.group(1)[1:], 16))
                      if m.group(1)[0] == "u" else m.group(1), text)


def rows():
    found = []
    with open(TABLE, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("//"):
                continue
            match = ROW.match(line)
            if match is None:
                raise ValueError(f"not a row of the table: {line!r}")
            found.append((match.group(1) == "true", decode(match.group(2))))
    return found


class SharedTableTest(unittest.TestCase):
    def test_the_stubs_table(self):
        table = rows()
        self.assertGreater(len(table), 40)
        for usable, name in table:
            with self.subTest(name=name):
                self.assertEqual(unusable_name_reason(name) is None, usable,
                                 unusable_name_reason(name))


if __name__ == "__main__":
    unittest.main()
