"""Runs a client program of the Windows calling guide against the simulated chassis and judges
what it prints and what the chassis received.

    check_client.py PROGRAM [ARGS...]

run_with_simulator.sh provides the simulator (HALVEX_SIM_CONTROL) and the ports (HALVEX_PORT,
HALVEX_MONITOR_PORTS). Under Wine (HALVEX_LIBRARY a Windows path) the program finds the DLL
through WINEPATH. The MSVC-ABI C client and the C# sample print the same lines, one a step.
"""

from __future__ import annotations

import os
import subprocess
import sys
from typing import Dict, List

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from sim_control import ControlChannel  # noqa: E402

# The library's messages of codes 7 and 8, as the clients show them after decoding code page 949.
NO_CARD = "해당 아이디를 가진 카드가 존재하지 않습니다."
WRONG_MODEL = "해당 아이디를 가진 카드가 제공하는 기능이 아닙니다."

# Step -> the line the client must print for it. Card 3 is an X16 whose inputs read 0xFE
# (input 1 active), card 7 a Y48; slot 9 is empty.
EXPECTED: Dict[str, str] = {
    "cardinfo-size": "132",
    "open": "0",
    "series": "0",
    "count": "2",
    "card 3": "HALVEX X16 KIT",
    "card 7": "HALVEX Y48 KIT",
    "series-freed": "1",
    "close-matrix": "0",
    "wrong-model": "8",
    "x48-on-x16": "8",
    "no-card": "7",
    "message 7": NO_CARD,
    "monitor-begin": "0",
    "monitor-first": "1",
    "monitor-again": "5",  # a second monitor on a monitored card is refused...
    "monitor-kept": "1",  # ...and the first keeps reading (its .NET delegate still held)
    "monitor-end": "0",
    "readings": "1",
    "first-reading": "8 1:1 2:0 3:0 4:0 5:0 6:0 7:0 8:0",
    "by-name 8": WRONG_MODEL,
    "close": "0",
}


def parse(lines: List[str]) -> Dict[str, str]:
    """Lines "step value" (and "card N text", "message N text", "by-name N text")."""
    found: Dict[str, str] = {}
    for line in lines:
        words = line.split(" ")
        keyed = 2 if words[0] in ("card", "message", "by-name") else 1
        found[" ".join(words[:keyed])] = " ".join(words[keyed:])
    return found


def main(argv: List[str]) -> int:
    program = argv[1:]
    env = dict(os.environ)
    library = env["HALVEX_LIBRARY"]
    if library[1:3] == ":\\":  # under Wine: the DLL's folder on the program's search path
        env["WINEPATH"] = library.rsplit("\\", 1)[0]
    with ControlChannel(env["HALVEX_SIM_CONTROL"], timeout=30.0) as control:
        control.request("reset")
        control.request("card 3 X16 HALVEX X16 KIT")
        control.request("card 7 Y48 HALVEX Y48 KIT")
        control.request("status 3 0xFE")
        run = subprocess.run(program, env=env, stdout=subprocess.PIPE, timeout=300)
        output = run.stdout.decode("utf-8", "replace")
        print(output, end="")
        log = control.log()
    failures = []
    if run.returncode != 0:
        failures.append("exit status %d" % run.returncode)
    found = parse(output.splitlines())
    for step, value in EXPECTED.items():
        if found.get(step) != value:
            failures.append("%s: expected %r, got %r" % (step, value, found.get(step)))
    # On the wire: discovery, then the one relay command; the refused calls send nothing.
    commands = [data for port, data in log if port == "cmd" and not data.startswith(b"*IDN?")]
    if commands != [b"CLOSE(03,05,07)\n"]:
        failures.append("command port received %r besides discovery" % commands)
    photos = {data for port, data in log if port == "mon03"}
    if photos != {b"PHOTO(03)\n"}:
        failures.append("monitoring port of slot 3 received %r" % photos)
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
