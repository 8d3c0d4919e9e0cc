"""Loading the Halvex driver library and declaring its 49 exports for ctypes."""

from __future__ import annotations

import atexit
import ctypes
import ctypes.util
import os
import sys
import threading
from ctypes import POINTER, c_char, c_char_p, c_double, c_int32, c_void_p
from typing import Any, Callable, Dict, Tuple, Union

__all__ = [
    "CardInfo",
    "SignalStatus",
    "SignalCallback",
    "FUNCTIONS",
    "Library",
    "load_library",
    "default_library_name",
    "resolve_function",
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
        # The loader no longer searches PATH for bare names; find_library does.
        return ctypes.util.find_library("Halvex32") or "Halvex32.dll"
    return ctypes.util.find_library("halvex") or "libhalvex.so.1"


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
    if _WINDOWS:
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
    returns the raw result code. The library serves one call at a time; callers keep their
    calls from overlapping. Get instances from :func:`load_library`, which loads each file once.
    """

    # Declared for type checkers; filled in from FUNCTIONS.
    OpenHalvex: Callable[..., int]
    CloseHalvex: Callable[..., int]
    GetHalvexSeries: Callable[..., int]
    GetHalvexErrorInfo: Callable[..., int]

    def __init__(self, path: str) -> None:
        self.path: str = path
        loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL
        self.dll: Any = loader(path)
        for name, arg_bytes, argtypes in FUNCTIONS:
            function = resolve_function(self.dll, name, arg_bytes)
            function.argtypes = argtypes
            function.restype = c_int32
            setattr(self, name, function)
        self.release: Callable[[int], None] = _release_function()
        # Card number -> (name of the export that ends its monitor, the ctypes callback). The
        # library calls the callback from its own thread, so it must outlive the monitor.
        self._monitors: Dict[int, Tuple[str, Any]] = {}
        self._monitors_lock = threading.Lock()

    def __repr__(self) -> str:
        return "Library(%r)" % (self.path,)

    def hold_monitor(self, card_number: int, end_name: str, callback: Any) -> None:
        """Keeps a running monitor's callback alive until the monitor is released."""
        with self._monitors_lock:
            self._monitors[card_number] = (end_name, callback)

    def release_monitor(self, card_number: int, end_name: str) -> None:
        """Lets go of a callback once its monitor has ended."""
        with self._monitors_lock:
            held = self._monitors.get(card_number)
            if held is not None and held[0] == end_name:
                del self._monitors[card_number]

    def forget_monitors(self) -> None:
        """Lets go of every callback: discovery ends all monitors of the old cards."""
        with self._monitors_lock:
            self._monitors.clear()

    def monitored_cards(self) -> Tuple[int, ...]:
        """Numbers of the cards whose monitor this process started and has not yet stopped."""
        with self._monitors_lock:
            return tuple(sorted(self._monitors))

    def end_all_monitors(self) -> None:
        """Stops every monitor still held, waiting for each to leave its callback."""
        with self._monitors_lock:
            held = list(self._monitors.items())
        for number, (end_name, _callback) in held:
            getattr(self, end_name)(number)
            self.release_monitor(number, end_name)


_loaded: Dict[str, Library] = {}
_loaded_lock = threading.Lock()


def _cache_key(path: str) -> str:
    return os.path.realpath(path) if os.path.exists(path) else path


def load_library(path: Union[str, "os.PathLike[str]", None] = None) -> Library:
    """Loads the driver library once per file and returns it.

    The path is ``path`` if given, else the environment variable ``HALVEX_LIBRARY``, else the
    platform's default name (``libhalvex.so`` or ``Halvex32.dll``).
    """
    if path is None:
        path = os.environ.get("HALVEX_LIBRARY") or default_library_name()
    text = os.fspath(path)
    key = _cache_key(text)
    with _loaded_lock:
        library = _loaded.get(key)
        if library is None:
            library = Library(text)
            _loaded[key] = library
        return library


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
