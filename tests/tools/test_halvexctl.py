"""The command-line tool against a simulated chassis, natively or as a Windows program under Wine.

run_with_simulator.sh provides the environment: HALVEX_SIM_CONTROL (the simulator's control
channel), HALVEX_PORT, HALVEX_MONITOR_PORTS, and HALVEX_CTL (the tool, with "wine " in front for
the Windows build).
"""
import json
import os
import shlex
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from sim_control import ControlChannel  # noqa: E402

CTL = shlex.split(os.environ.get("HALVEX_CTL", "halvexctl"))
PORT = os.environ.get("HALVEX_PORT", "")
MONITORS = os.environ.get("HALVEX_MONITOR_PORTS", "").split(",")
USAGE = 64


def run(*args: str, port: str = PORT, timeout: float = 60):
    env = dict(os.environ)
    env["HALVEX_PORT"] = port
    env.pop("HALVEX_MONITOR_PORT", None)
    p = subprocess.run(CTL + list(args), capture_output=True, env=env, timeout=timeout)
    return p.returncode, p.stdout.decode("utf-8", "replace").replace("\r\n", "\n"), \
        p.stderr.decode("utf-8", "replace").replace("\r\n", "\n")


CHASSIS = [(3, "X16", "HALVEX X16 BENCH"), (4, "X48", "HALVEX X48 BENCH"), (5, "Y48", "HALVEX Y48 BENCH")]


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
    def test_bad_arguments_get_a_message_and_the_usage(self) -> None:
        cases = [
            ([], "no command given"),
            (["bogus"], "unknown command 'bogus'"),
            (["close"], "CARD RELAY"),
            (["close", "3"], "CARD RELAY"),
            (["close", "3", "bogus"], "unknown relay kind 'bogus'"),
            (["close", "x", "matrix", "1", "2"], "bad card number 'x'"),
            (["close", "3", "matrix", "1"], "matrix ROW COLUMN"),
            (["close", "3", "matrix", "1", "2.5"], "bad column '2.5'"),
            (["open", "3", "row", "1", "mid"], "expected hi or lo"),
            (["close", "3", "gp", "99999999999"], "bad relay number"),
            (["close", "3", "pull-up", "1"], "pull-up"),
            (["identify"], "identify CARD"),
            (["reset", "3", "4"], "reset CARD"),
            (["--interval", "abc", "list"], "bad interval"),
            (["--frobnicate", "list"], "unknown option '--frobnicate'"),
            (["--port"], "--port needs a value"),
            (["read", "5"], "no monitoring port"),
            (["watch", "5"], "no monitoring port"),
        ]
        for args, fragment in cases:
            with self.subTest(args=args):
                rc, out, err = run(*args)
                self.assertEqual(rc, USAGE, err)
                self.assertIn(fragment, err)
                self.assertIn("usage: halvexctl", err)
                self.assertEqual(out, "")
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

    def test_help_and_codes(self) -> None:
        rc, out, _ = run("--help")
        self.assertEqual(rc, 0)
        self.assertIn("close CARD RELAY", out)
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
        rc, out, _ = run("list")
        self.assertEqual(rc, 0)
        self.assertIn("slot  3  HALVEX X16 BENCH", out)
        self.assertIn("3 cards on", out)
        rc, out, _ = run("--json", "list")
        self.assertEqual(rc, 0)
        self.assertEqual(json.loads(out)["cards"],
                         [{"card": s, "id": t} for s, _, t in CHASSIS])

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
        ]
        for args, wire in cases:
            with self.subTest(args=args):
                self.sim.request("clearlog")
                rc, out, _ = run(*args)
                self.assertEqual(rc, 0, out)
                self.assertEqual(out.strip(), " ".join(args) + ": OK")
                self.assertEqual(self.sim.commands()[16:], [wire])  # after the 16 discovery queries
        self.assertIn("matrix:5:7", self.sim.request("relays 3"))

    def test_refusals_carry_their_code_and_both_texts(self) -> None:
        cases = [
            (["close", "5", "pull-up"], 8, "the card is of another model"),
            (["close", "9", "matrix", "1", "1"], 7, "no card with this number"),
            (["close", "3", "matrix", "99", "7"], 3, "a parameter is out of range"),
            (["open", "4", "gp", "1"], 8, "the card is of another model"),
        ]
        for args, code, english in cases:
            with self.subTest(args=args):
                rc, out, _ = run(*args)
                self.assertEqual(rc, code)
                self.assertIn(f"error {code}: {english}", out)
                rc, out, _ = run("--json", *args)
                obj = json.loads(out)
                self.assertEqual((obj["result"], obj["english"]), (code, english))
        _, out, _ = run("close", "3", "matrix", "99", "7")
        self.assertIn("명령어의 파라메터가 올바르지 않습니다.", out)

    def test_silent_card_gives_four(self) -> None:
        # The card answers discovery, then keeps silent.
        self.sim.request("next 4 hex:" + b"HALVEX X48 BENCH\n".hex())
        self.sim.request("next 4 none")
        rc, out, _ = run("--json", "reset", "4")
        self.assertEqual(rc, 4)
        self.assertEqual(json.loads(out)["english"], "no reply from the card")

    def test_device_commands(self) -> None:
        rc, out, _ = run("--json", "identify", "5")
        self.assertEqual(rc, 0)
        obj = json.loads(out)
        self.assertEqual((obj["reply"], obj["length"]), ("HALVEX Y48 BENCH\n", 17))
        rc, out, _ = run("self-test", "3")
        self.assertEqual((rc, out.strip()), (0, "self-test 3: OK  PASS\\n"))
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


if __name__ == "__main__":
    unittest.main()
