"""The set-up's plan mode, run as on a bare machine.

scripts/install-deps.sh --plan runs with a PATH that holds only a folder of stand-ins: bash and
the base system's tools, a dpkg-query that reports the packages of HALVEX_STANDIN_INSTALLED,
an id that says root, and an apt-get that records being called. The apt configuration and the
Wine loader are read from a scratch root (HALVEX_SETUP_ROOT), in both forms a Debian root keeps
its sources in.
"""
import os
import shutil
import subprocess
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                      "install-deps.sh")

# What the suite needs on a bare bookworm machine whose kernel cannot run 32-bit programs.
DEMO = {"cmake", "g++", "make", "nlohmann-json3-dev", "libedit-dev", "libtomlplusplus-dev"}
NATIVE = DEMO | {"ninja-build", "libgtest-dev", "python3", "pkg-config", "doxygen",
          "python3-pytest", "mypy", "python3-venv", "python3-pip", "python3-setuptools",
          "python3-wheel", "chromium", "chromium-driver", "python3-selenium", "fonts-nanum",
          "mono-mcs", "mono-runtime", "libmono-i18n4.0-all",
          "qemu-system-x86", "busybox-static", "linux-image-amd64", "lintian"}
FULL = NATIVE | {"googletest", "clang", "libclang-rt-14-dev", "g++-mingw-w64-i686", "g++-mingw-w64-x86-64",
                 "llvm-14",
                 "lld-14", "wine",
                 "wine32:i386", "wine64", "qemu-user-static/bookworm-backports"}

# The base system's programs the script may use; everything else is absent.
BASE_TOOLS = ["bash", "sh", "cat", "sed", "grep", "head", "tail", "tr", "cut", "dirname",
              "mkdir", "mktemp", "rm", "cp", "env", "readlink", "sort", "tee", "awk", "true"]

ONE_LINE = "deb http://mirror.example/debian bookworm main\n"
ONE_LINE_OPTIONS = "deb [signed-by=/usr/share/keyrings/k.gpg] http://opts.example/debian bookworm main\n"
DEB822 = ("Types: deb\nURIs: http://deb822.example/debian\nSuites: bookworm bookworm-updates\n"
          "Components: main\n")


def _hiding_command():
    """A prefix that runs a command with this machine's own Wine loader (which a probe would
    find by its absolute path) hidden in a mount namespace of its own, or None where that cannot
    be done (not root; a chroot, whose root is no mount point)."""
    hide = [d for d in ("/usr/lib/wine",) if os.path.isdir(d)]
    unshare, mount = shutil.which("unshare"), shutil.which("mount")
    if not (hide and os.geteuid() == 0 and unshare and mount):
        return None
    mounts = " && ".join(f"{mount} -t tmpfs none {d}" for d in hide)
    prefix = [unshare, "--mount", "--propagation", "private", "/bin/sh", "-c",
              f'{mounts} && exec "$@"', "sh"]
    works = subprocess.run(prefix + ["/bin/true"], capture_output=True).returncode == 0
    return prefix if works else None


HIDING = _hiding_command()


def bare_view(argv):
    """The command as a bare machine would run it, as far as this machine allows."""
    return HIDING + argv if HIDING else argv


def standin(folder: str, name: str, body: str) -> None:
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write("#!" + shutil.which("bash") + "\n" + body)
    os.chmod(path, 0o755)


class PlanTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.bin = os.path.join(self.tmp.name, "bin")
        self.root = os.path.join(self.tmp.name, "root")
        self.calls = os.path.join(self.tmp.name, "apt-calls")
        os.makedirs(self.bin)
        os.makedirs(os.path.join(self.root, "etc", "apt", "sources.list.d"))
        with open(os.path.join(self.root, "etc", "os-release"), "w") as f:
            f.write('PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nVERSION_CODENAME=bookworm\n')
        for tool in BASE_TOOLS:
            real = shutil.which(tool)
            if real:
                os.symlink(real, os.path.join(self.bin, tool))
        standin(self.bin, "id", 'echo 0\n')
        standin(self.bin, "dpkg-query",
                'for p in ${HALVEX_STANDIN_INSTALLED:-}; do\n'
                '  [ "$p" = "${@: -1}" ] && { printf "install ok installed"; exit 0; }\n'
                'done\n'
                'echo "dpkg-query: no packages found matching ${@: -1}" >&2; exit 1\n')
        standin(self.bin, "dpkg", 'exit 0\n')
        for tool in ("apt-get", "apt-cache", "sudo"):
            standin(self.bin, tool, f'echo "{tool} $*" >> {self.calls}; exit 1\n')

    def sources(self, one_line=None, deb822=None):
        apt = os.path.join(self.root, "etc", "apt")
        if one_line is not None:
            with open(os.path.join(apt, "sources.list"), "w") as f:
                f.write(one_line)
        if deb822 is not None:
            with open(os.path.join(apt, "sources.list.d", "debian.sources"), "w") as f:
                f.write(deb822)

    def plan(self, *args, installed=()):
        env = {"PATH": self.bin, "HALVEX_SETUP_ROOT": self.root,
               "HALVEX_STANDIN_INSTALLED": " ".join(installed), "TMPDIR": self.tmp.name}
        r = subprocess.run(bare_view([os.path.join(self.bin, "bash"), SCRIPT, "--plan", *args]), env=env,
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, f"plan mode exited {r.returncode}: {r.stderr}")
        self.assertFalse(os.path.exists(self.calls), "plan mode called the package tools")
        return set(r.stdout.split()), r.stderr

    def test_bare_machine_plans_everything_the_suite_needs(self):
        for name, one_line, deb822, mirror in [
            ("one-line sources.list only", ONE_LINE, None, "http://mirror.example/debian"),
            ("one-line with options", ONE_LINE_OPTIONS, None, "http://opts.example/debian"),
            (".sources form only", None, DEB822, "http://deb822.example/debian"),
            ("empty sources.list", "", None, "http://deb.debian.org/debian"),
        ]:
            with self.subTest(name):
                self.sources(one_line, deb822)
                planned, notes = self.plan()
                self.assertEqual(planned, FULL)
                self.assertIn(f"would add bookworm-backports from {mirror}", notes)
                for f in ("sources.list", "sources.list.d/debian.sources"):
                    p = os.path.join(self.root, "etc", "apt", f)
                    if os.path.exists(p):
                        os.remove(p)

    def test_partial_set_ups_plan_their_part(self):
        self.sources(ONE_LINE)
        for option, expected in [("--native-only", NATIVE), ("--demo", DEMO)]:
            with self.subTest(option):
                planned, _ = self.plan(option)
                self.assertEqual(planned, expected)

    def test_backports_already_listed_is_not_added_again(self):
        self.sources(ONE_LINE + "deb http://mirror.example/debian bookworm-backports main\n")
        planned, notes = self.plan()
        self.assertIn("qemu-user-static/bookworm-backports", planned)
        self.assertNotIn("would add", notes)

    def test_other_release_takes_its_own_qemu(self):
        self.sources(ONE_LINE)
        with open(os.path.join(self.root, "etc", "os-release"), "w") as f:
            f.write("VERSION_CODENAME=trixie\n")
        planned, notes = self.plan()
        self.assertIn("qemu-user-static", planned)
        self.assertNotIn("would add", notes)

    def test_everything_present_plans_nothing(self):
        self.sources(ONE_LINE)
        standin(self.bin, "qemu-i386-static", 'echo "qemu-i386 version 8.2.2 (Debian 1:8.2.2)"\n')
        installed = [p for p in FULL if "/" not in p]
        planned, notes = self.plan(installed=installed)
        self.assertEqual(planned, set())
        self.assertEqual(notes, "")

    def test_old_qemu_is_replaced_by_backports(self):
        self.sources(ONE_LINE)
        standin(self.bin, "qemu-i386-static", 'echo "qemu-i386 version 7.2.15 (Debian 1:7.2)"\n')
        installed = [p for p in FULL if "/" not in p]
        planned, _ = self.plan(installed=installed)
        self.assertEqual(planned, {"qemu-user-static/bookworm-backports"})

    def test_wine_loader_that_runs_needs_no_qemu(self):
        self.sources(ONE_LINE)
        loader = os.path.join(self.root, "usr", "lib", "wine")
        os.makedirs(loader)
        standin(loader, "wine", 'echo wine-8.0\n')
        installed = [p for p in FULL if "/" not in p]
        planned, _ = self.plan(installed=installed)
        self.assertEqual(planned, set())

    def test_unknown_option_is_refused_with_a_message(self):
        env = {"PATH": self.bin, "HALVEX_SETUP_ROOT": self.root}
        r = subprocess.run([os.path.join(self.bin, "bash"), SCRIPT, "--frobnicate"], env=env,
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 64)
        self.assertIn("unknown option --frobnicate", r.stderr)

    def test_missing_dpkg_says_what_to_do(self):
        os.remove(os.path.join(self.bin, "dpkg-query"))
        r = subprocess.run([os.path.join(self.bin, "bash"), SCRIPT], env={"PATH": self.bin},
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 1)
        self.assertRegex(r.stderr, r"FAILED: dpkg-query not found .*; run by hand: ")

    def test_failed_install_step_says_what_failed(self):
        self.sources(ONE_LINE)
        env = {"PATH": self.bin, "HALVEX_SETUP_ROOT": self.root, "TMPDIR": self.tmp.name,
               "HALVEX_APT_RETRY_PAUSE": "0"}
        r = subprocess.run([os.path.join(self.bin, "bash"), SCRIPT, "--native-only"], env=env,
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 1)
        self.assertIn("FAILED: reading the package lists; run by hand: apt-get update", r.stderr)
        with open(self.calls) as f:
            self.assertEqual(f.read().count("apt-get update"), 3)  # a mirror mid-sync gets retries


if __name__ == "__main__":
    unittest.main()
