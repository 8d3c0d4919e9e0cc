"""Loading the Halvex driver library, declaring its 49 exports for ctypes, and calling them.

Nothing here knows about monitors beyond the callback's type: the lifetime of a running monitor
(its callback kept alive, its silence watched, its stop) is :mod:`halvex._monitor`'s.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import operator
import threading
from ctypes import POINTER, c_char, c_char_p, c_double, c_int32, c_void_p
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple, Union

if TYPE_CHECKING:
    from ._monitor import MonitorRecord, Monitors

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
    "PortName",
    "port_bytes",
    "port_text",
    "int_arg",
    "long_call",
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
        # The last call the main thread stopped waiting for (Ctrl-C); later calls wait for it.
        self.abandoned_call: Optional[threading.Thread] = None
        # The monitors this process runs through this library; their owner lives a layer up,
        # and is made here only so that every library object has exactly one.
        from ._monitor import Monitors

        self.monitors: "Monitors" = Monitors(self)

    def __repr__(self) -> str:
        return "Library(%r)" % (self.path,)

    def monitor(self, card_number: int) -> Optional["MonitorRecord"]:
        """The monitor this process started on a card and has not yet released, or None."""
        return self.monitors.record(card_number)

    def monitored_cards(self) -> Tuple[int, ...]:
        """Numbers of the cards whose monitor this process started and has not yet stopped."""
        return self.monitors.cards()

    def end_all_monitors(self) -> None:
        """Stops every monitor still held, waiting for each to leave its callback."""
        self.monitors.end_all()


PortName = Union[str, bytes, "os.PathLike[str]"]
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1


def port_text(port: PortName) -> str:
    """A port name as text, for messages."""
    if isinstance(port, bytes):
        return os.fsdecode(port)
    return os.fspath(port)


def port_bytes(port: PortName) -> bytes:
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


def int_arg(name: str, value: object) -> int:
    """``value`` as an int; TypeError naming the argument for bools, strings, floats..."""
    if isinstance(value, bool):
        raise TypeError("%s must be an int, not bool" % name)
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__)) from None


def fits_int32(value: int) -> bool:
    """False for a number ctypes would silently wrap into the library's int32."""
    return _INT32_MIN <= value <= _INT32_MAX


def long_call(library: Library, function: Callable[..., int], *args: Any) -> int:
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


def _forget_calls_in_child() -> None:
    # A child made by fork() has none of the parent's threads, so no call to wait for. Its
    # lock is new: another thread of the parent may have held it at the fork.
    global _loaded_lock
    _loaded_lock = threading.Lock()
    for library in list(_loaded.values()):
        library.abandoned_call = None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_calls_in_child)
