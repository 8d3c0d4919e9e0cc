"""Finding the ``halvex-sim`` program to run."""

from __future__ import annotations

import os
import shutil
from typing import List, Tuple, Union

from .._library import PACKAGE_DIR, LibraryNotFound, load_library
from .control import SimulatorError

__all__ = ["SIMULATOR_NAME", "SimulatorNotFound", "find_simulator"]

SIMULATOR_NAME = "halvex-sim"


class SimulatorNotFound(SimulatorError):
    """No ``halvex-sim`` program was found; ``places`` lists where the binding looked."""

    def __init__(self, places: List[str]) -> None:
        super().__init__("halvex-sim was not found; looked in:\n  " + "\n  ".join(places))
        self.places: List[str] = list(places)

    def __reduce__(self) -> Tuple[object, ...]:
        return (type(self), (self.places,))


def _executable(path: str) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def find_simulator(simulator: Union[str, "os.PathLike[str]", None] = None) -> str:
    """The ``halvex-sim`` to run: ``simulator`` if given; else ``HALVEX_SIM``; else the one a
    wheel installed in the package; else the one beside the driver library (the library's
    folder, its ``simulator/`` build folder, or ``../bin`` of an installed prefix); else the
    first on PATH. Raises :class:`SimulatorNotFound` naming every place it looked."""
    places: List[str] = []
    if simulator is not None:
        path = os.fspath(simulator)
        if _executable(path):
            return path
        raise SimulatorNotFound(["the simulator argument: %s is not an executable file" % path])
    from_env = os.environ.get("HALVEX_SIM")
    if from_env:
        if _executable(from_env):
            return from_env
        places.append("HALVEX_SIM: %s is not an executable file" % from_env)
    else:
        places.append("HALVEX_SIM: not set")
    bundled = os.path.join(PACKAGE_DIR, SIMULATOR_NAME)
    if _executable(bundled):
        return bundled
    places.append("in the package: no %s" % bundled)
    try:
        library_path = load_library().path
    except LibraryNotFound:
        places.append("beside the library: the library was not found")
    else:
        if os.path.isabs(library_path):
            folder = os.path.dirname(os.path.realpath(library_path))
            for candidate in (
                os.path.join(folder, SIMULATOR_NAME),
                os.path.join(folder, "simulator", SIMULATOR_NAME),
                os.path.join(os.path.dirname(folder), "bin", SIMULATOR_NAME),
            ):
                if _executable(candidate):
                    return candidate
                places.append("beside the library: no %s" % candidate)
        else:
            places.append("beside the library: it was loaded by name (%s)" % library_path)
    on_path = shutil.which(SIMULATOR_NAME)
    if on_path:
        return on_path
    places.append("PATH: no %s in %s" % (SIMULATOR_NAME, os.environ.get("PATH", "")))
    raise SimulatorNotFound(places)
