#!/usr/bin/python3
"""halvexctl: N relay commands from one script against N separate invocations, in one run.

Each invocation opens the port and discovers the cards; a script does that once. Run by hand
after building the native preset:

    /usr/bin/python3 bench/halvexctl_bench.py [--count 100] [--cards 3]
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "python"))

from simulated_chassis import SimulatedChassis  # noqa: E402

MODELS = ["X16", "X48", "Y48"]


def commands(count: int) -> list[str]:
    """Closes and opens crosspoints of the X16 in slot 1, alternately."""
    lines = []
    for i in range(count):
        verb = "close" if i % 2 == 0 else "open"
        lines.append("%s 1 matrix %d %d" % (verb, 1 + (i // 2) % 8, 1 + (i // 16) % 8))
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100, help="relay commands (default 100)")
    parser.add_argument("--cards", type=int, default=3,
                        help="cards in slots 1 up, X16, X48, Y48 in turn (default 3)")
    parser.add_argument("--tool", default=os.path.join(REPO, "build/native/tools/halvexctl"))
    parser.add_argument("--sim", default=os.path.join(REPO, "build/native/simulator/halvex-sim"))
    args = parser.parse_args()

    chassis = SimulatedChassis(args.sim)
    try:
        for slot in range(1, args.cards + 1):
            model = MODELS[(slot - 1) % 3]
            chassis.card(slot, model, "HALVEX %s BENCH" % model)
        env = dict(os.environ, HALVEX_PORT=chassis.command_port)
        lines = commands(args.count)

        with tempfile.NamedTemporaryFile("w", suffix=".hx") as script:
            script.write("\n".join(lines) + "\n")
            script.flush()
            start = time.monotonic()
            subprocess.run([args.tool, "run", script.name], env=env, check=True,
                           stdout=subprocess.DEVNULL)
            one = time.monotonic() - start

        start = time.monotonic()
        for line in lines:
            subprocess.run([args.tool] + line.split(), env=env, check=True,
                           stdout=subprocess.DEVNULL)
        separate = time.monotonic() - start
    finally:
        chassis.stop()

    print("%d relay commands, %d card%s in the chassis" %
          (args.count, args.cards, "" if args.cards == 1 else "s"))
    print("one script:           %8.2f s  (%.1f ms a command)" % (one, one * 1000 / args.count))
    print("separate invocations: %8.2f s  (%.1f ms a command)" %
          (separate, separate * 1000 / args.count))
    print("ratio:                %8.1f x" % (separate / one))
    return 0


if __name__ == "__main__":
    sys.exit(main())
