"""The panel's side of the chassis: one exchange at a time, the relay states it commanded, the
live inputs and the log of every command line.

Two locks: ``_exchange`` is held for every call that uses the chassis (relays, device commands,
discovery, starting and stopping monitors), so a rediscovery never runs between a click's
command and its bookkeeping; ``_state`` guards what the page reads and is the only lock the
monitor's callbacks take, so stopping a monitor under ``_exchange`` cannot wait on them.
"""

from __future__ import annotations

import collections
import os
import threading
import time
from typing import Any, Callable, Deque, Dict, List, Mapping, Optional, Tuple

from .. import Card, Chassis, HalvexError
from .._port import other_holders
from ..vocabulary import COMMANDS
from ..errors import (
    NO_REPLY,
    NO_SUCH_CARD,
    PORT_OPEN_ERROR,
    WRONG_MODEL,
    PortOpenError,
    error_description,
    error_message,
)
from .layout import (
    INPUT_MODELS,
    KINDS,
    NUMBER,
    ROW_COLUMN,
    ROW_LINE,
    BenchCard,
    Relay,
    alias_explanation,
    card_layout,
    parse_relay,
    wire_fits,
    wire_line,
)

__all__ = ["Panel", "RequestError", "MIN_INTERVAL_S", "MAX_INTERVAL_S"]

LOG_KEPT = 500  # entries the panel remembers
LOG_SHOWN = 200  # entries a state snapshot carries
MIN_INTERVAL_S = 0.01  # below this the library's pause would be negative
MAX_INTERVAL_S = 60.0
# This many commands in a row without a reply, and the command port itself is suspect.
NO_REPLY_RUN = 3
NO_CARD_HINT = ("no card answered on %s: check the port name (is it the chassis's command port?), "
                "the cable, the chassis power, and that no other program uses the port")


class RequestError(Exception):
    """A request the panel refuses before anything reaches the chassis (an HTTP 4xx)."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


class _Monitor:
    """The live inputs of one card."""

    def __init__(self, port: Optional[str]) -> None:
        self.port = port
        self.running = False
        self.interval_s = 0.1
        self.inputs: Optional[List[int]] = None  # 1 = active, per channel 1..8
        self.stale = False
        self.since: Optional[float] = None  # when the silence began (wall clock)


class _CardState:
    """What the panel knows of one discovered card."""

    def __init__(self, card: Card, bench: Optional[BenchCard], monitor_port: Optional[str]) -> None:
        self.card = card
        self.layout = card_layout(card.model, bench)
        self.default = "unknown"  # state of every relay not commanded since
        # "closed", "open", or "unknown" where a command got no reply (it may have switched)
        # or a rediscovery came since (the chassis may have been power-cycled).
        self.relays: Dict[str, str] = {}
        self.errors: Dict[str, Dict[str, Any]] = {}
        self.last: Optional[Dict[str, Any]] = None
        self.monitor = _Monitor(monitor_port if card.model in INPUT_MODELS else None)


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
        self._exchange = threading.Lock()
        self._state = threading.Condition()
        self._cards: Dict[int, _CardState] = {}
        self._log: Deque[Dict[str, Any]] = collections.deque(maxlen=LOG_KEPT)
        self._log_id = 0
        self._version = 0
        self._generation = 0
        self._busy: Optional[str] = None
        self._port_warnings: List[str] = []  # what the last opening found wrong
        self._no_reply_run = 0  # commands in a row the chassis did not answer

    # ---- State for the page ----

    def _changed(self) -> None:
        """Call with ``_state`` held: wakes every waiting poll."""
        self._version += 1
        self._state.notify_all()

    def snapshot(self, since: Optional[int] = None, wait_s: float = 0.0) -> Dict[str, Any]:
        """The whole state; with ``since``, first waits up to ``wait_s`` for a newer one."""
        with self._state:
            if since is not None and wait_s > 0:
                self._state.wait_for(lambda: self._version != since, timeout=wait_s)
            cards = []
            for number in sorted(self._cards):
                state = self._cards[number]
                monitor = state.monitor
                cards.append(
                    {
                        "card": number,
                        "model": state.card.model,
                        "id": state.card.id_text,
                        "layout": state.layout,
                        "default": state.default,
                        "relays": dict(state.relays),
                        "errors": dict(state.errors),
                        "last": state.last,
                        "monitor": None
                        if not state.layout["inputs"]
                        else {
                            "port": monitor.port,
                            "running": monitor.running,
                            "interval": monitor.interval_s,
                            "inputs": monitor.inputs,
                            "stale": monitor.stale,
                            "since": monitor.since,
                        },
                    }
                )
            warnings = list(self._port_warnings)
            if self._no_reply_run >= NO_REPLY_RUN:
                warnings.append(
                    "no reply to the last %d commands: the command port may be gone (adapter "
                    "unplugged?) or the chassis off; Rediscover reopens the port" % self._no_reply_run)
            return {
                "version": self._version,
                "generation": self._generation,
                "port": os.fsdecode(self.chassis.port),
                "open": self.chassis.is_open,
                "warnings": warnings,
                "busy": self._busy,
                "cards": cards,
                "log": list(self._log)[:LOG_SHOWN],
            }

    def _record(
        self,
        number: Optional[int],
        line: str,
        code: Optional[int],
        sent: bool,
        text: str = "",
        library: bool = True,
    ) -> Dict[str, Any]:
        """A result as the page shows it, added to the log (call with ``_state`` held)."""
        self._log_id += 1
        entry: Dict[str, Any] = {
            "id": self._log_id,
            "time": time.time(),
            "card": number,
            "line": line,
            "sent": sent,
            "code": code,
            "english": "" if code is None else error_description(code),
            "korean": "" if code is None else error_message(code, self.chassis.library),
            "text": text,
        }
        if not library:
            entry["english"] = text
        self._log.appendleft(entry)
        return entry

    # ---- Discovery ----

    def open(self) -> Dict[str, Any]:
        """Opens the chassis's port (closing it first if open, so that a replugged adapter is
        found again) and discovers its cards."""
        with self._exchange:
            self._set_busy("discovery")
            try:
                self._stop_monitors()
                old = dict(self._cards)
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
                cards: Dict[int, _CardState] = {}
                for card in found:
                    state = _CardState(card, self.bench.get(card.number), self.monitor_ports.get(card.number))
                    previous = old.get(card.number)
                    if previous is not None and previous.card == card:
                        # The card may have been power-cycled or switched by another program
                        # since: what the panel commanded is no longer known, but stays listed
                        # for "open everything I closed".
                        state.relays = {name: "unknown" for name in previous.relays}
                    cards[card.number] = state
                with self._state:
                    self._cards = cards
                    self._generation += 1
                    self._port_warnings, self._no_reply_run = warnings, 0
                    listing = ", ".join("%d %s" % (n, s.card.model) for n, s in sorted(cards.items()))
                    if code == 0:
                        text = "cards: " + listing if cards else warnings[0]
                    else:
                        text = warnings[0] if warnings else ""
                    entry = self._record(None, "*IDN?(01..16)", code, code != PORT_OPEN_ERROR, text)
                    self._changed()
                return entry
            finally:
                self._set_busy(None)

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
        """Stops the monitors and closes the chassis."""
        with self._exchange:
            self._stop_monitors()
            self.chassis.close()
        with self._state:
            self._changed()

    def _set_busy(self, what: Optional[str]) -> None:
        with self._state:
            self._busy = what
            self._changed()

    def _card(self, number: object) -> _CardState:
        if isinstance(number, bool) or not isinstance(number, int):
            raise RequestError(400, "card must be a slot number")
        state = self._cards.get(number)
        if state is None:
            raise RequestError(404, "no card in slot %d (discovery found %s)" % (
                number, ", ".join(str(n) for n in sorted(self._cards)) or "none"))
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
            return self._switch(state, relay, close)

    def _switch(self, state: _CardState, relay: Relay, close: bool) -> Dict[str, Any]:
        card = state.card
        line = wire_line(card.number, relay, close)
        refusal = alias_explanation(card.number, relay, close)
        if refusal is not None:
            with self._state:
                entry = self._record(card.number, line, None, False, refusal, library=False)
                state.errors[relay.name] = entry
                state.last = dict(entry, relay=relay.name)
                self._changed()
            return entry
        code = 0
        try:
            self._relay_method(card, relay, close)()
        except HalvexError as e:
            code = e.code
        # The library checks slot and model first, then refuses (3) a line too long for its
        # buffer: neither reaches the wire.
        sent = code not in (NO_SUCH_CARD, WRONG_MODEL) and wire_fits(line)
        with self._state:
            entry = self._record(card.number, line, code, sent)
            self._count_reply(code, sent)
            if code == 0:
                state.relays[relay.name] = "closed" if close else "open"
                state.errors.pop(relay.name, None)
            else:
                if code == NO_REPLY:
                    state.relays[relay.name] = "unknown"  # the card may have switched it
                state.errors[relay.name] = entry
            state.last = dict(entry, relay=relay.name)
            self._changed()
        return entry

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

    def _count_reply(self, code: int, sent: bool) -> None:
        """Call with ``_state`` held, for every command sent on the command port."""
        if sent:
            self._no_reply_run = self._no_reply_run + 1 if code == NO_REPLY else 0

    def open_closed(self) -> List[Dict[str, Any]]:
        """Opens every relay the panel closed or may have closed (closed or unknown), card by
        card: an open where the state is unknown is the safe side."""
        results = []
        with self._exchange:
            for number in sorted(self._cards):
                state = self._cards[number]
                with self._state:
                    names = [name for name, s in state.relays.items() if s != "open"]
                for name in names:
                    results.append(self._switch(state, parse_relay(name), False))
        return results

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
            self._set_busy("%s of card %d" % (action, card.number))
            code, text = 0, ""
            try:
                reply = getattr(card, method)()
                text = "" if reply is None else str(reply).rstrip("\r\n")
            except HalvexError as e:
                code, text = e.code, (e.reply or "").rstrip("\r\n")
            finally:
                self._set_busy(None)
            with self._state:
                entry = self._record(card.number, form % card.number, code, True, text)
                self._count_reply(code, True)
                if action == "reset" and code == 0:
                    # A reset opens every relay of the card.
                    state.default, state.relays, state.errors = "open", {}, {}
                elif action == "reset" and code == NO_REPLY:
                    # It may have reset: what was closed may be open now.
                    state.relays = {n: "unknown" if s == "closed" else s for n, s in state.relays.items()}
                state.last = entry
                self._changed()
            return entry

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
            with self._state:
                if code == 0:
                    monitor.running, monitor.interval_s = True, interval
                    monitor.inputs, monitor.stale, monitor.since = None, False, None
                entry = self._record(state.card.number, line, code, code != PORT_OPEN_ERROR, text)
                state.last = entry
                self._changed()
            return entry

    def stop_monitor(self, number: object) -> Dict[str, Any]:
        with self._exchange:
            state = self._card(number)
            if not state.layout["inputs"]:
                raise RequestError(400, "a %s card has no signal inputs" % state.card.model)
            code = self._stop_monitor(state)
            with self._state:
                entry = self._record(state.card.number, "end monitoring of card %d"
                                     % state.card.number, code, False, "monitoring stopped")
                state.last = entry
                self._changed()
            return entry

    def _stop_monitor(self, state: _CardState) -> int:
        """Call with ``_exchange`` held; waits until the last callback has returned."""
        if not state.monitor.running:
            return 0
        code = 0
        try:
            state.card.stop_monitoring()  # type: ignore[attr-defined]
        except HalvexError as e:
            code = e.code
        with self._state:
            state.monitor.running = False
            state.monitor.stale, state.monitor.since = False, None
            self._changed()
        return code

    def _stop_monitors(self) -> None:
        for state in list(self._cards.values()):
            self._stop_monitor(state)

    def _on_reading(self, state: _CardState) -> Callable[[Tuple[bool, ...]], None]:
        monitor = state.monitor

        def on_reading(reading: Tuple[bool, ...]) -> None:
            inputs = [1 if active else 0 for active in reading]
            with self._state:
                # Only a change wakes the page: a steady input costs nothing.
                if inputs != monitor.inputs or monitor.stale:
                    monitor.inputs, monitor.stale, monitor.since = inputs, False, None
                    self._changed()

        return on_reading

    def _on_silence(self, state: _CardState) -> Callable[[Card], None]:
        monitor = state.monitor

        def on_silence(_card: Card) -> None:
            with self._state:
                if monitor.running:
                    monitor.stale, monitor.since = True, time.time()
                    self._changed()

        return on_silence
