"""The export tables against the hand-written lists of the exports: the declarations of
include/halvex.h and include/halvex_fixture.h, and the Python binding's FUNCTIONS."""

from __future__ import annotations

import ctypes
import os
import re
import sys
import unittest
from collections import Counter
from typing import List, Tuple

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "bindings", "python"))

from halvex._library import FUNCTIONS  # noqa: E402

ENTRY = re.compile(r"^HALVEX_EXPORT\((\w+), (\d+), (plain|decorated)\)$")
# A declaration of the header: "int32_t HALVEX_API Name(".
DECLARATION = re.compile(r"\bHALVEX_API\s+(\w+)\s*\(")


def table(folder: str = "driver") -> List[Tuple[str, int]]:
    """Name and byte count of every export, in the table's order."""
    entries = []
    with open(os.path.join(REPO, folder, "export_table.inc")) as f:
        for line in f:
            match = ENTRY.match(line.rstrip("\n"))
            if match:
                entries.append((match.group(1), int(match.group(2))))
    return entries


def stack_bytes(argtype: type) -> int:
    """An argument's share of the 32-bit Windows stack: 4 bytes for a pointer, else its size
    rounded up to 4 (so a 64-bit interpreter checks the same counts)."""
    if argtype in (ctypes.c_char_p, ctypes.c_void_p) or issubclass(
        argtype, (ctypes._Pointer, ctypes._CFuncPtr)
    ):
        return 4
    return (ctypes.sizeof(argtype) + 3) // 4 * 4


def duplicates(names: List[str]) -> List[str]:
    return sorted(name for name, n in Counter(names).items() if n > 1)


class HeaderTest(unittest.TestCase):
    def test_header_declares_exactly_the_table_names(self) -> None:
        # A name declared but not in the table is missing from the Windows DLL only.
        for header, folder in (("halvex.h", "driver"), ("halvex_fixture.h", "fixture")):
            with self.subTest(header):
                with open(os.path.join(REPO, "include", header)) as f:
                    declared = DECLARATION.findall(f.read())
                listed = [name for name, _ in table(folder)]
                self.assertEqual(duplicates(declared), [], "declared twice")
                self.assertEqual(
                    sorted(set(declared) - set(listed)), [], "declared, not in the export table"
                )
                self.assertEqual(
                    sorted(set(listed) - set(declared)), [], "in the table, not declared"
                )


class PythonBindingTest(unittest.TestCase):
    def test_functions_have_the_table_names_and_byte_counts(self) -> None:
        bound = [(name, count) for name, count, _ in FUNCTIONS]
        self.assertEqual(duplicates([name for name, _ in bound]), [], "bound twice")
        self.assertEqual(sorted(bound), sorted(table()))

    def test_argument_types_add_up_to_the_byte_counts(self) -> None:
        for name, count, argtypes in FUNCTIONS:
            with self.subTest(name):
                self.assertEqual(sum(stack_bytes(t) for t in argtypes), count)


if __name__ == "__main__":
    unittest.main()
