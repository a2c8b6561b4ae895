#!/usr/bin/env python3
"""The contract read from the stub's own header: every definition there is
taken, and read as the stub's code means it; a form the reader does not
take is refused rather than misread."""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import contract  # noqa: E402


class ContractTest(unittest.TestCase):
    def test_the_stubs_header(self):
        path = os.path.join(contract.SOURCE_DIR, contract.HEADER)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        read = contract.Contract(text)
        # Every definition of the header, none passed over.
        self.assertEqual(len(read.names),
                         len(re.findall(r"^inline constexpr ", text, re.M)))
        self.assertEqual(len(read.exit_codes),
                         len(re.findall(r"^\s+\w+ = \d+,", text, re.M)))
        self.assertEqual(read.exit_code_name(108), "PathTooLong")
        self.assertEqual(read.exit_code_name(125), "RunCrashed")
        self.assertEqual(read.exit_code_name(3), "")
        self.assertEqual(read.payload_types, ["B7", "BL", "BN"])
        self.assertEqual((read.archive_prefix, read.setup_prefix),
                         ("korvel", "setup"))
        self.assertEqual((read.work_folder_prefix, read.work_folder_digits,
                          read.work_folder_suffix), ("KV_", 5, ".tmp"))
        self.assertEqual(read.error_invalid_name, 123)

    def test_forms_it_does_not_take(self):
        enum = "enum class ExitCode : uint32_t {\n  Success = 0,\n};\n"
        for why, text in [
                ("no exit codes", "inline constexpr uint32_t kA = 1;\n"),
                ("an expression", enum + "inline constexpr uint32_t kA = 1 + 2;\n"),
                ("a list of numbers",
                 enum + "inline constexpr const int kA[] = {1, 2};\n")]:
            with self.subTest(why):
                with self.assertRaises(contract.ContractError):
                    contract.Contract(text)


if __name__ == "__main__":
    unittest.main()
