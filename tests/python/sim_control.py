"""The simulator's control client for the tool and README tests: the package's own, from the
binding in this repository."""

import os
import sys

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bindings", "python")
)

from halvex.sim import ControlChannel, SimulatorError  # noqa: E402

__all__ = ["ControlChannel", "SimulatorError"]
