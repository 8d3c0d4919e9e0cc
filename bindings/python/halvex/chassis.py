"""The chassis: its command port, its discovery and the cards it found."""

from __future__ import annotations

import ctypes
import os
import threading
from types import TracebackType
from typing import (
    TYPE_CHECKING,
    Dict,
    List,
    Mapping,
    NamedTuple,
    Optional,
    Type,
    TypeVar,
    Union,
    overload,
)

from ._library import CardInfo, Library, PortName, int_arg, load_library, long_call, port_bytes, port_text
from ._monitor import SignalReading, in_callback
from .cards import (
    CARD_TEXT_ENCODING,
    Card,
    X16Card,
    X48Card,
    Y48Card,
    card_class_for,
    port_open_error,
)
from .errors import (
    NO_SUCH_CARD,
    PORT_OPEN_ERROR,
    WRONG_MODEL,
    ChassisClosed,
    ChassisInUse,
    HalvexError,
    check,
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

LibrarySpec = Union[Library, str, "os.PathLike[str]", None]
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
        port_bytes(port)  # a port of the wrong type fails here, not at the first open
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
        fixture_file: Union[str, "os.PathLike[str]", None] = None,
    ) -> "Chassis":
        """A chassis on a simulated chassis started for it (see :mod:`halvex.sim`)::

            with Chassis.simulated({3: "X16"}) as chassis:
                chassis.card(3, X16Card).close_matrix(5, 7)
                assert chassis.simulator.relays(3) == ["matrix:5:7"]

        The simulator runs from now until the chassis leaves its ``with`` block (or
        :meth:`close` is called); ``chassis.simulator`` is its control client. A
        ``fixture_file`` plugs the cards the fixture names.
        """
        from .sim import SimulatedChassis

        sim = SimulatedChassis(cards, chassis_file, simulator, fixture_file)
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
                % port_text(self.port)
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
                    % port_text(other.port)
                )
            # Claimed before the port is opened, so that two threads cannot both open.
            _open_chassis[id(self.library)] = self
        self._series = None  # whatever happens, the library's list is read afresh
        try:
            code = long_call(self.library, self.library.OpenHalvex, port_bytes(self.port))
            # A failed open keeps the old cards, and their monitors run on.
            if code == 0:
                # Inside a callback the library ends the old monitors without waiting.
                self.library.monitors.forget(waited=not in_callback())
        except BaseException:
            self._mark_closed()
            raise
        if code != 0:
            # The library closed the port it had before trying this one.
            self._mark_closed()
            if code == PORT_OPEN_ERROR:
                raise port_open_error(self.library, self.port)
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
        number = int_arg("number", number)
        for card in self.cards():
            if card.number == number:
                if model is not None and not isinstance(card, model):
                    raise HalvexError.from_code(WRONG_MODEL, self.library)
                return card
        raise HalvexError.from_code(NO_SUCH_CARD, self.library)


