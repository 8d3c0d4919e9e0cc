"""Writes what the Debian packages carry besides the build's own files.

    make_files.py --source SRC --version V --maintainer "NAME <MAIL>" --halvexctl-man FILE
                  --simulator PROGRAM --out DIR

DIR receives: copyright (the machine-readable form, with LICENSE's text); changelog.gz (the
released versions of CHANGELOG.md up to V in Debian's changelog format, one entry made up for V
when it has none yet: a development build); man/halvexctl.1.gz, and man/halvex-sim.1.gz and
man/halvex-panel.1.gz made from the programs' --help; halvex-panel, the panel's launcher; and
python/halvex-V.dist-info, the Python distribution's metadata from pyproject.toml (without the
wheel's halvexctl command: halvex-tools installs the program itself).

Every file is the same for the same sources: gzip without a name or time stamp, dates from the
changelog.
"""

import argparse
import datetime
import gzip
import os
import re
import shutil
import subprocess
import sys
import textwrap
import tomllib

WIDTH = 79  # Debian's changelog lines stay within 80 columns


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)
    os.chmod(path, mode)


def write_gzip(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    # gzip -9n: best compression, no name, no time stamp
    with open(path, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=raw, mtime=0) as f:
            f.write(data.encode() if isinstance(data, str) else data)
    os.chmod(path, 0o644)


def copyright_file(license_text):
    holder = re.search(r"^Copyright \(c\) (.+)$", license_text, re.M)
    if not holder:
        sys.exit("make_files: LICENSE names no copyright holder")
    body = license_text.split("\n", 1)[1].strip()
    # The licence without its title and copyright line, as a DEP-5 text block.
    body = body.split("\n", 1)[1].strip() if body.startswith("Copyright") else body
    lines = [" " + line if line.strip() else " ." for line in body.splitlines()]
    return (
        "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
        "Upstream-Name: Halvex32\n\n"
        "Files: *\n"
        "Copyright: %s\n"
        "License: Expat\n%s\n" % (holder.group(1), "\n".join(lines))
    )


def released_versions(changelog):
    """[(version, date, [markdown lines])] of CHANGELOG.md's released versions, newest first."""
    versions = []
    current = None
    for line in changelog.splitlines():
        heading = re.match(r"^## (\S+)(?: \((\d{4}-\d{2}-\d{2})\))?\s*$", line)
        if heading:
            current = None
            if heading.group(2):
                current = (heading.group(1), heading.group(2), [])
                versions.append(current)
        elif current is not None:
            current[2].append(line)
    return versions


def version_key(version):
    return tuple(int(part) for part in re.findall(r"\d+", version))


def debian_items(lines):
    """CHANGELOG.md's paragraphs, bullets and subheadings as a changelog entry's lines."""
    blocks = []  # (indent level, text)
    level = 0
    for line in lines:
        if not line.strip():
            blocks.append(None)
            continue
        sub = re.match(r"^###\s+(.*)", line)
        if sub:
            blocks.append((0, sub.group(1).strip() + ":"))
            level = 1
        elif line.startswith("- "):
            blocks.append((level, line[2:].strip()))
        elif line.startswith("  ") and blocks and blocks[-1] is not None:
            blocks[-1] = (blocks[-1][0], blocks[-1][1] + " " + line.strip())
        elif blocks and blocks[-1] is not None and not line.startswith("#"):
            blocks[-1] = (blocks[-1][0], blocks[-1][1] + " " + line.strip())
        else:
            blocks.append((0, line.strip()))
            level = 0
    out = []
    for block in blocks:
        if block is None:
            continue
        indent, text = block
        text = text.replace("**", "")
        first, rest = ("  * ", "    ") if indent == 0 else ("    - ", "      ")
        out.extend(textwrap.wrap(text, WIDTH, initial_indent=first, subsequent_indent=rest,
                                 break_long_words=False, break_on_hyphens=False))
    return out


def rfc2822(date):
    day = datetime.datetime.strptime(date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)
    return day.strftime("%a, %d %b %Y %H:%M:%S +0000")


def debian_changelog(changelog, version, maintainer):
    versions = [v for v in released_versions(changelog) if version_key(v[0]) <= version_key(version)]
    if not versions:
        sys.exit("make_files: CHANGELOG.md has no released version up to %s" % version)
    entries = []
    if versions[0][0] != version:
        # A build of a version not yet released: dated as the last release, so that it is the
        # same file for the same sources.
        entries.append((version, versions[0][1], ["  * A development build of %s; CHANGELOG.md" % version,
                                                  "    lists its changes under Unreleased."]))
    entries.extend((v, date, debian_items(lines)) for v, date, lines in versions)
    text = ""
    for v, date, items in entries:
        text += "halvex (%s) unstable; urgency=medium\n\n%s\n\n -- %s  %s\n\n" % (
            v, "\n".join(items), maintainer, rfc2822(date))
    return text.rstrip("\n") + "\n", entries[0][1]


def roff(text):
    """Text set verbatim in a man page."""
    out = []
    for line in text.splitlines():
        line = line.replace("\\", "\\e").replace("-", "\\-")
        if line.startswith((".", "'")):
            line = "\\&" + line
        out.append(line)
    return "\n".join(out)


def man_page(name, summary, help_text, version, date, see_also):
    usage, _, description = help_text.strip("\n").partition("\n\n")
    usage = re.sub(r"^usage: ", "", usage)
    usage = "\n".join(line[len("       "):] if line.startswith("       ") else line
                      for line in usage.splitlines())
    return (
        '.TH %s 1 "%s" "halvex %s" "User Commands"\n'
        ".SH NAME\n%s \\- %s\n"
        ".SH SYNOPSIS\n.nf\n%s\n.fi\n"
        ".SH DESCRIPTION\n.nf\n%s\n.fi\n"
        ".SH SEE ALSO\n%s\n"
        % (name.upper(), date, version, name, summary, roff(usage), roff(description),
           ", ".join("\\fB%s\\fR(%s)" % tuple(ref.split(":")) for ref in see_also))
    )


def run_help(command, env=None):
    result = subprocess.run(command, capture_output=True, text=True, env=env,
                            cwd=os.path.dirname(os.path.abspath(__file__)))
    if result.returncode != 0:
        sys.exit("make_files: %s exited %d: %s" % (" ".join(command), result.returncode, result.stderr))
    return result.stdout


def dist_info(pyproject, version):
    project = pyproject["project"]
    metadata = ["Metadata-Version: 2.1", "Name: %s" % project["name"], "Version: %s" % version,
                "Summary: %s" % project["description"],
                "Requires-Python: %s" % project["requires-python"]]
    metadata += ["Classifier: %s" % c for c in project.get("classifiers", [])]
    scripts = {k: v for k, v in project.get("scripts", {}).items() if k != "halvexctl"}
    entry_points = "[console_scripts]\n" + "".join("%s = %s\n" % kv for kv in sorted(scripts.items()))
    for group, points in sorted(project.get("entry-points", {}).items()):
        entry_points += "\n[%s]\n" % group + "".join("%s = %s\n" % kv for kv in sorted(points.items()))
    top_level = sorted({p.split(".")[0] for p in pyproject["tool"]["setuptools"]["packages"]})
    return {
        "METADATA": "\n".join(metadata) + "\n",
        "entry_points.txt": entry_points,
        "top_level.txt": "\n".join(top_level) + "\n",
        "INSTALLER": "dpkg\n",
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for option in ("--source", "--version", "--maintainer", "--halvexctl-man", "--simulator", "--out"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    src, out = args.source, args.out

    python_src = os.path.join(src, "bindings", "python")
    with open(os.path.join(python_src, "halvex", "__init__.py")) as f:
        python_version = re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)
    if python_version != args.version:
        sys.exit("make_files: the Python package is %s, the project %s" % (python_version, args.version))

    with open(os.path.join(src, "LICENSE")) as f:
        write(os.path.join(out, "copyright"), copyright_file(f.read()))
    with open(os.path.join(src, "CHANGELOG.md")) as f:
        changelog, date = debian_changelog(f.read(), args.version, args.maintainer)
    write_gzip(os.path.join(out, "changelog.gz"), changelog)

    with open(args.halvexctl_man, "rb") as f:
        write_gzip(os.path.join(out, "man", "halvexctl.1.gz"), f.read())
    write_gzip(os.path.join(out, "man", "halvex-sim.1.gz"),
               man_page("halvex-sim", "a simulated chassis of Halvex relay cards on pseudo-terminals",
                        run_help([args.simulator, "--help"]), args.version, date,
                        ["halvexctl:1", "halvex-panel:1"]))
    env = dict(os.environ, PYTHONPATH=python_src, PYTHONDONTWRITEBYTECODE="1")
    write_gzip(os.path.join(out, "man", "halvex-panel.1.gz"),
               man_page("halvex-panel", "a front panel for a Halvex chassis in the browser",
                        run_help([sys.executable, "-m", "halvex.panel", "--help"], env), args.version,
                        date, ["halvexctl:1", "halvex-sim:1"]))

    write(os.path.join(out, "halvex-panel"),
          "#!/usr/bin/python3\nimport sys\n\nfrom halvex.panel.cli import main\n\nsys.exit(main())\n",
          0o755)
    with open(os.path.join(python_src, "pyproject.toml"), "rb") as f:
        pyproject = tomllib.load(f)
    info = os.path.join(out, "python", "halvex-%s.dist-info" % args.version)
    shutil.rmtree(os.path.join(out, "python"), ignore_errors=True)
    for name, text in dist_info(pyproject, args.version).items():
        write(os.path.join(info, name), text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
