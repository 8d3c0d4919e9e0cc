"""The Debian packages as CI can check them in seconds, without a root to install them in.

    check_debs.py BUILD_DIR VERSION MULTIARCH

Builds them (`--target deb`), then holds each to what it must carry and declare, checks the
programs and libraries have no run path and no debug information, runs the unpacked halvexctl
and Python package over the unpacked library, and runs lintian, which must report no error.
scripts/check-bare-machine.sh --packages installs them on a bare Debian root.
"""

import os
import subprocess
import sys
import tempfile

build, version, multiarch = sys.argv[1:4]
lib = "usr/lib/%s/" % multiarch
doc = ["usr/share/doc/{p}/copyright", "usr/share/doc/{p}/changelog.gz"]
runtime = "libhalvex1 (= %s)" % version

# package: (architecture, files it must hold, files it must not, what Depends must name); "any"
# is the machine's architecture.
PACKAGES = {
    "libhalvex1": ("any", [lib + "libhalvex.so.1", lib + "libhalvex.so.%s" % version,
                             lib + "libhalvex-fixture.so.1"],
                   [lib + "libhalvex.so", "usr/include/halvex.h"], ["libc6", "libstdc++6"]),
    "libhalvex-dev": ("any", ["usr/include/halvex.h", "usr/include/halvex_fixture.h",
                                lib + "libhalvex.so", lib + "libhalvex-fixture.so",
                                lib + "pkgconfig/halvex.pc", lib + "cmake/Halvex/HalvexConfig.cmake",
                                lib + "cmake/Halvex/HalvexConfigVersion.cmake"],
                      [lib + "libhalvex.so.1"], [runtime]),
    "halvex-tools": ("any", ["usr/bin/halvexctl", "usr/bin/halvex-sim",
                               "usr/share/man/man1/halvexctl.1.gz", "usr/share/man/man1/halvex-sim.1.gz",
                               "usr/share/bash-completion/completions/halvexctl"],
                     [lib + "libhalvex.so.1"], [runtime, "libedit2", "libc6"]),
    "python3-halvex": ("all", ["usr/lib/python3/dist-packages/halvex/__init__.py",
                               "usr/lib/python3/dist-packages/halvex/panel/static/index.html",
                               "usr/lib/python3/dist-packages/halvex-%s.dist-info/entry_points.txt" % version,
                               "usr/bin/halvex-panel", "usr/share/man/man1/halvex-panel.1.gz"],
                       ["usr/bin/halvexctl"], [runtime, "python3"]),
}
deb_arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
failures = []


def check(ok, message):
    if not ok:
        failures.append(message)


def run(*command, **kw):
    return subprocess.run(command, capture_output=True, text=True, **kw)


made = run("cmake", "--build", build, "--target", "deb")
if made.returncode != 0:
    sys.exit("the deb target failed:\n" + made.stdout + made.stderr)
out = os.path.join(build, "packages")
debs = sorted(os.listdir(out))
arch_of = {p: (deb_arch if a == "any" else a) for p, (a, *_) in PACKAGES.items()}
expected = sorted("%s_%s_%s.deb" % (p, version, arch_of[p]) for p in PACKAGES)
if debs != expected:
    sys.exit("packages/ holds %s, not %s" % (debs, expected))

with tempfile.TemporaryDirectory() as scratch:
    for package, (_, present, absent, depends) in PACKAGES.items():
        deb = os.path.join(out, "%s_%s_%s.deb" % (package, version, arch_of[package]))
        fields = dict(line.split(": ", 1) for line in run("dpkg-deb", "-f", deb).stdout.splitlines()
                      if ": " in line and not line.startswith(" "))
        check(fields.get("Version") == version, "%s: version %s" % (package, fields.get("Version")))
        check("@" in fields.get("Maintainer", ""), "%s: no maintainer" % package)
        for name in depends:
            check(name in fields.get("Depends", ""), "%s: Depends does not name %s: %s"
                  % (package, name, fields.get("Depends")))
        listing = run("dpkg-deb", "-c", deb).stdout.splitlines()
        files = {line.split()[5][2:].rstrip("/") for line in listing}
        for f in present + [d.format(p=package) for d in doc]:
            check(f in files, "%s: no %s" % (package, f))
        for f in absent:
            check(f not in files, "%s: carries %s" % (package, f))
        if package == "python3-halvex":  # the system's library, no copy of it or of any program
            native = [f for f in files if f.startswith("usr/lib/python3") and
                      (".so" in f or f.endswith(("/halvex-sim", "/halvexctl")))]
            check(not native, "python3-halvex carries native files: %s" % native)
            scripts = run("dpkg-deb", "-I", deb).stdout
            check("postinst" in scripts and "prerm" in scripts, "python3-halvex: no byte-compiling scripts")
        if package == "libhalvex1":
            control = os.path.join(scratch, "control")
            run("dpkg-deb", "-e", deb, control)
            names = sorted(os.listdir(control))
            check("postinst" not in names and "postrm" not in names, "libhalvex1: maintainer scripts %s" % names)
            with open(os.path.join(control, "triggers")) as f:
                check(f.read().strip() == "activate-noawait ldconfig", "libhalvex1: no ldconfig trigger")
            with open(os.path.join(control, "shlibs")) as f:
                check("libhalvex 1 libhalvex1 (>= %s)" % version in f.read(), "libhalvex1: shlibs")
        run("dpkg-deb", "-x", deb, os.path.join(scratch, "root"))

    root = os.path.join(scratch, "root")
    for f in ["usr/bin/halvexctl", "usr/bin/halvex-sim", lib + "libhalvex.so.1", lib + "libhalvex-fixture.so.1"]:
        dynamic = run("readelf", "-d", os.path.join(root, f)).stdout
        check("RPATH" not in dynamic and "RUNPATH" not in dynamic, "%s has a run path" % f)
        sections = run("readelf", "-S", os.path.join(root, f)).stdout
        check(".debug_info" not in sections, "%s is not stripped" % f)
    with open(os.path.join(root, lib, "pkgconfig", "halvex.pc")) as f:
        check("prefix=/usr\n" in f.read(), "halvex.pc is not for /usr")
    # The unpacked programs and Python package over the unpacked library.
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(root, lib), PYTHONDONTWRITEBYTECODE="1",
               PYTHONPATH=os.path.join(root, "usr/lib/python3/dist-packages"))
    env.pop("HALVEX_LIBRARY", None)
    ctl = run(os.path.join(root, "usr/bin/halvexctl"), "--version", env=env)
    check(ctl.stdout.strip() == "halvexctl " + version, "halvexctl --version: %r %r" % (ctl.stdout, ctl.stderr))
    py = run(sys.executable, "-c", "import os, halvex, halvex._library as l; l.load_library(); "
             "print(halvex.__file__); print(sorted({os.path.realpath(x.split()[-1]) for x in "
             "open('/proc/self/maps') if 'libhalvex.so' in x}))", env=env, cwd=scratch)
    check(py.returncode == 0 and py.stdout.startswith(root) and
          "['%s']" % os.path.realpath(os.path.join(root, lib, "libhalvex.so.%s" % version)) in py.stdout,
          "the packaged Python did not load the packaged library: %r %r" % (py.stdout, py.stderr))

lintian = run("lintian", *[os.path.join(out, d) for d in debs]) if run("which", "lintian").returncode == 0 else None
if lintian is None:
    failures.append("lintian is not installed (scripts/install-deps.sh installs it)")
else:
    errors = [line for line in lintian.stdout.splitlines() if line.startswith("E: ")]
    check(not errors and lintian.returncode == 0, "lintian: %s %s" % (errors, lintian.stderr[-500:]))
    print(lintian.stdout, end="")

for failure in failures:
    print("FAIL:", failure)
if failures:
    sys.exit(1)
print("%d Debian packages of %s: contents, fields, run paths, the unpacked tools and lintian" % (len(debs), version))
