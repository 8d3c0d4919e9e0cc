"""The card classes: one per model, with the relays and signal inputs of that model."""

from __future__ import annotations

import contextlib
import ctypes
import math
from typing import TYPE_CHECKING, Callable, ClassVar, Iterator, Literal, Optional, Tuple, Type, Union

from ._library import Library, PortName, fits_int32, int_arg, long_call, port_bytes, port_text
from ._monitor import SignalReading
from ._port import port_open_reason
from .errors import (
    PARAMETER_RANGE_ERROR,
    PORT_OPEN_ERROR,
    HalvexError,
    PortOpenError,
    check,
    error_message,
)

if TYPE_CHECKING:
    from .chassis import Chassis

__all__ = [
    "CARD_TEXT_ENCODING",
    "Card",
    "X16Card",
    "X48Card",
    "Y48Card",
    "SignalReading",
    "card_class_for",
]

# A row's line: True or "lo" for the lo line, False or "hi" for the hi line.
RowLine = Union[bool, Literal["lo", "hi"]]

# Texts from the cards are decoded byte for byte, so text.encode("latin-1") gives the exact
# bytes back whatever the card sent.
CARD_TEXT_ENCODING = "latin-1"
_REPLY_BUFFER_SIZE = 256


def _lo_arg(value: object) -> int:
    """The row line: True or "lo" for the lo line, False or "hi" for the hi line."""
    if isinstance(value, bool):
        return 1 if value else 0
    if isinstance(value, str):
        if value in ("lo", "hi"):
            return 1 if value == "lo" else 0
        raise ValueError('lo must be True, False, "lo" or "hi", not %r' % value)
    raise TypeError('lo must be a bool, "lo" or "hi", not %s' % type(value).__name__)


def port_open_error(library: Library, port: PortName) -> PortOpenError:
    """The error of a port that would not open, with the reason the system gives."""
    text = port_text(port)
    return PortOpenError(text, port_open_reason(text) or "", error_message(PORT_OPEN_ERROR, library))


class Card:
    """A card in a chassis. The subclasses add the relays of their model.

    Any card class can be made directly for a slot (``X16Card(chassis, 3)``); the library then
    refuses commands for a model the slot does not hold with code 8.
    """

    model: ClassVar[str] = ""

    def __init__(self, chassis: "Chassis", number: int, id_text: str = "") -> None:
        self.chassis: "Chassis" = chassis
        self.number: int = int_arg("number", number)
        self.id_text: str = id_text

    def __repr__(self) -> str:
        return "%s(number=%d, id_text=%r)" % (type(self).__name__, self.number, self.id_text)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Card):
            return NotImplemented
        return (type(self), self.number, self.id_text) == (type(other), other.number, other.id_text)

    def __hash__(self) -> int:
        return hash((type(self), self.number, self.id_text))

    @property
    def library(self) -> Library:
        """The library the card's chassis talks through."""
        return self.chassis.library

    def _call(self, name: str, *args: Tuple[str, object]) -> None:
        """Calls an export with the card number and the named arguments, checked first."""
        values = [int_arg(arg_name, value) for arg_name, value in args]
        self.chassis._require_open()
        for value in [self.number] + values:
            if not fits_int32(value):
                raise HalvexError.from_code(PARAMETER_RANGE_ERROR, self.library)
        check(self.library, long_call(self.library, getattr(self.library, name), self.number, *values))

    def _query(self, name: str) -> str:
        self.chassis._require_open()
        buffer = ctypes.create_string_buffer(_REPLY_BUFFER_SIZE)
        length = ctypes.c_int32(0)
        code = long_call(
            self.library, getattr(self.library, name), self.number, buffer, ctypes.byref(length)
        )
        reply = buffer.value.decode(CARD_TEXT_ENCODING)
        # Codes 1 to 3 are the card's own answer; its text goes with the error.
        check(self.library, code, reply if code in (1, 2, 3) else None)
        return reply

    def self_test(self) -> str:
        """Runs the card's self test (up to 15 s X16, 50 s X48, 5 s Y48); returns the reply.

        Ctrl-C (KeyboardInterrupt) reaches the main thread at once even while the test is
        waiting for the card; the test then finishes in the background and the card's next
        call waits for it (nothing is sent twice). The same holds for every call that talks
        to a card.
        """
        return self._query("SelfTestHalvex")

    def identify(self, raw: bool = False) -> str:
        """Asks the card for its identification; returns the reply without its line feed, or
        exactly as the card sent it with ``raw``."""
        reply = self._query("QueryHalvexID")
        return reply if raw or not reply.endswith("\n") else reply[:-1]

    def reset(self) -> None:
        """Resets the card, which opens all its relays."""
        self._call("ResetHalvex")


class _MatrixRelays(Card):
    """The row-by-column matrix and the rows' hi and lo lines."""

    def close_matrix(self, row: int, column: int) -> None:
        """Closes the crosspoint of ``row`` and ``column``."""
        self._call("Close%sRelayMatrix" % self.model, ("row", row), ("column", column))

    def open_matrix(self, row: int, column: int) -> None:
        """Opens the crosspoint of ``row`` and ``column``."""
        self._call("Open%sRelayMatrix" % self.model, ("row", row), ("column", column))

    def close_row(self, row: int, lo: RowLine) -> None:
        """Closes the lo line of ``row`` when ``lo`` is True or "lo", its hi line when it is
        False or "hi"."""
        self._call("Close%sRowHiLoMatrix" % self.model, ("row", row), ("lo", _lo_arg(lo)))

    def open_row(self, row: int, lo: RowLine) -> None:
        """Opens the lo line of ``row`` when ``lo`` is True or "lo", its hi line when it is
        False or "hi"."""
        self._call("Open%sRowHiLoMatrix" % self.model, ("row", row), ("lo", _lo_arg(lo)))


class _GeneralPurposeRelays(Card):
    """The numbered GP and Ext GP relays."""

    def close_gp(self, relay: int) -> None:
        """Closes GP relay ``relay``."""
        self._call("Close%sGPRelay" % self.model, ("relay", relay))

    def open_gp(self, relay: int) -> None:
        """Opens GP relay ``relay``."""
        self._call("Open%sGPRelay" % self.model, ("relay", relay))

    def close_ext_gp(self, relay: int) -> None:
        """Closes Ext GP relay ``relay``."""
        self._call("Close%sExtGPRelay" % self.model, ("relay", relay))

    def open_ext_gp(self, relay: int) -> None:
        """Opens Ext GP relay ``relay``."""
        self._call("Open%sExtGPRelay" % self.model, ("relay", relay))


class _SupplyRelays(Card):
    """The numbered PS and discharge relays."""

    def close_ps(self, relay: int) -> None:
        """Closes PS relay ``relay``."""
        self._call("Close%sPsRelay" % self.model, ("relay", relay))

    def open_ps(self, relay: int) -> None:
        """Opens PS relay ``relay``."""
        self._call("Open%sPsRelay" % self.model, ("relay", relay))

    def close_discharge(self, relay: int) -> None:
        """Closes discharge relay ``relay``."""
        self._call("Close%sDischargeRelay" % self.model, ("relay", relay))

    def open_discharge(self, relay: int) -> None:
        """Opens discharge relay ``relay``."""
        self._call("Open%sDischargeRelay" % self.model, ("relay", relay))


class _SingleRelays(Card):
    """The pull-up, pull-down, test-probe and ground relays."""

    def close_pull_up(self) -> None:
        """Closes the pull-up relay."""
        self._call("Close%sPullUpRelay" % self.model)

    def open_pull_up(self) -> None:
        """Opens the pull-up relay."""
        self._call("Open%sPullUpRelay" % self.model)

    def close_pull_down(self) -> None:
        """Closes the pull-down relay."""
        self._call("Close%sPullDownRelay" % self.model)

    def open_pull_down(self) -> None:
        """Opens the pull-down relay."""
        self._call("Open%sPullDownRelay" % self.model)

    def close_test_probe(self) -> None:
        """Closes the test-probe relay."""
        self._call("Close%sTestProbeRelay" % self.model)

    def open_test_probe(self) -> None:
        """Opens the test-probe relay."""
        self._call("Open%sTestProbeRelay" % self.model)

    def close_ground(self) -> None:
        """Closes the ground relay."""
        self._call("Close%sGndRelay" % self.model)

    def open_ground(self) -> None:
        """Opens the ground relay."""
        self._call("Open%sGndRelay" % self.model)


class _SignalInputs(Card):
    """The eight signal inputs, read over the card's own monitoring port (the monitor itself
    is :class:`halvex._monitor.Monitors`'s; here are the arguments and the errors)."""

    def _check_port_result(self, code: int, port: PortName) -> None:
        if code == PORT_OPEN_ERROR:
            raise port_open_error(self.library, port)
        check(self.library, code)

    def start_monitoring(
        self,
        port: PortName,
        interval_s: float,
        callback: Callable[[SignalReading], None],
        silence_s: Optional[float] = None,
        on_silence: Optional[Callable[["Card"], None]] = None,
    ) -> None:
        """Polls the inputs on ``port`` every ``interval_s`` seconds in the background.

        ``callback`` gets each reading as a tuple of eight booleans (channels 1..8, True when
        the input is active) on the library's monitoring thread. An exception it raises is
        logged through the ``halvex`` logger and counted in :attr:`callback_errors`; the
        monitor goes on.

        With no reading for ``silence_s`` seconds (a finite number; default: ten intervals,
        at least 1 s; 0 turns the watch off) the card's :attr:`monitor_stale` becomes True and
        ``on_silence(card)`` runs once, on a thread of the binding; the next reading clears
        the mark. A port that goes away (an unplugged adapter) is such a silence.

        Raises :class:`AlreadyMonitoring` when the card is already being monitored, and
        :class:`PortOpenError` (code 5) with the port and the reason when the port cannot be
        opened.
        """
        raw_port = port_bytes(port)
        if isinstance(interval_s, bool) or not isinstance(interval_s, (int, float)):
            raise TypeError("interval_s must be a number, not %s" % type(interval_s).__name__)
        if not math.isfinite(interval_s) or interval_s < 0:
            raise ValueError("interval_s must be a finite number of seconds >= 0, not %r" % interval_s)
        if not callable(callback):
            raise TypeError("callback must be callable")
        if on_silence is not None and not callable(on_silence):
            raise TypeError("on_silence must be callable or None")
        if silence_s is None:
            silence = max(1.0, 10.0 * float(interval_s))
        elif isinstance(silence_s, bool) or not isinstance(silence_s, (int, float)):
            raise TypeError("silence_s must be a number, not %s" % type(silence_s).__name__)
        elif not math.isfinite(silence_s):
            raise ValueError("silence_s must be a finite number of seconds, not %r" % silence_s)
        else:
            silence = float(silence_s)
        self.chassis._require_open()
        handler: Optional[Callable[[], None]] = None
        if on_silence is not None:
            card, silence_handler = self, on_silence

            def handler() -> None:
                silence_handler(card)

        code = self.library.monitors.start(
            self.number, self.model, raw_port, float(interval_s), callback, silence, handler
        )
        self._check_port_result(code, port)

    def stop_monitoring(self) -> None:
        """Stops the monitor, waiting until its last callback has returned; no monitor is fine.

        Called from inside the monitor's own callback, it only asks the monitor to stop: no
        callback follows the current one, and the callback is let go at the card's next stop,
        start or discovery, once the library has reaped the monitor's thread.
        """
        check(self.library, self.library.monitors.stop(self.number, self.model))

    @contextlib.contextmanager
    def monitoring(
        self,
        port: PortName,
        interval_s: float,
        callback: Callable[[SignalReading], None],
        silence_s: Optional[float] = None,
        on_silence: Optional[Callable[["Card"], None]] = None,
    ) -> Iterator["_SignalInputs"]:
        """Monitors the inputs for the duration of a ``with`` block."""
        self.start_monitoring(port, interval_s, callback, silence_s, on_silence)
        try:
            yield self
        finally:
            self.stop_monitoring()

    @property
    def monitor_stale(self) -> bool:
        """True while the running monitor has had no reading for its silence time."""
        record = self.library.monitors.record(self.number)
        return record is not None and record.stale

    @property
    def callback_errors(self) -> int:
        """How many times the running monitor's callback has raised."""
        record = self.library.monitors.record(self.number)
        return 0 if record is None else record.callback_errors

    def read_signals(self, port: PortName) -> int:
        """Takes one reading on ``port`` and returns the raw status byte (0-255).

        A bit that is 0 marks an active input: bit 0 is channel 1. Raises
        :class:`AlreadyMonitoring` while the card is being monitored.
        """
        raw_port = port_bytes(port)
        self.chassis._require_open()
        code, value = self.library.monitors.read(self.number, self.model, raw_port)
        self._check_port_result(code, port)
        return value


class X16Card(_MatrixRelays, _GeneralPurposeRelays, _SupplyRelays, _SingleRelays, _SignalInputs):
    """An X16 card: 16 x 16 matrix, GP, Ext GP, PS, discharge and single relays, signal inputs."""

    model = "X16"


class X48Card(_MatrixRelays, _SingleRelays):
    """An X48 card: 48 x 48 matrix and single relays."""

    model = "X48"


class Y48Card(_GeneralPurposeRelays, _SignalInputs):
    """A Y48 card: GP and Ext GP relays, signal inputs."""

    model = "Y48"


def card_class_for(id_text: str) -> Optional[Type[Card]]:
    """The card class for an identification text, or None for an unknown model.

    The model is the first of "X16", "X48", "Y48" the text contains, checked in that order.
    """
    for cls in (X16Card, X48Card, Y48Card):
        if cls.model in id_text:
            return cls
    return None
