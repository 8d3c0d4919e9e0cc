"""Keeps the Windows calling guide (docs/windows.md) true to the files it quotes and to the
export table.

    check_windows_guide.py SOURCE_DIR [--update]

- A fenced code block that follows a line "<!-- quote: PATH#NAME -->" must be the lines between
  "[guide:NAME]" and "[/guide:NAME]" in the file PATH of the tree; --update rewrites those
  blocks from the files instead of checking them. No file is quoted whole.
- A fenced code block that follows a line "<!-- excerpt: PATH -->" must be consecutive whole
  lines of PATH, at most EXCERPT_LINES of them.
- The guide links the .NET declaration files, which the kit ships, instead of quoting them.
- The .NET declarations (Halvex.cs, compiled and run in the tests, and Halvex.vb, on paper)
  declare all exports, each with the entry name of Halvex32.dll and, under HALVEX32D, of
  Halvex32D.dll, as the export table gives them.
- The LabVIEW table names every export as each DLL exports it, and every decorated name anywhere
  in the guide is one Halvex32.dll or HalvexFixture32.dll exports.
- The buffer sizes the LabVIEW table asks for are the header's: HALVEX_MESSAGE_MAX for the
  message, HALVEX_REPLY_MAX for replies.
"""

from __future__ import annotations

import os
import re
import sys
from typing import Dict, List, Tuple

QUOTE = re.compile(r"^<!-- quote: (\S+?)(?:#(\S+))? -->\n(```\w*\n)(.*?)^```$", re.M | re.S)
EXCERPT = re.compile(r"^<!-- excerpt: (\S+) -->\n```\w*\n(.*?)^```$", re.M | re.S)
EXCERPT_LINES = 12
DOTNET = ("bindings/dotnet/Halvex.cs", "bindings/dotnet/Halvex.vb")


def export_table(source: str) -> List[Tuple[str, str, str]]:
    """(function, Halvex32.dll name, Halvex32D.dll name) per export, in table order."""
    rows = []
    with open(os.path.join(source, "driver", "export_table.inc")) as f:
        for line in f:
            m = re.match(r"HALVEX_EXPORT\((\w+), (\d+), (plain|decorated)\)", line)
            if m:
                name, size, debug = m.groups()
                decorated = "_%s@%s" % (name, size)
                rows.append((name, decorated, name if debug == "plain" else decorated))
    return rows


def quoted(source: str, path: str, region: str) -> str:
    with open(os.path.join(source, path), encoding="utf-8") as f:
        text = f.read()
    if not region:
        return text
    m = re.search(r"^[^\n]*\[guide:%s\][^\n]*\n(.*?)^[^\n]*\[/guide:%s\]" % (region, region),
                  text, re.M | re.S)
    if not m or not m.group(1).strip():
        raise SystemExit("%s has no region %s, or an empty one" % (path, region))
    return m.group(1)


def check_quotes(source: str, guide: str, update: bool) -> Tuple[str, List[str]]:
    failures = []
    count = 0

    def replace(m: "re.Match[str]") -> str:
        nonlocal count
        count += 1
        if not m.group(2):
            failures.append("the guide quotes %s whole; link it, or quote a region" % m.group(1))
            return m.group(0)
        want = quoted(source, m.group(1), m.group(2))
        if m.group(4) != want:
            failures.append("block quoting %s%s differs from the file" % (
                m.group(1), "#" + m.group(2) if m.group(2) else ""))
        return m.group(0)[: m.start(4) - m.start(0)] + want + "```"

    updated = QUOTE.sub(replace, guide)
    if count == 0:
        failures.append("the guide quotes no file")
    return updated, ([] if update else failures)


def check_excerpts(source: str, guide: str) -> List[str]:
    failures = []
    for path, body in EXCERPT.findall(guide):
        with open(os.path.join(source, path), encoding="utf-8") as f:
            text = "\n" + f.read()
        if ("\n" + body) not in text:
            failures.append("excerpt of %s is not lines of the file: %r" % (path, body[:60]))
        if body.count("\n") > EXCERPT_LINES:
            failures.append("excerpt of %s is %d lines, more than %d" % (
                path, body.count("\n"), EXCERPT_LINES))
    for path in DOTNET:
        if "](../%s)" % path not in guide:
            failures.append("the guide does not link %s" % path)
    return failures


def branch_names(text: str, const: str, marker_if: str, marker_else: str, marker_end: str
                 ) -> Tuple[Dict[str, str], Dict[str, str]]:
    """The entry-name constants of the HALVEX32D branch and of the other branch."""
    debug_part = text.split(marker_if, 1)[1].split(marker_else, 1)[0]
    release_part = text.split(marker_else, 1)[1].split(marker_end, 1)[0]
    pick = lambda part: dict(re.findall(const, part))  # noqa: E731
    return pick(debug_part), pick(release_part)


def check_dotnet(source: str, rows: List[Tuple[str, str, str]]) -> List[str]:
    failures = []
    files = {
        "bindings/dotnet/Halvex.cs": (r'const string E(\w+) = "([^"]+)";', "#if HALVEX32D", "#else",
                                      "#endif", r"EntryPoint = E(\w+)[^\]]*\]\s*public static extern int (\w+)\("),
        "bindings/dotnet/Halvex.vb": (r'Const E(\w+) As String = "([^"]+)"', "#If HALVEX32D Then",
                                      "#Else", "#End If",
                                      r"EntryPoint:=E(\w+)[^>]*>\s*Public Function (\w+)\("),
    }
    for path, (const, if_, else_, end, declared) in files.items():
        with open(os.path.join(source, path), encoding="utf-8") as f:
            text = f.read()
        debug, release = branch_names(text, const, if_, else_, end)
        want_release = {name: rel for name, rel, _ in rows}
        want_debug = {name: dbg for name, _, dbg in rows}
        if release != want_release:
            failures.append("%s: Halvex32.dll entry names differ from the table: %s" % (
                path, sorted(set(release.items()) ^ set(want_release.items()))))
        if debug != want_debug:
            failures.append("%s: Halvex32D.dll entry names differ from the table: %s" % (
                path, sorted(set(debug.items()) ^ set(want_debug.items()))))
        functions = re.findall(declared, text)
        if sorted(functions) != sorted((name, name) for name, _, _ in rows):
            failures.append("%s: declarations differ from the table's exports: %s" % (
                path, sorted(set(functions) ^ {(name, name) for name, _, _ in rows})))
        # The 64-bit declarations: every export once, under Halvex64.dll's plain name.
        if path.endswith(".cs"):
            wide = re.findall(r'EntryPoint = "(\w+)"\)\]\s*public static extern int (\w+)\(', text)
            if sorted(wide) != sorted((name, name) for name, _, _ in rows):
                failures.append("%s: Halvex64.dll declarations differ from the table: %s" % (
                    path, sorted(set(wide) ^ {(name, name) for name, _, _ in rows})))
    return failures


def fixture_exports(source: str) -> set:
    """The decorated names HalvexFixture32.dll exports."""
    with open(os.path.join(source, "fixture", "export_table.inc")) as f:
        return {"_%s@%s" % m.groups() for m in
                (re.match(r"HALVEX_EXPORT\((\w+), (\d+), plain\)", line) for line in f) if m}


def check_names(source: str, guide: str, rows: List[Tuple[str, str, str]]) -> List[str]:
    failures = []
    table = re.findall(r"^\| `(\w+)` \| `([^`]+)` \| `([^`]+)` \|", guide, re.M)
    if table != rows:
        failures.append("LabVIEW table rows differ from the export table: %s" % (
            sorted(set(table) ^ set(rows))))
    exported = {rel for _, rel, _ in rows} | fixture_exports(source)
    stray = sorted(set(re.findall(r"_[A-Za-z0-9]+@\d+", guide)) - exported)
    if stray:
        failures.append("decorated names the DLLs do not export: %s" % stray)
    return failures


def check_sizes(source: str, guide: str) -> List[str]:
    with open(os.path.join(source, "include", "halvex.h"), encoding="utf-8") as f:
        header = dict(re.findall(r"^#define (HALVEX_\w+_MAX) (\d+)", f.read(), re.M))
    want = {"GetHalvexErrorInfo": header["HALVEX_MESSAGE_MAX"],
            "SelfTestHalvex": header["HALVEX_REPLY_MAX"],
            "QueryHalvexID": header["HALVEX_REPLY_MAX"]}
    failures = []
    for function, size in want.items():
        row = re.search(r"^\| `%s` \|.*$" % function, guide, re.M)
        found = re.findall(r"minimum size (\d+)", row.group(0)) if row else []
        if found != [size]:
            failures.append("LabVIEW row of %s asks for %s bytes, the header says %s" % (
                function, found or "no size", size))
    return failures


def main(argv: List[str]) -> int:
    source = argv[1]
    update = "--update" in argv[2:]
    path = os.path.join(source, "docs", "windows.md")
    with open(path, encoding="utf-8") as f:
        guide = f.read()
    rows = export_table(source)
    updated, failures = check_quotes(source, guide, update)
    if update and updated != guide:
        with open(path, "w", encoding="utf-8") as f:
            f.write(updated)
        print("updated", path)
    failures += (check_dotnet(source, rows) + check_names(source, updated, rows) +
                 check_sizes(source, updated) + check_excerpts(source, updated))
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print("docs/windows.md: quoted blocks, entry names and LabVIEW table agree (%d exports)"
              % len(rows))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
