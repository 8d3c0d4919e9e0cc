"""End-to-end tests of the Python binding: the built library over pseudo-terminals, with the
simulated chassis on the other end."""

from __future__ import annotations

import contextlib
import ctypes
import gc
import importlib.util
import os
import pickle
import select
import signal
import subprocess
import sys
import threading
import time
import unittest
import weakref
from typing import Callable, Iterator, List, Tuple

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "bindings", "python"))


def _from_repo(path: str) -> str:
    return path if os.path.isabs(path) else os.path.join(REPO, path)


LIBRARY = _from_repo(os.environ.get("HALVEX_LIBRARY", "build/native/libhalvex.so"))
SIMULATOR = _from_repo(os.environ.get("HALVEX_SIM", "build/native/simulator/halvex-sim"))

import halvex  # noqa: E402
from halvex import (  # noqa: E402
    Chassis,
    HalvexError,
    X16Card,
    X48Card,
    Y48Card,
)
from halvex._library import resolve_function  # noqa: E402
from halvex.sim import SimulatedChassis  # noqa: E402

# The library's messages, as a reader of code page 949 sees them.
KOREAN = {
    0: "에러코드가 아닙니다.",
    1: "명령어 형식이 올바르지 않습니다.",
    2: "지원하지 않는 명령어어 입니다.",
    3: "명령어의 파라메터가 올바르지 않습니다.",
    4: "카드로 부터 응답이 없습니다.",
    5: "통신 포트를 열 수 없습니다.",
    6: "통신 포트를 닫을 수 없습니다.",
    7: "해당 아이디를 가진 카드가 존재하지 않습니다.",
    8: "해당 아이디를 가진 카드가 제공하는 기능이 아닙니다.",
    9: "존재하지 않는 에러코드 입니다.",
}

# The chassis most tests use.
PLUGGED = ((3, "X16", "HALVEX X16"), (4, "X48", "HALVEX X48"), (5, "Y48", "HALVEX Y48"))


def wait_for(condition: Callable[[], bool], timeout_s: float = 5.0) -> bool:
    """Polls until ``condition`` holds; False if it never did within the (generous) time."""
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.01)
    return condition()


def run_python(code: str, env_changes: dict, timeout_s: float = 120.0) -> subprocess.CompletedProcess:
    """Runs ``code`` in a fresh interpreter that imports this repository's binding."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.join(REPO, "bindings", "python")
    for key, value in env_changes.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return subprocess.run(
        [sys.executable, "-c", code],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=timeout_s,
        text=True,
    )


class Readings:
    """Collects monitor readings from the library's thread."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.items: List[Tuple[bool, ...]] = []

    def __call__(self, reading: Tuple[bool, ...]) -> None:
        with self.lock:
            self.items.append(reading)

    def count(self) -> int:
        with self.lock:
            return len(self.items)

    def snapshot(self) -> List[Tuple[bool, ...]]:
        with self.lock:
            return list(self.items)


class ExportTableTest(unittest.TestCase):
    """The declarations against the built library."""

    def test_every_export_is_bound_with_int32_result(self) -> None:
        lib = halvex.load_library(LIBRARY)
        for name, _, argtypes in halvex.FUNCTIONS:
            function = getattr(lib, name)
            self.assertIs(function.restype, ctypes.c_int32, name)
            self.assertEqual(tuple(function.argtypes), argtypes, name)

    def test_structures_have_the_library_layout(self) -> None:
        self.assertEqual(ctypes.sizeof(halvex.CardInfo), 132)
        self.assertEqual(halvex.CardInfo.idText.offset, 4)
        self.assertEqual(ctypes.sizeof(halvex.SignalStatus), 8)
        self.assertEqual(halvex.SignalStatus.state.offset, 4)

    def test_names_resolve_plain_first_then_decorated(self) -> None:
        class Exports:
            """Looks names up as a loaded library does: unknown names raise AttributeError."""

            def __init__(self, names: List[str]) -> None:
                self.names = names

            def __getitem__(self, name: str) -> str:
                if name not in self.names:
                    raise AttributeError(name)
                return name

        release = Exports(["_OpenHalvex@4", "_OpenX48PullUpRelay@4"])
        debug = Exports(["OpenHalvex", "_OpenX48PullUpRelay@4", "_OpenHalvex@4"])
        self.assertEqual(resolve_function(release, "OpenHalvex", 4), "_OpenHalvex@4")
        self.assertEqual(resolve_function(debug, "OpenHalvex", 4), "OpenHalvex")
        self.assertEqual(
            resolve_function(debug, "OpenX48PullUpRelay", 4), "_OpenX48PullUpRelay@4"
        )
        with self.assertRaises(AttributeError):
            resolve_function(debug, "CloseHalvex", 0)


class MessagesTest(unittest.TestCase):
    def test_library_messages_decode_from_cp949(self) -> None:
        lib = halvex.load_library(LIBRARY)
        for code, text in KOREAN.items():
            self.assertEqual(halvex.error_message(code, lib), text, code)
        for code in (-1, 10, 2**31 - 1, -(2**31), 2**40):
            self.assertEqual(halvex.error_message(code, lib), KOREAN[9], code)

    def test_english_descriptions_are_the_tables(self) -> None:
        from halvex._vocabulary import VOCABULARY

        table = VOCABULARY["results"]
        self.assertEqual([halvex.error_description(c) for c in range(10)], [r["english"] for r in table])
        self.assertEqual(HalvexError(3).description, "a parameter is out of range")  # as halvexctl says
        self.assertEqual(halvex.error_description(42), "unknown result code")

    def test_error_carries_code_message_and_description(self) -> None:
        error = HalvexError.from_code(8, LIBRARY)
        self.assertEqual((error.code, error.message), (8, KOREAN[8]))
        self.assertEqual(error.description, "the card is of another model")
        self.assertIn("8", str(error))
        self.assertIn("the card is of another model", str(error))


class ErrorObjectTest(unittest.TestCase):
    def test_error_survives_pickling(self) -> None:
        error = HalvexError(3, KOREAN[3], "Parameter Range Error\n")
        copy = pickle.loads(pickle.dumps(error))
        self.assertEqual(
            (copy.code, copy.message, copy.reply, copy.description, str(copy)),
            (3, KOREAN[3], "Parameter Range Error\n", "a parameter is out of range", str(error)),
        )
        from halvex.sim import SimulatorNotFound

        for error in (
            halvex.AlreadyMonitoring(3, KOREAN[5]),
            halvex.PortOpenError("/dev/ttyUSB0", "no such file", KOREAN[5]),
            halvex.LibraryNotFound(["HALVEX_LIBRARY: not set"]),
            SimulatorNotFound(["PATH: no halvex-sim"]),
            halvex.ChassisInUse("another chassis is open"),
        ):
            with self.subTest(type(error).__name__):
                copy = pickle.loads(pickle.dumps(error))
                self.assertEqual((type(copy), str(copy)), (type(error), str(error)))


class SimulatorTestCase(unittest.TestCase):
    sim: SimulatedChassis

    @classmethod
    def setUpClass(cls) -> None:
        cls.sim = SimulatedChassis(simulator=SIMULATOR)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.sim.close()

    def plug(self, cards=PLUGGED) -> None:
        self.sim.reset()
        for slot, model, text in cards:
            self.sim.plug(slot, model, text)

    def command_lines(self) -> List[bytes]:
        lines = self.sim.log()
        for port, _ in lines:
            self.assertEqual(port, "cmd")
        return [data for _, data in lines]


class DiscoveryTest(SimulatorTestCase):
    def test_cards_of_each_model_get_their_class(self) -> None:
        self.plug(PLUGGED + ((12, "X16", "ACME\tY48 X48 X16 rev 2"),))
        with Chassis(self.sim.port, LIBRARY) as chassis:
            cards = chassis.cards()
            self.assertEqual(
                [(type(c), c.number, c.id_text) for c in cards],
                [
                    (X16Card, 3, "HALVEX X16"),
                    (X48Card, 4, "HALVEX X48"),
                    (Y48Card, 5, "HALVEX Y48"),
                    # Tabs are dropped; "X16" wins wherever it stands in the text.
                    (X16Card, 12, "ACMEY48 X48 X16 rev 2"),
                ],
            )
            self.assertEqual([c.model for c in cards], ["X16", "X48", "Y48", "X16"])
            self.assertEqual(chassis.card(4), X48Card(chassis, 4, "HALVEX X48"))
            with self.assertRaises(HalvexError) as caught:
                chassis.card(9)
            self.assertEqual(caught.exception.code, 7)
            self.assertEqual(
                chassis.series(),
                [(3, "HALVEX X16"), (4, "HALVEX X48"), (5, "HALVEX Y48"), (12, "ACMEY48 X48 X16 rev 2")],
            )

    def test_x48_before_y48_and_rediscovery_replaces_the_cards(self) -> None:
        self.plug(((7, "Y48", "Y48/X48 COMBO"), (8, "Y48", "PLAIN Y48")))
        with Chassis(self.sim.port, LIBRARY) as chassis:
            listings = []
            real = chassis.library.GetHalvexSeries
            chassis.library.GetHalvexSeries = lambda *a: listings.append(1) or real(*a)
            self.addCleanup(setattr, chassis.library, "GetHalvexSeries", real)
            self.assertEqual(
                [(type(c), c.number) for c in chassis.cards()], [(X48Card, 7), (Y48Card, 8)]
            )
            self.plug(((2, "X16", "HALVEX X16"),))
            for _ in range(3):
                chassis.card(8)
            chassis.open()
            self.assertEqual([(type(c), c.number) for c in chassis.cards()], [(X16Card, 2)])
            self.assertEqual(chassis.card(2).number, 2)
            self.assertEqual(len(listings), 2, "the library's list is read once per discovery")

    def test_each_model_offers_only_its_own_relays(self) -> None:
        everywhere = ["self_test", "identify", "reset"]
        matrix = ["close_matrix", "open_matrix", "close_row", "open_row"]
        gp = ["close_gp", "open_gp", "close_ext_gp", "open_ext_gp"]
        supply = ["close_ps", "open_ps", "close_discharge", "open_discharge"]
        singles = [
            prefix + name
            for name in ("pull_up", "pull_down", "test_probe", "ground")
            for prefix in ("close_", "open_")
        ]
        signals = ["start_monitoring", "stop_monitoring", "read_signals", "monitoring"]
        offered = {
            X16Card: everywhere + matrix + gp + supply + singles + signals,
            X48Card: everywhere + matrix + singles,
            Y48Card: everywhere + gp + signals,
        }
        every_name = set(everywhere + matrix + gp + supply + singles + signals)
        for cls, names in offered.items():
            for name in every_name:
                self.assertEqual(hasattr(cls, name), name in names, "%s.%s" % (cls.__name__, name))

    def test_unopenable_port_raises_five(self) -> None:
        with self.assertRaises(HalvexError) as caught:
            with Chassis(os.path.join(self.sim.folder, "no-such-port"), LIBRARY):
                self.fail("entered a chassis whose port does not exist")
        self.assertEqual(caught.exception.code, 5)
        self.assertEqual(caught.exception.message, KOREAN[5])
        self.assertEqual(caught.exception.description, "the serial port cannot be opened")

    def test_listing_two_hundred_times_in_process(self) -> None:
        self.plug()
        with Chassis(self.sim.port, LIBRARY) as chassis:
            expected = [(n, t) for n, _, t in PLUGGED]
            for _ in range(200):
                self.assertEqual(chassis.series(), expected)

    def test_listings_go_back_to_the_heap(self) -> None:
        # In a child process so that a bad release shows up as its crash rather than ours;
        # keeping 20000 listings of 2112 bytes would grow it by some 40 MB.
        self.plug()
        code = (
            "import resource, halvex\n"
            "with halvex.Chassis(%r, %r) as chassis:\n"
            "    expected = [(3, 'HALVEX X16'), (4, 'HALVEX X48'), (5, 'HALVEX Y48')]\n"
            "    for _ in range(200):\n"
            "        assert chassis.series() == expected\n"
            "    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
            "    for _ in range(20000):\n"
            "        chassis._read_series()\n"
            "    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
            "print('growth-kb', after - before)\n"
        ) % (self.sim.port, LIBRARY)
        result = run_python(code, {})
        self.assertEqual(result.returncode, 0, result.stderr)
        growth_kb = int(result.stdout.split("growth-kb")[1])
        self.assertLess(growth_kb, 16 * 1024)


class LoadingTest(SimulatorTestCase):
    LISTING = (
        "import halvex\n"
        "lib = halvex.load_library(%s)\n"
        "print(lib.path)\n"
        "with halvex.Chassis(%r, %s) as chassis:\n"
        "    print([(type(c).__name__, c.number) for c in chassis.cards()])\n"
    )
    CARDS = "[('X16Card', 3), ('X48Card', 4), ('Y48Card', 5)]"

    def setUp(self) -> None:
        self.plug()

    def test_explicit_path_wins_over_the_environment(self) -> None:
        bogus = os.path.join(self.sim.folder, "missing", "libhalvex.so")
        code = self.LISTING % (repr(LIBRARY), self.sim.port, repr(LIBRARY))
        result = run_python(code, {"HALVEX_LIBRARY": bogus})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), [LIBRARY, self.CARDS])

    def test_library_from_the_environment(self) -> None:
        code = self.LISTING % ("", self.sim.port, "None")
        result = run_python(code, {"HALVEX_LIBRARY": LIBRARY})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), [LIBRARY, self.CARDS])

        bogus = os.path.join(self.sim.folder, "missing", "libhalvex.so")
        result = run_python(
            "import halvex\n"
            "try:\n"
            "    halvex.load_library()\n"
            "except OSError as e:\n"
            "    print(type(e).__name__)\n"
            "    print(*e.places, sep='\\n')\n",
            {"HALVEX_LIBRARY": bogus, "LD_LIBRARY_PATH": None},
        )
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "LibraryNotFound")
        self.assertEqual([line.split(":")[0] for line in lines[1:]],
                         ["beside the package", "HALVEX_LIBRARY", "the system loader"])
        self.assertIn(bogus + " does not exist", lines[2])

    @unittest.skipUnless(
        sys.platform.startswith("linux") and os.path.basename(LIBRARY).startswith("libhalvex.so"),
        "the default name is libhalvex.so.1 on Linux",
    )
    def test_library_by_its_default_name(self) -> None:
        code = self.LISTING % ("", self.sim.port, "None")
        result = run_python(
            code, {"HALVEX_LIBRARY": None, "LD_LIBRARY_PATH": os.path.dirname(LIBRARY)}
        )
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines()[1], self.CARDS)
        self.assertIn("libhalvex.so", result.stdout.splitlines()[0])


class OpenChassisTestCase(SimulatorTestCase):
    """One discovery of cards 3 (X16), 4 (X48) and 5 (Y48) for the whole class."""

    chassis: Chassis

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        try:
            cls.sim.reset()
            for slot, model, text in PLUGGED:
                cls.sim.plug(slot, model, text)
            cls.chassis = Chassis(cls.sim.port, LIBRARY)
            cls.chassis.__enter__()
        except BaseException:
            cls.sim.close()
            raise

    @classmethod
    def tearDownClass(cls) -> None:
        try:
            cls.chassis.__exit__(None, None, None)
        finally:
            super().tearDownClass()

    def setUp(self) -> None:
        # The same cards in the same slots, so the library's discovery stays valid.
        self.plug()
        self.x16, self.x48, self.y48 = self.chassis.cards()

    def tearDown(self) -> None:
        self.chassis.library.end_all_monitors()


class RelayTest(OpenChassisTestCase):
    def check_pairs(self, card, slot: int, cases) -> None:
        for close_name, args, field, closed in cases:
            with self.subTest(close_name, args=args):
                self.sim.clear_log()
                getattr(card, close_name)(*args)
                self.assertEqual(self.command_lines(), [b"CLOSE(%02d,%s)\n" % (slot, field)])
                self.assertIn(closed, self.sim.relays(slot))
                self.sim.clear_log()
                getattr(card, "open_" + close_name[len("close_") :])(*args)
                self.assertEqual(self.command_lines(), [b"OPEN(%02d,%s)\n" % (slot, field)])
                self.assertNotIn(closed, self.sim.relays(slot))
        self.assertEqual(self.sim.relays(slot), [])
        self.assertEqual(self.sim.operations(slot), 2 * len(cases))

    def test_every_x16_relay(self) -> None:
        self.check_pairs(
            self.x16,
            3,
            [
                ("close_matrix", (5, 7), b"05,07", "matrix:5:7"),
                ("close_matrix", (16, 1), b"16,01", "matrix:16:1"),
                ("close_row", (5, True), b"05,lo", "row:5:lo"),
                ("close_row", (6, False), b"06,hi", "row:6:hi"),
                ("close_gp", (12,), b"10,12", "gp:12"),
                ("close_ext_gp", (3,), b"20,03", "ext-gp:3"),
                ("close_ps", (32,), b"30,32", "ps:32"),
                ("close_discharge", (1,), b"40,01", "discharge:1"),
                ("close_pull_up", (), b"50,01", "pull-up"),
                ("close_test_probe", (), b"50,02", "test-probe"),
                ("close_pull_down", (), b"50,03", "pull-down"),
                ("close_ground", (), b"50,04", "ground"),
            ],
        )

    def test_every_x48_relay(self) -> None:
        self.check_pairs(
            self.x48,
            4,
            [
                ("close_matrix", (47, 48), b"47,48", "matrix:47:48"),
                ("close_row", (48, "lo"), b"48,lo", "row:48:lo"),
                ("close_row", (2, "hi"), b"02,hi", "row:2:hi"),
                ("close_pull_up", (), b"50,01", "pull-up"),
                ("close_test_probe", (), b"50,02", "test-probe"),
                ("close_pull_down", (), b"50,03", "pull-down"),
                ("close_ground", (), b"50,04", "ground"),
            ],
        )

    def test_every_y48_relay(self) -> None:
        self.check_pairs(
            self.y48,
            5,
            [
                ("close_gp", (32,), b"10,32", "gp:32"),
                ("close_ext_gp", (9,), b"20,09", "ext-gp:9"),
            ],
        )

    def test_closed_relays_stay_closed_until_reset(self) -> None:
        self.x16.close_matrix(5, 7)
        self.x16.close_gp(2)
        self.assertEqual(self.sim.relays(3), ["matrix:5:7", "gp:2"])
        self.sim.clear_log()
        self.x16.reset()
        self.assertEqual(self.command_lines(), [b"*RST(03)\n"])
        self.assertEqual((self.sim.relays(3), self.sim.operations(3)), ([], 2))

    def test_identify_and_self_test_return_the_reply_text(self) -> None:
        self.assertEqual(self.x16.identify(), "HALVEX X16")
        self.assertEqual(self.y48.identify(raw=True), "HALVEX Y48\n")
        self.assertEqual(self.x48.self_test(), "PASS\n")
        self.assertEqual(self.command_lines(), [b"*IDN?(03)\n", b"*IDN?(05)\n", b"*TST?(04)\n"])
        # Any byte the card sends comes back, and the text turns back into those bytes.
        self.sim.next_reply(3, b"HALVEX X16 \xb0\xa1\xff\n")
        reply = self.x16.identify(raw=True)
        self.assertEqual(reply, "HALVEX X16 \xb0\xa1\xff\n")
        self.assertEqual(reply.encode(halvex.CARD_TEXT_ENCODING), b"HALVEX X16 \xb0\xa1\xff\n")


class ErrorTest(OpenChassisTestCase):
    def assertRaisesCode(self, code: int, call: Callable[[], object]) -> HalvexError:
        with self.assertRaises(HalvexError) as caught:
            call()
        self.assertEqual(caught.exception.code, code)
        self.assertEqual(caught.exception.message, KOREAN[code])
        self.assertEqual(caught.exception.description, halvex.error_description(code))
        return caught.exception

    def test_wrong_model_is_refused_before_anything_is_sent(self) -> None:
        self.sim.clear_log()
        self.assertRaisesCode(8, lambda: X16Card(self.chassis, 4).close_matrix(1, 1))
        self.assertRaisesCode(8, lambda: Y48Card(self.chassis, 3).close_gp(1))
        self.assertRaisesCode(8, lambda: X48Card(self.chassis, 5).close_ground())
        self.assertRaisesCode(8, lambda: X16Card(self.chassis, 5).read_signals(self.sim.monitor_port(5)))
        self.assertEqual(self.sim.log(), [])

    def test_no_such_card(self) -> None:
        self.sim.clear_log()
        self.assertRaisesCode(7, lambda: X16Card(self.chassis, 9).reset())
        self.assertRaisesCode(7, lambda: X16Card(self.chassis, 0).identify())
        self.assertRaisesCode(7, lambda: self.chassis.card(9))
        self.assertEqual(self.sim.log(), [])

    def test_card_replies_become_their_codes(self) -> None:
        for reply, code in ((b"Format Error\n", 1), (b"CMD Error\n", 2), (b"Parameter Range Error\n", 3)):
            with self.subTest(reply=reply):
                self.sim.clear_log()
                self.sim.next_reply(3, reply)
                self.assertRaisesCode(code, lambda: self.x16.close_gp(1))
                self.assertEqual(self.command_lines(), [b"CLOSE(03,10,01)\n"])
                self.sim.next_reply(5, reply)
                error = self.assertRaisesCode(code, self.y48.identify)
                self.assertEqual(error.reply, reply.decode())
        self.assertEqual((self.sim.relays(3), self.sim.operations(3)), ([], 0))

    def test_out_of_range_relay_leaves_the_card_as_it_was(self) -> None:
        self.sim.clear_log()
        self.assertRaisesCode(3, lambda: self.x16.close_matrix(17, 1))
        self.assertEqual(self.command_lines(), [b"CLOSE(03,17,01)\n"])
        self.assertEqual((self.sim.relays(3), self.sim.operations(3)), ([], 0))

    def test_numbers_beyond_int32_are_refused_without_a_word(self) -> None:
        self.sim.clear_log()
        self.assertRaisesCode(3, lambda: self.x16.close_matrix(2**32 + 5, 7))
        self.assertRaisesCode(3, lambda: self.y48.close_gp(-(2**31) - 1))
        self.assertEqual(self.sim.log(), [])

    def test_silent_card_gives_no_reply(self) -> None:
        self.sim.silent(4, True)
        self.assertRaisesCode(4, self.x48.reset)
        error = self.assertRaisesCode(4, self.x48.identify)
        self.assertIsNone(error.reply)


class ArgumentTest(OpenChassisTestCase):
    def test_bad_arguments_are_refused_by_name_before_anything_is_sent(self) -> None:
        port = self.sim.monitor_port(3)
        cases = [
            (lambda: self.x16.close_row(3, "hi!"), ValueError, "lo must be"),
            (lambda: self.x16.close_row(3, 1), TypeError, "lo must be a bool"),
            (lambda: self.x48.open_row(3, None), TypeError, "lo must be a bool"),
            (lambda: self.x16.close_matrix("5", 7), TypeError, "row must be an int, not str"),
            (lambda: self.x16.close_matrix(5, 7.0), TypeError, "column must be an int, not float"),
            (lambda: self.x48.open_matrix(True, 7), TypeError, "row must be an int, not bool"),
            (lambda: self.y48.close_gp("12"), TypeError, "relay must be an int, not str"),
            (lambda: self.x16.close_discharge(None), TypeError, "relay must be an int"),
            (lambda: self.chassis.card("3"), TypeError, "number must be an int, not str"),
            (lambda: X16Card(self.chassis, 3.0), TypeError, "number must be an int"),
            (lambda: self.x16.start_monitoring(port, "0.1", print), TypeError, "interval_s"),
            (lambda: self.x16.start_monitoring(port, float("nan"), print), ValueError, "interval_s"),
            (lambda: self.x16.start_monitoring(port, -1, print), ValueError, "interval_s"),
            (lambda: self.x16.start_monitoring(port, 0.1, None), TypeError, "callback"),
            (lambda: self.x16.start_monitoring(3, 0.1, print), TypeError, "port must be"),
            (lambda: self.x16.start_monitoring(port, 0.1, print, "1"), TypeError, "silence_s"),
            (lambda: self.x16.start_monitoring(port, 0.1, print, float("inf")), ValueError, "silence_s"),
            (lambda: self.x16.read_signals(None), TypeError, "port must be"),
        ]
        self.sim.clear_log()
        for call, error, fragment in cases:
            with self.subTest(fragment):
                with self.assertRaises(error) as caught:
                    call()
                self.assertIn(fragment, str(caught.exception))
        self.assertEqual(self.sim.log(), [])
        self.assertEqual(self.chassis.library.monitored_cards(), ())

    def test_row_lines_by_bool_or_name(self) -> None:
        for lo, field in ((True, b"lo"), ("lo", b"lo"), (False, b"hi"), ("hi", b"hi")):
            with self.subTest(lo=lo):
                self.sim.clear_log()
                self.x16.close_row(4, lo)
                self.assertEqual(self.command_lines(), [b"CLOSE(03,04,%s)\n" % field])

    @unittest.skipIf(importlib.util.find_spec("mypy") is None, "mypy is not installed")
    def test_type_checkers_know_the_row_line_names(self) -> None:
        import tempfile

        with tempfile.TemporaryDirectory() as folder:
            for name, line in (("good", '"lo"'), ("bad", '"mid"')):
                with open(os.path.join(folder, name + ".py"), "w") as snippet:
                    snippet.write("from halvex import X16Card\n\n\n"
                                  "def switch(card: X16Card) -> None:\n"
                                  "    card.close_row(5, %s)\n    card.open_row(5, True)\n" % line)
            result = subprocess.run(
                [sys.executable, "-m", "mypy", "--strict", "--cache-dir=/dev/null",
                 "--no-error-summary", "good.py", "bad.py"],
                cwd=folder, capture_output=True, text=True, timeout=300,
                env=dict(os.environ, MYPYPATH=os.path.join(REPO, "bindings", "python")))
        errors = [line for line in result.stdout.splitlines() if ": error:" in line]
        self.assertEqual(len(errors), 1, result.stdout + result.stderr)
        self.assertTrue(errors[0].startswith("bad.py:5: error: Argument 2 to \"close_row\""), errors)

    def test_card_of_a_model_is_typed_or_refused(self) -> None:
        self.assertIs(type(self.chassis.card(3, X16Card)), X16Card)
        with self.assertRaises(HalvexError) as caught:
            self.chassis.card(3, Y48Card)
        self.assertEqual(caught.exception.code, 8)

    def test_default_silence_is_ten_intervals_and_at_least_a_second(self) -> None:
        for interval, silence in ((0.01, 1.0), (0.25, 2.5)):
            with self.subTest(interval=interval):
                with self.y48.monitoring(self.sim.monitor_port(5), interval, print):
                    record = self.chassis.library.monitor(5)
                    self.assertIsNotNone(record)
                    self.assertEqual(record.silence_s, silence)


class OneChassisTest(SimulatorTestCase):
    def test_second_chassis_is_refused_and_closed_chassis_says_so(self) -> None:
        self.plug()
        first = Chassis(self.sim.port, LIBRARY)
        second = Chassis(self.sim.port, LIBRARY)
        with self.assertRaises(halvex.ChassisClosed):
            first.cards()  # never opened
        with first:
            x16 = first.card(3, X16Card)
            self.sim.clear_log()
            with self.assertRaises(halvex.ChassisInUse) as caught:
                second.open()
            self.assertIn(self.sim.port, str(caught.exception))
            with self.assertRaises(halvex.ChassisInUse):
                with Chassis.simulated({1: "X16"}, simulator=SIMULATOR, library=LIBRARY):
                    self.fail("a second chassis opened")
            with self.assertRaises(halvex.ChassisClosed):
                second.card(3)
            self.assertEqual(self.sim.log(), [], "the refused chassis sent something")
            first.open()  # the open chassis may discover again
            self.assertEqual(first.card(3), x16)
        self.sim.clear_log()
        calls = [
            x16.reset,
            lambda: x16.close_matrix(1, 1),
            x16.identify,
            lambda: x16.read_signals(self.sim.monitor_port(3)),
            lambda: x16.start_monitoring(self.sim.monitor_port(3), 0.1, print),
            first.cards,
        ]
        for call in calls:
            with self.assertRaises(halvex.ChassisClosed) as caught:
                call()
            self.assertIn("is closed", str(caught.exception))
        self.assertEqual(self.sim.log(), [])
        with second:  # the first is closed now
            self.assertEqual([c.number for c in second.cards()], [3, 4, 5])

    @unittest.skipUnless(hasattr(os, "fork"), "no fork() here")
    def test_forked_child_starts_with_no_chassis_open(self) -> None:
        self.plug()
        with Chassis(self.sim.port, LIBRARY) as chassis:
            read, write = os.pipe()
            # Held at the fork, as another thread might hold them: the child must not wait.
            held = [
                sys.modules["halvex.chassis"]._open_lock,
                sys.modules["halvex._library"]._loaded_lock,
                chassis.library.monitors._lock,
            ]
            for lock in held:
                lock.acquire()
            pid = os.fork()
            if pid != 0:
                for lock in held:
                    lock.release()
            if pid == 0:  # the child: its library has no port open, nor has the binding
                outcome = "open" if chassis.is_open else "closed"
                outcome += "" if chassis.library.monitored_cards() == () else " monitoring"
                try:
                    with Chassis(self.sim.monitor_port(9), LIBRARY):
                        pass
                except halvex.ChassisInUse:
                    outcome += " in-use"
                except halvex.PortOpenError:
                    outcome += " port-refused"
                os.write(write, outcome.encode())
                os._exit(0)
            os.close(write)
            if not select.select([read], [], [], 60)[0]:
                os.kill(pid, signal.SIGKILL)
            with os.fdopen(read) as pipe:
                outcome = pipe.read()
            os.waitpid(pid, 0)
            # A pty without a card behind it opens; what matters is that no ChassisInUse came.
            self.assertIn(outcome, ("closed", "closed port-refused"))
            self.assertTrue(chassis.is_open)

    def test_simulated_chassis_in_one_line(self) -> None:
        with Chassis.simulated(
            {2: "X48", 7: ("Y48", "ACME Y48 REV9")}, simulator=SIMULATOR, library=LIBRARY
        ) as chassis:
            sim = chassis.simulator
            assert sim is not None
            self.assertEqual(chassis.series(), [(2, "HALVEX X48 SIMULATED CARD"), (7, "ACME Y48 REV9")])
            chassis.card(2, X48Card).close_row(9, "lo")
            self.assertEqual(sim.relays(2), ["row:9:lo"])
            sim.set_inputs(7, 0x7F)
            self.assertEqual(chassis.card(7, Y48Card).read_signals(sim.monitor_port(7)), 0x7F)
            folder = sim.folder
        self.assertFalse(sim.running)
        self.assertFalse(os.path.exists(folder))


class PortReasonTest(SimulatorTestCase):
    """Code 5 from the library, with the port and what the binding found in the way."""

    def open_error(self, port: str) -> "halvex.PortOpenError":
        with self.assertRaises(halvex.PortOpenError) as caught:
            Chassis(port, LIBRARY).open()
        self.assertEqual((caught.exception.code, caught.exception.port), (5, port))
        self.assertEqual(caught.exception.message, KOREAN[5])
        self.assertIn(port, str(caught.exception))
        return caught.exception

    def test_missing_file_and_not_a_terminal(self) -> None:
        missing = os.path.join(self.sim.folder, "no-such-port")
        plain = os.path.join(self.sim.folder, "plain-file")
        with open(plain, "w"):
            pass
        dangling = os.path.join(self.sim.folder, "dangling")
        os.symlink(missing, dangling)
        for port, reason in (
            (missing, "no such file"),
            (dangling, "no such file (%s is a link to nothing)" % dangling),
            (plain, "not a serial port (not a terminal device)"),
            (self.sim.folder, "it is a folder, not a serial port"),
        ):
            with self.subTest(port=port):
                self.assertEqual(self.open_error(port).reason, reason)

    def test_port_held_by_another_process(self) -> None:
        port = self.sim.monitor_port(6)
        holder = subprocess.Popen(
            [sys.executable, "-c",
             "import fcntl, os, sys\n"
             "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
             "fcntl.flock(fd, fcntl.LOCK_EX)\n"
             "print('held', flush=True)\n"
             "sys.stdin.read()\n", port],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(holder.stdout.readline(), "held\n")
            reason = self.open_error(port).reason
            self.assertTrue(reason.startswith("held by another process: pid %d (" % holder.pid), reason)
        finally:
            holder.stdin.close()
            holder.wait(10)
            holder.stdout.close()

    def test_port_held_by_this_process_says_so(self) -> None:
        self.plug()
        port = self.sim.monitor_port(5)
        with Chassis(self.sim.port, LIBRARY) as chassis:
            with chassis.card(5).monitoring(port, 0.01, print):
                with self.assertRaises(halvex.PortOpenError) as caught:
                    chassis.card(3).start_monitoring(port, 0.01, print)
        self.assertEqual(
            caught.exception.reason,
            "held by this process (pid %d): the library has it open here, as the command port "
            "or a card's monitoring port" % os.getpid(),
        )

    @unittest.skipUnless(sys.platform.startswith("linux"), "device permissions as on Linux")
    def test_permission_denied_names_the_group(self) -> None:
        device = os.path.realpath(self.sim.monitor_port(7))
        if os.geteuid() != 0:
            os.chmod(device, 0)
            self.addCleanup(os.chmod, device, 0o620)
            reason = self.open_error(device).reason
        else:
            # Root opens anything: the check runs in a child that has given its rights up.
            os.chmod(device, 0o600)
            code = (
                "import os, halvex\n"
                "lib = halvex.load_library(%r)\n"
                "os.setgroups([]); os.setgid(65534); os.setuid(65534)\n"
                "try:\n"
                "    halvex.Chassis(%r, lib).open()\n"
                "except halvex.PortOpenError as e:\n"
                "    print(e.reason)\n"
            ) % (LIBRARY, device)
            result = run_python(code, {})
            self.assertEqual(result.returncode, 0, result.stderr)
            reason = result.stdout.strip()
        self.assertTrue(reason.startswith("permission denied"), reason)
        self.assertIn("usermod -aG", reason)
        self.assertIn("next login", reason)


class MonitoringTest(OpenChassisTestCase):
    def test_x16_readings_then_nothing_after_stop(self) -> None:
        self.sim.set_inputs(3, 254)
        self.sim.clear_log()
        readings = Readings()
        self.x16.start_monitoring(self.sim.monitor_port(3), 0.01, readings)
        self.assertEqual(self.chassis.library.monitored_cards(), (3,))
        self.assertTrue(wait_for(lambda: readings.count() >= 3), "no readings came")
        self.x16.stop_monitoring()
        after = readings.count()
        time.sleep(0.3)
        self.assertEqual(readings.count(), after, "a reading came after stop")
        self.assertEqual(set(readings.snapshot()), {(True,) + (False,) * 7})
        for reading in readings.snapshot():
            self.assertTrue(all(type(s) is bool for s in reading))
        self.assertEqual(self.chassis.library.monitored_cards(), ())
        lines = self.sim.log()
        self.assertGreaterEqual(len(lines), 3)
        self.assertEqual(set(lines), {("mon03", b"PHOTO(03)\n")})

    def test_y48_readings_in_a_with_block(self) -> None:
        self.sim.set_inputs(5, 0x0F)
        readings = Readings()
        with self.y48.monitoring(self.sim.monitor_port(5), 0.01, readings):
            self.assertTrue(wait_for(lambda: readings.count() >= 2), "no readings came")
        after = readings.count()
        time.sleep(0.3)
        self.assertEqual(readings.count(), after, "a reading came after the block")
        self.assertEqual(set(readings.snapshot()), {(False,) * 4 + (True,) * 4})

    def test_callback_is_let_go_after_stop(self) -> None:
        readings = Readings()
        watch = weakref.ref(readings)
        self.y48.start_monitoring(self.sim.monitor_port(5), 0.01, readings)
        del readings
        gc.collect()
        self.assertIsNotNone(watch(), "the running monitor's callback was dropped")
        self.assertTrue(wait_for(lambda: watch().count() >= 1))
        self.y48.stop_monitoring()
        gc.collect()
        self.assertIsNone(watch(), "the callback outlived its monitor")

    def test_read_signals_returns_the_raw_byte(self) -> None:
        for value in (0x5A, 0, 255):
            self.sim.set_inputs(3, value)
            self.sim.set_inputs(5, 255 - value)
            self.assertEqual(self.x16.read_signals(self.sim.monitor_port(3)), value)
            self.assertEqual(self.y48.read_signals(self.sim.monitor_port(5)), 255 - value)

    def test_second_start_is_refused_and_the_first_keeps_running(self) -> None:
        first, second = Readings(), Readings()
        self.x16.start_monitoring(self.sim.monitor_port(3), 0.01, first)
        # Either port: the binding knows the card is monitoring before it asks the library.
        for port in (self.sim.monitor_port(3), self.sim.monitor_port(6)):
            with self.assertRaises(halvex.AlreadyMonitoring) as caught:
                self.x16.start_monitoring(port, 0.01, second)
            self.assertEqual((caught.exception.code, caught.exception.card_number), (5, 3))
            self.assertIn("card 3 is already monitoring", str(caught.exception))
        with self.assertRaises(halvex.AlreadyMonitoring):
            self.x16.read_signals(self.sim.monitor_port(3))
        gc.collect()
        now = first.count()
        self.assertTrue(wait_for(lambda: first.count() >= now + 2), "the first monitor stopped")
        self.assertEqual(second.count(), 0)
        self.assertEqual(self.chassis.library.monitored_cards(), (3,))
        self.x16.stop_monitoring()
        self.x16.stop_monitoring()  # nothing running is fine

    def test_two_threads_starting_one_card_leave_one_monitor_held(self) -> None:
        # Both threads come for the card's turn together; the one second takes its turn after
        # the first has held its monitor and begun it (the turn keeps them from both passing
        # the "already monitoring?" check first).
        both_checked = threading.Barrier(2, timeout=10)
        checked = threading.local()

        monitors = self.chassis.library.monitors
        card_turn = monitors._turn

        @contextlib.contextmanager
        def check_together(card_number: int) -> Iterator[None]:
            if not getattr(checked, "once", False):
                checked.once = True
                both_checked.wait()
            with card_turn(card_number):
                yield

        monitors._turn = check_together  # type: ignore[method-assign]
        self.addCleanup(vars(monitors).pop, "_turn", None)
        card = Y48Card(self.chassis, 5)
        readings = [Readings(), Readings()]
        outcomes: List[str] = []

        def start(i: int) -> None:
            try:
                card.start_monitoring(self.sim.monitor_port(5), 0.01, readings[i])
                outcomes.append("started")
            except BaseException as error:
                outcomes.append(type(error).__name__)

        threads = [threading.Thread(target=start, args=(i,)) for i in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        vars(monitors).pop("_turn")
        self.assertEqual(sorted(outcomes), ["AlreadyMonitoring", "started"])
        self.assertEqual(self.chassis.library.monitored_cards(), (5,))
        gc.collect()
        running = readings[0] if readings[0].count() else readings[1]
        now = running.count()
        self.assertTrue(wait_for(lambda: running.count() >= now + 3), "the monitor stopped")
        self.y48.stop_monitoring()

    def test_start_and_stop_racing_end_with_the_monitor_and_its_record_agreeing(self) -> None:
        # A stop that ends nothing and then drops a start's freshly held record left the
        # library calling a callback the collector had freed.
        port = self.sim.monitor_port(5)
        together = threading.Barrier(2, timeout=10)
        readings = Readings()
        problems: List[BaseException] = []

        def start() -> None:
            together.wait()
            try:
                self.y48.start_monitoring(port, 0.001, readings, silence_s=30)
            except HalvexError:  # AlreadyMonitoring, or the port still held by the last one
                pass
            except BaseException as error:  # reported to the test below
                problems.append(error)

        for _ in range(150):
            starter = threading.Thread(target=start)
            starter.start()
            together.wait()
            try:
                self.y48.stop_monitoring()
            except BaseException as error:  # reported to the test below
                problems.append(error)
            starter.join(30)
            gc.collect()
        self.assertEqual(problems, [])
        held = self.chassis.library.monitor(5) is not None
        value = ctypes.c_int32(0)
        busy = self.chassis.library.GetY48SignalMonitoringData(5, port.encode(), ctypes.byref(value))
        self.assertEqual(held, busy == 5, "the library's monitor and the binding's record disagree")
        if held:
            now = readings.count()
            self.assertTrue(wait_for(lambda: readings.count() >= now + 3), "the monitor stopped")

    def test_silence_handlers_may_stop_each_others_monitors(self) -> None:
        both_silent = threading.Barrier(2, timeout=10)
        cards = {3: self.x16, 5: self.y48}
        stopped: List[int] = []

        def stop_the_other(card: halvex.Card) -> None:
            both_silent.wait()  # each handler runs while the other does
            try:
                cards[8 - card.number].stop_monitoring()
            except HalvexError as error:
                if error.code != 6:  # 6: the vanished port would not close
                    raise
            stopped.append(card.number)

        for number, card in cards.items():
            card.start_monitoring(self.sim.monitor_port(number), 0.01, print, 0.3, stop_the_other)
        for number in cards:
            self.sim.vanish(number)
        self.assertTrue(wait_for(lambda: len(stopped) == 2, 15), "the handlers wait for each other")
        self.assertEqual(sorted(stopped), [3, 5])
        self.assertEqual(self.chassis.library.monitored_cards(), ())

    def test_refused_start_holds_nothing(self) -> None:
        readings = Readings()
        with self.assertRaises(HalvexError) as caught:
            X16Card(self.chassis, 5).start_monitoring(self.sim.monitor_port(5), 0.01, readings)
        self.assertEqual(caught.exception.code, 8)
        nowhere = os.path.join(self.sim.folder, "nowhere")
        with self.assertRaises(halvex.PortOpenError) as caught:
            self.y48.start_monitoring(nowhere, 0.01, readings)
        self.assertEqual((caught.exception.code, caught.exception.port), (5, nowhere))
        self.assertEqual(caught.exception.reason, "no such file")
        self.assertEqual(self.chassis.library.monitored_cards(), ())
        time.sleep(0.1)
        self.assertEqual(readings.count(), 0)

    def test_stop_from_inside_the_callback(self) -> None:
        readings = Readings()
        problems: List[BaseException] = []

        def stop_at_once(reading: Tuple[bool, ...]) -> None:
            readings(reading)
            try:
                self.y48.stop_monitoring()
            except BaseException as error:  # reported to the test below
                problems.append(error)

        self.y48.start_monitoring(self.sim.monitor_port(5), 0.01, stop_at_once)
        self.assertTrue(wait_for(lambda: readings.count() >= 1))
        time.sleep(0.3)
        self.assertEqual(readings.count(), 1, "the monitor went on after stopping itself")
        self.assertEqual(problems, [])
        # Still held: the library has not yet reaped the monitor's thread.
        self.assertEqual(self.chassis.library.monitored_cards(), (5,))
        self.y48.stop_monitoring()
        self.assertEqual(self.chassis.library.monitored_cards(), ())
        again = Readings()
        with self.y48.monitoring(self.sim.monitor_port(5), 0.01, again):
            self.assertTrue(wait_for(lambda: again.count() >= 2), "no restart after the stop")

    def test_failing_callback_does_not_stop_the_monitor(self) -> None:
        calls = Readings()

        def failing(reading: Tuple[bool, ...]) -> None:
            calls(reading)
            if calls.count() % 2:
                raise RuntimeError("from the callback")

        with self.assertLogs("halvex", "ERROR") as logged:
            with self.x16.monitoring(self.sim.monitor_port(3), 0.01, failing):
                self.assertTrue(wait_for(lambda: calls.count() >= 6), "the monitor stopped")
                errors = self.x16.callback_errors
        self.assertGreaterEqual(errors, 3)
        self.assertLessEqual(errors, (calls.count() + 1) // 2)
        self.assertIn("callback of card 3 raised", logged.output[0])
        self.assertIn("RuntimeError: from the callback", logged.output[0])
        self.assertEqual(self.x16.callback_errors, 0, "the count belongs to the running monitor")

    def test_silence_marks_the_monitor_stale_until_readings_resume(self) -> None:
        readings, silences = Readings(), []
        port = self.sim.monitor_port(5)
        silence_s = 2.0
        with self.y48.monitoring(port, 0.01, readings, silence_s, on_silence=silences.append):
            self.assertTrue(wait_for(lambda: readings.count() >= 2))
            before = len(silences)  # a loaded machine may have paused the readings already
            self.sim.vanish(port)
            self.assertTrue(
                wait_for(lambda: len(silences) > before, 4 * silence_s), "on_silence was not called"
            )
            self.assertTrue(self.y48.monitor_stale)
            self.assertEqual(silences[before:], [self.y48])
            time.sleep(1.25 * silence_s)  # longer than another silence would take
            self.assertEqual(len(silences), before + 1, "one call per silence")
            self.sim.replug(port)
            self.assertTrue(
                wait_for(lambda: not self.y48.monitor_stale, 4 * silence_s), "readings did not resume"
            )


class ChassisLifetimeTest(SimulatorTestCase):
    def test_leaving_the_chassis_stops_its_monitors(self) -> None:
        self.plug()
        readings = Readings()
        with Chassis(self.sim.port, LIBRARY) as chassis:
            chassis.card(3).start_monitoring(self.sim.monitor_port(3), 0.01, readings)
            self.assertTrue(wait_for(lambda: readings.count() >= 1))
        after = readings.count()
        time.sleep(0.3)
        self.assertEqual(readings.count(), after)
        self.assertEqual(chassis.library.monitored_cards(), ())

    def test_rediscovery_ends_the_monitors_and_lets_go(self) -> None:
        self.plug()
        readings = Readings()
        with Chassis(self.sim.port, LIBRARY) as chassis:
            chassis.card(5).start_monitoring(self.sim.monitor_port(5), 0.01, readings)
            self.assertTrue(wait_for(lambda: readings.count() >= 1))
            chassis.open()
            self.assertEqual(chassis.library.monitored_cards(), ())
            after = readings.count()
            time.sleep(0.3)
            self.assertEqual(readings.count(), after)

    def test_failed_reopen_keeps_the_monitors_and_their_callbacks(self) -> None:
        self.plug()
        readings = Readings()
        with Chassis(self.sim.port, LIBRARY) as chassis:
            self.addCleanup(chassis.library.end_all_monitors)
            chassis.card(5).start_monitoring(self.sim.monitor_port(5), 0.01, readings)
            self.assertTrue(wait_for(lambda: readings.count() >= 1))
            self.sim.vanish("cmd")  # the command port's adapter is unplugged
            with self.assertRaises(halvex.PortOpenError):
                chassis.open()
            gc.collect()
            # The library kept the old cards, so their monitors run on.
            self.assertEqual(chassis.library.monitored_cards(), (5,))
            now = readings.count()
            self.assertTrue(wait_for(lambda: readings.count() >= now + 3), "the monitor stopped")
            self.sim.replug("cmd")
            chassis.open()
            self.assertEqual(chassis.library.monitored_cards(), ())

    def test_reopen_from_inside_a_callback_keeps_the_callbacks(self) -> None:
        self.plug()
        readings, other = Readings(), Readings()
        problems: List[BaseException] = []

        def reopen_once(reading: Tuple[bool, ...]) -> None:
            readings(reading)
            if readings.count() == 1:
                try:
                    chassis.open()
                except BaseException as error:  # reported to the test below
                    problems.append(error)

        watch = weakref.ref(other)
        with Chassis(self.sim.port, LIBRARY) as chassis:
            chassis.card(3).start_monitoring(self.sim.monitor_port(3), 0.01, other)
            chassis.card(5).start_monitoring(self.sim.monitor_port(5), 0.01, reopen_once)
            del other
            self.assertTrue(wait_for(lambda: chassis.library.monitored_cards() == (), 30))
            gc.collect()
            self.assertEqual(problems, [])
            # The library did not wait for the old monitors' threads: their callbacks stay.
            self.assertIsNotNone(watch(), "a callback was let go while its thread may run")
            after = readings.count()
            time.sleep(0.3)
            self.assertEqual(readings.count(), after, "a reading came after the discovery")
            self.assertEqual([card.number for card in chassis.cards()], [3, 4, 5])

    def test_ctrl_c_ends_a_self_test_waiting_for_a_silent_card(self) -> None:
        self.plug()
        code = (
            "import sys, halvex\n"
            "chassis = halvex.Chassis(%r, %r)\n"
            "chassis.open()\n"
            "card = chassis.card(4)\n"
            "print('open', flush=True)\n"
            "sys.stdin.readline()\n"
            "card.self_test()\n"
        ) % (self.sim.port, LIBRARY)
        env = dict(os.environ, PYTHONPATH=os.path.join(REPO, "bindings", "python"))
        child = subprocess.Popen([sys.executable, "-c", code], env=env, text=True,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        try:
            self.assertEqual(child.stdout.readline(), "open\n")  # type: ignore[union-attr]
            self.sim.silent(4, True)  # the X48 self test now waits 50 s for it
            child.stdin.write("\n")  # type: ignore[union-attr]
            child.stdin.flush()  # type: ignore[union-attr]
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
            _, stderr = child.communicate(timeout=10)
        finally:
            child.kill()
            child.communicate()
        self.assertNotEqual(child.returncode, 0)
        self.assertIn("KeyboardInterrupt", stderr)
        self.assertEqual(self.command_lines()[-1], b"*TST?(04)\n")

    def test_exit_with_a_monitor_running_stops_it_first(self) -> None:
        # The check is registered before the binding is imported, so it runs after the
        # binding's own exit handler and sees what that left.
        self.plug()
        code = (
            "import atexit, time\n"
            "seen = []\n"
            "def after_binding():\n"
            "    count = len(seen)\n"
            "    time.sleep(0.3)\n"
            "    print('held', lib.monitored_cards(), 'quiet', len(seen) == count)\n"
            "atexit.register(after_binding)\n"
            "import halvex\n"
            "lib = halvex.load_library(%r)\n"
            "chassis = halvex.Chassis(%r, lib)\n"
            "chassis.open()\n"
            "chassis.card(3).start_monitoring(%r, 0.005, seen.append)\n"
            "while not seen: time.sleep(0.01)\n"
            "print('monitoring')\n"
        ) % (LIBRARY, self.sim.port, self.sim.monitor_port(3))
        result = run_python(code, {})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "monitoring\nheld () quiet True\n")
        self.assertEqual(result.stderr, "")

if __name__ == "__main__":
    unittest.main()


class OtherHoldersTest(unittest.TestCase):
    def test_a_child_holding_the_port_openly_is_named_with_its_pid(self) -> None:
        from halvex._port import other_holders

        controller, follower = os.openpty()
        path = os.ttyname(follower)
        os.close(follower)
        self.addCleanup(os.close, controller)
        child = subprocess.Popen(
            [sys.executable, "-c",
             "import os, sys; os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY); print(flush=True); "
             "sys.stdin.read()", path],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(child.wait)
        self.addCleanup(child.stdin.close)  # type: ignore[union-attr]
        child.stdout.readline()  # type: ignore[union-attr]
        self.assertIn(child.pid, [pid for pid, _ in other_holders(path)])
        self.assertNotIn(os.getpid(), [pid for pid, _ in other_holders(path)])
