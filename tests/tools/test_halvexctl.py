"""The command-line tool against a simulated chassis, natively or as a Windows program under Wine.

run_with_simulator.sh provides the environment: HALVEX_SIM_CONTROL (the simulator's control
channel), HALVEX_PORT, HALVEX_MONITOR_PORTS, and HALVEX_CTL (the tool, with "wine " in front for
the Windows build).
"""
import json
import os
import pty
import re
import select
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from typing import List, Optional, Tuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from sim_control import ControlChannel  # noqa: E402

CTL = shlex.split(os.environ.get("HALVEX_CTL", "halvexctl"))
WINE = CTL[0] == "wine"
PORT = os.environ.get("HALVEX_PORT", "")
MONITORS = os.environ.get("HALVEX_MONITOR_PORTS", "").split(",")
DOCS = os.environ.get("HALVEX_CTL_DOCS", "")  # the built man page and completion (native)
USAGE = 64
# Queries of a discovery of CHASSIS: one per slot, then slots 3-5 again, asked once the line has
# settled, since they answered while slot 2's reply could still come late.
DISCOVERY = 16 + 3


def tool_env(port: str = PORT) -> dict:
    env = dict(os.environ)
    env["HALVEX_PORT"] = port
    env.pop("HALVEX_MONITOR_PORT", None)
    return env


def text(data: bytes) -> str:
    return data.decode("utf-8", "replace").replace("\r\n", "\n")


def run(*args: str, port: str = PORT, timeout: float = 60, stdin: Optional[bytes] = None):
    p = subprocess.run(CTL + list(args), capture_output=True, env=tool_env(port), timeout=timeout,
                       input=stdin if stdin is not None else b"")
    return p.returncode, text(p.stdout), text(p.stderr)


def run_on_terminal(*args: str, typed: bytes = b"", stdin_too: bool = False,
                    timeout: float = 60) -> Tuple[int, str, str]:
    """Runs the tool with standard error (and standard input and output when ``stdin_too``) on
    a pseudo-terminal; returns the exit status, what the pipe got and what the terminal got."""
    master, slave = pty.openpty()
    p = subprocess.Popen(CTL + list(args), env=tool_env(),
                         stdin=slave if stdin_too else subprocess.DEVNULL,
                         stdout=slave if stdin_too else subprocess.PIPE, stderr=slave)
    os.close(slave)
    if typed:
        os.write(master, typed)
    seen = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal closes with the last process that held it
                break
            if not chunk:
                break
            seen += chunk
        elif p.poll() is not None:
            break
    os.close(master)
    out = p.stdout.read() if p.stdout is not None else b""
    rc = p.wait(timeout)
    if p.stdout is not None:
        p.stdout.close()
    return rc, text(out), text(seen)


CHASSIS = [(3, "X16", "HALVEX X16 BENCH"), (4, "X48", "HALVEX X48 BENCH"), (5, "Y48", "HALVEX Y48 BENCH")]


def help_commands(help_text: str) -> List[str]:
    """The command names of the global help."""
    section = help_text.split("commands:\n", 1)[1].split("\n\n", 1)[0]
    return [line.split()[0] for line in section.splitlines()]


class ToolTest(unittest.TestCase):
    sim: ControlChannel

    @classmethod
    def setUpClass(cls) -> None:
        cls.sim = ControlChannel(os.environ["HALVEX_SIM_CONTROL"])

    @classmethod
    def tearDownClass(cls) -> None:
        cls.sim.close()

    def setUp(self) -> None:
        self.sim.request("reset")
        for slot, model, text in CHASSIS:
            self.sim.request(f"card {slot} {model} {text}")


class Arguments(ToolTest):
    def test_bad_arguments_get_one_line_and_a_hint(self) -> None:
        # (arguments, what the line must name, the command whose help the hint names)
        cases: List[Tuple[List[str], str, str]] = [
            ([], "no command given", ""),
            (["bogus"], "unknown command 'bogus'", ""),
            (["close"], "CARD RELAY", "close"),
            (["close", "3"], "CARD RELAY", "close"),
            (["close", "3", "bogus"], "unknown relay kind 'bogus'", "close"),
            (["close", "x", "matrix", "1", "2"], "bad card number 'x'", "close"),
            (["close", "3", "matrix", "1"], "matrix ROW COLUMN", "close"),
            (["close", "3", "matrix", "1", "2.5"], "bad column '2.5'", "close"),
            (["open", "3", "row", "1", "mid"], "expected hi or lo", "open"),
            (["close", "3", "gp", "99999999999"], "bad relay number", "close"),
            (["close", "3", "pull-up", "1"], "pull-up", "close"),
            (["close", "17", "gp", "1"], "bad card number '17': the slots are 1-16", "close"),
            (["identify", "0"], "bad card number '0'", "identify"),
            (["open", "3", "matrix", "-1", "2"], "bad row '-1': it cannot be negative", "open"),
            (["close", "3", "gp", "-4"], "bad relay number '-4'", "close"),
            (["identify"], "identify CARD", "identify"),
            (["reset", "3", "4"], "reset CARD", "reset"),
            (["list", "--interval", "abc"], "bad interval", "list"),
            (["--frobnicate", "list"], "unknown option '--frobnicate'", ""),
            (["--port"], "--port needs a value", ""),
            (["--json=1", "codes"], "--json takes no value", ""),
            (["read", "5"], "no monitoring port", "read"),
            (["watch", "5"], "no monitoring port", "watch"),
            (["run"], "run FILE", "run"),
            (["run", "/nonexistent/script"], "cannot read the script", "run"),
            (["help", "bogus"], "unknown command 'bogus'", ""),
            # Rows that share the wire form of a relay group.
            (["close", "1", "matrix", "30", "2"],
             "row 30 is sent as CLOSE(01,30,02), the wire form of PS relay 2", "close"),
            (["open", "12", "matrix", "10", "7"],
             "row 10 is sent as OPEN(12,10,07), the wire form of GP relay 7", "open"),
            (["close", "3", "row", "50", "lo"],
             "row 50 is sent as CLOSE(03,50,lo), the wire form of a single relay command", "close"),
            (["open", "3", "matrix", "40", "1"], "discharge relay 1", "open"),
            (["close", "3", "row", "20", "hi"], "CLOSE(03,20,hi)", "close"),
        ]
        for args, fragment, command in cases:
            hint = "halvexctl %s--help" % (command + " " if command else "")
            with self.subTest(args=args):
                rc, out, err = run(*args)
                self.assertEqual(rc, USAGE, err)
                self.assertEqual(out, "")
                self.assertEqual(err.count("\n"), 1, "one line: " + err)
                self.assertTrue(err.startswith("halvexctl: "), err)
                self.assertIn(fragment, err)
                self.assertTrue(err.endswith("(see '%s')\n" % hint), err)
            with self.subTest(args=args, json=True):
                rc, out, err = run("--json", *args)
                self.assertEqual(rc, USAGE, out)
                obj = json.loads(out)
                self.assertEqual((obj["result"], obj["english"], obj["hint"]),
                                 (USAGE, "usage error", hint))
                self.assertIn(fragment, obj["detail"])
                if len(args) > 1 and args[1].lstrip("-").isdigit():  # a result's card field
                    self.assertEqual(obj["card"], int(args[1]))
                self.assertEqual(err, "")
        self.assertEqual(self.sim.commands(), [], "bad arguments never reach the chassis")

    def test_missing_port(self) -> None:
        rc, out, err = run("list", port="")
        self.assertEqual(rc, USAGE)
        self.assertIn("no command port", err)

    def test_port_that_cannot_be_opened(self) -> None:
        bad = "COM99" if "wine" in CTL[0] else "/nonexistent/port"
        rc, out, _ = run("--json", "list", port=bad)
        self.assertEqual(rc, 5)
        self.assertEqual(json.loads(out)["result"], 5)

    @unittest.skipIf(WINE, "the reasons POSIX gives")
    def test_a_port_that_will_not_open_says_why_and_a_shared_one_warns(self) -> None:
        import fcntl

        folder = tempfile.mkdtemp(prefix="halvex-notaport-")
        self.addCleanup(os.rmdir, folder)
        me = "pid %d (" % os.getpid()
        # (port, lock it here first, the reason after "error 5: ...: ")
        cases = [("/nonexistent/port", False, "no such file"),
                 (folder, False, "it is a folder, not a serial port"),
                 ("/etc/passwd", False, "not a serial port (not a terminal device)"),
                 (PORT, True, "held by another process: " + me)]
        for port, lock, reason in cases:
            with self.subTest(port=port):
                fd = os.open(PORT, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK) if lock else -1
                if lock:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                try:
                    rc, _, err = run("list", port=port)
                finally:
                    if lock:
                        os.close(fd)
                self.assertEqual(rc, 5, err)
                self.assertIn("the serial port cannot be opened (", err)
                self.assertIn("): " + reason, err)
        # Open here without the lock: the tool's open succeeds and names who else reads.
        fd = os.open(PORT, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            rc, _, err = run("list")
        finally:
            os.close(fd)
        self.assertEqual(rc, 0, err)
        self.assertIn("warning: %s is also open in %s" % (PORT, me), err)

    def test_no_card_answering_is_a_failure_that_says_what_to_check(self) -> None:
        self.sim.request("reset")
        rc, _, err = run("list")
        self.assertEqual(rc, 69)
        self.assertIn("no card answered discovery: check the port name", err)

    def test_json_keeps_utf8_text(self) -> None:
        self.sim.request("card 3 X16 HALVEX X16 \u00fcnf")
        rc, out, _ = run("--json", "list")
        self.assertEqual(rc, 0)
        self.assertIn("HALVEX X16 \u00fcnf", [c["id"] for c in json.loads(out)["cards"]])

    def test_help_and_codes(self) -> None:
        rc, out, _ = run("--help")
        self.assertEqual(rc, 0)
        self.assertIn("close CARD RELAY", out)
        commands = help_commands(out)
        self.assertEqual(commands, ["list", "identify", "self-test", "reset", "close", "open",
                                    "read", "watch", "codes", "ports", "doctor", "connect", "disconnect", "apply",
                                    "release", "check", "nets", "state", "disconnect-all", "run",
                                    "shell", "help"])
        for command in commands:
            with self.subTest(command=command):
                rc, out, err = run(command, "--help", port="")
                self.assertEqual((rc, err), (0, ""))
                self.assertTrue(out.startswith("usage: halvexctl [OPTIONS] " + command), out)
                self.assertEqual(run("help", command, port="")[1], out)
                # Only the commands that talk to the chassis take a port.
                self.assertEqual("--port" in out,
                                 command not in ("codes", "ports", "doctor", "help", "nets"))
        _, out, _ = run("close", "--help")
        self.assertIn("ext-gp N", out)
        self.assertIn("--allow-group-rows", out)
        self.assertNotIn("--keep-going", out, "a command's help has its own options only")
        rc, out, _ = run("codes")
        self.assertEqual(rc, 0)
        lines = out.strip().split("\n")
        self.assertEqual(len(lines), 10)
        self.assertIn("no reply from the card", lines[4])
        self.assertIn("카드로 부터 응답이 없습니다.", lines[4])
        rc, out, _ = run("--json", "codes")
        codes = json.loads(out)["codes"]
        self.assertEqual([c["code"] for c in codes], list(range(10)))
        self.assertEqual(codes[2]["message"], "지원하지 않는 명령어어 입니다.")
        self.assertEqual(codes[8]["english"], "the card is of another model")

    @unittest.skipUnless(os.environ.get("HALVEX_VERSION"), "the project's version is not given")
    def test_version_is_the_projects(self) -> None:
        rc, out, _ = run("--version", port="")
        self.assertEqual((rc, out), (0, "halvexctl %s\n" % os.environ["HALVEX_VERSION"]))


class Commands(ToolTest):
    def test_list(self) -> None:
        rc, out, err = run("list")
        self.assertEqual((rc, err), (0, ""), "no progress when standard error is a pipe")
        self.assertIn("slot  3  X16      HALVEX X16 BENCH", out)
        self.assertIn("3 cards on", out)
        rc, out, _ = run("--json", "list")
        self.assertEqual(rc, 0)
        self.assertEqual(json.loads(out)["cards"],
                         [{"card": s, "model": m, "id": t} for s, m, t in CHASSIS])

    def test_fixture_verbs_and_relays_pass_the_interlock(self) -> None:
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        fixture = os.path.join(folder, "bench.toml")
        with open(fixture, "w") as f:
            f.write('[cards]\n3 = "X16"\n5 = "Y48"\n[nets]\nPSU = ["3:ps:2:a"]\n'
                    'OUT = ["3:ps:2:b", "3:col:6"]\nDUT = ["3:col:3"]\nGND = ["3:col:4", "5:gp:2:b"]\n'
                    '[[forbid]]\nnets = ["PSU", "GND"]\nreason = "shorts the supply"\n'
                    '[routes.power]\nrelays = ["3:ps:2"]\nconnect = [["OUT", "DUT"]]\n')
        self.sim.request("clearlog")
        script = b"apply power\nconnect DUT GND\nclose 3:matrix:1:4\nrelease power\n"
        rc, out, err = run("--fixture", fixture, "--keep-going", "run", "-", stdin=script)
        self.assertEqual(rc, 12, err)
        self.assertEqual(out.splitlines(), ["apply power: OK", "release power: OK"])
        self.assertEqual(err.count("error 12: refused: nets a rule keeps apart would be joined"), 2, err)
        self.assertIn("PSU / GND (shorts the supply) would be joined through PSU - 3:ps:2 - OUT", err)
        # The layer resets its cards, then sends the route and its release and nothing refused.
        self.assertEqual(self.sim.commands()[DISCOVERY:],
                         [b"*RST(03)\n", b"*RST(05)\n", b"CLOSE(03,01,06)\n", b"CLOSE(03,01,03)\n",
                          b"CLOSE(03,30,02)\n", b"OPEN(03,01,06)\n", b"OPEN(03,01,03)\n",
                          b"OPEN(03,30,02)\n"])

    def test_every_relay_kind_on_the_wire(self) -> None:
        cases = [
            (["close", "3", "matrix", "5", "7"], b"CLOSE(03,05,07)\n"),
            (["open", "4", "matrix", "41", "9"], b"OPEN(04,41,09)\n"),
            (["close", "3", "row", "5", "lo"], b"CLOSE(03,05,lo)\n"),
            (["open", "4", "row", "6", "hi"], b"OPEN(04,06,hi)\n"),
            (["close", "5", "gp", "12"], b"CLOSE(05,10,12)\n"),
            (["open", "3", "gp", "2"], b"OPEN(03,10,02)\n"),
            (["close", "5", "ext-gp", "3"], b"CLOSE(05,20,03)\n"),
            (["close", "3", "ps", "4"], b"CLOSE(03,30,04)\n"),
            (["open", "3", "discharge", "1"], b"OPEN(03,40,01)\n"),
            (["close", "3", "pull-up"], b"CLOSE(03,50,01)\n"),
            (["close", "4", "test-probe"], b"CLOSE(04,50,02)\n"),
            (["open", "4", "pull-down"], b"OPEN(04,50,03)\n"),
            (["close", "3", "ground"], b"CLOSE(03,50,04)\n"),
            # Sent as asked once the user says so: the library itself refuses none of them.
            (["--allow-group-rows", "close", "3", "matrix", "30", "2"], b"CLOSE(03,30,02)\n"),
            (["open", "4", "row", "10", "lo", "--allow-group-rows"], b"OPEN(04,10,lo)\n"),
            # The one-word names of the panel and the simulator, with or without the slot.
            (["close", "3:matrix:5:7"], b"CLOSE(03,05,07)\n"),
            (["open", "5", "ext-gp:3"], b"OPEN(05,20,03)\n"),
            (["close", "3", "row:5:lo"], b"CLOSE(03,05,lo)\n"),
            (["close", "4:ground"], b"CLOSE(04,50,04)\n"),
        ]
        # One script, one discovery: every line's wire bytes in order, and its own result.
        self.sim.request("clearlog")
        script = "".join(" ".join(args) + "\n" for args, _ in cases)
        rc, out, err = run("run", "-", stdin=script.encode())
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(self.sim.commands()[DISCOVERY:], [wire for _, wire in cases])
        self.assertEqual(out.splitlines(),
                         [" ".join(a for a in args if a != "--allow-group-rows").replace(":", " ")
                          + ": OK" for args, _ in cases])
        self.assertIn("matrix:5:7", self.sim.request("relays 3"))

    def test_refusals_carry_their_code_and_both_texts(self) -> None:
        # (arguments, code, English, what the line adds)
        cases = [
            (["close", "5", "pull-up"], 8, "the card is of another model", ": card 5 is a Y48"),
            (["close", "9", "matrix", "1", "1"], 7, "no card with this number",
             ": the cards are in slots 3, 4, 5"),
            (["close", "3", "matrix", "99", "7"], 3, "a parameter is out of range", ""),
            (["open", "4", "gp", "1"], 8, "the card is of another model", ": card 4 is an X48"),
            (["reset", "16"], 7, "no card with this number", ": the cards are in slots 3, 4, 5"),
        ]
        for args, code, english, detail in cases:
            with self.subTest(args=args):
                rc, out, err = run(*args)
                self.assertEqual((rc, out), (code, ""))
                self.assertTrue(err.startswith(f"{' '.join(args)}: error {code}: {english} ("),
                                err)
                self.assertTrue(err.endswith(")%s\n" % detail), err)
                self.assertEqual(err.count("\n"), 1, err)
                rc, out, _ = run("--json", *args)
                obj = json.loads(out)
                self.assertEqual((obj["result"], obj["english"], obj["card"], obj.get("relay")),
                                 (code, english, int(args[1]), " ".join(args[2:]) or None))
                self.assertEqual(obj.get("detail", ""), detail[2:])
        _, _, err = run("close", "3", "matrix", "99", "7")
        self.assertIn("명령어의 파라메터가 올바르지 않습니다.", err)

    def test_silent_card_gives_four(self) -> None:
        # The card answers discovery, then keeps silent.
        for _ in range(2):  # discovery asks slot 4 twice
            self.sim.request("next 4 hex:" + b"HALVEX X48 BENCH\n".hex())
        self.sim.request("next 4 none")
        rc, out, _ = run("--json", "reset", "4")
        self.assertEqual(rc, 4)
        self.assertEqual(json.loads(out)["english"], "no reply from the card")

    def test_doctor_says_how_to_lower_a_held_reply(self) -> None:
        # (the simulated adapter, whether the doctor advises)
        for adapter, advises in (("off", False), ("16", True)):
            with self.subTest(adapter=adapter):
                self.sim.request("adapter " + adapter)
                rc, out, _ = run("--json", "doctor", PORT)
                obj = json.loads(out)
                self.assertEqual((rc, obj["result"], obj["card"], len(obj["round_trips_ms"])),
                                 (0, 0, 3, 5))
                self.assertEqual(obj["advice"] is not None, advises, obj)
        self.assertEqual(self.sim.commands()[-1], b"*IDN?(03)\n", "nothing but queries")

    def test_device_commands(self) -> None:
        rc, out, _ = run("--json", "identify", "5")
        self.assertEqual(rc, 0)
        obj = json.loads(out)
        self.assertEqual((obj["reply"], obj["length"]), ("HALVEX Y48 BENCH\n", 17))
        rc, out, _ = run("self-test", "3")
        self.assertEqual((rc, out.strip()), (0, "self-test 3: OK  PASS"), "no line end shown")
        rc, out, _ = run("identify", "5")
        self.assertEqual((rc, out), (0, "identify 5: OK  HALVEX Y48 BENCH\n"))
        rc, out, _ = run("reset", "4")
        self.assertEqual((rc, out.strip()), (0, "reset 4: OK"))

    def test_read_signals(self) -> None:
        self.sim.request("status 5 0xfe")
        rc, out, _ = run("--json", "--monitor-port", MONITORS[4], "read", "5")
        self.assertEqual(rc, 0, out)
        obj = json.loads(out)
        self.assertEqual((obj["raw"], obj["states"]), (254, "10000000"))
        rc, out, _ = run("read", "4", "--monitor-port", MONITORS[3])
        self.assertEqual(rc, 8)

    def test_watch_prints_a_line_per_change_and_stops(self) -> None:
        self.sim.request("status 3 0xff")
        result = {}

        def watch() -> None:
            result["run"] = run("--json", "--monitor-port", MONITORS[2], "--interval", "0.05",
                                "--duration", "3", "watch", "3")

        self.sim.request("clearlog")
        t = threading.Thread(target=watch)
        t.start()
        # Change the inputs once the tool's monitor has polled at least twice.
        for _ in range(600):
            if sum(1 for port, _ in self.sim.log() if port == "mon03") >= 2:
                break
        self.sim.request("status 3 0x0f")
        t.join(60)
        rc, out, _ = result["run"]
        self.assertEqual(rc, 0, out)
        lines = [json.loads(l) for l in out.strip().split("\n")]
        readings = [l for l in lines if "raw" in l]
        self.assertEqual([r["raw"] for r in readings], [255, 15], "one line per change")
        self.assertEqual(readings[1]["states"], "00001111")
        self.assertEqual(lines[-1]["command"], "watch 3 stopped")


class Scripts(ToolTest):
    def script(self, body: str) -> str:
        f = tempfile.NamedTemporaryFile("w", suffix=".hx", delete=False)
        f.write(body)
        f.close()
        self.addCleanup(os.unlink, f.name)
        return f.name

    def test_a_script_discovers_once(self) -> None:
        path = self.script("# bench set-up\n\nclose 3 matrix 5 7\n  close 3 gp 2   # trailing\n"
                           "open 4 row 6 hi\r\nclose 5 ext-gp 3\nreset 4\nlist\n")
        self.sim.request("clearlog")
        rc, out, err = run("run", path)
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(out.splitlines()[:5], ["close 3 matrix 5 7: OK", "close 3 gp 2: OK",
                                                "open 4 row 6 hi: OK", "close 5 ext-gp 3: OK",
                                                "reset 4: OK"])
        self.assertIn("3 cards on", out)
        self.assertEqual(self.sim.commands()[DISCOVERY:],
                         [b"CLOSE(03,05,07)\n", b"CLOSE(03,10,02)\n", b"OPEN(04,06,hi)\n",
                          b"CLOSE(05,20,03)\n", b"*RST(04)\n"])
        self.assertEqual(len([c for c in self.sim.commands() if c.startswith(b"*IDN?")]),
                         DISCOVERY, "one discovery for the whole script")

    def test_failures_stop_the_script_or_not(self) -> None:
        lines = "close 3 matrix 5 7\nclose 3 matrix 99 7\nclose 5 pull-up\nclose 3 gp 1\n"
        sent = [b"CLOSE(03,05,07)\n", b"CLOSE(03,99,07)\n", b"CLOSE(03,10,01)\n"]
        # (options, exit status, what reaches the wire after discovery, stdout lines)
        cases: List[Tuple[List[str], int, List[bytes], int]] = [
            ([], 3, sent[:2], 1),
            (["--keep-going"], 3, sent, 2),
        ]
        path = self.script(lines)
        for options, code, wire, ok_lines in cases:
            with self.subTest(options=options):
                self.sim.request("clearlog")
                rc, out, err = run(*options, "run", path)
                self.assertEqual(rc, code, err)
                self.assertEqual(self.sim.commands()[DISCOVERY:], wire)
                self.assertEqual(len(out.splitlines()), ok_lines, out)
                self.assertIn("close 3 matrix 99 7: error 3: a parameter is out of range", err)
        self.sim.request("clearlog")
        rc, out, _ = run("--json", "--keep-going", "run", "-", stdin=lines.encode())
        self.assertEqual(rc, 3)
        results = [json.loads(l) for l in out.splitlines()]
        self.assertEqual([(r["command"], r["result"]) for r in results],
                         [("close 3 matrix 5 7", 0), ("close 3 matrix 99 7", 3),
                          ("close 5 pull-up", 8), ("close 3 gp 1", 0), ("run -", 3)])
        self.assertEqual([r.get("line") for r in results], [1, 2, 3, 4, None])
        self.assertEqual(results[-1]["failed"], [2, 3], "the summary names the failed lines")

    def test_a_bad_line_runs_nothing(self) -> None:
        cases = [
            ("close 3 matrix 5 7\nclose 3 matrix 5\n", ":2: missing arguments"),
            ("close 3 gp 1\n\nclose 3 matrix 30 1\n", ":3: row 30 is sent as CLOSE(03,30,01)"),
            ("close 3 gp 1\nrun other.hx\n", ":2: 'run' cannot run inside a script"),
            ("close 3 gp 1 --port /dev/null\n", ":1: --port applies to the whole run"),
            ("identify 'x\n", ":1: unterminated quote"),
            ("close 3 matrix 5\x0099 7\n", ":1: control character 0x00"),
            ("close 3 matrix 5\nclose 3 matrix 30 1\n", ":2: row 30 is sent as"),  # every bad line
        ]
        for body, fragment in cases:
            with self.subTest(body=body):
                path = self.script(body)
                rc, out, err = run("run", path)
                self.assertEqual((rc, out), (USAGE, ""))
                self.assertIn(path + fragment, err)
        self.assertEqual(self.sim.commands(), [], "nothing is sent, not even a discovery")

    def test_shell_from_a_pipe_and_a_terminal(self) -> None:
        typed = b"close 3 gp 4\nbogus\nhelp reset\nclose 3 matrix 99 1\nquit\nclose 3 gp 5\n"
        self.sim.request("clearlog")
        rc, out, err = run("shell", stdin=typed)
        self.assertEqual(rc, USAGE, "the first failure's code")
        self.assertNotIn("halvexctl>", out, "no prompt when standard input is a pipe")
        self.assertIn("close 3 gp 4: OK\n", out)
        self.assertIn("usage: halvexctl [OPTIONS] reset CARD", out)
        self.assertIn("halvexctl: unknown command 'bogus'", err)
        self.assertIn("close 3 matrix 99 1: error 3", err)
        self.assertEqual(self.sim.commands()[DISCOVERY:],
                         [b"CLOSE(03,10,04)\n", b"CLOSE(03,99,01)\n"], "nothing after quit")
        if WINE:
            return
        rc, _, seen = run_on_terminal("shell", typed=b"reset 4\nquit\n", stdin_too=True)
        self.assertEqual(rc, 0)
        self.assertEqual(seen.count("halvexctl> "), 2, seen)
        self.assertIn("reset 4: OK", seen)


    @unittest.skipIf(WINE, "the simulator's ports are replugged natively")
    def test_the_shell_reopens_a_replugged_port(self) -> None:
        shell = subprocess.Popen(CTL + ["shell"], env=tool_env(), stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.addCleanup(shell.kill)
        assert shell.stdin is not None and shell.stdout is not None

        def say(line: str, until: str) -> None:
            assert shell.stdin is not None and shell.stdout is not None
            shell.stdin.write(line.encode() + b"\n")
            shell.stdin.flush()
            seen = b""
            while until.encode() not in seen:
                chunk = shell.stdout.readline()
                self.assertTrue(chunk, "the shell ended: %r" % seen)
                seen += chunk

        say("reset 4", "reset 4: OK")
        self.sim.request("vanish cmd")
        for _ in range(2):
            say("reset 4", "reset 4: error 4")
        say("reset 4", "may be gone (adapter unplugged?); 'reopen' opens it again")
        self.sim.request("replug cmd")
        say("reopen", "reopen %s: OK  3 cards" % PORT)
        say("reset 4", "reset 4: OK")
        shell.stdin.close()
        self.assertEqual(shell.wait(60), 4, "the first failure's code")

    def shell_on_own_terminal(self):
        """The shell on a pseudo-terminal that is its controlling terminal; returns the shell,
        the terminal's master end and a reader that waits until something was seen (`times`
        times) and returns all that was."""
        import fcntl
        import termios

        master, slave = pty.openpty()

        def own_terminal() -> None:  # so a typed ^C is a SIGINT from the terminal, as at a desk
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        shell = subprocess.Popen(CTL + ["shell"], env=tool_env(), stdin=slave, stdout=slave,
                                 stderr=slave, preexec_fn=own_terminal)
        os.close(slave)
        self.addCleanup(os.close, master)
        self.addCleanup(shell.kill)
        seen = bytearray()

        def read_until(what: bytes, times: int = 1) -> bytes:
            deadline = time.monotonic() + 30
            while seen.count(what) < times and time.monotonic() < deadline:
                if select.select([master], [], [], 0.1)[0]:
                    seen.extend(os.read(master, 4096))
            self.assertGreaterEqual(seen.count(what), times, bytes(seen))
            return bytes(seen)

        return shell, master, read_until

    @unittest.skipIf(WINE, "terminals are tested natively")
    def test_ctrl_c_at_the_prompt_drops_the_line(self) -> None:
        shell, master, read_until = self.shell_on_own_terminal()
        read_until(b"halvexctl> ")
        os.write(master, b"close 3 gp")
        read_until(b"close 3 gp")
        os.write(master, b"\x03")
        read_until(b"close 3 gp^C\r\nhalvexctl> ")
        os.write(master, b"reset 4\nquit\n")
        seen = read_until(b"reset 4: OK")
        self.assertEqual(shell.wait(30), 0, "still running after Ctrl-C, and nothing failed")
        self.assertNotIn(b"close 3 gp:", seen, "the dropped line did not run")

    @unittest.skipIf(WINE, "terminals are tested natively")
    def test_the_up_key_recalls_the_last_line(self) -> None:
        shell, master, read_until = self.shell_on_own_terminal()
        read_until(b"halvexctl> ")
        os.write(master, b"reset 4\r")
        read_until(b"reset 4: OK\r\nhalvexctl> ")
        os.write(master, b"\x1b[A\r")
        read_until(b"reset 4: OK", times=2)
        os.write(master, b"quit\r")
        self.assertEqual(shell.wait(30), 0)


@unittest.skipIf(WINE, "terminals are tested natively")
class Progress(ToolTest):
    def test_discovery_and_self_test_show_progress_on_a_terminal(self) -> None:
        # Discovery on a chassis with one card: a second or more of silent slots.
        self.sim.request("reset")
        self.sim.request("card 3 X16 HALVEX X16 BENCH")
        for _ in range(2):  # discovery asks slot 3 twice
            self.sim.request("next 3 hex:" + b"HALVEX X16 BENCH\n".hex())
        self.sim.request("next 3 wait:1500 hex:" + b"PASS\n".hex())
        rc, out, seen = run_on_terminal("self-test", "3")
        self.assertEqual((rc, out), (0, "self-test 3: OK  PASS\n"))
        self.assertIn("discovering cards on %s (slots 1-16): " % PORT, seen)
        self.assertRegex(seen, r"self-test of card 3 \(X16\): 1\.\d s of at most 15 s")
        self.assertTrue(seen.endswith("\r"), "the progress line is wiped: %r" % seen[-80:])
        # The same through a pipe: nothing on standard error.
        for _ in range(2):  # discovery asks slot 3 twice
            self.sim.request("next 3 hex:" + b"HALVEX X16 BENCH\n".hex())
        self.sim.request("next 3 wait:1500 hex:" + b"PASS\n".hex())
        rc, out, err = run("self-test", "3")
        self.assertEqual((rc, err), (0, ""))


class Watching:
    """A running tool whose standard output and error are read as they come."""

    def __init__(self, *args: str) -> None:
        self.p = subprocess.Popen(CTL + list(args), env=tool_env(), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert self.p.stdout is not None and self.p.stderr is not None
        self.fds = {"out": self.p.stdout.fileno(), "err": self.p.stderr.fileno()}
        self.got = {fd: b"" for fd in self.fds.values()}
        self.open = set(self.got)

    def read(self, until: Optional[Tuple[str, bytes]] = None, timeout: float = 60) -> bool:
        """Reads until the stream ("out" or "err") holds the text, or to the end of both."""
        deadline = time.monotonic() + timeout
        while self.open and time.monotonic() < deadline:
            if until is not None and until[1] in self.got[self.fds[until[0]]]:
                return True
            ready, _, _ = select.select(list(self.open), [], [], 0.1)
            for fd in ready:
                chunk = os.read(fd, 4096)
                self.got[fd] += chunk
                if not chunk:
                    self.open.discard(fd)
        return until is None or until[1] in self.got[self.fds[until[0]]]

    def finish(self) -> Tuple[int, str, str]:
        self.read()
        rc = self.p.wait(60)
        for pipe in (self.p.stdout, self.p.stderr):
            if pipe is not None:
                pipe.close()
        return rc, text(self.got[self.fds["out"]]), text(self.got[self.fds["err"]])


class WatchSilence(ToolTest):
    def test_silence_is_reported_and_sets_the_status(self) -> None:
        # (replug after the silence, exit status, lines on standard error)
        cases = [(True, 0, ["went silent", "readings resumed"]), (False, 4, ["went silent"])]
        for replug, code, said in cases:
            with self.subTest(replug=replug):
                self.sim.request("reset")
                self.sim.request("card 3 X16 HALVEX X16 BENCH")
                watch = Watching("--json", "--monitor-port", MONITORS[2], "--interval", "0.05",
                                 "--duration", "5", "watch", "3")
                self.addCleanup(watch.p.kill)
                # Silent after 1 s of no reading (ten intervals are less than a second); the
                # port comes back as soon as the tool says so, to leave the resumption time.
                self.assertTrue(watch.read(("out", b'"raw"')), "no first reading")
                self.sim.request("vanish mon03")
                if replug:
                    self.assertTrue(watch.read(("err", b"went silent")), "no silence reported")
                    self.sim.request("replug mon03")
                rc, out, err = watch.finish()
                self.assertEqual(rc, code, err)
                found = [line for line in err.splitlines() if "card 3:" in line]
                if WINE:  # Wine's serial driver may hand over one more reading meanwhile
                    found = found[:1] + found[-1:] if replug else found[:1]
                self.assertEqual(len(found), len(said), err)
                for line, words in zip(found, said):
                    self.assertIn(words, line)
                last = json.loads(out.splitlines()[-1])
                self.assertEqual((last["command"], last["result"], last["silent"]),
                                 ("watch 3 stopped", code, not replug))


class Ports(ToolTest):
    def make_tree(self) -> str:
        root = tempfile.mkdtemp(prefix="halvex-ports-")
        self.addCleanup(shutil.rmtree, root, True)

        def write(path: str, content: str = "") -> None:
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w") as f:
                f.write(content)

        def link(path: str, target: str) -> None:
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            os.symlink(os.path.relpath(os.path.join(root, target), os.path.dirname(full)), full)

        for dev in ["ttyS0", "ttyS1", "ttyS2", "ttyUSB0", "ttyUSB2", "ttyUSB10", "ttyACM0",
                    "tty1", "ttyprintk", "null"]:
            write("dev/" + dev)
        os.makedirs(os.path.join(root, "sys/bus/pnp"))
        os.makedirs(os.path.join(root, "sys/bus/platform"))
        link("sys/devices/pnp0/00:01/subsystem", "sys/bus/pnp")
        link("sys/devices/platform/serial8250/subsystem", "sys/bus/platform")
        link("sys/class/tty/ttyS0/device", "sys/devices/pnp0/00:01")
        link("sys/class/tty/ttyS1/device", "sys/devices/platform/serial8250")  # no UART
        usb = "sys/devices/pci0000:00/usb1/1-1"
        for name, value in [("idVendor", "0403\n"), ("idProduct", "6001\n"),
                            ("serial", "A1B2C3\n"), ("manufacturer", "FTDI\n"),
                            ("product", "FT232R USB UART\n")]:
            write(f"{usb}/{name}", value)
        write(f"{usb}/1-1:1.0/ttyUSB0/uevent")
        link("sys/class/tty/ttyUSB0/device", f"{usb}/1-1:1.0/ttyUSB0")
        acm = "sys/devices/pci0000:00/usb1/1-2"
        write(f"{acm}/idVendor", "2341\n")
        write(f"{acm}/idProduct", "0043\n")
        write(f"{acm}/1-2:1.0/uevent")
        link("sys/class/tty/ttyACM0/device", f"{acm}/1-2:1.0")
        link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", "dev/ttyUSB0")
        link("dev/serial/by-id/usb-gone-if00", "dev/ttyUSB7")  # dangling: its device went
        return root

    @unittest.skipIf(WINE, "the Linux listing")
    def test_linux_ports_from_dev_and_sysfs(self) -> None:
        env = tool_env()
        env["HALVEX_PORTS_ROOT"] = self.make_tree()
        p = subprocess.run(CTL + ["ports"], capture_output=True, env=env, timeout=60)
        self.assertEqual(p.returncode, 0)
        self.assertEqual(text(p.stdout).splitlines(), [
            "/dev/ttyACM0  usb 2341:0043",
            "/dev/ttyS0",
            "/dev/ttyUSB0  usb 0403:6001  FTDI FT232R USB UART  serial A1B2C3",
            "    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0",
            "/dev/ttyUSB2",
            "/dev/ttyUSB10",
            "5 serial ports",
        ])
        p = subprocess.run(CTL + ["--json", "ports"], capture_output=True, env=env, timeout=60)
        ports = json.loads(p.stdout)["ports"]
        usb = ports[2]
        self.assertEqual((usb["device"], usb["vendor_id"], usb["product_id"],
                          usb["serial_number"], usb["manufacturer"], usb["product"],
                          usb["by_id"]),
                         ("/dev/ttyUSB0", "0403", "6001", "A1B2C3", "FTDI", "FT232R USB UART",
                          ["/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"]))
        self.assertEqual([p["device"] for p in ports], ["/dev/ttyACM0", "/dev/ttyS0",
                                                        "/dev/ttyUSB0", "/dev/ttyUSB2",
                                                        "/dev/ttyUSB10"])

    @unittest.skipUnless(WINE, "the Windows listing")
    def test_windows_com_ports_from_the_registry(self) -> None:
        rc, out, err = run("ports")
        self.assertEqual((rc, err), (0, ""))
        lines = out.splitlines()
        self.assertRegex(lines[-1], r"^\d+ serial ports?$")
        self.assertEqual(len(lines) - 1, int(lines[-1].split()[0]))
        for line in lines[:-1]:
            m = re.match(r"^COM(\d+)(  open as (\S+))?  \\Device\\\S+$", line)
            self.assertIsNotNone(m, line)
            assert m is not None
            self.assertEqual(m.group(3), "\\\\.\\COM" + m.group(1) if int(m.group(1)) >= 10
                             else None, line)
        rc, out, _ = run("--json", "ports")
        self.assertEqual(len(json.loads(out)["ports"]), len(lines) - 1)


@unittest.skipUnless(DOCS, "the man page and completion are made by the native build")
class ManPageAndCompletion(ToolTest):
    def test_man_page_is_the_tools_own(self) -> None:
        with open(os.path.join(DOCS, "halvexctl.1")) as f:
            man = f.read()
        rc, made, _ = run("--help-man")
        self.assertEqual((rc, made), (0, man), "the built page is the current tool's")
        _, help_text, _ = run("--help")
        for command in help_commands(help_text):
            self.assertIn("\n.B " + command.replace("-", "\\-"), man)
        for option in re.findall(r"^  (--[a-z-]+)", help_text, re.M):
            self.assertIn("\n.B " + option.replace("-", "\\-"), man)
        self.assertTrue(man.startswith(".TH HALVEXCTL 1 "))
        if shutil.which("groff"):  # groff-base comes with man-db; a bare machine may lack it
            p = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z"], input=man,
                               capture_output=True, text=True, timeout=30)
            self.assertEqual((p.returncode, p.stderr), (0, ""), "the page formats cleanly")

    def test_bash_completion(self) -> None:
        path = os.path.join(DOCS, "halvexctl.bash")
        _, help_text, _ = run("--help")
        commands = " ".join(sorted(help_commands(help_text)))
        kinds = "discharge ext-gp gp ground matrix ps pull-down pull-up row test-probe"
        # (words on the line, the last being completed; the completions, sorted)
        cases = [
            ([""], commands),
            (["cl"], "close"),
            (["--port", "/dev/x", "op"], "open"),
            (["close", "3", ""], kinds),
            (["open", "3", "p"], "ps pull-down pull-up"),
            (["--json", "open", "3", "row", "5", ""], "hi lo"),
            (["close", "3", "matrix", "5", ""], ""),
            (["--j"], "--json"),
            (["close", "--allow"], "--allow-group-rows"),
            (["help", "s"], "self-test shell state"),
            (["--interval", ""], ""),
        ]
        for words, expected in cases:
            with self.subTest(words=words):
                line = ["halvexctl"] + words
                script = ('source "$1"; COMP_WORDS=(%s); COMP_CWORD=%d; _halvexctl; '
                          'echo "${COMPREPLY[@]}"'
                          % (" ".join(shlex.quote(w) for w in line), len(line) - 1))
                p = subprocess.run(["bash", "-c", script, "bash", path], capture_output=True,
                                   text=True, timeout=30)
                self.assertEqual(p.stderr, "")
                self.assertEqual(" ".join(sorted(p.stdout.split())), expected)
        # Readline then marks folders with a slash and quotes what needs it.
        p = subprocess.run(["bash", "-c", 'source "$1"; complete -p halvexctl', "bash", path],
                           capture_output=True, text=True, timeout=30)
        self.assertIn("-o filenames", p.stdout)


if __name__ == "__main__":
    unittest.main()
