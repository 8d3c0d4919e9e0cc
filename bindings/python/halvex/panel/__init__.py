"""A soft front panel for a Halvex chassis, in the browser.

    halvex-panel --port /dev/ttyUSB0 --monitor-port 3=/dev/ttyUSB1
    halvex-panel --simulate
    python -m halvex.panel --simulate --bench simulator/examples/bench.chassis

The server is the standard library's; the page is plain HTML, CSS and JavaScript served from
this package. :class:`Panel` drives the chassis, :class:`PanelServer` serves it.
"""

from .core import Panel, RequestError
from .layout import BenchCard, Relay, parse_relay
from .cli import main
from .server import PanelServer

__all__ = ["Panel", "PanelServer", "RequestError", "BenchCard", "Relay", "parse_relay", "main"]
