"""A simulated chassis for testing test programs: ``halvex-sim`` on pseudo-terminals.

    from halvex import Chassis, X16Card
    from halvex.sim import SimulatedChassis

    with SimulatedChassis(cards={3: "X16", 5: ("Y48", "HALVEX Y48 REV3")}) as sim:
        with Chassis(sim.port) as chassis:
            chassis.card(3, X16Card).close_matrix(5, 7)
        assert sim.relays(3) == ["matrix:5:7"]

The simulator is a program of its own; it is found as :func:`find_simulator` says. Its control
channel (a TCP connection on 127.0.0.1) sets cards, signal inputs and faults up, and reads the
relays the cards hold and every line the ports received.
"""

# Everything the single module of earlier releases offered stays importable from here.
from .._library import PACKAGE_DIR, LibraryNotFound, load_library
from .control import ControlChannel, SimulatorError
from .process import PortRef, SimulatedChassis
from .program import SIMULATOR_NAME, SimulatorNotFound, find_simulator
from .setups import MODELS, SLOTS, CardDescription, CardSetup, describe

__all__ = [
    "SimulatorError",
    "SimulatorNotFound",
    "ControlChannel",
    "SimulatedChassis",
    "CardSetup",
    "CardDescription",
    "describe",
    "find_simulator",
]
