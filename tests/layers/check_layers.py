"""The library's layers only look down: each folder includes only from the folders below it.

    check_layers.py SOURCE_DIR
"""
import re
import sys
from pathlib import Path

# Each layer and what it may include besides itself; "halvex.h" is the public header.
BELOW = {
    "core": {"halvex.h"},
    "link": {"core"},
    "cards": {"core", "link", "halvex.h", "monitor/signal_monitor.h"},  # the monitor a card owns
    "monitor": {"core", "link", "halvex.h"},
    "driver": {"core", "link", "cards", "monitor", "halvex.h"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def allowed(layer: str, header: str) -> bool:
    folder = header.split("/", 1)[0] if "/" in header else header
    return folder == layer or folder in BELOW[layer] or header in BELOW[layer]


def main(source: str) -> int:
    problems = []
    for layer in BELOW:
        for path in sorted(Path(source, layer).glob("*")):
            if path.suffix not in (".h", ".cpp", ".inc"):
                continue
            text = path.read_text(encoding="utf-8")
            for header in INCLUDE.findall(text):
                if not allowed(layer, header):
                    problems.append("%s/%s includes %s" % (layer, path.name, header))
            if layer == "monitor" and "CHalvexCardBase::" in text:
                problems.append("monitor/%s defines a card method" % path.name)
    for p in problems:
        print("layers: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
