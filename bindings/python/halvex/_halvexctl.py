"""The ``halvexctl`` command a wheel installs: runs the halvexctl program the wheel carries,
with the library the wheel carries beside it.

The program is linked against libhalvex.so.1, which lives in the package folder rather than
anywhere the system loader looks, so the folder goes first on LD_LIBRARY_PATH for it.
"""

from __future__ import annotations

import os
import sys
from typing import List, Optional

from ._library import PACKAGE_DIR

__all__ = ["main"]

PROGRAM = os.path.join(PACKAGE_DIR, "halvexctl")


def main(argv: Optional[List[str]] = None) -> None:
    args = sys.argv[1:] if argv is None else argv
    if not os.access(PROGRAM, os.X_OK):
        sys.exit("halvexctl: no halvexctl program in %s (only the wheel carries one)" % PACKAGE_DIR)
    env = dict(os.environ)
    earlier = env.get("LD_LIBRARY_PATH")
    env["LD_LIBRARY_PATH"] = PACKAGE_DIR + (os.pathsep + earlier if earlier else "")
    sys.stdout.flush()
    sys.stderr.flush()
    # The program takes this process's place: its exit status and signals are the command's.
    os.execve(PROGRAM, ["halvexctl"] + args, env)


if __name__ == "__main__":
    main()
