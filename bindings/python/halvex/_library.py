"""Loading the Halvex driver library and declaring its 49 exports for ctypes."""

from __future__ import annotations

import atexit
import logging
import ctypes
import ctypes.util
import os
import sys
import threading
import time
from ctypes import POINTER, c_char, c_char_p, c_double, c_int32, c_void_p
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

__all__ = [
    "CardInfo",
    "SignalStatus",
    "SignalCallback",
    "FUNCTIONS",
    "Library",
    "load_library",
    "default_library_name",
    "bundled_library",
    "resolve_function",
    "LibraryNotFound",
    "MonitorRecord",
]

_WINDOWS = sys.platform == "win32"


class CardInfo(ctypes.Structure):
    """One card found by discovery: the slot number and its identification text (132 bytes)."""

    _fields_ = [("cardNumber", c_int32), ("idText", c_char * 128)]


class SignalStatus(ctypes.Structure):
    """One signal input of a reading: channel 1..8 and its state (1 when the input is active)."""

    _fields_ = [("channel", c_int32), ("state", c_int32)]


# The library calls the callback the C way on every platform, stdcall builds included.
SignalCallback = ctypes.CFUNCTYPE(None, POINTER(SignalStatus), c_int32)

_i32 = c_int32
_text = c_char_p  # zero-terminated text the library reads
_buffer = POINTER(c_char)  # room the library writes into
_out_i32 = POINTER(c_int32)
_series_out = POINTER(POINTER(CardInfo))

# Name, byte count of the arguments on 32-bit Windows (the N of "_Name@N"), argument types.
FUNCTIONS: Tuple[Tuple[str, int, Tuple[Any, ...]], ...] = (
    ("OpenHalvex", 4, (_text,)),
    ("CloseHalvex", 0, ()),
    ("GetHalvexSeries", 8, (_series_out, _out_i32)),
    ("GetHalvexErrorInfo", 12, (_i32, _buffer, _i32)),
    ("SelfTestHalvex", 12, (_i32, _buffer, _out_i32)),
    ("QueryHalvexID", 12, (_i32, _buffer, _out_i32)),
    ("ResetHalvex", 4, (_i32,)),
    ("CloseX16RelayMatrix", 12, (_i32, _i32, _i32)),
    ("OpenX16RelayMatrix", 12, (_i32, _i32, _i32)),
    ("CloseX16RowHiLoMatrix", 12, (_i32, _i32, _i32)),
    ("OpenX16RowHiLoMatrix", 12, (_i32, _i32, _i32)),
    ("CloseX16GPRelay", 8, (_i32, _i32)),
    ("OpenX16GPRelay", 8, (_i32, _i32)),
    ("CloseX16ExtGPRelay", 8, (_i32, _i32)),
    ("OpenX16ExtGPRelay", 8, (_i32, _i32)),
    ("CloseX16PsRelay", 8, (_i32, _i32)),
    ("OpenX16PsRelay", 8, (_i32, _i32)),
    ("CloseX16DischargeRelay", 8, (_i32, _i32)),
    ("OpenX16DischargeRelay", 8, (_i32, _i32)),
    ("CloseX16PullUpRelay", 4, (_i32,)),
    ("OpenX16PullUpRelay", 4, (_i32,)),
    ("CloseX16PullDownRelay", 4, (_i32,)),
    ("OpenX16PullDownRelay", 4, (_i32,)),
    ("CloseX16TestProbeRelay", 4, (_i32,)),
    ("OpenX16TestProbeRelay", 4, (_i32,)),
    ("CloseX16GndRelay", 4, (_i32,)),
    ("OpenX16GndRelay", 4, (_i32,)),
    ("BeginX16SignalMonitoring", 20, (_i32, _text, c_double, SignalCallback)),
    ("EndX16SignalMonitoring", 4, (_i32,)),
    ("GetX16SignalMonitoringData", 12, (_i32, _text, _out_i32)),
    ("CloseX48RelayMatrix", 12, (_i32, _i32, _i32)),
    ("OpenX48RelayMatrix", 12, (_i32, _i32, _i32)),
    ("CloseX48RowHiLoMatrix", 12, (_i32, _i32, _i32)),
    ("OpenX48RowHiLoMatrix", 12, (_i32, _i32, _i32)),
    ("CloseX48PullUpRelay", 4, (_i32,)),
    ("OpenX48PullUpRelay", 4, (_i32,)),
    ("CloseX48PullDownRelay", 4, (_i32,)),
    ("OpenX48PullDownRelay", 4, (_i32,)),
    ("CloseX48TestProbeRelay", 4, (_i32,)),
    ("OpenX48TestProbeRelay", 4, (_i32,)),
    ("CloseX48GndRelay", 4, (_i32,)),
    ("OpenX48GndRelay", 4, (_i32,)),
    ("CloseY48GPRelay", 8, (_i32, _i32)),
    ("OpenY48GPRelay", 8, (_i32, _i32)),
    ("CloseY48ExtGPRelay", 8, (_i32, _i32)),
    ("OpenY48ExtGPRelay", 8, (_i32, _i32)),
    ("BeginY48SignalMonitoring", 20, (_i32, _text, c_double, SignalCallback)),
    ("EndY48SignalMonitoring", 4, (_i32,)),
    ("GetY48SignalMonitoringData", 12, (_i32, _text, _out_i32)),
)


def default_library_name() -> str:
    """The name the library goes by on this platform, as the system loader would find it."""
    if _WINDOWS:
        # A 64-bit interpreter can load only Halvex64.dll, a 32-bit one only Halvex32.dll.
        base = "Halvex64" if ctypes.sizeof(ctypes.c_void_p) == 8 else "Halvex32"
        # The loader no longer searches PATH for bare names; find_library does.
        return ctypes.util.find_library(base) or base + ".dll"
    return ctypes.util.find_library("halvex") or "libhalvex.so.1"


# The file a wheel carries beside the package's modules.
BUNDLED_LIBRARY_NAMES: Tuple[str, ...] = (
    ("Halvex32.dll", "Halvex32D.dll") if _WINDOWS else ("libhalvex.so.1", "libhalvex.so")
)
PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


class LibraryNotFound(OSError):
    """The driver library could not be loaded from any of the places the binding looked.

    ``places`` lists each place with what was found there.
    """

    def __init__(self, places: List[str]) -> None:
        super().__init__(
            "the Halvex driver library was not found; looked in:\n  " + "\n  ".join(places)
        )
        self.places: List[str] = list(places)

    def __reduce__(self) -> Tuple[Any, ...]:
        return (type(self), (self.places,))


def bundled_library() -> Optional[str]:
    """The library a wheel installed beside the package, or None."""
    for name in BUNDLED_LIBRARY_NAMES:
        candidate = os.path.join(PACKAGE_DIR, name)
        if os.path.isfile(candidate):
            return candidate
    return None


def resolve_function(dll: Any, name: str, arg_bytes: int) -> Any:
    """Looks an export up by its plain name, then by its stdcall-decorated name ``_name@N``.

    Halvex32.dll exports only decorated names and Halvex32D.dll mostly plain ones, so trying
    both binds every build. Raises AttributeError when neither name exists.
    """
    try:
        return dll[name]
    except AttributeError:
        pass
    try:
        return dll["_%s@%d" % (name, arg_bytes)]
    except AttributeError:
        raise AttributeError(
            "the library exports neither %s nor _%s@%d" % (name, name, arg_bytes)
        ) from None


def _release_function() -> Callable[[int], None]:
    """The function that hands a listing back to the heap the library took it from."""
    if sys.platform == "win32":
        kernel32 = ctypes.WinDLL("kernel32")  # a private handle keeps our argtypes to ourselves
        get_heap = kernel32.GetProcessHeap
        get_heap.argtypes = ()
        get_heap.restype = c_void_p
        heap_free = kernel32.HeapFree
        heap_free.argtypes = (c_void_p, ctypes.c_uint32, c_void_p)
        heap_free.restype = ctypes.c_int

        def release(address: int) -> None:
            heap_free(get_heap(), 0, address)

        return release

    libc_name = ctypes.util.find_library("c")
    libc = ctypes.CDLL(libc_name) if libc_name else ctypes.CDLL(None)
    free = libc.free
    free.argtypes = (c_void_p,)
    free.restype = None

    def release(address: int) -> None:
        free(address)

    return release


class Library:
    """The loaded driver library with every export declared.

    Each export is an attribute under its plain name (``lib.OpenHalvex(b"/dev/ttyS0")``) and
    returns the raw result code. Every export may be called from any thread (calls on the
    command port take turns inside the library). Get instances from :func:`load_library`, which loads each file once.
    """

    # Declared for type checkers; filled in from FUNCTIONS.
    OpenHalvex: Callable[..., int]
    CloseHalvex: Callable[..., int]
    GetHalvexSeries: Callable[..., int]
    GetHalvexErrorInfo: Callable[..., int]

    def __init__(self, path: str) -> None:
        self.path: str = path
        if sys.platform == "win32":
            self.dll: Any = ctypes.WinDLL(path)
        else:
            self.dll = ctypes.CDLL(path)
        for name, arg_bytes, argtypes in FUNCTIONS:
            function = resolve_function(self.dll, name, arg_bytes)
            function.argtypes = argtypes
            function.restype = c_int32
            setattr(self, name, function)
        self.release: Callable[[int], None] = _release_function()
        # Card number -> its running monitor. The library calls the callback from its own
        # thread, so the binding keeps it alive until the monitor has ended.
        self._monitors: Dict[int, MonitorRecord] = {}
        # Monitors a discovery ended from inside a callback: the library could not wait for
        # their threads and never says when they have left, so their callbacks are kept.
        self._retired: List[MonitorRecord] = []
        self._monitors_lock = threading.Lock()
        # Card number -> the lock its starts, stops and readings take turns on, so that the
        # binding's record always matches what the library runs (see card_turn).
        self._card_locks: Dict[int, threading.Lock] = {}
        # The last call the main thread stopped waiting for (Ctrl-C); later calls wait for it.
        self.abandoned_call: Optional[threading.Thread] = None

    def __repr__(self) -> str:
        return "Library(%r)" % (self.path,)

    def card_turn(self, card_number: int) -> threading.Lock:
        """The lock held across a card's Begin or End and the change to its record: a stop
        that ran before a start's Begin must not then drop the record of the monitor that
        Begin went on to start."""
        with self._monitors_lock:
            lock = self._card_locks.get(card_number)
            if lock is None:
                lock = self._card_locks[card_number] = threading.Lock()
            return lock

    def hold_monitor(self, record: "MonitorRecord") -> bool:
        """Keeps a monitor's callback alive until the monitor is released; False (and nothing
        held) when the card already has one, so that two starts cannot replace each other's."""
        with self._monitors_lock:
            if record.card_number in self._monitors:
                return False
            self._monitors[record.card_number] = record
            return True

    def monitor(self, card_number: int) -> Optional["MonitorRecord"]:
        """The monitor this process started on a card and has not yet released, or None."""
        with self._monitors_lock:
            return self._monitors.get(card_number)

    def release_monitor(
        self,
        card_number: int,
        end_name: str,
        record: Optional["MonitorRecord"] = None,
        wait: bool = True,
    ) -> Optional["MonitorRecord"]:
        """Lets go of a callback once its monitor has ended (only ``record``'s, if given) and
        ends its watchdog, waiting for it with ``wait``; returns the record let go, if any."""
        with self._monitors_lock:
            held = self._monitors.get(card_number)
            if held is None or held.end_name != end_name:
                return None
            if record is not None and held is not record:
                return None
            del self._monitors[card_number]
        held.stop_watching(wait)
        return held

    def forget_monitors(self, waited: bool = True) -> None:
        """Lets go of every callback after a discovery, which ends all monitors of the old
        cards. With ``waited`` False (a discovery from inside a callback, where the library
        cannot wait for the monitors' threads) the callbacks are kept for good instead."""
        with self._monitors_lock:
            held = list(self._monitors.values())
            self._monitors.clear()
            if not waited:
                self._retired.extend(held)
        for record in held:
            record.ended = True
            record.stop_watching(wait=waited)

    def monitored_cards(self) -> Tuple[int, ...]:
        """Numbers of the cards whose monitor this process started and has not yet stopped."""
        with self._monitors_lock:
            return tuple(sorted(self._monitors))

    def end_all_monitors(self) -> None:
        """Stops every monitor still held, waiting for each to leave its callback."""
        with self._monitors_lock:
            held = list(self._monitors.values())
        for record in held:
            with self.card_turn(record.card_number):
                getattr(self, record.end_name)(record.card_number)
                self.release_monitor(record.card_number, record.end_name, record, wait=False)
            # Outside the turn: the watchdog's handler may be waiting for it.
            record.stop_watching()


_log = logging.getLogger("halvex")


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


_loaded: Dict[str, Library] = {}
_loaded_lock = threading.Lock()


def _cache_key(path: str) -> str:
    return os.path.realpath(path) if os.path.exists(path) else path


def _load_cached(path: str) -> Library:
    key = _cache_key(path)
    with _loaded_lock:
        library = _loaded.get(key)
        if library is None:
            library = Library(path)
            _loaded[key] = library
        return library


def load_library(path: Union[str, "os.PathLike[str]", None] = None) -> Library:
    """Loads the driver library once per file and returns it.

    The library is ``path`` if given; else the one a wheel installed beside the package; else
    the file named by the environment variable ``HALVEX_LIBRARY``; else the platform's name
    (``libhalvex.so.1``, ``Halvex32.dll``) as the system loader finds it. Raises
    :class:`LibraryNotFound`, naming every place tried, when none loads.
    """
    # (where, the file or name to load or None, why there is none)
    candidates: List[Tuple[str, Optional[str], str]] = []
    if path is not None:
        candidates.append(("the library argument", os.fspath(path), ""))
    else:
        wanted = " or ".join(BUNDLED_LIBRARY_NAMES)
        candidates.append(("beside the package", bundled_library(), "no %s in %s" % (wanted, PACKAGE_DIR)))
        candidates.append(("HALVEX_LIBRARY", os.environ.get("HALVEX_LIBRARY") or None, "not set"))
        candidates.append(("the system loader", default_library_name(), ""))
    places: List[str] = []
    for where, candidate, absent in candidates:
        if candidate is None:
            places.append("%s: %s" % (where, absent))
            continue
        if os.sep in candidate or (os.altsep is not None and os.altsep in candidate):
            if not os.path.exists(candidate):
                places.append("%s: %s does not exist" % (where, candidate))
                continue
        try:
            return _load_cached(candidate)
        except OSError as error:
            places.append("%s: %s (%s)" % (where, candidate, error))
    raise LibraryNotFound(places)


def _forget_monitors_in_child() -> None:
    # The child's library runs none of the parent's monitors, and the watchdogs stayed behind.
    # Its locks are new: another thread of the parent may have held one at the fork.
    global _loaded_lock
    _loaded_lock = threading.Lock()
    for library in list(_loaded.values()):
        library._monitors_lock = threading.Lock()
        library._card_locks = {}
        library.abandoned_call = None
        library._monitors.clear()
        library._retired.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_monitors_in_child)


def _end_monitors_at_exit() -> None:
    # The library ends leftover monitors when it unloads, after Python can no longer run
    # their callbacks; end them while it still can.
    with _loaded_lock:
        libraries = list(_loaded.values())
    for library in libraries:
        try:
            library.end_all_monitors()
        except Exception:  # nothing sensible remains to be done at exit
            pass


atexit.register(_end_monitors_at_exit)
