"""A running ``halvex-sim``: the simulator's process, its ports, and its control channel."""

from __future__ import annotations

import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
from types import TracebackType
from typing import IO, Dict, List, Mapping, Optional, Tuple, Type, Union

from .control import ControlChannel, SimulatorError
from .program import find_simulator
from .setups import SLOTS, CardSetup, card_option

__all__ = ["PortRef", "SimulatedChassis"]

PortRef = Union[str, int, "os.PathLike[str]"]


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
        fixture_file: Union[str, "os.PathLike[str]", None] = None,
    ) -> None:
        options: List[str] = []
        if fixture_file is not None:
            # The cards a fixture file names; a chassis file and cards given here come on top.
            options += ["--fixture", os.fspath(fixture_file)]
        if chassis_file is not None:
            path = os.fspath(chassis_file)
            if not os.path.isfile(path):
                raise FileNotFoundError("chassis_file: no such file: %s" % path)
            options += ["--chassis", path]
        for slot, spec in (cards or {}).items():
            options += ["--card", card_option(slot, spec)]
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
        option = card_option(slot, model if id_text is None else (model, id_text))
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
