"""The chassis and its cards: the Python face of the driver library."""

from __future__ import annotations

import contextlib
import ctypes
import os
import sys
import threading
from typing import (
    Any,
    Callable,
    ClassVar,
    Iterator,
    List,
    NamedTuple,
    Optional,
    Tuple,
    Type,
    Union,
)

from ._library import CardInfo, Library, SignalCallback, load_library
from .errors import NO_SUCH_CARD, PARAMETER_RANGE_ERROR, HalvexError, check

__all__ = [
    "CARD_TEXT_ENCODING",
    "CardRecord",
    "Chassis",
    "Card",
    "X16Card",
    "X48Card",
    "Y48Card",
    "SignalReading",
    "card_class_for",
]

PortName = Union[str, bytes, "os.PathLike[str]"]
LibrarySpec = Union[Library, str, "os.PathLike[str]", None]
# State of the signal inputs 1..8 (index 0 is channel 1); True when the input is active.
SignalReading = Tuple[bool, bool, bool, bool, bool, bool, bool, bool]

# Texts from the cards are decoded byte for byte, so text.encode("latin-1") gives the exact
# bytes back whatever the card sent.
CARD_TEXT_ENCODING = "latin-1"
_REPLY_BUFFER_SIZE = 256
# Which card's callback, if any, is running on the current thread.
_monitor_thread = threading.local()
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1


def _port_bytes(port: PortName) -> bytes:
    """A port name as the library's 8-bit interface wants it."""
    if isinstance(port, bytes):
        return port
    text = os.fspath(port)
    if isinstance(text, bytes):
        return text
    if sys.platform == "win32":
        return text.encode("mbcs")  # the library opens ports through the ANSI calls
    return os.fsencode(text)


class CardRecord(NamedTuple):
    """One entry of the library's card listing."""

    number: int
    id_text: str


class Chassis:
    """A chassis of Halvex cards on one command port.

    Use it as a context manager: entering opens the port and discovers the cards, leaving
    stops every signal monitor started through the binding and closes the port::

        with Chassis("/dev/ttyUSB0") as chassis:
            for card in chassis.cards():
                print(card.number, card.model, card.id_text)

    ``library`` is a loaded :class:`Library`, a path to the library, or None to find it as
    :func:`load_library` does. The library serves one call at a time: do not call into the
    same library from several threads at once.
    """

    def __init__(self, port: PortName, library: LibrarySpec = None) -> None:
        self.port: PortName = port
        self.library: Library = library if isinstance(library, Library) else load_library(library)

    def __repr__(self) -> str:
        return "Chassis(%r, %r)" % (self.port, self.library.path)

    def __enter__(self) -> "Chassis":
        self.open()
        return self

    def __exit__(self, exc_type: object, exc: object, traceback: object) -> None:
        try:
            # A monitor outliving the chassis would call into objects nobody keeps any more.
            self.library.end_all_monitors()
        finally:
            code = self.library.CloseHalvex()
            if code != 0 and exc is None:
                check(self.library, code)

    def open(self) -> None:
        """Opens the command port (closing it first if open) and discovers the cards.

        Discovery replaces every card, which ends the monitors of the old ones.
        """
        check(self.library, self.library.OpenHalvex(_port_bytes(self.port)))
        self.library.forget_monitors()

    def close(self) -> None:
        """Closes the command port; the cards stay listed and their monitors keep running."""
        check(self.library, self.library.CloseHalvex())

    def series(self) -> List[CardRecord]:
        """The cards of the last discovery as the library lists them, in slot order."""
        records = ctypes.POINTER(CardInfo)()
        count = ctypes.c_int32(0)
        self.library.GetHalvexSeries(ctypes.byref(records), ctypes.byref(count))
        if not records:
            return []
        try:
            return [
                CardRecord(
                    records[i].cardNumber, records[i].idText.decode(CARD_TEXT_ENCODING)
                )
                for i in range(max(0, min(count.value, 16)))
            ]
        finally:
            # The array came from the library's heap and must go back to it.
            self.library.release(ctypes.cast(records, ctypes.c_void_p).value)

    def cards(self) -> List["Card"]:
        """One card object per discovered card, of the class of its model."""
        result: List[Card] = []
        for record in self.series():
            cls = card_class_for(record.id_text)
            if cls is not None:
                result.append(cls(self, record.number, record.id_text))
        return result

    def card(self, number: int) -> "Card":
        """The discovered card in slot ``number``; HalvexError (code 7) if there is none."""
        for card in self.cards():
            if card.number == number:
                return card
        raise HalvexError.from_code(NO_SUCH_CARD, self.library)


class Card:
    """A card in a chassis. The subclasses add the relays of their model.

    Any card class can be made directly for a slot (``X16Card(chassis, 3)``); the library then
    refuses commands for a model the slot does not hold with code 8.
    """

    model: ClassVar[str] = ""

    def __init__(self, chassis: Chassis, number: int, id_text: str = "") -> None:
        self.chassis: Chassis = chassis
        self.number: int = number
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

    def _call(self, name: str, *args: int) -> None:
        for value in (self.number,) + args:
            # ctypes would silently wrap a number that does not fit the library's int32.
            if not _INT32_MIN <= value <= _INT32_MAX:
                raise HalvexError.from_code(PARAMETER_RANGE_ERROR, self.library)
        check(self.library, getattr(self.library, name)(self.number, *args))

    def _query(self, name: str) -> str:
        buffer = ctypes.create_string_buffer(_REPLY_BUFFER_SIZE)
        length = ctypes.c_int32(0)
        code = getattr(self.library, name)(self.number, buffer, ctypes.byref(length))
        reply = buffer.value.decode(CARD_TEXT_ENCODING)
        # Codes 1 to 3 are the card's own answer; its text goes with the error.
        check(self.library, code, reply if code in (1, 2, 3) else None)
        return reply

    def self_test(self) -> str:
        """Runs the card's self test (up to 15 s X16, 50 s X48, 5 s Y48); returns the reply."""
        return self._query("SelfTestHalvex")

    def identify(self) -> str:
        """Asks the card for its identification; returns the reply with its line end."""
        return self._query("QueryHalvexID")

    def reset(self) -> None:
        """Resets the card, which opens all its relays."""
        self._call("ResetHalvex")


class _MatrixRelays(Card):
    """The row-by-column matrix and the rows' hi and lo lines."""

    def close_matrix(self, row: int, column: int) -> None:
        """Closes the crosspoint of ``row`` and ``column``."""
        self._call("Close%sRelayMatrix" % self.model, row, column)

    def open_matrix(self, row: int, column: int) -> None:
        """Opens the crosspoint of ``row`` and ``column``."""
        self._call("Open%sRelayMatrix" % self.model, row, column)

    def close_row(self, row: int, lo: bool) -> None:
        """Closes the lo line of ``row`` when ``lo`` is true, else its hi line."""
        self._call("Close%sRowHiLoMatrix" % self.model, row, 1 if lo else 0)

    def open_row(self, row: int, lo: bool) -> None:
        """Opens the lo line of ``row`` when ``lo`` is true, else its hi line."""
        self._call("Open%sRowHiLoMatrix" % self.model, row, 1 if lo else 0)


class _GeneralPurposeRelays(Card):
    """The numbered GP and Ext GP relays."""

    def close_gp(self, relay: int) -> None:
        """Closes GP relay ``relay``."""
        self._call("Close%sGPRelay" % self.model, relay)

    def open_gp(self, relay: int) -> None:
        """Opens GP relay ``relay``."""
        self._call("Open%sGPRelay" % self.model, relay)

    def close_ext_gp(self, relay: int) -> None:
        """Closes Ext GP relay ``relay``."""
        self._call("Close%sExtGPRelay" % self.model, relay)

    def open_ext_gp(self, relay: int) -> None:
        """Opens Ext GP relay ``relay``."""
        self._call("Open%sExtGPRelay" % self.model, relay)


class _SupplyRelays(Card):
    """The numbered PS and discharge relays."""

    def close_ps(self, relay: int) -> None:
        """Closes PS relay ``relay``."""
        self._call("Close%sPsRelay" % self.model, relay)

    def open_ps(self, relay: int) -> None:
        """Opens PS relay ``relay``."""
        self._call("Open%sPsRelay" % self.model, relay)

    def close_discharge(self, relay: int) -> None:
        """Closes discharge relay ``relay``."""
        self._call("Close%sDischargeRelay" % self.model, relay)

    def open_discharge(self, relay: int) -> None:
        """Opens discharge relay ``relay``."""
        self._call("Open%sDischargeRelay" % self.model, relay)


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
    """The eight signal inputs, read over the card's own monitoring port."""

    def _decode(self, callback: Callable[[SignalReading], None]) -> Callable[..., None]:
        key = (id(self.library), self.number)

        def on_reading(status: Any, count: int) -> None:
            if not status:
                return
            states = [False] * 8
            for i in range(max(0, min(count, 8))):
                entry = status[i]
                if 1 <= entry.channel <= 8:
                    states[entry.channel - 1] = entry.state != 0
            _monitor_thread.card = key
            try:
                callback(tuple(states))  # type: ignore[arg-type]
            finally:
                _monitor_thread.card = None

        return on_reading

    def start_monitoring(
        self, port: PortName, interval_s: float, callback: Callable[[SignalReading], None]
    ) -> None:
        """Polls the inputs on ``port`` every ``interval_s`` seconds in the background.

        ``callback`` gets each reading as a tuple of eight booleans (channels 1..8, True when
        the input is active) on the library's monitoring thread. An exception it raises is
        reported through ``sys.unraisablehook`` and does not stop the monitor. Raises
        HalvexError with code 5 when the port cannot be opened or the card is already being
        monitored.
        """
        if not callable(callback):
            raise TypeError("callback must be callable")
        c_callback = SignalCallback(self._decode(callback))
        begin = getattr(self.library, "Begin%sSignalMonitoring" % self.model)
        code = begin(self.number, _port_bytes(port), float(interval_s), c_callback)
        if code == 0:
            self.library.hold_monitor(self.number, "End%sSignalMonitoring" % self.model, c_callback)
        check(self.library, code)

    def stop_monitoring(self) -> None:
        """Stops the monitor, waiting until its last callback has returned; no monitor is fine.

        Called from inside the monitor's own callback, it only asks the monitor to stop: no
        callback follows the current one, and the callback is let go at the card's next stop,
        start or discovery, once the library has reaped the monitor's thread.
        """
        end_name = "End%sSignalMonitoring" % self.model
        code = getattr(self.library, end_name)(self.number)
        on_own_thread = getattr(_monitor_thread, "card", None) == (id(self.library), self.number)
        if code in (0, 6, NO_SUCH_CARD) and not on_own_thread:
            # The monitor's thread has left (6 only means its port would not close).
            self.library.release_monitor(self.number, end_name)
        check(self.library, code)

    @contextlib.contextmanager
    def monitoring(
        self, port: PortName, interval_s: float, callback: Callable[[SignalReading], None]
    ) -> Iterator["_SignalInputs"]:
        """Monitors the inputs for the duration of a ``with`` block."""
        self.start_monitoring(port, interval_s, callback)
        try:
            yield self
        finally:
            self.stop_monitoring()

    def read_signals(self, port: PortName) -> int:
        """Takes one reading on ``port`` and returns the raw status byte (0-255).

        A bit that is 0 marks an active input: bit 0 is channel 1.
        """
        value = ctypes.c_int32(0)
        get = getattr(self.library, "Get%sSignalMonitoringData" % self.model)
        check(self.library, get(self.number, _port_bytes(port), ctypes.byref(value)))
        return value.value


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
