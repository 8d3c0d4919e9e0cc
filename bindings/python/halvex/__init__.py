"""Python binding of the Halvex relay card driver library (ctypes, standard library only).

    from halvex import Chassis, HalvexError

    with Chassis("/dev/ttyUSB0") as chassis:
        x16 = chassis.card(3)
        x16.close_matrix(5, 7)

The library is loaded from an explicit path, else the environment variable HALVEX_LIBRARY,
else by its platform name (libhalvex.so, Halvex32.dll). Every failed call raises HalvexError.
"""

from ._library import (
    FUNCTIONS,
    CardInfo,
    Library,
    SignalCallback,
    SignalStatus,
    default_library_name,
    load_library,
)
from .chassis import (
    CARD_TEXT_ENCODING,
    Card,
    CardRecord,
    Chassis,
    SignalReading,
    X16Card,
    X48Card,
    Y48Card,
    card_class_for,
)
from .errors import (
    CMD_ERROR,
    FORMAT_ERROR,
    NO_REPLY,
    NO_SUCH_CARD,
    OK,
    PARAMETER_RANGE_ERROR,
    PORT_CLOSE_ERROR,
    PORT_OPEN_ERROR,
    UNKNOWN_CODE,
    WRONG_MODEL,
    HalvexError,
    error_description,
    error_message,
)

# The project's version (CMakeLists.txt); the install test fails when the two disagree.
__version__ = "1.0.0"

__all__ = [
    "FUNCTIONS",
    "CardInfo",
    "Library",
    "SignalCallback",
    "SignalStatus",
    "default_library_name",
    "load_library",
    "CARD_TEXT_ENCODING",
    "Card",
    "CardRecord",
    "Chassis",
    "SignalReading",
    "X16Card",
    "X48Card",
    "Y48Card",
    "card_class_for",
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
    "error_description",
    "error_message",
]
