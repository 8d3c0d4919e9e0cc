"""Builds the halvex wheel with the driver library, the simulator and halvexctl inside, offline.

    build_wheel.py SOURCE LIBRARY FIXTURE SIMULATOR HALVEXCTL WORK DIST

SOURCE is this folder; LIBRARY the built libhalvex.so (its real file is copied, as
libhalvex.so.1); FIXTURE the built fixture layer (as libhalvex-fixture.so.1); SIMULATOR the
built halvex-sim; HALVEXCTL the built halvexctl, which the
wheel's `halvexctl` command runs with the bundled library. The wheel is tagged for this platform
(py3-none-linux_<machine>): it is pure Python around native programs, which suit any Python 3.
"""

import glob
import os
import platform
import shutil
import subprocess
import sys


def main(source: str, library: str, fixture: str, simulator: str, halvexctl: str, work: str,
         dist: str) -> int:
    staging = os.path.join(work, "src")
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(
        source,
        staging,
        ignore=shutil.ignore_patterns("__pycache__", "*.pyc", "build", "*.egg-info", "build_wheel.py"),
    )
    package = os.path.join(staging, "halvex")
    shutil.copyfile(os.path.realpath(library), os.path.join(package, "libhalvex.so.1"))
    shutil.copyfile(os.path.realpath(fixture), os.path.join(package, "libhalvex-fixture.so.1"))
    shutil.copyfile(os.path.realpath(simulator), os.path.join(package, "halvex-sim"))
    shutil.copyfile(os.path.realpath(halvexctl), os.path.join(package, "halvexctl"))
    strip = shutil.which("strip")
    for name in ("libhalvex.so.1", "libhalvex-fixture.so.1", "halvex-sim", "halvexctl"):
        path = os.path.join(package, name)
        os.chmod(path, 0o755)
        if strip:  # debug information stays in the build, not in every installation
            subprocess.run([strip, "--strip-debug", path], check=True)
    machine = platform.machine().lower().replace("-", "_")
    with open(os.path.join(staging, "setup.cfg"), "w") as cfg:
        cfg.write("[bdist_wheel]\npython_tag = py3\nplat_name = linux_%s\n" % machine)
    os.makedirs(dist, exist_ok=True)
    for old in glob.glob(os.path.join(dist, "halvex-*.whl")):
        os.remove(old)
    command = [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation",
               "--no-index", "--disable-pip-version-check", "-w", dist, staging]
    result = subprocess.run(command, cwd=work)
    if result.returncode != 0:
        return result.returncode
    wheels = glob.glob(os.path.join(dist, "halvex-*.whl"))
    if len(wheels) != 1:
        print("build_wheel: expected one wheel in %s, found %s" % (dist, wheels), file=sys.stderr)
        return 1
    print("built %s" % wheels[0])
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 8:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
