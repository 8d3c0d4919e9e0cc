"""Result codes of the driver library and the exception that carries them."""

from __future__ import annotations

import ctypes
from typing import Dict, Optional, Union

from ._library import Library, load_library
from .vocabulary import RESULTS

__all__ = [
    "OK",
    "FORMAT_ERROR",
    "CMD_ERROR",
    "PARAMETER_RANGE_ERROR",
    "NO_REPLY",
    "PORT_OPEN_ERROR",
    "PORT_CLOSE_ERROR",
    "NO_SUCH_CARD",
    "WRONG_MODEL",
    "UNKNOWN_CODE",
    "HalvexError",
    "AlreadyMonitoring",
    "PortOpenError",
    "UsageError",
    "ChassisClosed",
    "ChassisInUse",
    "error_message",
    "error_description",
]

OK = 0
FORMAT_ERROR = 1
CMD_ERROR = 2
PARAMETER_RANGE_ERROR = 3
NO_REPLY = 4
PORT_OPEN_ERROR = 5
PORT_CLOSE_ERROR = 6
NO_SUCH_CARD = 7
WRONG_MODEL = 8
UNKNOWN_CODE = 9

# The English wording of each code is the vocabulary's, as every front-end words it.
_DESCRIPTIONS: Dict[int, str] = {result.code: result.english for result in RESULTS}
_differing = [r.constant for r in RESULTS if globals().get(r.constant) != r.code]
if _differing:
    raise ImportError("halvex.errors: %s disagree with the vocabulary" % ", ".join(_differing))

# Room for the longest message with its terminator, with some to spare.
_MESSAGE_BUFFER_SIZE = 64
# The library's messages are Korean in code page 949.
MESSAGE_ENCODING = "cp949"


def error_description(code: int) -> str:
    """English text of a result code (as halvexctl words it); codes that do not exist read as
    UNKNOWN_CODE's "unknown result code"."""
    return _DESCRIPTIONS.get(code, _DESCRIPTIONS[UNKNOWN_CODE])


def _library_of(library: Union[Library, str, None]) -> Library:
    return library if isinstance(library, Library) else load_library(library)


def error_message(code: int, library: Union[Library, str, None] = None) -> str:
    """The library's own (Korean) message for a result code, decoded from code page 949.

    ``library`` is a loaded :class:`Library` or a path; by default the library is found as
    :func:`load_library` finds it. Codes outside 0..9 get the message of 9, as in the library.
    """
    lib = _library_of(library)
    buffer = ctypes.create_string_buffer(_MESSAGE_BUFFER_SIZE)
    lib.GetHalvexErrorInfo(_clamp_code(code), buffer, _MESSAGE_BUFFER_SIZE)
    return buffer.value.decode(MESSAGE_ENCODING, errors="replace")


def _clamp_code(code: int) -> int:
    # Anything that would not survive the trip through an int32 is no code at all.
    return code if -(2**31) <= code < 2**31 else UNKNOWN_CODE


class HalvexError(Exception):
    """A call into the library failed.

    Attributes:
        code: the result code (1..8).
        message: the library's message for the code, decoded from code page 949.
        description: an English text for the code.
        reply: the card's reply text when the failure came with one, else None.
    """

    def __init__(self, code: int, message: str = "", reply: Optional[str] = None) -> None:
        super().__init__(code, message, reply)
        self.code: int = code
        self.message: str = message
        self.description: str = error_description(code)
        self.reply: Optional[str] = reply

    def __str__(self) -> str:
        text = "Halvex error %d: %s" % (self.code, self.description)
        return text + " (%s)" % self.message if self.message else text

    @classmethod
    def from_code(
        cls, code: int, library: Union[Library, str, None] = None, reply: Optional[str] = None
    ) -> "HalvexError":
        """The error for ``code`` with the library's message filled in."""
        return cls(code, error_message(code, library), reply)


class AlreadyMonitoring(HalvexError):
    """The card is already being monitored through this binding (the library's code 5).

    Stop the running monitor first; it keeps running untouched.
    """

    def __init__(self, card_number: int, message: str = "") -> None:
        super().__init__(PORT_OPEN_ERROR, message)
        self.card_number: int = card_number
        self.args = (card_number, message)

    def __str__(self) -> str:
        return "card %d is already monitoring: stop its monitor first" % self.card_number


class PortOpenError(HalvexError):
    """A serial port could not be opened (the library's code 5), with the port and the reason
    the binding could find out (on Linux): no such file, permission denied, held by another
    process, not a terminal."""

    def __init__(self, port: str, reason: str = "", message: str = "") -> None:
        super().__init__(PORT_OPEN_ERROR, message)
        self.port: str = port
        self.reason: str = reason
        self.args = (port, reason, message)

    def __str__(self) -> str:
        text = "Halvex error %d: port %s cannot be opened" % (self.code, self.port)
        return text + ": " + self.reason if self.reason else text


class UsageError(RuntimeError):
    """The binding was used in a way the library's process-wide state does not allow."""


class ChassisClosed(UsageError):
    """A call on a chassis that is not open (never opened, closed, or its ``with`` block left)."""


class ChassisInUse(UsageError):
    """Another chassis is open in this process: the library keeps one chassis per process."""


def check(library: Library, code: int, reply: Optional[str] = None) -> None:
    """Raises :class:`HalvexError` for any result other than success."""
    if code != OK:
        raise HalvexError.from_code(code, library, reply)
