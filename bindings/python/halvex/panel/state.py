"""What the page shows: the cards, the relay states the panel commanded, the live inputs, the log
of every command line, and the version that counts each change.

Every change goes through a method here, under one lock, and wakes the waiting polls. It is
the only lock a monitor's callback takes, so a stop that waits for those callbacks while the
command driver holds its own lock cannot wait on them in turn.
"""

from __future__ import annotations

import collections
import os
import threading
import time
from typing import TYPE_CHECKING, Any, Deque, Dict, List, Mapping, Optional, Tuple

from ..errors import NO_REPLY, error_description, error_message
from .layout import INPUT_MODELS, BenchCard, card_layout, parse_relay

if TYPE_CHECKING:
    from .. import Card, Chassis

__all__ = ["PanelState", "CardState", "MonitorState", "LOG_KEPT", "LOG_SHOWN", "NO_REPLY_RUN", "held"]

LOG_KEPT = 500  # entries the panel remembers
LOG_SHOWN = 200  # entries a state snapshot carries
# This many commands in a row without a reply, and the command port itself is suspect.
NO_REPLY_RUN = 3


def held(fixture_state: Mapping[str, Any]) -> List[str]:
    """The relays a fixture's state has closed or may have closed ("1:matrix:1:3")."""
    return list(fixture_state["closed"]) + list(fixture_state["unknown"])


class MonitorState:
    """The live inputs of one card."""

    def __init__(self, port: Optional[str]) -> None:
        self.port = port
        self.running = False
        self.interval_s = 0.1
        self.inputs: Optional[List[int]] = None  # 1 = active, per channel 1..8
        self.stale = False
        self.since: Optional[float] = None  # when the silence began (wall clock)


class CardState:
    """What the panel knows of one discovered card."""

    def __init__(self, card: "Card", bench: Optional[BenchCard], monitor_port: Optional[str]) -> None:
        self.card = card
        self.layout = card_layout(card.model, bench)
        self.default = "unknown"  # state of every relay not commanded since
        # "closed", "open", or "unknown" where a command got no reply (it may have switched)
        # or a rediscovery came since (the chassis may have been power-cycled).
        self.relays: Dict[str, str] = {}
        self.errors: Dict[str, Dict[str, Any]] = {}
        self.last: Optional[Dict[str, Any]] = None
        self.monitor = MonitorState(monitor_port if card.model in INPUT_MODELS else None)


class PanelState:
    """The page's state of one chassis (read for its port, whether it is open and its messages).

    ``cards`` is replaced only by :meth:`discovered`; the command driver reads it while it holds
    its own lock, under which every discovery runs.
    """

    def __init__(self, chassis: "Chassis") -> None:
        self.chassis = chassis
        self.cards: Dict[int, CardState] = {}
        self._lock = threading.Condition()
        self._log: Deque[Dict[str, Any]] = collections.deque(maxlen=LOG_KEPT)
        self._log_id = 0
        self._version = 0
        self._generation = 0
        self._busy: Optional[str] = None
        self._port_warnings: List[str] = []  # what the last opening found wrong
        self._no_reply_run = 0  # commands in a row the chassis did not answer
        # The fixture's file, nets, routes and last state; None without one.
        self.fixture: Optional[Dict[str, Any]] = None

    @property
    def version(self) -> int:
        with self._lock:
            return self._version

    def _changed(self) -> None:
        """Call with the lock held: wakes every waiting poll."""
        self._version += 1
        self._lock.notify_all()

    # ---- Reading ----

    def snapshot(self, since: Optional[int] = None, wait_s: float = 0.0) -> Dict[str, Any]:
        """The whole state; with ``since``, first waits up to ``wait_s`` for a newer one."""
        with self._lock:
            if since is not None and wait_s > 0:
                self._lock.wait_for(lambda: self._version != since, timeout=wait_s)
            cards = []
            for number in sorted(self.cards):
                state = self.cards[number]
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
                "fixture": None if self.fixture is None else dict(self.fixture),
            }

    def fixture_view(self) -> Optional[Dict[str, Any]]:
        with self._lock:
            return None if self.fixture is None else dict(self.fixture)

    def not_open(self, state: CardState) -> List[str]:
        """The relays of a card the panel closed or may have closed (closed or unknown)."""
        with self._lock:
            return [name for name, s in state.relays.items() if s != "open"]

    # ---- Changes ----

    def _record(
        self,
        number: Optional[int],
        line: str,
        code: Optional[int],
        sent: bool,
        text: str = "",
        library: bool = True,
    ) -> Dict[str, Any]:
        """A result as the page shows it, added to the log (call with the lock held)."""
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

    def _count_reply(self, code: int, sent: bool) -> None:
        """Call with the lock held, for every command sent on the command port."""
        if sent:
            self._no_reply_run = self._no_reply_run + 1 if code == NO_REPLY else 0

    def changed(self) -> None:
        """Something the snapshot reads from outside (the chassis closed) changed."""
        with self._lock:
            self._changed()

    def set_busy(self, what: Optional[str]) -> None:
        with self._lock:
            self._busy = what
            self._changed()

    def discovered(
        self,
        found: List["Card"],
        bench: Mapping[int, BenchCard],
        monitor_ports: Mapping[int, str],
        code: int,
        sent: bool,
        warnings: List[str],
    ) -> Dict[str, Any]:
        """The cards of a discovery replace the old ones."""
        cards: Dict[int, CardState] = {}
        for card in found:
            state = CardState(card, bench.get(card.number), monitor_ports.get(card.number))
            previous = self.cards.get(card.number)
            if previous is not None and previous.card == card:
                # The card may have been power-cycled or switched by another program since:
                # what the panel commanded is no longer known, but stays listed for "open
                # everything I closed".
                state.relays = {name: "unknown" for name in previous.relays}
            cards[card.number] = state
        with self._lock:
            self.cards = cards
            self._generation += 1
            self._port_warnings, self._no_reply_run = warnings, 0
            listing = ", ".join("%d %s" % (n, s.card.model) for n, s in sorted(cards.items()))
            if code == 0:
                text = "cards: " + listing if cards else warnings[0]
            else:
                text = warnings[0] if warnings else ""
            entry = self._record(None, "*IDN?(01..16)", code, sent, text)
            self._changed()
        return entry

    def relay_refused(self, state: CardState, relay: str, line: str, why: str) -> Dict[str, Any]:
        """A relay command the panel does not send."""
        with self._lock:
            entry = self._record(state.card.number, line, None, False, why, library=False)
            state.errors[relay] = entry
            state.last = dict(entry, relay=relay)
            self._changed()
        return entry

    def relay_result(
        self, state: CardState, relay: str, close: bool, line: str, code: int, sent: bool
    ) -> Dict[str, Any]:
        """A relay command's result; a refused command changes no state."""
        with self._lock:
            entry = self._record(state.card.number, line, code, sent)
            self._count_reply(code, sent)
            if code == 0:
                state.relays[relay] = "closed" if close else "open"
                state.errors.pop(relay, None)
            else:
                if code == NO_REPLY:
                    state.relays[relay] = "unknown"  # the card may have switched it
                state.errors[relay] = entry
            state.last = dict(entry, relay=relay)
            self._changed()
        return entry

    def fixture_opened(self, view: Dict[str, Any], reset: List[int]) -> Dict[str, Any]:
        """A fixture opened on the chassis; it has reset the cards of the slots ``reset``."""
        with self._lock:
            self.fixture = view
            for slot in reset:
                state = self.cards.get(slot)
                if state is not None:
                    state.default, state.relays, state.errors = "open", {}, {}
            text = "%d nets, %d routes" % (len(view["nets"]), len(view["routes"]))
            if reset:
                text += "; reset cards " + ", ".join(str(slot) for slot in reset)
            entry = self._record(None, "fixture " + os.path.basename(view["file"]), 0, True, text)
            self._changed()
        return entry

    def fixture_result(
        self,
        operation: str,
        steps: List[Tuple[str, int, str]],
        before: Mapping[str, Any],
        after: Dict[str, Any],
        code: int,
        text: str,
        refusal: Optional[Dict[str, Any]],
        click: Optional[Tuple[CardState, str]],
    ) -> Dict[str, Any]:
        """An operation of the fixture: on success the wire line of each of its ``steps`` (relay,
        slot, line), then the operation's own result. Every relay it may have moved shows the
        layer's state after it: closed, unknown (a command without a reply, or an undo that
        failed), else open."""
        with self._lock:
            if code == 0:
                for _name, slot, line in steps:
                    self._record(slot, line, 0, True, operation)
                    self._count_reply(0, True)
            # 10 and up are the layer's own refusals, which send nothing.
            library = code < 10
            sent = bool(steps) if code == 0 else library
            if code == 0:
                text = "%d relay%s switched" % (len(steps), "" if len(steps) == 1 else "s") if steps else "nothing to switch"
            entry = self._record(click[0].card.number if click else None, operation, code, sent, text, library)
            if not library:
                entry["korean"] = ""
            if refusal is not None:
                entry.update(refusal)
            self._count_reply(code, sent)
            closed, unknown = set(after["closed"]), set(after["unknown"])
            for name in {step[0] for step in steps} | set(held(before)) | closed | unknown:
                relay = parse_relay(name)
                state = self.cards.get(relay.slot or 0)
                if state is not None:
                    state.relays[relay.name] = "closed" if name in closed else "unknown" if name in unknown else "open"
            if click is not None:
                state, relay_name = click
                if code == 0:
                    state.errors.pop(relay_name, None)
                else:
                    state.errors[relay_name] = entry
                state.last = dict(entry, relay=relay_name)
            if self.fixture is not None:
                self.fixture["state"] = after
            self._changed()
        return entry

    def device_result(self, state: CardState, action: str, line: str, code: int, text: str) -> Dict[str, Any]:
        """A self test's, identification's or reset's result."""
        with self._lock:
            entry = self._record(state.card.number, line, code, True, text)
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

    def monitor_started(
        self, state: CardState, line: str, code: int, sent: bool, text: str, interval_s: float
    ) -> Dict[str, Any]:
        with self._lock:
            monitor = state.monitor
            if code == 0:
                monitor.running, monitor.interval_s = True, interval_s
                monitor.inputs, monitor.stale, monitor.since = None, False, None
            entry = self._record(state.card.number, line, code, sent, text)
            state.last = entry
            self._changed()
        return entry

    def monitor_ended(self, state: CardState) -> None:
        """The card's monitor has stopped (its last callback has returned)."""
        with self._lock:
            state.monitor.running = False
            state.monitor.stale, state.monitor.since = False, None
            self._changed()

    def monitor_stopped(self, state: CardState, code: int) -> Dict[str, Any]:
        """The log's line for a stop the page asked for."""
        with self._lock:
            number = state.card.number
            entry = self._record(number, "end monitoring of card %d" % number, code, False,
                                 "monitoring stopped")
            state.last = entry
            self._changed()
        return entry

    def reading(self, monitor: MonitorState, inputs: List[int]) -> None:
        """A reading of a running monitor (from the library's monitoring thread)."""
        with self._lock:
            # Only a change wakes the page: a steady input costs nothing.
            if inputs != monitor.inputs or monitor.stale:
                monitor.inputs, monitor.stale, monitor.since = inputs, False, None
                self._changed()

    def silence(self, monitor: MonitorState) -> None:
        """A running monitor has had no reading for its silence time."""
        with self._lock:
            if monitor.running:
                monitor.stale, monitor.since = True, time.time()
                self._changed()
