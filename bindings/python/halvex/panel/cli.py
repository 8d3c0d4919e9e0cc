"""The panel's command line.

    halvex-panel --port /dev/ttyUSB0 --monitor-port 3=/dev/ttyUSB1 [--bench FILE]
    halvex-panel --simulate [--bench FILE]
    halvex-panel --simulate --fixture bench.toml

With ``--fixture FILE`` the panel opens the fixture on the chassis once it has found the cards,
lists its nets and routes, and sends every relay through the fixture's interlock.

The page and a small JSON API under /api/ are served on 127.0.0.1; the first line printed is
``panel: URL``. ``--listen ADDRESS`` serves elsewhere (an IPv6 address too), and then the page
and the API need the access token printed in that URL; the page's script and stylesheet, which
hold nothing secret, do not.
"""

from __future__ import annotations

import argparse
import os
import secrets
import signal
import subprocess
import sys
from types import FrameType
from typing import Dict, List, Optional, Tuple

from .. import Chassis
from ..errors import HalvexError, UsageError
from ..fixture import FixtureError, FixtureFileError
from ..sim import SimulatorError, describe
from .core import Panel
from .layout import INPUT_MODELS, BenchCard
from .server import PanelServer

__all__ = ["main", "DEMO_CARDS"]

# The demo's chassis when --simulate comes without a bench file.
DEMO_CARDS = {
    1: ("X16", "HALVEX X16 DEMO SN0001"),
    2: ("X48", "HALVEX X48 DEMO SN0002"),
    5: ("Y48", "HALVEX Y48 DEMO SN0005"),
}


def _monitor_port(text: str) -> Tuple[int, str]:
    slot, sep, port = text.partition("=")
    if not sep or not slot.isdigit() or not 1 <= int(slot) <= 16 or not port:
        raise argparse.ArgumentTypeError("expected SLOT=PORT with SLOT 1 to 16, not %r" % text)
    return int(slot), port


def _arguments(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="halvex-panel",
        description="A front panel for a Halvex chassis in the browser: the cards, their relays "
        "as toggles, the signal inputs live and the log of every command line.",
    )
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--port", help="the chassis's command port (/dev/ttyUSB0, COM5)")
    where.add_argument("--simulate", action="store_true",
                       help="start a simulated chassis (halvex-sim) and drive that")
    parser.add_argument("--monitor-port", action="append", type=_monitor_port, default=[],
                        metavar="SLOT=PORT", help="the monitoring port of the card in SLOT")
    parser.add_argument("--bench", metavar="FILE",
                        help="chassis file whose card and range lines give the sizes, as "
                        "halvex-sim --describe reads it (with --simulate, the simulator loads "
                        "it too)")
    parser.add_argument("--fixture", metavar="FILE",
                        help="fixture file (TOML) of nets, interlocks and routes: every relay then "
                        "goes through its interlock (with --simulate, the simulator plugs its cards)")
    parser.add_argument("--http-port", type=int, default=0, metavar="N",
                        help="the panel's port (default: a free one)")
    parser.add_argument("--listen", metavar="ADDRESS",
                        help="serve on ADDRESS instead of 127.0.0.1; requests then need the token")
    parser.add_argument("--library", metavar="PATH", help="the driver library to load")
    parser.add_argument("--simulator", metavar="PATH",
                        help="the halvex-sim to run with --simulate and to read --bench with")
    return parser.parse_args(argv)


def _monitor_refusal(panel: Panel, given: List[Tuple[int, str]]) -> Optional[str]:
    """Why a --monitor-port cannot serve its slot, or None. Without any card found there is
    nothing to check against yet (the page warns; Rediscover finds them)."""
    models = {c["card"]: c["model"] for c in panel.snapshot()["cards"]}
    if not models:
        return None
    for slot, port in given:
        model = models.get(slot)
        if model in INPUT_MODELS:
            continue
        found = "no card answered in slot %d" % slot if model is None else \
            "the card in slot %d is an %s, which has no signal inputs" % (slot, model)
        return ("--monitor-port %d=%s: %s; only X16 and Y48 cards are monitored (cards found: %s)"
                % (slot, port, found, ", ".join("%d %s" % m for m in sorted(models.items()))))
    return None


def main(argv: Optional[List[str]] = None) -> int:
    args = _arguments(argv)
    bench: Dict[int, BenchCard] = {}
    if args.bench is not None:
        try:
            # The simulator reads the file as it would load it: one reading of the format.
            bench = {card.slot: card for card in describe(args.bench, simulator=args.simulator)}
        except (OSError, subprocess.SubprocessError, SimulatorError) as e:
            print("halvex-panel: %s" % e, file=sys.stderr)
            return 2
    monitor_ports = dict(args.monitor_port)
    try:
        if args.simulate:
            demo = None if args.bench or args.fixture else DEMO_CARDS
            chassis = Chassis.simulated(demo, args.bench, args.simulator, args.library, args.fixture)
            assert chassis.simulator is not None
            for slot in range(1, 17):
                monitor_ports.setdefault(slot, chassis.simulator.monitor_port(slot))
        else:
            chassis = Chassis(args.port, args.library)
    except (OSError, RuntimeError) as e:
        print("halvex-panel: %s" % e, file=sys.stderr)
        return 1
    panel = Panel(chassis, bench, monitor_ports)
    server: Optional[PanelServer] = None
    try:
        token = secrets.token_urlsafe(18) if args.listen is not None else None
        server = PanelServer(panel, args.listen or "127.0.0.1", args.http_port, token)
        print("panel: %s" % server.url, flush=True)
        result = panel.open()
        port_text = os.fsdecode(chassis.port)
        if result["code"]:
            print("chassis: %s (error %d); the page's Rediscover tries again"
                  % (result["text"] or port_text + ": " + result["english"], result["code"]), flush=True)
        else:
            print("chassis: %s, %s" % (port_text, result["text"]), flush=True)
        for warning in panel.snapshot()["warnings"]:
            if warning != result["text"]:  # the line above said it already
                print("warning: %s" % warning, flush=True)
        if args.fixture is not None:
            try:
                # After the panel's own opening: the layer opens the port again, checks its
                # cards and resets them, so its interlock starts from a known state.
                opened = panel.open_fixture(args.fixture)
            except (FixtureError, HalvexError, OSError) as e:
                print("halvex-panel: fixture: %s" % (e.message if isinstance(e, FixtureError) else e),
                      file=sys.stderr)
                return 2 if isinstance(e, FixtureFileError) else 1
            print("fixture: %s, %s" % (args.fixture, opened["text"]), flush=True)
        if chassis.simulator is not None:
            print("simulator: control %s (faults, inputs, relays: see halvex-sim's help)"
                  % chassis.simulator.control_address, flush=True)
        refusal = _monitor_refusal(panel, args.monitor_port)
        if refusal is not None:
            print("halvex-panel: %s" % refusal, file=sys.stderr)
            return 2

        def stop(_signum: int, _frame: Optional[FrameType]) -> None:
            raise KeyboardInterrupt

        signal.signal(signal.SIGTERM, stop)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass
        return 0
    except (OSError, UsageError) as e:
        print("halvex-panel: %s" % e, file=sys.stderr)
        return 1
    finally:
        if server is not None:
            server.server_close()
        panel.close()
