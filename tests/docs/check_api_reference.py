"""Builds the API reference and checks that it documents every export.

    check_api_reference.py SOURCE_DIR BUILD_DIR

The `docs` target runs doxygen on include/halvex.h and fails on any undocumented function,
parameter or return value. This then reads the HTML it wrote: the front page links the header's
page; that page lists exactly the functions of driver/export_table.inc, each with its brief, a
Returns section and, when it takes arguments, a Parameters section naming every one; the
function index lists them all.
"""
import html
import os
import re
import subprocess
import sys

source, build = sys.argv[1], os.path.abspath(sys.argv[2])
failures = []

r = subprocess.run(["cmake", "--build", build, "--target", "docs"], capture_output=True, text=True,
                   timeout=300)
print(r.stdout[-2000:], r.stderr[-2000:], sep="", end="")
if r.returncode != 0:
    sys.exit("FAIL: the docs target failed")

with open(os.path.join(source, "driver", "export_table.inc")) as f:
    exports = re.findall(r"^HALVEX_EXPORT\((\w+),", f.read(), re.M)
with open(os.path.join(source, "include", "halvex.h")) as f:
    header = f.read()
html_dir = os.path.join(build, "docs", "html")


def page(name: str) -> str:
    with open(os.path.join(html_dir, name), encoding="utf-8") as f:
        return f.read()


if 'href="halvex_8h.html"' not in page("index.html"):
    failures.append("index.html does not link the header's page")
file_page = page("halvex_8h.html")
summary = file_page.split('id="func-members"', 1)[-1].split("</table>", 1)[0]
listed = re.findall(r'<a class="el" href="halvex_8h.html#\w+">(\w+)</a> \(', summary)
if sorted(listed) != sorted(exports) or len(listed) != len(set(listed)):
    failures.append("halvex_8h.html lists %d functions; differs from the export table: %s" % (
        len(listed), sorted(set(listed) ^ set(exports))))
indexed = re.findall(r'<li>(\w+)\(\)&#160;:&#160;<a class="el" href="halvex_8h.html#',
                     page("globals_func.html"))
if sorted(indexed) != sorted(exports):
    failures.append("globals_func.html differs from the export table: %s" % sorted(
        set(indexed) ^ set(exports)))

# Each function's detailed block, from its title to the next one.
blocks = dict(re.findall(r'</span>(\w+)\(\)</h2>(.*?)(?=<h2 class="memtitle"|<!-- contents -->|\Z)',
                         file_page, re.S))
for name in exports:
    block = blocks.get(name)
    if block is None:
        failures.append("%s has no detailed documentation" % name)
        continue
    doc = block.split('<div class="memdoc">', 1)[-1]
    if not re.search(r"<p>\s*\S", doc):
        failures.append("%s has no brief" % name)
    if '<dl class="section return"><dt>Returns</dt>' not in doc:
        failures.append("%s documents no return value" % name)
    decl = re.search(r"HALVEX_API %s\(([^)]*)\)" % name, header).group(1)
    params = [] if decl.strip() == "void" else [p.split()[-1].lstrip("*") for p in decl.split(",")]
    documented = [html.unescape(p) for p in re.findall(
        r'<tr><td class="paramname">(\w+)</td>', doc)]
    if documented != params:
        failures.append("%s documents parameters %s, declares %s" % (name, documented, params))

for failure in failures:
    print("FAIL:", failure)
if not failures:
    print("API reference: %d functions, each with its brief, parameters and return value"
          % len(exports))
sys.exit(1 if failures else 0)
