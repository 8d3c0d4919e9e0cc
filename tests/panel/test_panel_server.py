"""The panel's server without a browser: its JSON API against the simulated chassis (the wire
bytes as the simulator received them), the refusals that send nothing, the token rule and the
command line."""

from __future__ import annotations

import contextlib
import http.client
import io
import os
import select
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from typing import Any, Dict, List, Tuple
from urllib.parse import urljoin, urlsplit

from panel_support import BENCH, REPO, RunningPanel, post, request, wait_for

from halvex import Chassis
from halvex.sim import ControlChannel
from halvex.panel import Panel, PanelServer
from halvex.panel.core import NO_REPLY_RUN
from halvex.panel.server import MAX_CONNECTIONS, REQUEST_DEADLINE_S

RANGE_KOREAN = "명령어의 파라메터가 올바르지 않습니다."


def card_state(state: Dict[str, Any], number: int) -> Dict[str, Any]:
    return next(c for c in state["cards"] if c["card"] == number)


class FirstContact(unittest.TestCase):
    def holder(self, code: str) -> "subprocess.Popen[str]":
        """A process of its own holding a port as ``code`` says; it prints a line once it does."""
        process = subprocess.Popen([sys.executable, "-c", code + "\nprint('ready', flush=True)\nsys.stdin.read()"],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(process.wait, 10)
        self.addCleanup(process.stdin.close)  # type: ignore[union-attr]
        self.addCleanup(process.stdout.close)  # type: ignore[union-attr]
        return process

    def test_port_errors_give_their_reason(self) -> None:
        plain = tempfile.NamedTemporaryFile()
        self.addCleanup(plain.close)
        locker = self.holder("import fcntl, os, sys\nm, s = os.openpty()\nfcntl.flock(s, fcntl.LOCK_EX)\n"
                             "print(os.ttyname(s))")
        assert locker.stdout is not None
        locked = locker.stdout.readline().strip()
        locker.stdout.readline()
        rows = [(os.path.join(REPO, "no-such-port"), "no such file"), (REPO, "folder, not a serial port"),
                (plain.name, "not a serial port"), (locked, "held by another process: pid %d" % locker.pid)]
        for port, reason in rows:
            with self.subTest(port=port):
                panel = Panel(Chassis(port))
                entry = panel.open()
                self.assertEqual(entry["code"], 5)
                self.assertIn(reason, entry["text"])
                self.assertIn(reason, panel.snapshot()["warnings"][0])
                panel.close()

    def test_no_card_answers_and_another_program_has_the_port(self) -> None:
        chassis = Chassis.simulated({})
        assert chassis.simulator is not None
        sim = chassis.simulator
        panel = Panel(chassis)
        try:
            other = self.holder("import os, sys\nfd = os.open(%r, os.O_RDWR | os.O_NOCTTY)" % sim.port)
            assert other.stdout is not None
            other.stdout.readline()
            entry = panel.open()
            warnings = panel.snapshot()["warnings"]
            self.assertEqual(entry["code"], 0)
            self.assertIn("no card answered", entry["text"])
            self.assertIn("chassis power", warnings[0])
            self.assertIn("pid %d (" % other.pid, warnings[1])
            assert other.stdin is not None
            other.stdin.close()
            other.wait(10)
            sim.plug(3, "X16")
            self.assertEqual((panel.open()["text"], panel.snapshot()["warnings"]), ("cards: 3 X16", []))
        finally:
            panel.close()


class PanelApi(unittest.TestCase):
    panel: RunningPanel

    @classmethod
    def setUpClass(cls) -> None:
        cls.panel = RunningPanel()

    @classmethod
    def tearDownClass(cls) -> None:
        cls.panel.close()

    def setUp(self) -> None:
        self.sim = self.panel.sim
        self.sim.clear_log()

    def post(self, path: str, value: Any) -> Any:
        """A click's answer, its result and the state's version but not the state, with the
        state read after it as "state"."""
        status, answer = post(self.panel.port, path, value)
        self.assertEqual(status, 200, answer)
        self.assertEqual(sorted(answer), ["result", "version"])
        status, state = request(self.panel.port, "GET", "/api/state")
        self.assertGreaterEqual(state["version"], answer["version"])
        return dict(answer, state=state)

    def test_layout_from_the_bench_file(self) -> None:
        status, state = request(self.panel.port, "GET", "/api/state")
        self.assertEqual(status, 200)
        self.assertEqual([(c["card"], c["model"], c["id"]) for c in state["cards"]],
                         [(1, "X16", "HALVEX X16 REV2 SN0001"), (2, "X48", "HALVEX X48 REV1 SN0102"),
                          (5, "Y48", "HALVEX Y48 REV3 SN0507")])
        x16, x48, y48 = (card_state(state, n)["layout"] for n in (1, 2, 5))
        self.assertEqual((x16["rows"], x16["cols"], x16["ps"]), ([*range(1, 17)],) * 2 + ([*range(1, 33)],))
        self.assertEqual((len(x48["rows"]), len(x48["cols"])), (48, 48))  # no range lines: default
        self.assertEqual((y48["gp"], y48["ext-gp"]), ([*range(1, 25)], [*range(1, 33)]))
        self.assertEqual(({"gp", "ps", "single"} & set(x48)), {"single"})
        self.assertEqual((x16["inputs"], x48["inputs"], y48["inputs"]), (True, False, True))

    def test_relay_commands(self) -> None:
        # card, relay, action, reply script for the card, wire line expected, code, state after
        rows: List[Any] = [
            (1, "matrix:5:7", "close", None, b"CLOSE(01,05,07)\n", 0, "closed"),
            (1, "row:5:lo", "close", None, b"CLOSE(01,05,lo)\n", 0, "closed"),
            (1, "row:5:hi", "close", None, b"CLOSE(01,05,hi)\n", 0, "closed"),
            (1, "gp:12", "close", None, b"CLOSE(01,10,12)\n", 0, "closed"),
            (1, "ext-gp:3", "close", None, b"CLOSE(01,20,03)\n", 0, "closed"),
            (1, "ps:2", "close", None, b"CLOSE(01,30,02)\n", 0, "closed"),
            (1, "discharge:1", "close", None, b"CLOSE(01,40,01)\n", 0, "closed"),
            (1, "pull-up", "close", None, b"CLOSE(01,50,01)\n", 0, "closed"),
            (1, "test-probe", "close", None, b"CLOSE(01,50,02)\n", 0, "closed"),
            (1, "pull-down", "close", None, b"CLOSE(01,50,03)\n", 0, "closed"),
            (1, "ground", "open", None, b"OPEN(01,50,04)\n", 0, "open"),
            (2, "matrix:48:48", "close", None, b"CLOSE(02,48,48)\n", 0, "closed"),
            (2, "row:48:lo", "close", None, b"CLOSE(02,48,lo)\n", 0, "closed"),
            (5, "gp:3", "close", None, b"CLOSE(05,10,03)\n", 0, "closed"),
            (5, "ext-gp:32", "close", None, b"CLOSE(05,20,32)\n", 0, "closed"),
            (1, "matrix:5:7", "open", None, b"OPEN(01,05,07)\n", 0, "open"),
            # Refused by the card: the state stays what it was.
            (5, "gp:25", "close", None, b"CLOSE(05,10,25)\n", 3, None),  # the bench fits 24
            (1, "matrix:99:7", "close", None, b"CLOSE(01,99,07)\n", 3, None),
            (1, "matrix:-1:7", "close", None, b"CLOSE(01,-1,07)\n", 3, None),
            (1, "gp:12", "open", "hex:" + b"Format Error\n".hex(), b"OPEN(01,10,12)\n", 1, "closed"),
            (1, "gp:12", "open", "hex:" + b"CMD Error\r\n".hex(), b"OPEN(01,10,12)\n", 2, "closed"),
            # No reply: the card may have switched it.
            (1, "gp:12", "open", "none", b"OPEN(01,10,12)\n", 4, "unknown"),
            # Refused by the library for the model: nothing on the wire.
            (2, "gp:3", "close", None, None, 8, None),
            (5, "matrix:5:7", "close", None, None, 8, None),
            (5, "pull-up", "close", None, None, 8, None),
            (2, "ps:1", "open", None, None, 8, None),
            # Too long for the library's command buffer: refused with 3, nothing on the wire.
            (1, "matrix:2147483647:-2147483648", "close", None, None, 3, None),
            # Rows with a group code's wire form: refused by the panel, nothing on the wire.
            (1, "matrix:10:7", "close", None, None, None, None),
            (1, "row:30:lo", "close", None, None, None, None),
            (2, "matrix:40:1", "open", None, None, None, None),
            (2, "row:50:hi", "open", None, None, None, None),
        ]
        for number, relay, action, script, wire, code, after in rows:
            with self.subTest(card=number, relay=relay, action=action, script=script):
                self.sim.clear_log()
                if script is not None:
                    self.sim.request("next %d %s" % (number, script))
                answer = self.post("/api/relay", {"card": number, "relay": relay, "action": action})
                result, card = answer["result"], card_state(answer["state"], number)
                self.assertEqual(result["code"], code, result)
                self.assertEqual(self.sim.log(), [] if wire is None else [("cmd", wire)])
                self.assertEqual(result["sent"], wire is not None)
                if wire is not None:  # the log shows the line as the card received it
                    self.assertEqual(result["line"].encode() + b"\n", wire)
                self.assertEqual(card["relays"].get(relay), after)
                self.assertEqual(answer["state"]["log"][0]["id"], result["id"])  # newest first
                if code is None:
                    self.assertIn("row %s is sent as" % relay.split(":")[1], result["text"])
                    self.assertIn(relay, card["errors"])
                elif code != 0:
                    self.assertEqual(card["errors"][relay]["code"], code)
                    self.assertEqual(card["last"]["relay"], relay)
                else:
                    self.assertNotIn(relay, card["errors"])
        self.assertEqual(self.sim.relays(5), ["gp:3", "ext-gp:32"])
        self.assertIn("matrix:48:48", self.sim.relays(2))
        status, state = request(self.panel.port, "GET", "/api/state")
        refused = card_state(state, 1)["errors"]["matrix:99:7"]
        self.assertEqual((refused["english"], refused["korean"]), ("a parameter is out of range", RANGE_KOREAN))
        alias = card_state(state, 1)["errors"]["matrix:10:7"]["text"]
        self.assertEqual(alias, "row 10 is sent as CLOSE(01,10,07), the wire form of GP relay 7: a "
                         "card switches that relay, not the crosspoint; the panel does not send it")

    def test_names_with_a_slot_and_former_names(self) -> None:
        # card (None: from the name's slot), name typed, wire line, the name the state keeps
        rows = [
            (1, "1:matrix:5:7", b"CLOSE(01,05,07)\n", "matrix:5:7"),
            (None, "5:gp:2", b"CLOSE(05,10,02)\n", "gp:2"),
            (5, "extgp:3", b"CLOSE(05,20,03)\n", "ext-gp:3"),
            (1, "single:4", b"CLOSE(01,50,04)\n", "ground"),
        ]
        for number, typed, wire, name in rows:
            with self.subTest(relay=typed):
                self.sim.clear_log()
                answer = self.post("/api/relay", {"card": number, "relay": typed, "action": "close"})
                self.assertEqual((answer["result"]["code"], self.sim.commands()), (0, [wire]))
                slot = number or int(typed.split(":")[0])
                self.assertEqual(card_state(answer["state"], slot)["relays"][name], "closed")
                self.assertIn(name, self.sim.relays(slot))
        self.post("/api/open-closed", {})

    def test_device_commands_reset_and_open_what_was_closed(self) -> None:
        answer = self.post("/api/card", {"card": 1, "action": "identify"})
        self.assertEqual((answer["result"]["code"], answer["result"]["text"]), (0, "HALVEX X16 REV2 SN0001"))
        answer = self.post("/api/card", {"card": 5, "action": "selftest"})
        self.assertEqual(answer["result"]["code"], 0)
        self.assertEqual(self.sim.commands(), [b"*IDN?(01)\n", b"*TST?(05)\n"])

        self.post("/api/relay", {"card": 1, "relay": "matrix:2:2", "action": "close"})
        self.post("/api/relay", {"card": 1, "relay": "gp:1", "action": "close"})
        self.post("/api/relay", {"card": 1, "relay": "gp:1", "action": "open"})
        self.post("/api/relay", {"card": 5, "relay": "ext-gp:4", "action": "close"})
        self.sim.clear_log()
        answer = self.post("/api/open-closed", {})
        self.assertEqual({r["code"] for r in answer["result"]}, {0})
        sent = self.sim.commands()
        self.assertIn(b"OPEN(01,02,02)\n", sent)
        self.assertIn(b"OPEN(05,20,04)\n", sent)
        self.assertNotIn(b"OPEN(01,10,01)\n", sent)  # already open: not sent again
        for card in answer["state"]["cards"]:
            self.assertNotIn("closed", card["relays"].values())

        # A close answered too late: the card closed it, the panel cannot know, and the safe
        # state opens it.
        self.post("/api/relay", {"card": 2, "relay": "matrix:3:3", "action": "open"})
        self.sim.delay(2, 100)
        answer = self.post("/api/relay", {"card": 2, "relay": "matrix:3:3", "action": "close"})
        self.assertEqual(answer["result"]["code"], 4)
        self.assertEqual(card_state(answer["state"], 2)["relays"]["matrix:3:3"], "unknown")
        self.sim.delay(2, 5)
        self.assertTrue(wait_for(lambda: self.sim.relays(2) == ["matrix:3:3"]))
        self.sim.clear_log()
        self.post("/api/open-closed", {})
        self.assertIn(b"OPEN(02,03,03)\n", self.sim.commands())
        self.assertEqual(self.sim.relays(2), [])

        self.post("/api/relay", {"card": 2, "relay": "matrix:3:3", "action": "close"})
        self.sim.clear_log()
        answer = self.post("/api/card", {"card": 2, "action": "reset"})
        card = card_state(answer["state"], 2)
        self.assertEqual(self.sim.commands(), [b"*RST(02)\n"])
        self.assertEqual((answer["result"]["code"], card["default"], card["relays"]), (0, "open", {}))
        self.assertEqual(self.sim.relays(2), [])

    def test_rediscover_after_a_power_cycle_shows_nothing_closed(self) -> None:
        self.post("/api/relay", {"card": 1, "relay": "matrix:6:6", "action": "close"})
        self.sim.restore()  # the chassis power-cycled: every relay open
        self.sim.clear_log()
        answer = self.post("/api/rediscover", {})
        self.assertEqual(answer["result"]["text"], "cards: 1 X16, 2 X48, 5 Y48")
        # Slot 5 follows silent slots: it is asked again once the line has settled.
        self.assertEqual(self.sim.commands(),
                         [b"*IDN?(%02d)\n" % n for n in range(1, 17)] + [b"*IDN?(05)\n"])
        card = card_state(answer["state"], 1)
        self.assertEqual((card["default"], card["relays"]["matrix:6:6"]), ("unknown", "unknown"))
        self.sim.clear_log()
        self.post("/api/open-closed", {})
        self.assertIn(b"OPEN(01,06,06)\n", self.sim.commands())

    def test_a_replugged_command_port(self) -> None:
        self.sim.vanish("cmd")
        for _ in range(NO_REPLY_RUN):
            answer = self.post("/api/relay", {"card": 5, "relay": "gp:5", "action": "close"})
            self.assertEqual(answer["result"]["code"], 4)
        self.assertTrue(any("may be gone" in w for w in answer["state"]["warnings"]), answer["state"]["warnings"])
        self.sim.replug("cmd")
        answer = self.post("/api/rediscover", {})
        self.assertEqual((answer["result"]["text"], answer["state"]["warnings"]),
                         ("cards: 1 X16, 2 X48, 5 Y48", []))
        self.assertEqual(self.post("/api/relay", {"card": 5, "relay": "gp:5", "action": "close"})["result"]["code"], 0)
        self.assertIn("gp:5", self.sim.relays(5))

    def test_clicks_and_rediscovery_from_many_threads_take_turns(self) -> None:
        # Each thread closes and opens relays of its own while another discovers again and
        # again: every exchange must come back whole, and the panel's states match the cards'.
        def clicks(card: int, kind: str, first: int) -> None:
            for n in range(first, first + 6):
                for action in ("close", "open", "close"):
                    status, answer = post(self.panel.port, "/api/relay",
                                          {"card": card, "relay": "%s:%d" % (kind, n), "action": action})
                    if status != 200 or answer["result"]["code"] != 0:
                        failures.append((card, kind, n, action, status, answer))

        def rediscover() -> None:
            for _ in range(3):
                status, answer = post(self.panel.port, "/api/rediscover", {})
                if status != 200 or answer["result"]["text"] != "cards: 1 X16, 2 X48, 5 Y48":
                    failures.append((status, answer))

        failures: List[Any] = []
        threads = [threading.Thread(target=clicks, args=args)
                   for args in ((1, "gp", 1), (1, "ext-gp", 1), (5, "gp", 10), (5, "ext-gp", 10))]
        threads.append(threading.Thread(target=rediscover))
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
        self.assertEqual(failures, [])
        status, state = request(self.panel.port, "GET", "/api/state")
        for number, kind, first in ((1, "gp", 1), (1, "ext-gp", 1), (5, "gp", 10), (5, "ext-gp", 10)):
            names = ["%s:%d" % (kind, n) for n in range(first, first + 6)]
            # A rediscovery after the last close leaves it unknown; never open while closed.
            self.assertLessEqual({card_state(state, number)["relays"][name] for name in names},
                                 {"closed", "unknown"})
            self.assertLessEqual(set(names), set(self.sim.relays(number)))

    def test_a_waiting_poll_wakes_on_a_change(self) -> None:
        status, state = request(self.panel.port, "GET", "/api/state")
        version = state["version"]
        status, same = request(self.panel.port, "GET", "/api/state?since=%d&wait=0.2" % version)
        self.assertEqual((status, same["version"]), (200, version))
        woken: List[Any] = []
        poll = threading.Thread(target=lambda: woken.append(
            request(self.panel.port, "GET", "/api/state?since=%d&wait=20" % version)))
        poll.start()
        answer = self.post("/api/relay", {"card": 5, "relay": "gp:7", "action": "close"})
        poll.join(10)  # generous: the change wakes it at once
        self.assertFalse(poll.is_alive())
        self.assertGreater(answer["version"], version)
        self.assertGreater(woken[0][1]["version"], version)
        self.assertEqual(card_state(woken[0][1], 5)["relays"]["gp:7"], "closed")

    def test_bad_requests_answer_4xx_and_send_nothing(self) -> None:
        json_type = {"Content-Type": "application/json"}
        rows = [
            ("/api/relay", b'{"card": 9, "relay": "gp:1", "action": "close"}', json_type, 404),
            ("/api/relay", b'{"card": "1", "relay": "gp:1", "action": "close"}', json_type, 400),
            ("/api/relay", b'{"card": true, "relay": "gp:1", "action": "close"}', json_type, 400),
            ("/api/relay", b'{"relay": "gp:1", "action": "close"}', json_type, 400),
            ("/api/relay", b'{"card": 1, "relay": "matrix:5", "action": "close"}', json_type, 400),
            ("/api/relay", b'{"card": 1, "relay": "single:5", "action": "close"}', json_type, 400),
            ("/api/relay", b'{"card": 1, "relay": "5:gp:1", "action": "close"}', json_type, 400, "of slot 5"),
            ("/api/relay", b'{"card": 1, "relay": "17:gp:1", "action": "close"}', json_type, 400, "1 to 16"),
            ("/api/relay", b'{"card": 1, "relay": "gp:99999999999", "action": "close"}', json_type, 400),
            ("/api/relay", b'{"card": 1, "relay": "GP:1", "action": "close"}', json_type, 400),
            ("/api/relay", b'{"card": 1, "relay": 12, "action": "close"}', json_type, 400),
            ("/api/relay", b'{"card": 1, "relay": "gp:1", "action": "toggle"}', json_type, 400),
            ("/api/relay", b'{"card": 1, "relay": "gp:1",', json_type, 400),
            ("/api/relay", b"[1, 2]", json_type, 400),
            ("/api/relay", b'{"card": 1, "relay": "gp:\xff"}', json_type, 400),
            ("/api/relay", b'{"card": 1, "relay": "gp:1", "action": "close"}', {"Content-Type": "text/plain"}, 415),
            ("/api/relay", b"{}", dict(json_type, **{"Content-Length": "65537"}), 413),
            ("/api/relay", b"{}", dict(json_type, **{"Content-Length": "\u00b2"}), 400, "digits only"),
            ("/api/relay", b"{}", dict(json_type, **{"Content-Length": "+2"}), 400, "digits only"),
            # The body never completes: answered 408 at the deadline, no traceback.
            ("/api/relay", b"{", dict(json_type, **{"Content-Length": "10"}), 408, "did not arrive"),
            ("/api/relay", b'{"card": 1, "relay": "", "action": "close"}', json_type, 400, "enter a relay name"),
            ("/api/monitor", b'{"card": 5, "action": "start", "interval": 1%s}' % (b"0" * 400), json_type,
             400, "0.01 to 60"),
            ("/api/card", b'{"card": 1, "action": "format"}', json_type, 400),
            ("/api/card", b'{"card": 16, "action": "reset"}', json_type, 404),
            ("/api/monitor", b'{"card": 2, "action": "start", "interval": 0.1}', json_type, 400),
            ("/api/monitor", b'{"card": 5, "action": "start", "interval": 0}', json_type, 400),
            ("/api/monitor", b'{"card": 5, "action": "start", "interval": "fast"}', json_type, 400),
            ("/api/monitor", b'{"card": 5, "action": "pause"}', json_type, 400),
            ("/api/nothing", b"{}", json_type, 404),
            ("/api/state", b"{}", json_type, 404, "no such action"),
        ]
        status, before = request(self.panel.port, "GET", "/api/state")
        self.panel.server.deadline_s = 1.0  # every other row arrives whole at once
        errors = io.StringIO()
        try:
            with contextlib.redirect_stderr(errors):
                for path, body, headers, expected, *said in rows:
                    with self.subTest(path=path, body=body[:60], headers=headers):
                        status, answer = request(self.panel.port, "POST", path, body, headers)
                        self.assertEqual(status, expected, answer)
                        self.assertIn("error", answer)
                        if said:
                            self.assertIn(said[0], answer["error"])
        finally:
            self.panel.server.deadline_s = REQUEST_DEADLINE_S
        self.assertNotIn("Traceback", errors.getvalue())
        for method, path, expected in (("GET", "/api/state?since=x", 400), ("GET", "/panel.exe", 404),
                                       ("GET", "/../README.md", 404), ("GET", "/api/relay", 404),
                                       ("PUT", "/api/state", 501)):
            with self.subTest(method=method, path=path):
                self.assertEqual(request(self.panel.port, method, path)[0], expected)
        with self.subTest("a chunked body, which hides a request that closes a relay"):
            hidden = (b'POST /api/relay HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json'
                      b'\r\nContent-Length: 46\r\n\r\n{"card": 5, "relay": "gp:1", "action": "close"}'
                      % self.panel.port)
            with socket.create_connection(("127.0.0.1", self.panel.port), timeout=30) as raw:
                raw.sendall(b"POST /api/relay HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                            b"Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
                            % self.panel.port + b"%x\r\n%s\r\n0\r\n\r\n" % (len(hidden), hidden))
                answer = b""
                while True:  # the panel closes the connection after its answer
                    try:
                        chunk = raw.recv(65536)
                    except ConnectionResetError:
                        break
                    if not chunk:
                        break
                    answer += chunk
            self.assertTrue(answer.startswith(b"HTTP/1.1 411 "), answer[:80])
            self.assertEqual(answer.count(b"HTTP/1.1 "), 1, "the body was read as a request")
        # Checked where the bytes would land: no port of the simulator received anything.
        self.assertEqual(self.sim.log(settle_s=0.1), [])
        status, after = request(self.panel.port, "GET", "/api/state")
        self.assertEqual([c["relays"] for c in after["cards"]], [c["relays"] for c in before["cards"]])
        self.assertEqual(after["log"][:1], before["log"][:1])


class TokenRule(unittest.TestCase):
    def test_who_is_answered(self) -> None:
        chassis = Chassis(os.path.join(REPO, "no-such-port"))  # never opened: nothing to send
        panel = Panel(chassis)
        for token in ("s3cret-token", None):
            server = PanelServer(panel, token=token).start()
            port = server.server_address[1]
            own = {"Host": "127.0.0.1:%d" % port}
            rows = [
                ("GET", "/", {}, "s3cret-token", 403),
                ("GET", "/?token=wrong", {}, "s3cret-token", 403),
                ("GET", "/?token=s3cret-token", {}, "s3cret-token", 200),
                ("GET", "/panel.js?token=s3cret-token", {}, "s3cret-token", 200),
                # The page's script and stylesheet: the browser asks without the token.
                ("GET", "/panel.js", {}, "s3cret-token", 200),
                ("GET", "/panel.css", {}, "s3cret-token", 200),
                ("GET", "/api/state", {}, "s3cret-token", 403),
                ("GET", "/api/state", {"X-Panel-Token": "s3cret-token"}, "s3cret-token", 200),
                ("GET", "/api/state", {"X-Panel-Token": "s3cret-tokeX"}, "s3cret-token", 403),
                ("POST", "/api/rediscover", {"Content-Type": "application/json"}, "s3cret-token", 403),
                ("GET", "/", own, None, 200),
                ("GET", "/api/state", {"Host": "localhost:%d" % port}, None, 200),
                # A name of another site resolving here (DNS rebinding) is not the panel's.
                ("GET", "/api/state", {"Host": "attacker.example:%d" % port}, None, 403),
                ("POST", "/api/rediscover", {"Host": "attacker.example", "Content-Type": "application/json"}, None, 403),
            ]
            try:
                for method, path, headers, row_token, expected in rows:
                    if row_token != token:
                        continue
                    with self.subTest(token=token, method=method, path=path, headers=headers):
                        body = b"{}" if method == "POST" else None
                        status, _ = request(port, method, path, body, headers)
                        self.assertEqual(status, expected)
            finally:
                server.stop()
        self.assertFalse(chassis.is_open)

    def test_the_page_loads_its_files_as_a_browser_asks_for_them(self) -> None:
        panel = Panel(Chassis(os.path.join(REPO, "no-such-port")))
        addresses = ["127.0.0.1"]
        try:
            socket.create_server(("::1", 0), family=socket.AF_INET6).close()
            addresses.append("::1")
        except OSError:
            pass  # no IPv6 loopback on this machine
        for address in addresses:
            server = PanelServer(panel, address, token="s3cret-token").start()
            try:
                with self.subTest(address=address):
                    url = server.url
                    self.assertIn("s3cret-token", url)
                    status, page = self.fetch(address, url)
                    self.assertEqual(status, 200)
                    # Relative to the page's URL, without its query string or any header.
                    assets = re.findall(r'(?:href|src)="([^"]+)"', page.decode())
                    self.assertEqual(sorted(assets), ["panel.css", "panel.js"])
                    for asset in assets:
                        self.assertEqual(self.fetch(address, urljoin(url, asset))[0], 200, asset)
            finally:
                server.stop()

    @staticmethod
    def fetch(address: str, url: str) -> Tuple[int, bytes]:
        parts = urlsplit(url)
        connection = http.client.HTTPConnection(address, parts.port, timeout=30)
        try:
            connection.request("GET", parts.path + ("?" + parts.query if parts.query else ""))
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def test_trickling_clients_do_not_lock_the_panel_out(self) -> None:
        server = PanelServer(Panel(Chassis(os.path.join(REPO, "no-such-port"))), deadline_s=1.0).start()
        port = server.server_address[1]
        tricklers = [socket.create_connection(("127.0.0.1", port), timeout=30) for _ in range(MAX_CONNECTIONS)]
        try:
            for trickler in tricklers:
                trickler.sendall(b"G")
            # Every place is taken by a request still coming in: the newest takes the oldest's.
            self.assertEqual(request(port, "GET", "/api/state", timeout_s=5)[0], 200)
            left, ends = list(tricklers), time.monotonic() + 5
            while left and time.monotonic() < ends:  # a byte each 0.2 s keeps no one open
                time.sleep(0.2)
                still = []
                for trickler in left:
                    try:
                        if select.select([trickler], [], [], 0)[0] and trickler.recv(1) == b"":
                            continue
                        trickler.sendall(b"E")
                        still.append(trickler)
                    except OSError:
                        pass
                left = still
            self.assertEqual(len(left), 0, "trickling connections outlived the request deadline")
        finally:
            for trickler in tricklers:
                trickler.close()
            server.stop()

    def test_connections_beyond_the_cap_are_closed(self) -> None:
        server = PanelServer(Panel(Chassis(os.path.join(REPO, "no-such-port")))).start()
        port = server.server_address[1]
        idle: List[socket.socket] = []
        try:
            # The panel's failed open of the port settles first: a poll waits only while the
            # version it names is current.
            version = -1
            while version != request(port, "GET", "/api/state")[1]["version"]:
                version = request(port, "GET", "/api/state")[1]["version"]
                time.sleep(0.3)
            for _ in range(MAX_CONNECTIONS):
                # Long polls: places busy answering, which no newcomer takes.
                idle.append(socket.create_connection(("127.0.0.1", port), timeout=30))
                idle[-1].sendall(b"GET /api/state?since=%d&wait=8 HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (version, port))
            self.assertTrue(wait_for(lambda: list(server._places.values()) == [None] * MAX_CONNECTIONS),
                            "places: %s" % list(server._places.values()))
            with socket.create_connection(("127.0.0.1", port), timeout=30) as extra:
                extra.sendall(b"GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
                try:
                    self.assertEqual(extra.recv(100), b"", "a connection beyond the cap was served")
                except ConnectionResetError:
                    pass  # closed unanswered, as it should be
            idle.pop().close()

            def answered() -> bool:
                try:
                    return request(port, "GET", "/api/state")[0] == 200
                except OSError:  # still closed unanswered: the freed place is not yet free
                    return False

            self.assertTrue(wait_for(answered, 15), "no place came free")
        finally:
            for connection in idle:
                connection.close()
            server.stop()


class CommandLine(unittest.TestCase):
    def run_panel(self, *args: str) -> "subprocess.Popen[str]":
        return subprocess.Popen([sys.executable, "-m", "halvex.panel", *args], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True,
                                env=dict(os.environ, PYTHONPATH=os.path.join(REPO, "bindings", "python")))

    def test_simulate_serves_the_demo_chassis_and_stops_on_sigterm(self) -> None:
        for listen in ([], ["--listen", "127.0.0.1"]):
            with self.subTest(listen=listen):
                process = self.run_panel("--simulate", *listen)
                try:
                    assert process.stdout is not None
                    first = process.stdout.readline().split()
                    self.assertEqual(first[0], "panel:")
                    url = first[1]
                    port = int(url.split(":")[2].split("/")[0])
                    self.assertIn("cards: 1 X16, 2 X48, 5 Y48", process.stdout.readline())
                    simulator = process.stdout.readline().split()
                    self.assertEqual(simulator[:2], ["simulator:", "control"])
                    with ControlChannel(simulator[2], timeout=30) as control:
                        self.assertTrue(control.request("relays 1").startswith("OK"))
                    headers: Dict[str, str] = {}
                    if listen:
                        self.assertRegex(url, r"/\?token=[\w-]{20,}$")
                        self.assertEqual(request(port, "GET", "/api/state")[0], 403)
                        headers["X-Panel-Token"] = url.split("token=")[1]
                    status, state = request(port, "GET", "/api/state", headers=headers)
                    self.assertEqual([(c["card"], c["model"]) for c in state["cards"]],
                                     [(1, "X16"), (2, "X48"), (5, "Y48")])
                    process.send_signal(signal.SIGTERM)
                    self.assertEqual(process.wait(20), 0)
                finally:
                    if process.poll() is None:
                        process.kill()
                        process.wait(10)
                    for stream in (process.stdout, process.stderr):
                        if stream is not None:
                            stream.close()

    def test_a_fixture_routes_and_refuses_through_its_interlock(self) -> None:
        process = self.run_panel("--simulate", "--fixture", os.path.join(REPO, "tests", "fixture", "bench.toml"))
        try:
            assert process.stdout is not None
            port = int(process.stdout.readline().split()[1].split(":")[2].split("/")[0])
            self.assertIn("cards: 1 X16, 5 Y48", process.stdout.readline())
            self.assertIn("reset cards 1, 5", process.stdout.readline())
            control = ControlChannel(process.stdout.readline().split()[2], timeout=30)
            self.addCleanup(control.close)
            status, view = request(port, "GET", "/api/fixture")
            nets = {net["name"]: net["terminals"] for net in view["nets"]}
            self.assertEqual((status, len(nets), nets["DUT_GND"], view["state"]["joined"]),
                             (200, 8, ["1:col:4", "5:gp:2:b"], []))
            self.assertEqual(sorted(view["routes"]), ["ground_dut", "measure_vcc", "power"])
            control.request("clearlog")

            def click(path: str, body: Dict[str, Any], wire: List[bytes]) -> Tuple[Dict[str, Any], Dict[str, Any]]:
                status, answer = post(port, path, body)
                self.assertEqual((status, control.commands()), (200, wire), answer)
                control.request("clearlog")
                return answer["result"], card_state(request(port, "GET", "/api/state")[1], 1)

            lines = [b"CLOSE(01,01,hi)\n", b"CLOSE(01,01,03)\n", b"CLOSE(01,02,lo)\n", b"CLOSE(01,02,04)\n",
                     b"CLOSE(01,50,01)\n"]
            result, x16 = click("/api/fixture", {"action": "apply", "routes": ["measure_vcc"]}, lines)
            self.assertEqual((result["code"], x16["default"]), (0, "open"))
            self.assertEqual(x16["relays"], dict.fromkeys(["row:1:hi", "matrix:1:3", "row:2:lo", "matrix:2:4",
                                                            "pull-up"], "closed"))
            self.assertEqual(request(port, "GET", "/api/fixture")[1]["state"]["joined"],
                             [["DMM_HI", "DUT_VCC"], ["DMM_LO", "DUT_GND"]])
            # Refused with nothing sent, the rule in the result: a connect, and a click that
            # would join the meter's lines through the DUT's ground.
            result, _ = click("/api/fixture", {"action": "connect", "nets": ["PSU_OUT", "SCOPE"]}, [])
            self.assertEqual((result["code"], result["rule"], result["sent"]), (12, "PSU_OUT / SCOPE", False))
            result, x16 = click("/api/relay", {"card": 1, "relay": "matrix:1:4", "action": "close"}, [])
            self.assertEqual((result["code"], result["rule"]), (12, "DMM_HI / DMM_LO"))
            self.assertEqual((x16["errors"]["matrix:1:4"]["code"], "matrix:1:4" in x16["relays"]), (12, False))
            result, x16 = click("/api/fixture", {"action": "release", "routes": ["measure_vcc"]},
                                [b"OPEN" + line[5:] for line in lines])
            self.assertEqual(set(x16["relays"].values()), {"open"})
            process.send_signal(signal.SIGTERM)
            self.assertEqual(process.wait(20), 0)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait(10)
            for stream in (process.stdout, process.stderr):
                if stream is not None:
                    stream.close()

    def test_usage_errors(self) -> None:
        with tempfile.NamedTemporaryFile("w", suffix=".chassis") as bench:
            bench.write("card 1 X16\nrange 3 rows 1 16\n")
            bench.flush()
            rows = [
                ((), "one of the arguments --port --simulate is required"),
                (("--port", "p", "--simulate"), "not allowed with"),
                (("--port", "p", "--monitor-port", "17=/dev/x"), "SLOT=PORT"),
                (("--simulate", "--bench", BENCH + "x"), "No such file"),
                (("--simulate", "--bench", bench.name), "halvex-panel: " + bench.name + ":2: no card in slot"),
                (("--simulate", "--monitor-port", "2=/dev/null"), "the card in slot 2 is an X48"),
                (("--simulate", "--monitor-port", "3=/dev/null"), "no card answered in slot 3"),
            ]
            for args, message in rows:
                with self.subTest(args=args):
                    process = self.run_panel(*args)
                    out, err = process.communicate(timeout=60)
                    self.assertEqual(process.returncode, 2, out + err)
                    self.assertIn(message, err)

if __name__ == "__main__":
    unittest.main()
