"""Python binding of the Halvex relay card driver library (ctypes, standard library only).

    from halvex import Chassis, HalvexError

    with Chassis("/dev/ttyUSB0") as chassis:
        x16 = chassis.card(3)
        x16.close_matrix(5, 7)

The library is loaded from an explicit path, else from beside the package (where a wheel puts
it), else from the environment variable HALVEX_LIBRARY, else by its platform name
(libhalvex.so.1, Halvex32.dll). Every failed call raises HalvexError; misuse raises the
errors named in the README. ``halvex.sim`` runs a simulated chassis for tests.
"""

from ._library import (
    FUNCTIONS,
    CardInfo,
    Library,
    LibraryNotFound,
    SignalCallback,
    SignalStatus,
    default_library_name,
    load_library,
)
from .cards import (
    CARD_TEXT_ENCODING,
    Card,
    SignalReading,
    X16Card,
    X48Card,
    Y48Card,
    card_class_for,
)
from .chassis import CardRecord, Chassis
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
    AlreadyMonitoring,
    ChassisClosed,
    ChassisInUse,
    HalvexError,
    PortOpenError,
    UsageError,
    error_description,
    error_message,
)

# The project's version (CMakeLists.txt); the install test fails when the two disagree.
__version__ = "1.0.0"

__all__ = [
    "FUNCTIONS",
    "CardInfo",
    "Library",
    "LibraryNotFound",
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
    "AlreadyMonitoring",
    "PortOpenError",
    "UsageError",
    "ChassisClosed",
    "ChassisInUse",
    "error_description",
    "error_message",
]
