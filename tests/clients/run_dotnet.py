"""Compiles the guide's C# declarations (bindings/dotnet/Halvex.cs) with the C# sample, for
Halvex32.dll's names and for Halvex32D.dll's, and runs each with mono against libhalvex.so and
the simulated chassis (check_client.py judges them), through the 32-bit declarations
(HALVEX_DOTNET_NAMES=32) and, with Halvex32.dll's build, through the 64-bit ones, which a 64-bit
mono takes by itself. The fixture layer's declarations (HalvexFixture.cs) and their sample go the
same three ways, against libhalvex-fixture.so.

    run_dotnet.py MCS MONO EXPORTS_DIR FIXTURE_EXPORTS_DIR WORK_DIR

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
from check_client import ControlChannel

HERE = os.path.dirname(os.path.abspath(__file__))
DOTNET = os.path.join(HERE, "..", "..", "bindings", "dotnet")
SOURCES = [os.path.join(DOTNET, "Halvex.cs"), os.path.join(HERE, "HalvexSample.cs")]
FIXTURE_SOURCES = [os.path.join(DOTNET, "Halvex.cs"), os.path.join(DOTNET, "HalvexFixture.cs"),
                   os.path.join(HERE, "FixtureSample.cs")]

# The chassis check_client.py leaves (an X16 in slot 3, a Y48 in slot 7), wired as a bench.
FIXTURE = """[cards]
3 = "X16"
7 = "Y48"
[nets]
PSU = ["3:ps:2:a"]
OUT = ["3:ps:2:b", "3:col:6"]
DUT = ["3:col:3"]
GND = ["3:col:4", "7:gp:2:b"]
[[forbid]]
nets = ["PSU", "GND"]
reason = "shorts the supply"
[routes.power]
relays = ["3:ps:2"]
connect = [["OUT", "DUT"]]
"""
FIXTURE_STEPS = ["load 0", "open 0", "apply 0", "forbidden 12", "refusal 1", "check 12", "state 0",
                 "state-has-route 1", "nets-has-psu 1", "unknown 10", "release 0", "close-relay 0",
                 "disconnect-all 0", "last-error 0", "after-dispose refused"]
# The cards reset at open, the route and its release, the plain relay and its opening: nothing
# refused or only checked reaches the wire.
FIXTURE_WIRE = [b"*RST(03)\n", b"*RST(07)\n", b"CLOSE(03,01,06)\n", b"CLOSE(03,01,03)\n",
                b"CLOSE(03,30,02)\n", b"OPEN(03,01,06)\n", b"OPEN(03,01,03)\n", b"OPEN(03,30,02)\n",
                b"CLOSE(07,10,01)\n", b"OPEN(07,10,01)\n"]


def dllmap(dll: str, library: str, exported: List[str]) -> str:
    lines = ["  <dllmap dll=%s target=%s>" % (quoteattr(dll), quoteattr(library))]
    for name in exported:
        plain = re.sub(r"^_(\w+)@\d+$", r"\1", name)
        lines.append("    <dllentry dll=%s name=%s target=%s/>" % (
            quoteattr(library), quoteattr(name), quoteattr(plain)))
    lines += ["  </dllmap>"]
    return "\n".join(lines)


def configuration(*maps: str) -> str:
    return "\n".join(("<configuration>",) + maps + ("</configuration>", ""))


def names(exports: str, build: str) -> List[str]:
    with open(os.path.join(exports, "expected_%s.txt" % build)) as f:
        return f.read().split()


def check_fixture(mono: str, program: str, fixture: str) -> List[str]:
    with ControlChannel(os.environ["HALVEX_SIM_CONTROL"], timeout=30.0) as control:
        control.request("clearlog")
        run = subprocess.run([mono, "--debug", program, fixture], stdout=subprocess.PIPE,
                             timeout=300)
        log = control.log()
    output = run.stdout.decode("utf-8", "replace")
    print(output, end="")
    failures = [] if run.returncode == 0 else ["exit status %d" % run.returncode]
    if output.splitlines() != FIXTURE_STEPS:
        failures.append("steps: expected %r" % FIXTURE_STEPS)
    wire = [data for port, data in log if port == "cmd" and not data.startswith(b"*IDN?")]
    if wire != FIXTURE_WIRE:
        failures.append("command port received %r" % wire)
    return failures


def main(argv: List[str]) -> int:
    mcs, mono, exports, fixture_exports, work = argv[1:6]
    library = os.path.realpath(os.environ["HALVEX_LIBRARY"])
    fixture_library = os.path.join(os.path.dirname(library), "libhalvex-fixture.so.1")
    os.makedirs(work, exist_ok=True)
    fixture = os.path.join(work, "bench.toml")
    with open(fixture, "w") as f:
        f.write(FIXTURE)
    status = 0
    for dll, fixture_dll, build, defines, bits in (
            ("Halvex32.dll", "HalvexFixture32.dll", "release", [], "32"),
            ("Halvex32D.dll", "HalvexFixture32D.dll", "debug", ["-define:HALVEX32D"], "32"),
            ("Halvex64.dll", "HalvexFixture64.dll", "x64", [], "")):
        os.environ["HALVEX_DOTNET_NAMES"] = bits
        driver_map = dllmap(dll, library, names(exports, build))
        program = os.path.join(work, "HalvexSample-%s.exe" % build)
        subprocess.run([mcs, "-nologo", "-warnaserror", "-out:" + program] + defines + SOURCES,
                       check=True)
        with open(program + ".config", "w") as f:
            f.write(configuration(driver_map))
        print("-- C# sample with %s's names" % dll, flush=True)
        if check_client.main(["check_client.py", mono, "--debug", program]) != 0:
            status = 1
        # An entry the fixture DLL does not export has nothing to map to, and fails.
        program = os.path.join(work, "FixtureSample-%s.exe" % build)
        subprocess.run([mcs, "-nologo", "-warnaserror", "-out:" + program] + defines +
                       FIXTURE_SOURCES, check=True)
        with open(program + ".config", "w") as f:
            f.write(configuration(driver_map, dllmap(fixture_dll, fixture_library,
                                                     names(fixture_exports, build))))
        print("-- C# fixture sample with %s's names" % fixture_dll, flush=True)
        for failure in check_fixture(mono, program, fixture):
            print("FAIL:", failure)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
