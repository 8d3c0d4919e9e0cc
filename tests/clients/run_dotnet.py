"""Compiles the guide's C# declarations (bindings/dotnet/Halvex.cs) with the C# sample, for
Halvex32.dll's names and for Halvex32D.dll's, and runs each with mono against libhalvex.so and
the simulated chassis (check_client.py judges them), through the 32-bit declarations
(HALVEX_DOTNET_NAMES=32) and, with Halvex32.dll's build, through the 64-bit ones, which a 64-bit
mono takes by itself.

    run_dotnet.py MCS MONO EXPORTS_DIR WORK_DIR

run_with_simulator.sh (native) provides HALVEX_LIBRARY and the ports. The DLL and each entry
name map to libhalvex.so and its plain name through a dllmap written from the build's expected
export lists, so an entry point that the DLL does not export has nothing to map to and fails.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from typing import List
from xml.sax.saxutils import quoteattr

import check_client

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCES = [os.path.join(HERE, "..", "..", "bindings", "dotnet", "Halvex.cs"),
           os.path.join(HERE, "HalvexSample.cs")]


def dllmap(dll: str, library: str, exported: List[str]) -> str:
    lines = ["<configuration>", "  <dllmap dll=%s target=%s>" % (quoteattr(dll), quoteattr(library))]
    for name in exported:
        plain = re.sub(r"^_(\w+)@\d+$", r"\1", name)
        lines.append("    <dllentry dll=%s name=%s target=%s/>" % (
            quoteattr(library), quoteattr(name), quoteattr(plain)))
    lines += ["  </dllmap>", "</configuration>", ""]
    return "\n".join(lines)


def main(argv: List[str]) -> int:
    mcs, mono, exports, work = argv[1:5]
    library = os.path.realpath(os.environ["HALVEX_LIBRARY"])
    os.makedirs(work, exist_ok=True)
    status = 0
    for dll, names, defines, bits in (("Halvex32.dll", "release", [], "32"),
                                      ("Halvex32D.dll", "debug", ["-define:HALVEX32D"], "32"),
                                      ("Halvex64.dll", "x64", [], "")):
        program = os.path.join(work, "HalvexSample-%s.exe" % names)
        subprocess.run([mcs, "-nologo", "-warnaserror", "-out:" + program] + defines + SOURCES,
                       check=True)
        os.environ["HALVEX_DOTNET_NAMES"] = bits
        with open(os.path.join(exports, "expected_%s.txt" % names)) as f:
            exported = f.read().split()
        with open(program + ".config", "w") as f:
            f.write(dllmap(dll, library, exported))
        print("-- C# sample with %s's names" % dll, flush=True)
        if check_client.main(["check_client.py", mono, "--debug", program]) != 0:
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
