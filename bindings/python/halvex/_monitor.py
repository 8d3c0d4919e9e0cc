"""The lifetime of a signal monitor, as the binding keeps it.

The library calls a monitor's callback from a thread of its own until the monitor has ended,
so the ctypes callback object must stay alive until then; the library never says when a card
goes silent, so a watchdog notices; and a stop from inside a callback cannot wait for the
thread it runs on. :class:`Monitors` (one per loaded library) is the only place that starts,
stops and lets go of monitors; the card classes check arguments and raise the errors.
"""

from __future__ import annotations

import atexit
import contextlib
import ctypes
import logging
import os
import threading
import time
import weakref
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Tuple

from ._library import SignalCallback, long_call
from .errors import NO_SUCH_CARD, PORT_OPEN_ERROR, AlreadyMonitoring, error_message

if TYPE_CHECKING:
    from ._library import Library

__all__ = ["SignalReading", "MonitorRecord", "Monitors", "in_callback"]

# State of the signal inputs 1..8 (index 0 is channel 1); True when the input is active.
SignalReading = Tuple[bool, bool, bool, bool, bool, bool, bool, bool]

_log = logging.getLogger("halvex")
# Which card's callback, if any, is running on the current thread: (id(library), card number).
_monitor_thread = threading.local()
# Results of an End after which the monitor's thread is gone (6: only its port did not close).
_ENDED = (0, 6, NO_SUCH_CARD)


def in_callback() -> bool:
    """True on a thread that is running a monitor's callback."""
    return getattr(_monitor_thread, "card", None) is not None


class MonitorRecord:
    """What the binding keeps of one running monitor: the callback the library calls, the count
    of exceptions the caller's function raised, and a watchdog that notices when readings stop.

    The library calls back only when a reading arrives, so silence (a port that went away, a
    card that no longer answers) is seen here: after ``silence_s`` without a reading the monitor
    is marked stale and ``on_silence`` runs once, on the watchdog's thread; the next reading
    clears the mark. A ``silence_s`` of 0 or less keeps no watchdog.
    """

    def __init__(
        self,
        card_number: int,
        end_name: str,
        silence_s: float,
        on_silence: Optional[Callable[[], None]] = None,
    ) -> None:
        self.card_number: int = card_number
        self.end_name: str = end_name
        self.callback: Any = None  # the ctypes callback, set before the monitor starts
        self.silence_s: float = silence_s
        self.callback_errors: int = 0
        self.readings: int = 0
        self.stale: bool = False
        # Stopped from inside a callback, where the library does not wait for its thread.
        self.ended: bool = False
        self._on_silence = on_silence
        self._changed = threading.Condition()
        self._last = time.monotonic()
        self._stopping = False
        self._watchdog: Optional[threading.Thread] = None

    def start_watching(self) -> None:
        """Starts the watchdog (once the library has accepted the monitor)."""
        if self.silence_s <= 0 or self._watchdog is not None:
            return
        with self._changed:
            self._last = time.monotonic()
            if self._stopping:
                return
            watchdog = _Watchdog(self._watch, self.card_number)
            # Started before it is published: a stop joins only a thread that has started.
            watchdog.start()
            self._watchdog = watchdog

    def reading_arrived(self) -> None:
        with self._changed:
            self.readings += 1
            self._last = time.monotonic()
            if self.stale:
                self.stale = False
                self._changed.notify_all()

    def callback_failed(self) -> None:
        with self._changed:
            self.callback_errors += 1

    def stop_watching(self, wait: bool = True) -> None:
        """Ends the watchdog and waits for it (with ``wait``, and unless called from a
        silence handler, on a watchdog's thread)."""
        with self._changed:
            self._stopping = True
            self._changed.notify_all()
            watchdog = self._watchdog
        # A watchdog never waits for one: two silence handlers may be ending each other's
        # monitors, and each watchdog would wait for the other forever.
        if wait and watchdog is not None and not isinstance(threading.current_thread(), _Watchdog):
            watchdog.join()

    def _watch(self) -> None:
        with self._changed:
            while not self._stopping:
                if self.stale:
                    self._changed.wait()  # until a reading clears the mark, or the stop
                    continue
                left = self._last + self.silence_s - time.monotonic()
                if left > 0:
                    self._changed.wait(left)
                    continue
                self.stale = True
                handler = self._on_silence
                if handler is None:
                    continue
                self._changed.release()
                try:
                    handler()
                except Exception:
                    _log.exception("on_silence handler of card %d raised", self.card_number)
                finally:
                    self._changed.acquire()


class _Watchdog(threading.Thread):
    """The thread that watches one monitor for silence and runs its ``on_silence``."""

    def __init__(self, target: Callable[[], None], card_number: int) -> None:
        super().__init__(target=target, name="halvex-silence-%02d" % card_number, daemon=True)


class Monitors:
    """The monitors this process runs through one library, by card number.

    Each card's starts, stops and readings take turns on a lock of the card's, so that the
    record always matches what the library runs: a stop that ran before a start's Begin must
    not then drop the record of the monitor that Begin went on to start.
    """

    def __init__(self, library: "Library") -> None:
        self.library = library
        self._records: Dict[int, MonitorRecord] = {}
        # Monitors a discovery ended from inside a callback: the library could not wait for
        # their threads and never says when they have left, so their callbacks are kept.
        self._retired: List[MonitorRecord] = []
        self._lock = threading.Lock()
        self._card_locks: Dict[int, threading.Lock] = {}
        _owners.add(self)

    # ---- What is running ----

    def record(self, card_number: int) -> Optional[MonitorRecord]:
        """The monitor this process started on a card and has not yet released, or None."""
        with self._lock:
            return self._records.get(card_number)

    def cards(self) -> Tuple[int, ...]:
        with self._lock:
            return tuple(sorted(self._records))

    def refuse_if_running(self, card_number: int, end_name: str) -> None:
        """AlreadyMonitoring when the card runs a monitor of the model that ``end_name`` ends."""
        record = self.record(card_number)
        if record is not None and record.end_name == end_name:
            raise AlreadyMonitoring(card_number, error_message(PORT_OPEN_ERROR, self.library))

    # ---- Taking turns ----

    def _card_turn(self, card_number: int) -> threading.Lock:
        with self._lock:
            lock = self._card_locks.get(card_number)
            if lock is None:
                lock = self._card_locks[card_number] = threading.Lock()
            return lock

    @contextlib.contextmanager
    def _turn(self, card_number: int) -> Iterator[None]:
        """The card's turn for a start, stop or reading. Not inside the card's own callback: a
        stop on another thread holds the turn while it waits for that callback to return, and
        there the library starts nothing anyway (its monitor is still running)."""
        if getattr(_monitor_thread, "card", None) == (id(self.library), card_number):
            yield
            return
        with self._card_turn(card_number):
            yield

    # ---- Start, reading, stop ----

    def start(
        self,
        card_number: int,
        model: str,
        port: bytes,
        interval_s: float,
        callback: Callable[[SignalReading], None],
        silence_s: float,
        on_silence: Optional[Callable[[], None]],
    ) -> int:
        """Starts the card's monitor and returns the library's code; AlreadyMonitoring when the
        card already runs one (also when the library's 5 meant that)."""
        reaped: Optional[MonitorRecord] = None
        try:
            with self._turn(card_number):
                reaped = self._reap_ended(card_number)
                return self._begin(card_number, model, port, interval_s, callback, silence_s, on_silence)
        finally:
            if reaped is not None:
                reaped.stop_watching()

    def _begin(
        self,
        card_number: int,
        model: str,
        port: bytes,
        interval_s: float,
        callback: Callable[[SignalReading], None],
        silence_s: float,
        on_silence: Optional[Callable[[], None]],
    ) -> int:
        end_name = "End%sSignalMonitoring" % model
        self.refuse_if_running(card_number, end_name)
        record = MonitorRecord(card_number, end_name, silence_s, on_silence)
        record.callback = SignalCallback(self._decode(card_number, callback, record))
        begin = getattr(self.library, "Begin%sSignalMonitoring" % model)
        # Held before Begin: the first reading may come before Begin returns.
        if not self._hold(record):
            # Another thread started this card's monitor since the check above.
            raise AlreadyMonitoring(card_number, error_message(PORT_OPEN_ERROR, self.library))
        code: int = begin(card_number, port, interval_s, record.callback)
        if code != 0:
            # Its watchdog never started, so nothing is waited for.
            self._release(card_number, end_name, record)
            if code == PORT_OPEN_ERROR:
                # The library answers 5 for a card it is monitoring too; the binding knows which.
                self.refuse_if_running(card_number, end_name)
            return code
        record.start_watching()
        return 0

    def read(self, card_number: int, model: str, port: bytes) -> Tuple[int, int]:
        """One reading outside any monitor: the library's code and the raw status byte;
        AlreadyMonitoring while the card is being monitored."""
        end_name = "End%sSignalMonitoring" % model
        value = ctypes.c_int32(0)
        get = getattr(self.library, "Get%sSignalMonitoringData" % model)
        reaped: Optional[MonitorRecord] = None
        try:
            with self._turn(card_number):
                reaped = self._reap_ended(card_number)
                self.refuse_if_running(card_number, end_name)
                code = long_call(self.library, get, card_number, port, ctypes.byref(value))
        finally:
            if reaped is not None:
                reaped.stop_watching()
        if code == PORT_OPEN_ERROR:
            self.refuse_if_running(card_number, end_name)
        return code, value.value

    def stop(self, card_number: int, model: str) -> int:
        """Ends the card's monitor, waiting until its last callback has returned (except from
        inside a callback, see :meth:`Card.stop_monitoring`); returns the library's code."""
        end_name = "End%sSignalMonitoring" % model
        released: Optional[MonitorRecord] = None
        with self._turn(card_number):
            code: int = getattr(self.library, end_name)(card_number)
            if code in _ENDED:
                if in_callback():
                    # End did not wait: the ended monitor may still be inside its callback.
                    record = self.record(card_number)
                    if record is not None:
                        record.ended = True
                        record.stop_watching(wait=False)
                else:
                    released = self._release(card_number, end_name, wait=False)
        if released is not None:
            # Outside the turn: its silence handler may be waiting for the turn right now.
            released.stop_watching()
        return code

    def _decode(
        self, card_number: int, callback: Callable[[SignalReading], None], record: MonitorRecord
    ) -> Callable[..., None]:
        key = (id(self.library), card_number)

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
                _log.exception("the signal callback of card %d raised; monitoring goes on", card_number)
            finally:
                _monitor_thread.card = None

        return on_reading

    # ---- Keeping and letting go ----

    def _hold(self, record: MonitorRecord) -> bool:
        """Keeps a monitor's callback alive until it is released; False (and nothing held) when
        the card already has one, so that two starts cannot replace each other's."""
        with self._lock:
            if record.card_number in self._records:
                return False
            self._records[record.card_number] = record
            return True

    def _release(
        self,
        card_number: int,
        end_name: str,
        record: Optional[MonitorRecord] = None,
        wait: bool = True,
    ) -> Optional[MonitorRecord]:
        """Lets go of a callback once its monitor has ended (only ``record``'s, if given) and
        ends its watchdog, waiting for it with ``wait``; returns the record let go, if any."""
        with self._lock:
            held = self._records.get(card_number)
            if held is None or held.end_name != end_name:
                return None
            if record is not None and held is not record:
                return None
            del self._records[card_number]
        held.stop_watching(wait)
        return held

    def _reap_ended(self, card_number: int) -> Optional[MonitorRecord]:
        """Lets go of a monitor that stopped itself from its callback, once the library has
        reaped its thread; returns the record let go, whose watchdog the caller waits for
        once the card's turn is over."""
        record = self.record(card_number)
        # Inside a callback End does not wait for the ended monitor to leave its own.
        if record is not None and record.ended and not in_callback():
            code = getattr(self.library, record.end_name)(card_number)
            if code in _ENDED:
                return self._release(card_number, record.end_name, record, wait=False)
        return None

    def forget(self, waited: bool = True) -> None:
        """Lets go of every callback after a discovery, which ends all monitors of the old
        cards. With ``waited`` False (a discovery from inside a callback, where the library
        cannot wait for the monitors' threads) the callbacks are kept for good instead."""
        with self._lock:
            held = list(self._records.values())
            self._records.clear()
            if not waited:
                self._retired.extend(held)
        for record in held:
            record.ended = True
            record.stop_watching(wait=waited)

    def end_all(self) -> None:
        """Stops every monitor still held, waiting for each to leave its callback."""
        with self._lock:
            held = list(self._records.values())
        for record in held:
            with self._card_turn(record.card_number):
                getattr(self.library, record.end_name)(record.card_number)
                self._release(record.card_number, record.end_name, record, wait=False)
            # Outside the turn: the watchdog's handler may be waiting for it.
            record.stop_watching()

    def _after_fork(self) -> None:
        # The child's library runs none of the parent's monitors, and the watchdogs stayed
        # behind. Its locks are new: another thread of the parent may have held one.
        self._lock = threading.Lock()
        self._card_locks = {}
        self._records.clear()
        self._retired.clear()


# Every library's monitors, for the fork and exit hooks below.
_owners: "weakref.WeakSet[Monitors]" = weakref.WeakSet()


def _forget_monitors_in_child() -> None:
    for owner in list(_owners):
        owner._after_fork()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_monitors_in_child)


def _end_monitors_at_exit() -> None:
    # The library ends leftover monitors when it unloads, after Python can no longer run
    # their callbacks; end them while it still can.
    for owner in list(_owners):
        try:
            owner.end_all()
        except Exception:  # nothing sensible remains to be done at exit
            pass


atexit.register(_end_monitors_at_exit)
