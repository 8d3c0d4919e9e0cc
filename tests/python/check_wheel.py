"""The wheel alone is enough: built by the `wheel` target, installed into a fresh virtual
environment with nothing else from this repository, it runs the Python example of docs/python.md,
the example pytest file with the plugin's fixtures and the halvexctl command it installs.

    check_wheel.py SOURCE_DIR BUILD_DIR

The environment takes pytest from the system's packages (--system-site-packages): nothing can
be downloaded here. Exits non-zero with the reason on the first failure.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

source, build = (os.path.abspath(a) for a in sys.argv[1:3])


def fail(message: str) -> None:
    sys.exit("FAIL: " + message)


def run(command, **kwargs) -> subprocess.CompletedProcess:
    result = subprocess.run(command, capture_output=True, text=True, timeout=600, **kwargs)
    print("$ " + " ".join(command) + "\n" + result.stdout[-3000:] + result.stderr[-3000:])
    if result.returncode != 0:
        fail("%s exited %d" % (command[0], result.returncode))
    return result


run(["cmake", "--build", build, "--target", "wheel"])
wheels = glob.glob(os.path.join(build, "dist", "halvex-*.whl"))
if len(wheels) != 1:
    fail("expected one wheel in dist, found %s" % wheels)
wheel = wheels[0]
if not os.path.basename(wheel).endswith("-py3-none-linux_x86_64.whl"):
    fail("the wheel is not tagged py3-none-linux_x86_64: " + wheel)
with zipfile.ZipFile(wheel) as archive:
    for name in ("halvex/libhalvex.so.1", "halvex/libhalvex-fixture.so.1", "halvex/halvex-sim",
                 "halvex/halvexctl"):
        info = archive.getinfo(name)
        mode = info.external_attr >> 16
        if (mode & 0o170000) != 0o100000 or not mode & 0o111:
            fail("%s is not an executable regular file in the wheel (mode %o)" % (name, mode))
        if archive.read(name)[:4] != b"\x7fELF":
            fail(name + " is not an ELF file")

with tempfile.TemporaryDirectory() as scratch:
    venv = os.path.join(scratch, "venv")
    run([sys.executable, "-m", "venv", "--system-site-packages", venv])
    python = os.path.join(venv, "bin", "python")
    run([python, "-m", "pip", "install", "--no-index", "--no-deps", "--disable-pip-version-check",
         wheel])
    # Nothing of the build or the source tree is visible to what follows.
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "HALVEX_LIBRARY", "HALVEX_SIM", "LD_LIBRARY_PATH",
                        "HALVEX_PORT")}
    env["PATH"] = os.pathsep.join(p for p in env.get("PATH", "").split(os.pathsep)
                                  if p and not p.startswith(build))
    where = run([python, "-c", "import halvex, halvex.sim; print(halvex.load_library().path); "
                 "print(halvex.sim.find_simulator())"], cwd=scratch, env=env).stdout.split()
    for path in where:
        if not path.startswith(venv):
            fail("the wheel's library and simulator were not the ones used: %s" % where)

    # The installed command runs the bundled program, which loads the bundled library (the
    # loader names each library it starts; the build's own copy must not be the one).
    halvexctl = os.path.join(venv, "bin", "halvexctl")
    result = run([halvexctl, "--version"], cwd=scratch, env=dict(env, LD_DEBUG="libs"))
    if not re.fullmatch(r"halvexctl \d+\.\d+\.\d+\n", result.stdout):
        fail("halvexctl --version printed %r" % result.stdout)
    loaded = re.findall(r"calling init: (\S*libhalvex\S*)", result.stderr)
    if not loaded or not all(path.startswith(venv) for path in loaded):
        fail("halvexctl did not load the wheel's library: %s" % loaded)
    if "usage: halvexctl" not in run([halvexctl, "--help"], cwd=scratch, env=env).stdout:
        fail("halvexctl --help printed no usage")

    guide = open(os.path.join(source, "docs", "python.md"), encoding="utf-8").read()
    examples = [b for b in re.findall(r"```python\n(.*?)```", guide, re.S) if "halvex.sim" in b
                and "def test_" not in b]
    if not examples:
        fail("docs/python.md shows no Python example with halvex.sim")
    for body in examples:
        run([python, "-c", body], cwd=scratch, env=env)

    tests = os.path.join(scratch, "tests")
    shutil.copytree(os.path.join(source, "examples", "python"), tests)
    result = run([python, "-m", "pytest", "-p", "no:cacheprovider", "-q", tests], cwd=scratch,
                 env=env)
    if not re.search(r"\b3 passed\b", result.stdout):
        fail("the example tests did not all pass")
print("the wheel works on its own")
