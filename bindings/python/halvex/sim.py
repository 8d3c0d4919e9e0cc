"""A simulated chassis for testing test programs: ``halvex-sim`` on pseudo-terminals.

    from halvex import Chassis, X16Card
    from halvex.sim import SimulatedChassis

    with SimulatedChassis(cards={3: "X16", 5: ("Y48", "HALVEX Y48 REV3")}) as sim:
        with Chassis(sim.port) as chassis:
            chassis.card(3, X16Card).close_matrix(5, 7)
        assert sim.relays(3) == ["matrix:5:7"]

The simulator is a program of its own; it is found as :func:`find_simulator` says. Its control
channel (a TCP connection on 127.0.0.1) sets cards, signal inputs and faults up, and reads the
relays the cards hold and every line the ports received.
"""

from __future__ import annotations

import json
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from types import TracebackType
from typing import IO, Dict, List, Mapping, NamedTuple, Optional, Tuple, Type, Union, cast

from ._library import PACKAGE_DIR, LibraryNotFound, load_library

__all__ = [
    "SimulatorError",
    "SimulatorNotFound",
    "ControlChannel",
    "SimulatedChassis",
    "CardSetup",
    "CardDescription",
    "describe",
    "find_simulator",
]

SIMULATOR_NAME = "halvex-sim"
MODELS = ("X16", "X48", "Y48")
SLOTS = range(1, 17)
# A model alone, or a model and the text the card answers to *IDN?.
CardSetup = Union[str, Tuple[str, str]]
PortRef = Union[str, int, "os.PathLike[str]"]


class SimulatorError(RuntimeError):
    """The simulator refused a request, closed its control channel or never came up."""


class SimulatorNotFound(SimulatorError):
    """No ``halvex-sim`` program was found; ``places`` lists where the binding looked."""

    def __init__(self, places: List[str]) -> None:
        super().__init__("halvex-sim was not found; looked in:\n  " + "\n  ".join(places))
        self.places: List[str] = list(places)

    def __reduce__(self) -> Tuple[object, ...]:
        return (type(self), (self.places,))


class ControlChannel:
    """Client of the simulator's control channel: one request line, one reply line, and for
    "OK <count>" replies that many lines more."""

    def __init__(self, address: str, timeout: Optional[float] = None) -> None:
        """Connects to ``address`` ("127.0.0.1:4567"); ``timeout`` bounds every wait, in
        seconds (None waits as long as it takes)."""
        host, port = address.rsplit(":", 1)
        self._socket: Optional[socket.socket] = socket.create_connection(
            (host, int(port)), timeout=timeout
        )
        self._pending = b""

    def close(self) -> None:
        if self._socket is not None:
            self._socket.close()
            self._socket = None

    def __enter__(self) -> "ControlChannel":
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def _connected(self) -> socket.socket:
        if self._socket is None:
            raise SimulatorError("the control channel is closed")
        return self._socket

    def read_line(self) -> str:
        """The next line, without its line ending."""
        connection = self._connected()
        while b"\n" not in self._pending:
            chunk = connection.recv(65536)
            if not chunk:
                raise SimulatorError("the simulator closed its control channel")
            self._pending += chunk
        line, self._pending = self._pending.split(b"\n", 1)
        return line.decode().rstrip("\r")

    def request(self, line: str) -> str:
        """Sends one request; returns its reply line, raising SimulatorError on a refusal."""
        self._connected().sendall(line.encode() + b"\n")
        reply = self.read_line()
        if not reply.startswith("OK"):
            raise SimulatorError("simulator refused %r: %s" % (line, reply))
        return reply

    def listing(self, line: str) -> List[str]:
        """Sends a request answered "OK <count>" and returns the lines that follow."""
        count = int(self.request(line).split()[1])
        return [self.read_line() for _ in range(count)]

    def log(self, settle_s: float = 0.05) -> List[Tuple[str, bytes]]:
        """Every line received since the last clear, as (port, bytes); waits ``settle_s`` first
        so that bytes just written have arrived. Ports are "cmd" and "mon01" to "mon16"."""
        if settle_s > 0:
            time.sleep(settle_s)
        entries = []
        for entry in self.listing("log"):
            port, _, data = entry.partition(" ")
            entries.append((port, bytes.fromhex(data)))
        return entries

    def commands(self, settle_s: float = 0.05) -> List[bytes]:
        """The lines the command port received, as in ``log``."""
        return [data for port, data in self.log(settle_s) if port == "cmd"]


def _executable(path: str) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def find_simulator(simulator: Union[str, "os.PathLike[str]", None] = None) -> str:
    """The ``halvex-sim`` to run: ``simulator`` if given; else ``HALVEX_SIM``; else the one a
    wheel installed in the package; else the one beside the driver library (the library's
    folder, its ``simulator/`` build folder, or ``../bin`` of an installed prefix); else the
    first on PATH. Raises :class:`SimulatorNotFound` naming every place it looked."""
    places: List[str] = []
    if simulator is not None:
        path = os.fspath(simulator)
        if _executable(path):
            return path
        raise SimulatorNotFound(["the simulator argument: %s is not an executable file" % path])
    from_env = os.environ.get("HALVEX_SIM")
    if from_env:
        if _executable(from_env):
            return from_env
        places.append("HALVEX_SIM: %s is not an executable file" % from_env)
    else:
        places.append("HALVEX_SIM: not set")
    bundled = os.path.join(PACKAGE_DIR, SIMULATOR_NAME)
    if _executable(bundled):
        return bundled
    places.append("in the package: no %s" % bundled)
    try:
        library_path = load_library().path
    except LibraryNotFound:
        places.append("beside the library: the library was not found")
    else:
        if os.path.isabs(library_path):
            folder = os.path.dirname(os.path.realpath(library_path))
            for candidate in (
                os.path.join(folder, SIMULATOR_NAME),
                os.path.join(folder, "simulator", SIMULATOR_NAME),
                os.path.join(os.path.dirname(folder), "bin", SIMULATOR_NAME),
            ):
                if _executable(candidate):
                    return candidate
                places.append("beside the library: no %s" % candidate)
        else:
            places.append("beside the library: it was loaded by name (%s)" % library_path)
    on_path = shutil.which(SIMULATOR_NAME)
    if on_path:
        return on_path
    places.append("PATH: no %s in %s" % (SIMULATOR_NAME, os.environ.get("PATH", "")))
    raise SimulatorNotFound(places)


class CardDescription(NamedTuple):
    """A card a set-up gives: its slot, model and identification text, and the relay ranges
    it changes from a fresh card's ("rows", "cols", "gp", "ext-gp", "ps", "discharge")."""

    slot: int
    model: str
    id_text: str
    ranges: Dict[str, Tuple[int, int]]


def describe(
    chassis_file: Union[str, "os.PathLike[str]", None] = None,
    cards: Optional[Mapping[int, CardSetup]] = None,
    simulator: Union[str, "os.PathLike[str]", None] = None,
) -> List[CardDescription]:
    """The cards a chassis file (and ``cards``, as :class:`SimulatedChassis` takes them) set
    up, in slot order, as the simulator reads them (``halvex-sim --describe``); nothing is
    started. SimulatorError carries the simulator's complaint, for a bad file
    "FILE:LINE: reason: line"."""
    options: List[str] = []
    if chassis_file is not None:
        options += ["--chassis", os.fspath(chassis_file)]
    for slot, spec in (cards or {}).items():
        options += ["--card", _card_option(slot, spec)]
    done = subprocess.run([find_simulator(simulator), "--describe"] + options,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    if done.returncode != 0:
        complaint = done.stderr.decode(errors="replace").strip()
        prefix = SIMULATOR_NAME + ": "
        raise SimulatorError(complaint[len(prefix):] if complaint.startswith(prefix) else
                             complaint or "%s --describe failed (%d)" % (SIMULATOR_NAME, done.returncode))
    found = cast(Dict[str, List[Dict[str, object]]], json.loads(done.stdout.decode()))
    return [
        CardDescription(
            cast(int, card["slot"]), cast(str, card["model"]), cast(str, card["id_text"]),
            {kind: (low, high) for kind, (low, high) in cast(Dict[str, List[int]], card["ranges"]).items()},
        )
        for card in found["cards"]
    ]


def _card_option(slot: object, spec: object) -> str:
    if isinstance(slot, bool) or not isinstance(slot, int):
        raise TypeError("cards: a slot must be an int, not %s" % type(slot).__name__)
    if slot not in SLOTS:
        raise ValueError("cards: slot %d is not in 1..16" % slot)
    if isinstance(spec, str):
        model, id_text = spec, None
    elif isinstance(spec, tuple) and len(spec) == 2 and all(isinstance(s, str) for s in spec):
        model, id_text = spec
    else:
        raise TypeError('cards: slot %d takes "X16", "X48", "Y48" or (model, id_text)' % slot)
    if model not in MODELS:
        raise ValueError("cards: slot %d has model %r, not one of X16, X48, Y48" % (slot, model))
    if id_text is not None and ("\n" in id_text or "\r" in id_text):
        raise ValueError("cards: the id text of slot %d is one line" % slot)
    return "%d:%s" % (slot, model) if id_text is None else "%d:%s:%s" % (slot, model, id_text)


class SimulatedChassis:
    """A running ``halvex-sim``: a chassis of simulated cards on pseudo-terminals.

    ``cards`` maps slots to models (``{1: "X16", 2: ("X48", "ID TEXT")}``); ``chassis_file``
    is a file of set-up requests the simulator loads (``card``, ``range``, ``delay``, ...);
    ``simulator`` is the program (see :func:`find_simulator`). The simulator starts at once and
    stops at :meth:`close` or at the end of a ``with`` block, whatever ends it; it also stops
    when this process ends.

    The ports are :attr:`port` (the command port) and :meth:`monitor_port`; the other methods
    speak the simulator's control channel.
    """

    def __init__(
        self,
        cards: Optional[Mapping[int, CardSetup]] = None,
        chassis_file: Union[str, "os.PathLike[str]", None] = None,
        simulator: Union[str, "os.PathLike[str]", None] = None,
    ) -> None:
        options: List[str] = []
        if chassis_file is not None:
            path = os.fspath(chassis_file)
            if not os.path.isfile(path):
                raise FileNotFoundError("chassis_file: no such file: %s" % path)
            options += ["--chassis", path]
        for slot, spec in (cards or {}).items():
            options += ["--card", _card_option(slot, spec)]
        self.simulator: str = find_simulator(simulator)
        self.folder: str = tempfile.mkdtemp(prefix="halvex-sim-")
        self._links = os.path.join(self.folder, "ports")
        self._stderr: IO[bytes] = open(os.path.join(self.folder, "sim.err"), "wb")
        self._process: Optional["subprocess.Popen[bytes]"] = None
        self.control: Optional[ControlChannel] = None
        # Where the control channel listens ("127.0.0.1:4567"), for another client of it.
        self.control_address: str = ""
        try:
            self._process = subprocess.Popen(
                [self.simulator, "--link", self._links, "--control", "0", "--quiet"]
                # The simulator ends when this process does and its stdin closes.
                + ["--stdin-control", "--exit-on-eof"]
                + options,
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=self._stderr,
            )
            self.control_address = self._wait_until_ready(timeout_s=30.0)
            self.control = ControlChannel(self.control_address, timeout=30.0)
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> "SimulatedChassis":
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return "SimulatedChassis(port=%r)" % (self.port,)

    def _wait_until_ready(self, timeout_s: float) -> str:
        assert self._process is not None and self._process.stdout is not None
        deadline = time.monotonic() + timeout_s
        address: Optional[str] = None
        pending = b""
        fd = self._process.stdout.fileno()
        while True:
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                words = line.decode(errors="replace").split()
                if words[:1] == ["control"]:
                    address = words[1]
                elif words[:1] == ["ready"]:
                    if address is None:
                        raise SimulatorError("the simulator offered no control channel")
                    return address
            left = deadline - time.monotonic()
            if left <= 0:
                raise SimulatorError("the simulator did not get ready: " + self.stderr_text())
            readable, _, _ = select.select([fd], [], [], left)
            if readable:
                chunk = os.read(fd, 4096)
                if not chunk:
                    raise SimulatorError("the simulator quit: " + self.stderr_text())
                pending += chunk

    def stderr_text(self) -> str:
        """What the simulator wrote to its standard error (its complaints)."""
        if not self._stderr.closed:
            self._stderr.flush()
        try:
            with open(self._stderr.name, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    @property
    def running(self) -> bool:
        """True until the simulator has stopped."""
        return self._process is not None and self._process.poll() is None

    @property
    def pid(self) -> Optional[int]:
        """The simulator's process id (it holds its ports' terminals open), None once stopped."""
        return self._process.pid if self._process is not None else None

    @property
    def port(self) -> str:
        """The command port (a link to its pseudo-terminal that stays put across replugs)."""
        return os.path.join(self._links, "command")

    def monitor_port(self, slot: int) -> str:
        """The monitoring port of ``slot`` (1..16)."""
        return os.path.join(self._links, "monitor-%02d" % self._slot(slot))

    @staticmethod
    def _slot(slot: int) -> int:
        if isinstance(slot, bool) or not isinstance(slot, int):
            raise TypeError("slot must be an int, not %s" % type(slot).__name__)
        if slot not in SLOTS:
            raise ValueError("slot must be 1..16, not %d" % slot)
        return slot

    def _port_name(self, port: PortRef) -> str:
        """The control channel's name of a port: "cmd" or "monNN"."""
        if isinstance(port, int) and not isinstance(port, bool):
            return "mon%02d" % self._slot(port)
        if isinstance(port, bool):
            raise TypeError("port must be a port name, a path or a slot number, not bool")
        text = os.fspath(port)
        if text == "cmd" or (text.startswith("mon") and text[3:].isdigit()):
            return text
        if text == self.port:
            return "cmd"
        for slot in SLOTS:
            if text == self.monitor_port(slot):
                return "mon%02d" % slot
        raise ValueError(
            "port must be \"cmd\", \"monNN\", a slot number or one of this chassis's ports, "
            "not %r" % (text,)
        )

    # ---- The control channel ----

    def request(self, line: str) -> str:
        """Sends any control request (see the simulator's "help"); returns its reply line and
        raises SimulatorError on a refusal."""
        if self.control is None:
            raise SimulatorError("the simulated chassis is closed")
        return self.control.request(line)

    def relays(self, slot: int) -> List[str]:
        """The closed relays of a card, named as users type them ("matrix:5:7", "row:6:hi",
        "gp:12", "ext-gp:3", "ps:32", "discharge:1", "pull-up", "ground"...), in the
        simulator's order. (Earlier simulators said "extgp:3", and "single:1" to "single:4" for
        the pull-up, test-probe, pull-down and ground relays.)"""
        words = self.request("relays %d" % self._slot(slot)).split()[1:]
        return [word for word in words if not word.startswith("ops:")]

    def operations(self, slot: int) -> int:
        """How many relay operations the card has carried out."""
        for word in self.request("relays %d" % self._slot(slot)).split()[1:]:
            if word.startswith("ops:"):
                return int(word[4:])
        raise SimulatorError("the simulator reported no operation count for slot %d" % slot)

    def set_inputs(self, slot: int, byte: int) -> None:
        """The status byte the card's PHOTO reply carries (bit 0 is channel 1; a 0 bit is an
        active input)."""
        if isinstance(byte, bool) or not isinstance(byte, int):
            raise TypeError("byte must be an int, not %s" % type(byte).__name__)
        if not 0 <= byte <= 255:
            raise ValueError("byte must be 0..255, not %d" % byte)
        self.request("status %d %d" % (self._slot(slot), byte))

    def fault(self, slot: int, kind: str, *args: object) -> None:
        """Makes the slot's next command-port reply misbehave (``kind`` as the simulator's
        "fault" request takes it: flood, garbage N, nul, cr, trickle MS, split POS, late MS,
        silent-after N, off; "persist" as the last argument keeps it up until "off")."""
        words = [str(kind)] + [str(a) for a in args]
        self.request("fault %d %s" % (self._slot(slot), " ".join(words)))

    def vanish(self, port: PortRef) -> None:
        """Takes a port away, as an unplugged adapter: ``port`` is "cmd", "monNN", a slot
        number (its monitoring port) or the path of one of this chassis's ports."""
        self.request("vanish %s" % self._port_name(port))

    def replug(self, port: PortRef) -> str:
        """Brings a vanished port back (its link points at the new pseudo-terminal); returns the
        new terminal's path."""
        return self.request("replug %s" % self._port_name(port)).split(" ", 1)[1]

    def log(self, settle_s: float = 0.05) -> List[Tuple[str, bytes]]:
        """Every line the ports received since the last :meth:`clear_log`, as (port, bytes)
        with the port "cmd" or "monNN"; waits ``settle_s`` first for bytes in flight."""
        if self.control is None:
            raise SimulatorError("the simulated chassis is closed")
        return self.control.log(settle_s)

    def commands(self, settle_s: float = 0.05) -> List[bytes]:
        """The lines the command port received, as in :meth:`log`."""
        return [data for port, data in self.log(settle_s) if port == "cmd"]

    def clear_log(self) -> None:
        self.request("clearlog")

    def plug(self, slot: int, model: str, id_text: Optional[str] = None) -> None:
        """Plugs a card into a slot (the library sees it at its next discovery)."""
        option = _card_option(slot, model if id_text is None else (model, id_text))
        self.request("card " + option.replace(":", " ", 2 if id_text is not None else 1))

    def remove(self, slot: int) -> None:
        self.request("remove %d" % self._slot(slot))

    def silent(self, slot: int, on: bool = True) -> None:
        """A card that never answers (or answers again)."""
        self.request("silent %d %d" % (self._slot(slot), 1 if on else 0))

    def delay(self, slot: int, ms: int) -> None:
        """Delays every reply of the slot by ``ms`` milliseconds."""
        self.request("delay %d %d" % (self._slot(slot), ms))

    def next_reply(self, slot: int, reply: bytes) -> None:
        """The next command to ``slot`` gets exactly ``reply``."""
        self.request("next %d hex:%s" % (self._slot(slot), reply.hex()))

    def reset(self) -> None:
        """Empties every slot and clears settings, faults, log and replies."""
        self.request("reset")

    def restore(self) -> None:
        """Back to the chassis this simulator started with."""
        self.request("restore")

    def state(self) -> Dict[int, str]:
        """The simulator's report of every slot, by slot number."""
        lines = self.control.listing("state") if self.control is not None else []
        return {slot: line for slot, line in zip(SLOTS, lines)}

    # ---- Stopping ----

    def close(self) -> None:
        """Stops the simulator and removes its links; calling it again does nothing."""
        if self.control is not None:
            self.control.close()
            self.control = None
        process = self._process
        if process is not None:
            if process.stdin is not None:
                try:
                    process.stdin.close()  # the simulator's cue to stop
                except OSError:
                    pass
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(timeout=10)
            if process.stdout is not None:
                process.stdout.close()
            self._process = None
        if not self._stderr.closed:
            self._stderr.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __del__(self) -> None:
        # A simulator nobody closed would outlive its links.
        if getattr(self, "_process", None) is not None and sys.meta_path is not None:
            try:
                self.close()
            except Exception:
                pass
