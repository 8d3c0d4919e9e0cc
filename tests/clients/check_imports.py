"""Checks what a program imports from a Halvex DLL: every name must be one the DLL exports.

    check_imports.py LLVM_READOBJ PROGRAM DLL EXPECTED_EXPORTS

An import library that binds a caller's _OpenHalvex@4 to OpenHalvex@4 (llvm-dlltool's plain form)
links without complaint; only the imported names show it, and the DLL then fails to load.
"""

from __future__ import annotations

import subprocess
import sys
from typing import List


def imported_names(readobj: str, program: str, dll: str) -> List[str]:
    text = subprocess.run([readobj, "--coff-imports", program], check=True,
                          stdout=subprocess.PIPE, universal_newlines=True).stdout
    names: List[str] = []
    current = None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("Name: "):
            current = line[len("Name: "):]
        elif line.startswith("Symbol: ") and current is not None and current.lower() == dll.lower():
            names.append(line[len("Symbol: "):].rsplit(" (", 1)[0])
    return names


def main(argv: List[str]) -> int:
    readobj, program, dll, expected_path = argv[1:5]
    with open(expected_path) as f:
        exports = set(f.read().split())
    names = imported_names(readobj, program, dll)
    print("%s imports from %s: %s" % (program, dll, " ".join(names)))
    unknown = [name for name in names if name not in exports]
    if len(names) < 10 or unknown:
        print("FAIL: %d names, not exported: %s" % (len(names), unknown))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
