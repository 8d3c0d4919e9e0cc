"""What the panel shows of each card, and the relay names it speaks.

Relay names are the vocabulary's, as halvexctl and the simulator print them: ``matrix:5:7``,
``row:5:lo``, ``gp:12``, ``ext-gp:3``, ``ps:2``, ``discharge:1``, ``pull-up``, ``test-probe``,
``pull-down`` and ``ground``. A name may start with its card's slot, ``3:matrix:5:7``, as the
simulator names relays across cards: the prefix must then be the slot of the card it is sent
to (a request without a card goes to that slot). The simulator's earlier ``extgp:N`` and
``single:1`` (pull-up) to ``single:4`` (ground) are still read; the panel's state and page use
the names above only.

Sizes come from a bench file as the simulator reads it (``halvex-sim --describe``), else from
the model.
"""

from __future__ import annotations

import re
from typing import Dict, List, NamedTuple, Optional, Tuple

from ..sim import CardDescription
from ..vocabulary import COMMANDS, GROUPS, MODELS, RELAY_KINDS, TEXTS, RelayKind

__all__ = [
    "BenchCard",
    "Relay",
    "KINDS",
    "GROUP_CODES",
    "GROUP_ROWS",
    "INPUT_MODELS",
    "MODEL_KINDS",
    "SINGLE_NAMES",
    "alias_explanation",
    "alias_title",
    "card_layout",
    "parse_relay",
    "relay_forms",
    "wire_fits",
    "wire_line",
]

# A card of a bench file, as the simulator describes it.
BenchCard = CardDescription

# The relay kinds' shapes: what follows the kind in a name.
ROW_COLUMN, ROW_LINE, NUMBER, SINGLE = "row-column", "row-line", "number", "single"
KINDS: Dict[str, RelayKind] = {kind.name: kind for kind in RELAY_KINDS}
# Which relays each model has.
MODEL_KINDS: Dict[str, Tuple[str, ...]] = {
    model.name: tuple(kind.name for kind in RELAY_KINDS if model.name in kind.exports)
    for model in MODELS
}
INPUT_MODELS: Tuple[str, ...] = tuple(model.name for model in MODELS if model.inputs)
# The group code each numbered or single relay kind carries in a command's second field.
GROUP_CODES: Dict[str, int] = {kind.name: kind.group for kind in RELAY_KINDS if kind.group}
# Matrix rows whose command reads, on the wire, exactly as a relay group's.
GROUP_ROWS: Dict[int, str] = {group.code: group.name for group in GROUPS}
# The single relays by their subcode (the test probe is 2, the pull-down 3).
SINGLE_NAMES: Dict[int, str] = {k.subcode: k.name for k in RELAY_KINDS if k.shape == SINGLE}
# The earlier names: whole names of the single relays, kind words of the numbered ones.
_FORMER_NAMES: Dict[str, str] = {k.formerly: k.name for k in RELAY_KINDS if k.shape == SINGLE}
_FORMER_KINDS: Dict[str, str] = {
    k.formerly: k.name for k in RELAY_KINDS if k.shape != SINGLE and k.formerly != k.name
}
# Without a bench file: a model's matrix, and in every group as many relays as a fresh
# simulated card has (a bench file's description names only the ranges that differ from it).
DEFAULT_MATRIX: Dict[str, int] = {model.name: model.matrix_size for model in MODELS if model.matrix_size}
DEFAULT_GROUP = 32
# A page of more toggles than this per axis or group would help nobody; the rest stays
# reachable by name.
MAX_SPAN = 64
SLOTS = range(1, 17)
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1
# The library formats a command into 30 bytes: 29 characters with the line feed, and the NUL.
MAX_WIRE_LINE = 29


class Relay(NamedTuple):
    """One relay: its kind, then the row or relay number, then the column or line, and the
    slot its name started with, if any."""

    kind: str
    first: int = 0  # the row or relay number; 0 for a single relay
    second: Optional[int] = None  # the column; for rows 1 for lo, 0 for hi
    slot: Optional[int] = None

    @property
    def shape(self) -> str:
        return KINDS[self.kind].shape

    @property
    def name(self) -> str:
        """The name without a slot, as the panel's state and page key relays."""
        if self.shape == ROW_COLUMN:
            return "%s:%d:%d" % (self.kind, self.first, self.second or 0)
        if self.shape == ROW_LINE:
            return "%s:%d:%s" % (self.kind, self.first, "lo" if self.second else "hi")
        if self.shape == NUMBER:
            return "%s:%d" % (self.kind, self.first)
        return self.kind


def relay_forms(kinds: Optional[Tuple[str, ...]] = None) -> List[str]:
    """The names' forms, "matrix:ROW:COLUMN" ... "ground", of ``kinds`` (default: all)."""
    return [k.name + "".join(":" + arg for arg in k.args.split())
            for k in RELAY_KINDS if kinds is None or k.name in kinds]


def _expected() -> str:
    forms = relay_forms()
    return "%s or %s, each optionally after the card's slot (SLOT:)" % (", ".join(forms[:-1]), forms[-1])


_NUMBER = re.compile(r"-?[0-9]{1,10}")


def _int32(text: str) -> Optional[int]:
    if _NUMBER.fullmatch(text) is None:
        return None
    value = int(text)
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise ValueError("%s does not fit the library's 32-bit numbers" % text)
    return value


def parse_relay(name: object) -> Relay:
    """The relay a name stands for; ValueError saying why for anything else."""
    if not isinstance(name, str):
        raise ValueError("relay must be a name such as matrix:5:7, not %s" % type(name).__name__)
    if not name.strip():
        raise ValueError("enter a relay name: " + _expected())
    parts = name.split(":")
    slot: Optional[int] = None
    if len(parts) > 1 and re.fullmatch(r"[0-9]{1,10}", parts[0]):
        slot = int(parts.pop(0))
        if slot not in SLOTS:
            raise ValueError("%r: the slot before the relay must be %d to %d" % (name, SLOTS[0], SLOTS[-1]))
    word, args = parts[0], parts[1:]
    if ":".join(parts) in _FORMER_NAMES:
        word, args = _FORMER_NAMES[":".join(parts)], []
    word = _FORMER_KINDS.get(word, word)
    kind = KINDS.get(word)
    if kind is not None:
        numbers = [_int32(arg) for arg in args]
        if kind.shape == ROW_COLUMN and len(args) == 2 and None not in numbers:
            return Relay(kind.name, numbers[0] or 0, numbers[1], slot)
        if kind.shape == ROW_LINE and len(args) == 2 and numbers[0] is not None and args[1] in ("hi", "lo"):
            return Relay(kind.name, numbers[0], 1 if args[1] == "lo" else 0, slot)
        if kind.shape == NUMBER and len(args) == 1 and numbers[0] is not None:
            return Relay(kind.name, numbers[0], None, slot)
        if kind.shape == SINGLE and not args:
            return Relay(kind.name, 0, None, slot)
    raise ValueError("unknown relay name %r: expected %s" % (name, _expected()))


def wire_line(card: int, relay: Relay, close: bool) -> str:
    """The command line the library sends for a relay, without its line feed."""
    if relay.shape == ROW_COLUMN:
        line = COMMANDS["CloseRelay" if close else "OpenRelay"] % (card, relay.first, relay.second or 0)
    elif relay.shape == ROW_LINE:
        line = COMMANDS["CloseLine" if close else "OpenLine"] % (
            card, relay.first, "lo" if relay.second else "hi")
    else:
        third = relay.first if relay.shape == NUMBER else KINDS[relay.kind].subcode
        line = COMMANDS["CloseRelay" if close else "OpenRelay"] % (card, GROUP_CODES[relay.kind], third)
    return line.rstrip("\n")


def wire_fits(line: str) -> bool:
    """Whether the library can send ``line`` (as :func:`wire_line` gives it): it refuses, with
    3 and nothing on the wire, a line too long for its command buffer."""
    return len(line) + 1 <= MAX_WIRE_LINE


def alias_title(row: int) -> str:
    """What the page says of a matrix row whose number is a group code."""
    group = GROUP_ROWS[row]
    return ("row %d has the wire form of the %s group code: a card would switch a %s, so the "
            "panel does not send it" % (row, group, group))


def alias_explanation(card: int, relay: Relay, close: bool) -> Optional[str]:
    """Why the panel does not send a matrix or row command whose row is a group code, or None.

    The row goes in the field that otherwise carries the group code, so the card cannot tell
    them apart and acts on the group's relay.
    """
    if relay.shape not in (ROW_COLUMN, ROW_LINE) or relay.first not in GROUP_ROWS:
        return None
    group = GROUP_ROWS[relay.first]
    line = wire_line(card, relay, close)
    if relay.shape == ROW_COLUMN:
        why = TEXTS["GroupRowCrosspoint"] % (relay.first, line, group, relay.second or 0)
    else:
        why = TEXTS["GroupRowLine"] % (relay.first, line, group)
    return why + "; the panel does not send it"


def _span(low: int, high: int) -> List[int]:
    return list(range(low, min(high, low + MAX_SPAN - 1) + 1))


def card_layout(model: str, bench: Optional[BenchCard]) -> Dict[str, object]:
    """The rows, columns and relay numbers the page draws for a card of ``model``.

    A bench card of the same model gives the ranges it names; anything else is the model's
    default. Kinds the model lacks are absent; numbered kinds go by their names ("ext-gp"),
    the single relays as a list of names under "single".
    """
    ranges = bench.ranges if bench is not None and bench.model == model else {}
    kinds = MODEL_KINDS.get(model, ())
    layout: Dict[str, object] = {"inputs": model in INPUT_MODELS}
    size = DEFAULT_MATRIX.get(model, 0)
    if size:
        layout["rows"] = _span(*ranges.get("rows", (1, size)))
        layout["cols"] = _span(*ranges.get("cols", (1, size)))
        layout["alias_rows"] = {str(row): alias_title(row) for row in GROUP_ROWS}
    for kind in RELAY_KINDS:
        if kind.shape == NUMBER and kind.name in kinds:
            layout[kind.name] = _span(*ranges.get(kind.name, (1, DEFAULT_GROUP)))
    singles = [k.name for k in RELAY_KINDS if k.shape == SINGLE and k.name in kinds]
    if singles:
        layout["single"] = singles
    return layout
