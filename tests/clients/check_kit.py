"""Builds the Windows developers' kit and checks its listing and contents.

    check_kit.py CMAKE RELEASE_BUILD KIT_ZIP SOURCE_DIR

The win-debug and win64 folders are the release folder's siblings. The zip must hold exactly the
expected files under halvex-<version>-win32/, the .def files and the guide as the build and the
tree have them, and no path of the build machine (the source
folder, the build folders, the home folder) anywhere in any file. The kit's C example builds
with the kit alone (its header and MinGW import library), as its README.txt says. The kit is made twice: by the
kit target, and by make-kit.sh with a debug folder of its own that it configures first.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import zipfile
from typing import List

# Each DLL with its Visual Studio and MinGW import libraries and its .def file.
DLLS = {"Halvex32": "", "Halvex32D": "", "Halvex64": "x64/", "HalvexFixture32": "",
        "HalvexFixture32D": "", "HalvexFixture64": "x64/"}
EXPECTED = [f"bin/{d}{n}.dll" for n, d in DLLS.items()] + [
    f"lib/{d}{n}{kind}" for n, d in DLLS.items() for kind in (".lib", ".def")] + [
    f"lib/{d}lib{n}.dll.a" for n, d in DLLS.items()] + [
    "bin/halvexctl.exe",
    "include/halvex.h",
    "include/halvex_fixture.h",
    "docs/windows.md",
    "docs/behaviour.md",
    "docs/LICENSE",
    "docs/CHANGELOG.md",
    "dotnet/Halvex.cs",
    "dotnet/HalvexFixture.cs",
    "dotnet/Halvex.vb",
    "examples/list_cards.c",
    "README.txt",
]


def check(kit: str, release: str, debug: str, x64: str, source: str) -> List[str]:
    top = os.path.basename(kit)[: -len(".zip")] + "/"
    failures = []
    with zipfile.ZipFile(kit) as archive:
        files = sorted(n[len(top):] for n in archive.namelist()
                       if n.startswith(top) and not n.endswith("/"))
        strays = [n for n in archive.namelist() if not n.startswith(top)]
        print("\n".join(top + f for f in files))
        if files != sorted(EXPECTED) or strays:
            failures.append("listing differs: extra %s, missing %s, outside %s" % (
                sorted(set(files) - set(EXPECTED)), sorted(set(EXPECTED) - set(files)), strays))
        machine_paths = {os.path.realpath(p) for p in (source, release, debug, x64)}
        machine_paths.add(os.path.expanduser("~"))
        for name in files:
            data = archive.read(top + name)
            for path in machine_paths:
                if path.encode() in data:
                    failures.append("%s holds the build machine's path %s" % (name, path))
        same = {"lib/Halvex32.def": os.path.join(release, "exports", "Halvex32.def"),
                "lib/Halvex32D.def": os.path.join(release, "exports", "Halvex32D.def"),
                "lib/x64/Halvex64.def": os.path.join(release, "exports", "Halvex64.def"),
                "lib/HalvexFixture32.def": os.path.join(release, "fixture", "exports",
                                                        "HalvexFixture32.def"),
                "include/halvex_fixture.h": os.path.join(source, "include", "halvex_fixture.h"),
                "docs/windows.md": os.path.join(source, "docs", "windows.md"),
                "docs/behaviour.md": os.path.join(source, "docs", "behaviour.md"),
                "include/halvex.h": os.path.join(source, "include", "halvex.h"),
                "dotnet/Halvex.cs": os.path.join(source, "bindings", "dotnet", "Halvex.cs"),
                "dotnet/HalvexFixture.cs": os.path.join(source, "bindings", "dotnet",
                                                        "HalvexFixture.cs"),
                "dotnet/Halvex.vb": os.path.join(source, "bindings", "dotnet", "Halvex.vb"),
                "examples/list_cards.c": os.path.join(source, "examples", "list_cards.c")}
        for name, path in same.items():
            with open(path, "rb") as f:
                if name in files and archive.read(top + name) != f.read():
                    failures.append("%s differs from %s" % (name, path))
        # The plain .def form that Visual Studio's lib /def: reads: no "==" aliases, no "=".
        for n, d in DLLS.items():
            table = "fixture" if n.startswith("HalvexFixture") else "driver"
            name, count = f"lib/{d}{n}.def", exports_in(os.path.join(source, table))
            if name in files:
                text = archive.read(top + name).decode()
                exports = [l.strip() for l in text.split("EXPORTS", 1)[1].splitlines() if l.strip()]
                if len(exports) != count or any("=" in e or " " in e for e in exports):
                    failures.append("%s is not %d plain EXPORTS lines" % (name, count))
    return failures


def exports_in(folder: str) -> int:
    with open(os.path.join(folder, "export_table.inc")) as f:
        return sum(1 for line in f if line.startswith("HALVEX_EXPORT("))


def builds_alone(kit: str, compiler: str, implib: str) -> List[str]:
    """The kit's example, compiled and linked with nothing but the kit (implib under lib/)."""
    top = os.path.basename(kit)[: -len(".zip")]
    with tempfile.TemporaryDirectory(prefix="halvex-kit-example-") as work:
        with zipfile.ZipFile(kit) as archive:
            archive.extractall(work)
        root = os.path.join(work, top)
        r = subprocess.run([compiler, "-Wall", "-Werror", "-I", os.path.join(root, "include"),
                            os.path.join(root, "examples", "list_cards.c"),
                            os.path.join(root, "lib", implib),
                            "-o", os.path.join(work, "list_cards.exe")],
                           capture_output=True, text=True)
    return [] if r.returncode == 0 else ["the kit's example does not build with %s: %s" % (
        implib, r.stderr)]


def cache_value(build: str, name: str) -> str:
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    raise SystemExit("%s has no %s" % (build, name))


def main(argv: List[str]) -> int:
    cmake, release, kit, source = argv[1:5]
    subprocess.run([cmake, "--build", release, "--target", "kit"], check=True)
    x64 = os.path.join(os.path.dirname(release), "win64")
    failures = check(kit, release, os.path.join(os.path.dirname(release), "win-debug"), x64, source)
    failures += builds_alone(kit, cache_value(release, "MINGW_GCC"), "libHalvex32.dll.a")
    failures += builds_alone(kit, cache_value(x64, "MINGW_GCC"), "x64/libHalvex64.dll.a")
    # A debug folder elsewhere, not configured yet, given relative to the caller's folder.
    version = os.path.basename(kit)[len("halvex-"): -len("-win32.zip")]
    with tempfile.TemporaryDirectory(prefix="halvex-kit-") as work:
        subprocess.run(["bash", os.path.join(source, "scripts", "make-kit.sh"), source, release,
                        "debug-elsewhere", version, cache_value(release, "HALVEX_STRIP"), x64,
                        cache_value(release, "HALVEX_STRIP64")],
                       cwd=work, check=True)
        failures += ["with a debug folder of its own: " + f
                     for f in check(kit, release, os.path.join(work, "debug-elsewhere"), x64,
                                    source)]
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
