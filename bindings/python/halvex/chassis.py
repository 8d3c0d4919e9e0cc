"""The chassis and its cards: the Python face of the driver library."""

from __future__ import annotations

import contextlib
import ctypes
import logging
import math
import operator
import os
import sys
import threading
from types import TracebackType
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    ClassVar,
    Dict,
    Iterator,
    List,
    Literal,
    Mapping,
    NamedTuple,
    Optional,
    Tuple,
    Type,
    TypeVar,
    Union,
    overload,
)

from ._library import CardInfo, Library, MonitorRecord, SignalCallback, load_library
from ._port import port_open_reason
from .errors import (
    NO_SUCH_CARD,
    PARAMETER_RANGE_ERROR,
    PORT_OPEN_ERROR,
    WRONG_MODEL,
    AlreadyMonitoring,
    ChassisClosed,
    ChassisInUse,
    HalvexError,
    PortOpenError,
    check,
    error_message,
)

if TYPE_CHECKING:
    from .sim import CardSetup, SimulatedChassis

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
    "ChassisClosed",
    "ChassisInUse",
]

PortName = Union[str, bytes, "os.PathLike[str]"]
LibrarySpec = Union[Library, str, "os.PathLike[str]", None]
# State of the signal inputs 1..8 (index 0 is channel 1); True when the input is active.
SignalReading = Tuple[bool, bool, bool, bool, bool, bool, bool, bool]
# A row's line: True or "lo" for the lo line, False or "hi" for the hi line.
RowLine = Union[bool, Literal["lo", "hi"]]

# Texts from the cards are decoded byte for byte, so text.encode("latin-1") gives the exact
# bytes back whatever the card sent.
CARD_TEXT_ENCODING = "latin-1"
_REPLY_BUFFER_SIZE = 256
# Which card's callback, if any, is running on the current thread.
_monitor_thread = threading.local()
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1
_log = logging.getLogger("halvex")
# The chassis open on each loaded library: the library keeps one command port per process.
_open_chassis: Dict[int, "Chassis"] = {}
_open_lock = threading.Lock()
CardT = TypeVar("CardT", bound="Card")


def _forget_in_child() -> None:
    # A child made by fork() starts with a library of its own: no port open, no monitors.
    # The lock is new: another thread of the parent may have held it at the fork.
    global _open_lock
    _open_lock = threading.Lock()
    _open_chassis.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_in_child)


def _int_arg(name: str, value: object) -> int:
    """``value`` as an int; TypeError naming the argument for bools, strings, floats..."""
    if isinstance(value, bool):
        raise TypeError("%s must be an int, not bool" % name)
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__)) from None


def _lo_arg(value: object) -> int:
    """The row line: True or "lo" for the lo line, False or "hi" for the hi line."""
    if isinstance(value, bool):
        return 1 if value else 0
    if isinstance(value, str):
        if value in ("lo", "hi"):
            return 1 if value == "lo" else 0
        raise ValueError('lo must be True, False, "lo" or "hi", not %r' % value)
    raise TypeError('lo must be a bool, "lo" or "hi", not %s' % type(value).__name__)


def _long_call(library: Library, function: Callable[..., int], *args: Any) -> int:
    """Calls an export that may wait long on a card (up to 50 s for an X48 self test) so that
    Ctrl-C still reaches the caller at once.

    Python runs signal handlers on the main thread only, between its own steps, so a
    KeyboardInterrupt raised there would wait for the library to return. On the main thread
    the call therefore runs on a thread of its own while the main thread waits in short
    steps. An interrupted call is left to finish on its own: its command was sent once and is
    not sent again, and the next call of the main thread waits for it first, so calls still
    reach the chassis in order. Other threads call the library directly.
    """
    if threading.current_thread() is not threading.main_thread():
        return function(*args)
    _wait_for(library.abandoned_call)
    library.abandoned_call = None
    outcome: List[int] = []
    failure: List[BaseException] = []

    def run() -> None:
        try:
            outcome.append(function(*args))
        except BaseException as error:  # an argument ctypes could not convert: the caller's
            failure.append(error)

    worker = threading.Thread(target=run, name="halvex-call", daemon=True)
    worker.start()
    try:
        _wait_for(worker)
    except BaseException:
        library.abandoned_call = worker
        raise
    if failure:
        raise failure[0]
    return outcome[0]


def _wait_for(thread: Optional[threading.Thread]) -> None:
    # Short steps, so that the signal handler runs between them on every platform.
    while thread is not None and thread.is_alive():
        thread.join(0.05)


def _port_text(port: PortName) -> str:
    if isinstance(port, bytes):
        return os.fsdecode(port)
    return os.fspath(port)


def _port_bytes(port: PortName) -> bytes:
    """A port name as the library's 8-bit interface wants it."""
    if isinstance(port, bytes):
        return port
    if not isinstance(port, (str, os.PathLike)):
        raise TypeError("port must be a str, bytes or path, not %s" % type(port).__name__)
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
    :func:`load_library` does.

    The library keeps one command port and one set of cards for the whole process, so one
    chassis is open at a time: opening a second while one is open raises
    :class:`ChassisInUse` (close the first, or share its object). Calls on a chassis that is
    not open raise :class:`ChassisClosed`. Every method may be called from any thread: the
    library's calls on the command port take turns, and a callback may call any method.

    Ctrl-C reaches the main thread at once even while a call waits for a card (a self test,
    a silent card, a slow discovery): the call goes on in the background and the next call
    waits for it, so nothing is sent twice and the chassis stays usable.
    """

    def __init__(self, port: PortName, library: LibrarySpec = None) -> None:
        _port_bytes(port)  # a port of the wrong type fails here, not at the first open
        self.port: PortName = port
        self.library: Library = library if isinstance(library, Library) else load_library(library)
        # The simulator Chassis.simulated started for this chassis; stopped with it.
        self.simulator: Optional["SimulatedChassis"] = None
        # The last discovery's list, read from the library once per discovery.
        self._series: Optional[List[CardRecord]] = None

    def __repr__(self) -> str:
        return "Chassis(%r, %r)" % (self.port, self.library.path)

    @classmethod
    def simulated(
        cls,
        cards: Optional[Mapping[int, "CardSetup"]] = None,
        chassis_file: Union[str, "os.PathLike[str]", None] = None,
        simulator: Union[str, "os.PathLike[str]", None] = None,
        library: LibrarySpec = None,
    ) -> "Chassis":
        """A chassis on a simulated chassis started for it (see :mod:`halvex.sim`)::

            with Chassis.simulated({3: "X16"}) as chassis:
                chassis.card(3, X16Card).close_matrix(5, 7)
                assert chassis.simulator.relays(3) == ["matrix:5:7"]

        The simulator runs from now until the chassis leaves its ``with`` block (or
        :meth:`close` is called); ``chassis.simulator`` is its control client.
        """
        from .sim import SimulatedChassis

        sim = SimulatedChassis(cards, chassis_file, simulator)
        try:
            chassis = cls(sim.port, library)
        except BaseException:
            sim.close()
            raise
        chassis.simulator = sim
        return chassis

    def __enter__(self) -> "Chassis":
        try:
            self.open()
        except BaseException:
            self._stop_simulator()
            raise
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        try:
            if self.is_open:
                try:
                    # A monitor outliving the chassis would call into objects nobody keeps.
                    self.library.end_all_monitors()
                finally:
                    code = self.library.CloseHalvex()
                    self._mark_closed()
                    if code != 0 and exc is None:
                        check(self.library, code)
        finally:
            self._stop_simulator()

    def _stop_simulator(self) -> None:
        if self.simulator is not None:
            self.simulator.close()

    @property
    def is_open(self) -> bool:
        """True from a successful :meth:`open` until :meth:`close` or the end of the block."""
        with _open_lock:
            return _open_chassis.get(id(self.library)) is self

    def _mark_closed(self) -> None:
        self._series = None
        with _open_lock:
            if _open_chassis.get(id(self.library)) is self:
                del _open_chassis[id(self.library)]

    def _require_open(self) -> None:
        if not self.is_open:
            raise ChassisClosed(
                "the chassis on %s is closed: open it (or use it in a with block) first"
                % _port_text(self.port)
            )

    def open(self) -> None:
        """Opens the command port (closing it first if open) and discovers the cards.

        Discovery replaces every card, which ends the monitors of the old ones; an open that
        fails keeps the old cards and their monitors running. Called from inside a callback,
        the library cannot wait for the old monitors' threads, so the binding keeps their
        callbacks for the rest of the process. Raises
        :class:`ChassisInUse` while another chassis is open in this process, and
        :class:`PortOpenError` (code 5) with the port and, on Linux, the reason when the port
        cannot be opened.
        """
        with _open_lock:
            other = _open_chassis.get(id(self.library))
            if other is not None and other is not self:
                raise ChassisInUse(
                    "another chassis is open in this process (on %s); the library keeps one "
                    "chassis per process: close it first or use that object"
                    % _port_text(other.port)
                )
            # Claimed before the port is opened, so that two threads cannot both open.
            _open_chassis[id(self.library)] = self
        self._series = None  # whatever happens, the library's list is read afresh
        try:
            code = _long_call(self.library, self.library.OpenHalvex, _port_bytes(self.port))
            # A failed open keeps the old cards, and their monitors run on.
            if code == 0:
                # Inside a callback the library ends the old monitors without waiting.
                self.library.forget_monitors(waited=not _in_callback())
        except BaseException:
            self._mark_closed()
            raise
        if code != 0:
            # The library closed the port it had before trying this one.
            self._mark_closed()
            if code == PORT_OPEN_ERROR:
                raise _port_open_error(self.library, self.port)
            check(self.library, code)

    def close(self) -> None:
        """Closes the command port. Monitors started on its cards keep running (their ports
        are their own) until they are stopped or another chassis discovers its cards; card
        calls raise :class:`ChassisClosed` until the chassis is opened again. Stops the
        simulator of :meth:`simulated`."""
        try:
            if self.is_open:
                code = self.library.CloseHalvex()
                self._mark_closed()
                check(self.library, code)
        finally:
            self._stop_simulator()

    def series(self) -> List[CardRecord]:
        """The cards of the last discovery as the library lists them, in slot order."""
        self._require_open()
        cached = self._series
        if cached is not None:
            return list(cached)
        self._series = self._read_series()
        return list(self._series)

    def _read_series(self) -> List[CardRecord]:
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
            address = ctypes.cast(records, ctypes.c_void_p).value
            if address is not None:
                self.library.release(address)

    def cards(self) -> List["Card"]:
        """One card object per discovered card, of the class of its model."""
        result: List[Card] = []
        for record in self.series():
            cls = card_class_for(record.id_text)
            if cls is not None:
                result.append(cls(self, record.number, record.id_text))
        return result

    @overload
    def card(self, number: int) -> "Card": ...

    @overload
    def card(self, number: int, model: Type[CardT]) -> CardT: ...

    def card(self, number: int, model: Optional[Type["Card"]] = None) -> "Card":
        """The discovered card in slot ``number``; HalvexError (code 7) if there is none.

        With ``model`` (``X16Card``, ``X48Card``, ``Y48Card``) the card is returned as that
        type, so that type checkers know its relays; a card of another model raises
        HalvexError with code 8.
        """
        number = _int_arg("number", number)
        for card in self.cards():
            if card.number == number:
                if model is not None and not isinstance(card, model):
                    raise HalvexError.from_code(WRONG_MODEL, self.library)
                return card
        raise HalvexError.from_code(NO_SUCH_CARD, self.library)


def _port_open_error(library: Library, port: PortName) -> PortOpenError:
    text = _port_text(port)
    return PortOpenError(text, port_open_reason(text) or "", error_message(PORT_OPEN_ERROR, library))


class Card:
    """A card in a chassis. The subclasses add the relays of their model.

    Any card class can be made directly for a slot (``X16Card(chassis, 3)``); the library then
    refuses commands for a model the slot does not hold with code 8.
    """

    model: ClassVar[str] = ""

    def __init__(self, chassis: Chassis, number: int, id_text: str = "") -> None:
        self.chassis: Chassis = chassis
        self.number: int = _int_arg("number", number)
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
        values = [_int_arg(arg_name, value) for arg_name, value in args]
        self.chassis._require_open()
        for value in [self.number] + values:
            # ctypes would silently wrap a number that does not fit the library's int32.
            if not _INT32_MIN <= value <= _INT32_MAX:
                raise HalvexError.from_code(PARAMETER_RANGE_ERROR, self.library)
        check(self.library, _long_call(self.library, getattr(self.library, name), self.number, *values))

    def _query(self, name: str) -> str:
        self.chassis._require_open()
        buffer = ctypes.create_string_buffer(_REPLY_BUFFER_SIZE)
        length = ctypes.c_int32(0)
        code = _long_call(
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


def _in_callback() -> bool:
    return getattr(_monitor_thread, "card", None) is not None


def _in_own_callback(card: "Card") -> bool:
    return getattr(_monitor_thread, "card", None) == (id(card.library), card.number)


class _SignalInputs(Card):
    """The eight signal inputs, read over the card's own monitoring port."""

    def _end_name(self) -> str:
        return "End%sSignalMonitoring" % self.model

    def _decode(
        self, callback: Callable[[SignalReading], None], record: MonitorRecord
    ) -> Callable[..., None]:
        key = (id(self.library), self.number)
        number = self.number

        def on_reading(status: Any, count: int) -> None:
            if not status:
                return
            record.reading_arrived()
            states = [False] * 8
            for i in range(max(0, min(count, 8))):
                entry = status[i]
                if 1 <= entry.channel <= 8:
                    states[entry.channel - 1] = entry.state != 0
            _monitor_thread.card = key
            try:
                callback(tuple(states))  # type: ignore[arg-type]
            except Exception:
                # Nothing above the library's thread would see it: log it, count it, go on.
                record.callback_failed()
                _log.exception("the signal callback of card %d raised; monitoring goes on", number)
            finally:
                _monitor_thread.card = None

        return on_reading

    @contextlib.contextmanager
    def _turn(self) -> Iterator[None]:
        """Takes the card's turn for a start, stop or reading, so that each Begin or End and
        the change to the binding's record go together. Not inside the card's own callback:
        a stop on another thread holds the turn while it waits for that callback to return,
        and there the library starts nothing anyway (its monitor is still running)."""
        if _in_own_callback(self):
            yield
            return
        with self.library.card_turn(self.number):
            yield

    def _reap_ended(self) -> Optional[MonitorRecord]:
        """Lets go of a monitor that stopped itself from its callback, once the library has
        reaped its thread; returns the record let go, whose watchdog the caller waits for
        once the card's turn is over."""
        record = self.library.monitor(self.number)
        # Inside a callback End does not wait for the ended monitor to leave its own.
        if record is not None and record.ended and not _in_callback():
            code = getattr(self.library, record.end_name)(self.number)
            if code in (0, 6, NO_SUCH_CARD):
                return self.library.release_monitor(
                    self.number, record.end_name, record, wait=False
                )
        return None

    def _refuse_if_monitoring(self) -> None:
        record = self.library.monitor(self.number)
        if record is not None and record.end_name == self._end_name():
            raise AlreadyMonitoring(self.number, error_message(PORT_OPEN_ERROR, self.library))

    def _check_port_result(self, code: int, port: PortName) -> None:
        if code == PORT_OPEN_ERROR:
            # The library answers 5 for a card it is monitoring too; the binding knows which.
            self._refuse_if_monitoring()
            raise _port_open_error(self.library, port)
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
        port_bytes = _port_bytes(port)
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
        reaped: Optional[MonitorRecord] = None
        try:
            with self._turn():
                reaped = self._reap_ended()
                self._start(port, port_bytes, float(interval_s), callback, silence, on_silence)
        finally:
            if reaped is not None:
                reaped.stop_watching()

    def _start(
        self,
        port: PortName,
        port_bytes: bytes,
        interval_s: float,
        callback: Callable[[SignalReading], None],
        silence: float,
        on_silence: Optional[Callable[["Card"], None]],
    ) -> None:
        self._refuse_if_monitoring()
        card = self
        handler: Optional[Callable[[], None]] = None
        if on_silence is not None:
            silence_handler = on_silence

            def handler() -> None:
                silence_handler(card)

        record = MonitorRecord(self.number, self._end_name(), silence, handler)
        record.callback = SignalCallback(self._decode(callback, record))
        begin = getattr(self.library, "Begin%sSignalMonitoring" % self.model)
        # Held before Begin: the first reading may come before Begin returns.
        if not self.library.hold_monitor(record):
            # Another thread started this card's monitor since the check above.
            raise AlreadyMonitoring(self.number, error_message(PORT_OPEN_ERROR, self.library))
        code = begin(self.number, port_bytes, interval_s, record.callback)
        if code != 0:
            # Its watchdog never started, so nothing is waited for.
            self.library.release_monitor(self.number, record.end_name, record)
            self._check_port_result(code, port)
            return
        record.start_watching()

    def stop_monitoring(self) -> None:
        """Stops the monitor, waiting until its last callback has returned; no monitor is fine.

        Called from inside the monitor's own callback, it only asks the monitor to stop: no
        callback follows the current one, and the callback is let go at the card's next stop,
        start or discovery, once the library has reaped the monitor's thread.
        """
        end_name = self._end_name()
        released: Optional[MonitorRecord] = None
        with self._turn():
            code = getattr(self.library, end_name)(self.number)
            if code in (0, 6, NO_SUCH_CARD):
                if _in_callback():
                    # End did not wait: the ended monitor may still be inside its callback.
                    record = self.library.monitor(self.number)
                    if record is not None:
                        record.ended = True
                        record.stop_watching(wait=False)
                else:
                    # The monitor's thread has left (6 only means its port would not close).
                    released = self.library.release_monitor(self.number, end_name, wait=False)
        if released is not None:
            # Outside the turn: its silence handler may be waiting for the turn right now.
            released.stop_watching()
        check(self.library, code)

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
        record = self.library.monitor(self.number)
        return record is not None and record.stale

    @property
    def callback_errors(self) -> int:
        """How many times the running monitor's callback has raised."""
        record = self.library.monitor(self.number)
        return 0 if record is None else record.callback_errors

    def read_signals(self, port: PortName) -> int:
        """Takes one reading on ``port`` and returns the raw status byte (0-255).

        A bit that is 0 marks an active input: bit 0 is channel 1. Raises
        :class:`AlreadyMonitoring` while the card is being monitored.
        """
        port_bytes = _port_bytes(port)
        self.chassis._require_open()
        value = ctypes.c_int32(0)
        get = getattr(self.library, "Get%sSignalMonitoringData" % self.model)
        reaped: Optional[MonitorRecord] = None
        try:
            with self._turn():
                reaped = self._reap_ended()
                self._refuse_if_monitoring()
                code = _long_call(self.library, get, self.number, port_bytes, ctypes.byref(value))
        finally:
            if reaped is not None:
                reaped.stop_watching()
        self._check_port_result(code, port)
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
