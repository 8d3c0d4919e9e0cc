"""Signals, routes and interlocks: the fixture layer (``libhalvex-fixture``) from Python.

A fixture file names the chassis's cards, the nets the fixture's wiring makes, the joins that
must never happen and named routes; :class:`Fixture` connects nets by name and refuses, with
nothing sent, any operation that would join nets a rule keeps apart::

    with Fixture("bench.toml", port="/dev/ttyUSB0") as fx:
        fx.apply("measure_vcc")
        ...
        fx.disconnect_all()

The layer is one C library; this module only calls it. It loads the library named by
``HALVEX_FIXTURE_LIBRARY``, else the one beside the driver library, else the system's.
"""

from __future__ import annotations

import ctypes
import json
import os
import sys
from ctypes import POINTER, c_char, c_char_p, c_int32, c_void_p
from typing import Any, Dict, List, Optional

from ._library import load_library
from .errors import HalvexError

__all__ = [
    "Fixture",
    "FixtureError",
    "FixtureFileError",
    "InterlockError",
    "NoPathError",
    "UnknownNameError",
    "ChassisMismatchError",
]

UNKNOWN_NAME, FILE_ERROR, INTERLOCK, NO_PATH, CHASSIS_MISMATCH = 10, 11, 12, 13, 14
_TEXT_SIZE = 1 << 16


class FixtureError(Exception):
    """The fixture layer refused or failed an operation; ``code`` is its result (10-14)."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message


class UnknownNameError(FixtureError):
    """A net, route, relay or terminal the fixture does not have (or not in this state)."""


class FixtureFileError(FixtureError):
    """The fixture file is wrong; ``line`` and ``column`` say where (0 when unreadable)."""

    def __init__(self, code: int, message: str, line: int = 0, column: int = 0) -> None:
        super().__init__(code, message)
        self.line = line
        self.column = column


class InterlockError(FixtureError):
    """The operation would join nets a rule keeps apart; nothing was sent.

    ``rule`` names the two nets ("PSU / DUT_GND"), ``reason`` is the rule's, ``chain`` the nets
    and relays from one to the other."""

    def __init__(self, code: int, message: str, rule: str, reason: str, chain: List[str]) -> None:
        super().__init__(code, message)
        self.rule = rule
        self.reason = reason
        self.chain = chain


class NoPathError(FixtureError):
    """No free relays join the two nets."""


class ChassisMismatchError(FixtureError):
    """A card the fixture names is missing from the chassis, or of another model."""


def _library_path() -> str:
    named = os.environ.get("HALVEX_FIXTURE_LIBRARY")
    if named:
        return named
    name = "HalvexFixture32.dll" if sys.platform == "win32" else "libhalvex-fixture.so.1"
    beside = os.path.join(os.path.dirname(load_library().path), name)
    return beside if os.path.exists(beside) else name


_dll: Optional[ctypes.CDLL] = None


def _fixture_library() -> ctypes.CDLL:
    global _dll
    if _dll is None:
        load_library()  # the driver first, so the layer binds to the same one
        dll = ctypes.CDLL(_library_path())
        h = c_void_p
        for name, args in (
            ("HalvexFixtureLoad", (c_char_p, POINTER(c_void_p))),
            ("HalvexFixtureOpen", (h, c_char_p)),
            ("HalvexFixtureConnect", (h, c_char_p, c_char_p)),
            ("HalvexFixtureDisconnect", (h, c_char_p, c_char_p)),
            ("HalvexFixtureApply", (h, c_char_p)),
            ("HalvexFixtureRelease", (h, c_char_p)),
            ("HalvexFixtureCloseRelay", (h, c_char_p)),
            ("HalvexFixtureOpenRelay", (h, c_char_p)),
            ("HalvexFixtureDisconnectAll", (h,)),
            ("HalvexFixtureCheck", (h, c_char_p, POINTER(c_char), c_int32)),
            ("HalvexFixtureState", (h, c_int32, POINTER(c_char), c_int32)),
            ("HalvexFixtureLastError", (h, POINTER(c_char), c_int32)),
            ("HalvexFixtureLastRefusal", (h, POINTER(c_char), c_int32)),
            ("HalvexFixtureNets", (h, POINTER(c_char), c_int32)),
        ):
            function = getattr(dll, name)
            function.argtypes = args
            function.restype = c_int32
        dll.HalvexFixtureFree.argtypes = (c_void_p,)
        dll.HalvexFixtureFree.restype = None
        _dll = dll
    return _dll


def _encode(text: str) -> bytes:
    return text.encode("utf-8")


class Fixture:
    """One fixture file over the chassis. ``port`` wins over the file's; the chassis is opened,
    checked and (with ``reset_on_open``, the default) reset when the object is made."""

    def __init__(self, path: "str | os.PathLike[str]", port: Optional[str] = None) -> None:
        self._dll = _fixture_library()
        self._path = os.fspath(path)
        handle = c_void_p()
        code = self._dll.HalvexFixtureLoad(_encode(self._path), ctypes.byref(handle))
        self._handle: Optional[int] = handle.value
        try:
            self._check(code)
            self._check(self._dll.HalvexFixtureOpen(self._handle, _encode(port) if port else None))
        except BaseException:
            self.free()
            raise

    def __enter__(self) -> "Fixture":
        return self

    def __exit__(self, *exc: object) -> None:
        self.free()

    def free(self) -> None:
        """Releases the layer's handle; the relays stay as they are."""
        if self._handle is not None:
            self._dll.HalvexFixtureFree(self._handle)
            self._handle = None

    def _text(self, function: Any, *args: Any) -> str:
        buffer = ctypes.create_string_buffer(_TEXT_SIZE)
        function(self._handle, *args, buffer, _TEXT_SIZE)
        return buffer.value.decode("utf-8", errors="replace")

    def _check(self, code: int) -> None:
        if code == 0:
            return
        message = self._text(self._dll.HalvexFixtureLastError) if self._handle else ""
        if code == INTERLOCK:
            refusal = self._text(self._dll.HalvexFixtureLastRefusal)
            if refusal:
                r: Dict[str, Any] = json.loads(refusal)
                raise InterlockError(code, message, r["rule"], r["reason"], list(r["chain"]))
            raise InterlockError(code, message, "", "", [])
        if code == FILE_ERROR:
            line = column = 0
            rest = message[len(self._path) + 1:] if message.startswith(self._path + ":") else ""
            parts = rest.split(":", 2)
            if len(parts) == 3 and parts[0].isdigit() and parts[1].isdigit():
                line, column = int(parts[0]), int(parts[1])
            raise FixtureFileError(code, message, line, column)
        kinds = {UNKNOWN_NAME: UnknownNameError, NO_PATH: NoPathError,
                 CHASSIS_MISMATCH: ChassisMismatchError}
        if code in kinds:
            raise kinds[code](code, message)
        error = HalvexError.from_code(code)
        error.args = (code, message)
        raise error

    def _live(self) -> Optional[int]:
        if self._handle is None:
            raise FixtureError(UNKNOWN_NAME, "the fixture has been freed")
        return self._handle

    def connect(self, a: str, b: str) -> None:
        """Joins nets ``a`` and ``b`` through the fewest free relays."""
        self._check(self._dll.HalvexFixtureConnect(self._live(), _encode(a), _encode(b)))

    def disconnect(self, a: str, b: str) -> None:
        self._check(self._dll.HalvexFixtureDisconnect(self._live(), _encode(a), _encode(b)))

    def apply(self, *routes: str) -> None:
        """Applies named routes, all or nothing."""
        self._check(self._dll.HalvexFixtureApply(self._live(), _encode(" ".join(routes))))

    def release(self, *routes: str) -> None:
        self._check(self._dll.HalvexFixtureRelease(self._live(), _encode(" ".join(routes))))

    def close_relay(self, relay: str) -> None:
        """Closes one relay by name ("1:ps:2"), through the interlock."""
        self._check(self._dll.HalvexFixtureCloseRelay(self._live(), _encode(relay)))

    def open_relay(self, relay: str) -> None:
        self._check(self._dll.HalvexFixtureOpenRelay(self._live(), _encode(relay)))

    def disconnect_all(self) -> None:
        """Opens every relay the layer closed or may have closed."""
        self._check(self._dll.HalvexFixtureDisconnectAll(self._live()))

    def check(self, operation: str) -> List[str]:
        """What ``operation`` ("connect A B", "apply R", ...) would send: "close RELAY" and
        "open RELAY" lines; raises as the operation would, sending nothing."""
        buffer = ctypes.create_string_buffer(_TEXT_SIZE)
        self._check(self._dll.HalvexFixtureCheck(self._live(), _encode(operation), buffer, _TEXT_SIZE))
        return buffer.value.decode("utf-8").splitlines()

    def nets(self) -> Dict[str, Any]:
        """The file's nets and routes: {"nets": [{"name": ..., "terminals": [...]}], "routes": [...]}."""
        buffer = ctypes.create_string_buffer(_TEXT_SIZE)
        self._check(self._dll.HalvexFixtureNets(self._live(), buffer, _TEXT_SIZE))
        result: Dict[str, Any] = json.loads(buffer.value.decode("utf-8"))
        return result

    def state(self) -> Dict[str, Any]:
        """The relays closed and unknown, the connections, routes and joined nets."""
        buffer = ctypes.create_string_buffer(_TEXT_SIZE)
        self._check(self._dll.HalvexFixtureState(self._live(), 1, buffer, _TEXT_SIZE))
        result: Dict[str, Any] = json.loads(buffer.value.decode("utf-8"))
        return result
