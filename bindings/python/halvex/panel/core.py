"""The panel's command driver: relay, device, monitor and discovery commands against the chassis,
one exchange at a time, their outcomes handed to the state model.

``_exchange`` is held for every call that uses the chassis (relays, device commands,
discovery, starting and stopping monitors), so a rediscovery never runs between a click's
command and its bookkeeping. What the page reads is :class:`PanelState`'s, under its own lock,
the only one the monitor's callbacks take: stopping a monitor under ``_exchange`` cannot wait
on them.
"""

from __future__ import annotations

import os
import threading
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple

from .. import Card, Chassis, HalvexError
from .._port import other_holders
from ..fixture import Fixture, FixtureError, InterlockError
from ..vocabulary import COMMANDS
from ..errors import NO_SUCH_CARD, PORT_OPEN_ERROR, WRONG_MODEL, PortOpenError
from .layout import (
    KINDS,
    NUMBER,
    ROW_COLUMN,
    ROW_LINE,
    BenchCard,
    Relay,
    alias_explanation,
    parse_relay,
    wire_fits,
    wire_line,
)
from .state import NO_REPLY_RUN, CardState, PanelState, held

__all__ = ["Panel", "RequestError", "MIN_INTERVAL_S", "MAX_INTERVAL_S", "NO_REPLY_RUN"]

MIN_INTERVAL_S = 0.01  # below this the library's pause would be negative
MAX_INTERVAL_S = 60.0
NO_CARD_HINT = ("no card answered on %s: check the port name (is it the chassis's command port?), "
                "the cable, the chassis power, and that no other program uses the port")


FIXTURE_ACTIONS = ("connect", "disconnect", "apply", "release")


class RequestError(Exception):
    """A request the panel refuses before anything reaches the chassis (an HTTP 4xx)."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


class Panel:
    """A chassis as the panel drives it. ``chassis`` is opened by :meth:`open`.

    ``bench`` gives sizes by slot; ``monitor_ports`` the monitoring port of each slot.
    """

    def __init__(
        self,
        chassis: Chassis,
        bench: Optional[Mapping[int, BenchCard]] = None,
        monitor_ports: Optional[Mapping[int, str]] = None,
    ) -> None:
        self.chassis = chassis
        self.bench: Dict[int, BenchCard] = dict(bench or {})
        self.monitor_ports: Dict[int, str] = dict(monitor_ports or {})
        self.state = PanelState(chassis)
        self._exchange = threading.Lock()
        # With a fixture, every relay goes through its interlock.
        self.fixture: Optional[Fixture] = None

    def snapshot(self, since: Optional[int] = None, wait_s: float = 0.0) -> Dict[str, Any]:
        """The whole state; with ``since``, first waits up to ``wait_s`` for a newer one."""
        return self.state.snapshot(since, wait_s)

    @property
    def version(self) -> int:
        """The state's version: it grows with every change the page would show."""
        return self.state.version

    # ---- Discovery ----

    def open(self) -> Dict[str, Any]:
        """Opens the chassis's port (closing it first if open, so that a replugged adapter is
        found again) and discovers its cards."""
        with self._exchange:
            self.state.set_busy("discovery")
            try:
                self._stop_monitors()
                port = os.fsdecode(self.chassis.port)
                code, warnings = 0, []
                try:
                    self.chassis.open()
                    found = self.chassis.cards()
                except PortOpenError as e:
                    code, found = e.code, []
                    warnings.append("%s cannot be opened: %s" % (port, e.reason or e.description))
                except HalvexError as e:
                    code, found = e.code, []
                if code == 0:
                    if not found:
                        warnings.append(NO_CARD_HINT % port)
                    simulator = self.chassis.simulator
                    warnings += self._holder_warnings(port, simulator.pid if simulator else None)
                return self.state.discovered(found, self.bench, self.monitor_ports, code,
                                             code != PORT_OPEN_ERROR, warnings)
            finally:
                self.state.set_busy(None)

    @staticmethod
    def _holder_warnings(port: str, simulator: Optional[int]) -> List[str]:
        """A warning naming the other processes that have the port open too (our open is
        exclusive only against those who come later); a simulator holds its own ports."""
        try:
            holders = [h for h in other_holders(port) if h[0] != simulator]
        except OSError:
            return []
        if not holders:
            return []
        return ["another program also has %s open: %s; its reads and writes mix with the "
                "panel's commands" % (port, ", ".join("pid %d (%s)" % h for h in holders))]

    def close(self) -> None:
        """Stops the monitors, frees the fixture and closes the chassis."""
        with self._exchange:
            self._stop_monitors()
            if self.fixture is not None:
                self.fixture.free()
                self.fixture = None
            self.chassis.close()
        self.state.changed()

    def _card(self, number: object) -> CardState:
        if isinstance(number, bool) or not isinstance(number, int):
            raise RequestError(400, "card must be a slot number")
        cards = self.state.cards
        state = cards.get(number)
        if state is None:
            raise RequestError(404, "no card in slot %d (discovery found %s)" % (
                number, ", ".join(str(n) for n in sorted(cards)) or "none"))
        return state

    # ---- Relays ----

    def switch(self, number: object, relay: Relay, close: bool) -> Dict[str, Any]:
        """Closes or opens one relay; refused rows and refused commands change no state.

        A relay named with a slot goes to that slot's card when ``number`` is None, and is
        refused for a card of another slot."""
        with self._exchange:
            state = self._card(relay.slot if number is None and relay.slot is not None else number)
            if relay.slot is not None and relay.slot != state.card.number:
                raise RequestError(400, "%d:%s is a relay of slot %d, not of card %d" % (
                    relay.slot, relay.name, relay.slot, state.card.number))
            if self.fixture is not None and alias_explanation(state.card.number, relay, close) is None:
                name = "%d:%s" % (state.card.number, relay.name)
                return self._fixture_run("%s %s" % ("close" if close else "open", name),
                                         lambda fx: fx.close_relay(name) if close else fx.open_relay(name),
                                         (state, relay.name))
            return self._switch(state, relay, close)

    def _switch(self, state: CardState, relay: Relay, close: bool) -> Dict[str, Any]:
        card = state.card
        line = wire_line(card.number, relay, close)
        refusal = alias_explanation(card.number, relay, close)
        if refusal is not None:
            return self.state.relay_refused(state, relay.name, line, refusal)
        code = 0
        try:
            self._relay_method(card, relay, close)()
        except HalvexError as e:
            code = e.code
        # The library checks slot and model first, then refuses (3) a line too long for its
        # buffer: neither reaches the wire.
        sent = code not in (NO_SUCH_CARD, WRONG_MODEL) and wire_fits(line)
        return self.state.relay_result(state, relay.name, close, line, code, sent)

    @staticmethod
    def _relay_method(card: Card, relay: Relay, close: bool) -> Callable[[], None]:
        """The call of the export of the card's model for the relay; for a model without it,
        of the first model's, which the library refuses with 8 and does not send."""
        exports = KINDS[relay.kind].exports
        close_export, open_export = exports.get(card.model) or next(iter(exports.values()))
        export = close_export if close else open_export
        if relay.shape == ROW_COLUMN:
            args: Tuple[Tuple[str, object], ...] = (("row", relay.first), ("column", relay.second))
        elif relay.shape == ROW_LINE:
            args = (("row", relay.first), ("lo", relay.second))
        elif relay.shape == NUMBER:
            args = (("relay", relay.first),)
        else:
            args = ()
        # The binding's one way into a card's exports: numbers checked, Ctrl-C kept working.
        return lambda: card._call(export, *args)

    def open_closed(self) -> List[Dict[str, Any]]:
        """Opens every relay the panel closed or may have closed (closed or unknown), card by
        card: an open where the state is unknown is the safe side."""
        results = []
        with self._exchange:
            if self.fixture is not None:
                # The layer knows what it closed, and what may be closed where a command got no reply.
                return [self._fixture_run("disconnect-all", lambda fx: fx.disconnect_all(), None,
                                          ["open " + name for name in held(self.fixture.state())])]
            cards = self.state.cards
            for number in sorted(cards):
                state = cards[number]
                for name in self.state.not_open(state):
                    results.append(self._switch(state, parse_relay(name), False))
        return results

    # ---- The fixture ----

    def open_fixture(self, path: str) -> Dict[str, Any]:
        """Opens a fixture file on the chassis's port, after :meth:`open`: the layer opens the
        port again (the library has one per process), discovers, checks its cards against the
        file and resets them. Raises the layer's error when it cannot."""
        with self._exchange:
            fixture = Fixture(path, port=os.fsdecode(self.chassis.port))
            try:
                view = dict(fixture.nets(), file=path, state=fixture.state())
            except BaseException:
                fixture.free()
                raise
            self.fixture = fixture
            return self.state.fixture_opened(view, [int(slot) for slot in view.get("reset", [])])

    def fixture_action(self, action: object, names: object) -> Dict[str, Any]:
        """Connects or disconnects two nets, applies or releases routes."""
        if action not in FIXTURE_ACTIONS:
            raise RequestError(400, "action must be " + ", ".join(FIXTURE_ACTIONS))
        pair = action in ("connect", "disconnect")
        words = names if isinstance(names, list) else []
        # Single words only: the layer's operations are words separated by spaces.
        given = [n for n in words if isinstance(n, str) and n.split() == [n]]
        if not given or len(given) != len(words) or (pair and len(given) != 2):
            raise RequestError(400, "%s takes %s" % (action, "two nets" if pair else "route names"))
        with self._exchange:
            if self.fixture is None:
                raise RequestError(404, "the panel has no fixture: start it with --fixture FILE")
            run: Callable[[Fixture], None] = {
                "connect": lambda fx: fx.connect(given[0], given[1]),
                "disconnect": lambda fx: fx.disconnect(given[0], given[1]),
                "apply": lambda fx: fx.apply(*given),
                "release": lambda fx: fx.release(*given),
            }[str(action)]
            return self._fixture_run(" ".join([str(action)] + given), run)

    def _fixture_run(
        self,
        operation: str,
        run: Callable[[Fixture], None],
        click: Optional[Tuple[CardState, str]] = None,
        plan: Optional[List[str]] = None,
    ) -> Dict[str, Any]:
        """One operation of the layer (call with ``_exchange`` held): its plan first, for the
        log's wire lines, then the operation; the relays it may have moved take the layer's
        states after it."""
        fixture = self.fixture
        assert fixture is not None
        before = fixture.state()
        if plan is None:
            try:
                plan = fixture.check(operation)
            except (FixtureError, HalvexError):
                plan = []  # the operation itself says why
        code, text, refusal = 0, "", None
        try:
            run(fixture)
        except InterlockError as e:
            code, text = e.code, e.message
            refusal = {"rule": e.rule, "reason": e.reason, "chain": e.chain}
        except FixtureError as e:
            code, text = e.code, e.message
        except HalvexError as e:
            code, text = e.code, str(e.args[1]) if len(e.args) > 1 else str(e)
        after = fixture.state()
        steps = []
        for step in plan:
            verb, _, name = step.partition(" ")
            relay = parse_relay(name)
            assert relay.slot is not None
            steps.append((name, relay.slot, wire_line(relay.slot, relay, verb == "close")))
        return self.state.fixture_result(operation, steps, before, after, code, text, refusal, click)

    # ---- Device commands ----

    def device(self, number: object, action: str) -> Dict[str, Any]:
        """Self test, identification or reset of one card."""
        commands = {"selftest": (COMMANDS["SelfTest"].rstrip("\n"), "self_test"),
                    "identify": (COMMANDS["Identify"].rstrip("\n"), "identify"),
                    "reset": (COMMANDS["Reset"].rstrip("\n"), "reset")}
        if action not in commands:
            raise RequestError(400, "action must be selftest, identify or reset")
        with self._exchange:
            state = self._card(number)
            card = state.card
            form, method = commands[action]
            self.state.set_busy("%s of card %d" % (action, card.number))
            code, text = 0, ""
            try:
                reply = getattr(card, method)()
                text = "" if reply is None else str(reply).rstrip("\r\n")
            except HalvexError as e:
                code, text = e.code, (e.reply or "").rstrip("\r\n")
            finally:
                self.state.set_busy(None)
            return self.state.device_result(state, action, form % card.number, code, text)

    # ---- Signal inputs ----

    def start_monitor(self, number: object, interval_s: object) -> Dict[str, Any]:
        if isinstance(interval_s, bool) or not isinstance(interval_s, (int, float)):
            raise RequestError(400, "interval must be a number of seconds")
        try:
            interval = float(interval_s)
        except OverflowError:  # an integer of hundreds of digits
            interval = float("inf")
        if not MIN_INTERVAL_S <= interval <= MAX_INTERVAL_S:
            raise RequestError(400, "interval must be %g to %g s" % (MIN_INTERVAL_S, MAX_INTERVAL_S))
        with self._exchange:
            state = self._card(number)
            monitor = state.monitor
            if not state.layout["inputs"]:
                raise RequestError(400, "a %s card has no signal inputs" % state.card.model)
            if monitor.port is None:
                raise RequestError(409, "no monitoring port for slot %d: give --monitor-port %d=PORT"
                                   % (state.card.number, state.card.number))
            if monitor.running:
                raise RequestError(409, "card %d is already being monitored" % state.card.number)
            line = "PHOTO(%02d) every %g s on %s" % (state.card.number, interval, monitor.port)
            code, text = 0, "monitoring started"
            try:
                state.card.start_monitoring(  # type: ignore[attr-defined]
                    monitor.port, interval, self._on_reading(state), None, self._on_silence(state)
                )
            except PortOpenError as e:
                code, text = e.code, "%s cannot be opened: %s" % (monitor.port, e.reason or e.description)
            except HalvexError as e:
                code, text = e.code, str(e)
            return self.state.monitor_started(state, line, code, code != PORT_OPEN_ERROR, text, interval)

    def stop_monitor(self, number: object) -> Dict[str, Any]:
        with self._exchange:
            state = self._card(number)
            if not state.layout["inputs"]:
                raise RequestError(400, "a %s card has no signal inputs" % state.card.model)
            return self.state.monitor_stopped(state, self._stop_monitor(state))

    def _stop_monitor(self, state: CardState) -> int:
        """Call with ``_exchange`` held; waits until the last callback has returned."""
        if not state.monitor.running:
            return 0
        code = 0
        try:
            state.card.stop_monitoring()  # type: ignore[attr-defined]
        except HalvexError as e:
            code = e.code
        self.state.monitor_ended(state)
        return code

    def _stop_monitors(self) -> None:
        for state in list(self.state.cards.values()):
            self._stop_monitor(state)

    def _on_reading(self, state: CardState) -> Callable[[Tuple[bool, ...]], None]:
        monitor, model = state.monitor, self.state

        def on_reading(reading: Tuple[bool, ...]) -> None:
            model.reading(monitor, [1 if active else 0 for active in reading])

        return on_reading

    def _on_silence(self, state: CardState) -> Callable[[Card], None]:
        monitor, model = state.monitor, self.state

        def on_silence(_card: Card) -> None:
            model.silence(monitor)

        return on_silence
