"""What the panel shows of each card, and the relay names it speaks.

Relay names are the simulator's: ``matrix:5:7``, ``row:5:lo``, ``gp:12``, ``extgp:3``,
``ps:2``, ``discharge:1`` and ``single:1`` (pull-up) to ``single:4`` (ground). Sizes come from a
bench file in the simulator's chassis-file format (its ``card`` and ``range`` lines), else from
the model.
"""

from __future__ import annotations

import re
from typing import Dict, List, NamedTuple, Optional, Tuple

__all__ = [
    "BenchCard",
    "Relay",
    "GROUP_ROWS",
    "MODEL_KINDS",
    "SINGLE_NAMES",
    "alias_explanation",
    "card_layout",
    "parse_bench",
    "parse_relay",
    "wire_fits",
    "wire_line",
]

# Which relays each model has.
MODEL_KINDS: Dict[str, Tuple[str, ...]] = {
    "X16": ("matrix", "row", "gp", "extgp", "ps", "discharge", "single"),
    "X48": ("matrix", "row", "single"),
    "Y48": ("gp", "extgp"),
}
INPUT_MODELS = ("X16", "Y48")
# The group code each numbered or single relay kind carries in a command's second field.
GROUP_CODES: Dict[str, int] = {"gp": 10, "extgp": 20, "ps": 30, "discharge": 40, "single": 50}
# Matrix rows whose command reads, on the wire, exactly as a relay group's.
GROUP_ROWS: Dict[int, str] = {
    10: "GP relay",
    20: "Ext GP relay",
    30: "PS relay",
    40: "discharge relay",
    50: "single relay",
}
# The single relays by their subcode (the test probe is 2, the pull-down 3).
SINGLE_NAMES: Dict[int, str] = {1: "pull-up", 2: "test probe", 3: "pull-down", 4: "ground"}
RANGE_KINDS = ("rows", "cols", "gp", "extgp", "ps", "discharge")
# Without a bench file: a model's matrix, and 16 relays in every group.
DEFAULT_MATRIX = {"X16": 16, "X48": 48}
DEFAULT_GROUP = 16
# A page of more toggles than this per axis or group would help nobody; the rest stays
# reachable by name.
MAX_SPAN = 64
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1
# The library formats a command into 30 bytes: 29 characters with the line feed, and the NUL.
MAX_WIRE_LINE = 29


class Relay(NamedTuple):
    """One relay: its kind, then the row or relay number, then the column or line."""

    kind: str
    first: int
    second: Optional[int] = None  # the column; for rows 1 for lo, 0 for hi

    @property
    def name(self) -> str:
        if self.kind == "matrix":
            return "matrix:%d:%d" % (self.first, self.second or 0)
        if self.kind == "row":
            return "row:%d:%s" % (self.first, "lo" if self.second else "hi")
        return "%s:%d" % (self.kind, self.first)


_NUMBER = r"(-?\d{1,10})"
_PATTERNS = [
    ("matrix", re.compile(r"matrix:%s:%s\Z" % (_NUMBER, _NUMBER))),
    ("row", re.compile(r"row:%s:(hi|lo)\Z" % _NUMBER)),
    ("group", re.compile(r"(gp|extgp|ps|discharge|single):%s\Z" % _NUMBER)),
]


def _int32(text: str) -> int:
    value = int(text)
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise ValueError("%s does not fit the library's 32-bit numbers" % text)
    return value


def parse_relay(name: object) -> Relay:
    """The relay a name stands for; ValueError saying why for anything else."""
    if not isinstance(name, str):
        raise ValueError("relay must be a name such as matrix:5:7, not %s" % type(name).__name__)
    if not name.strip():
        raise ValueError("enter a relay name: matrix:ROW:COL, row:ROW:hi|lo, gp:N, extgp:N, ps:N, "
                         "discharge:N or single:1..4")
    for kind, pattern in _PATTERNS:
        match = pattern.match(name)
        if match is None:
            continue
        if kind == "matrix":
            return Relay("matrix", _int32(match.group(1)), _int32(match.group(2)))
        if kind == "row":
            return Relay("row", _int32(match.group(1)), 1 if match.group(2) == "lo" else 0)
        relay = Relay(match.group(1), _int32(match.group(2)))
        if relay.kind == "single" and relay.first not in SINGLE_NAMES:
            raise ValueError("single relays are single:1 (pull-up) to single:4 (ground)")
        return relay
    raise ValueError(
        "unknown relay name %r: expected matrix:ROW:COL, row:ROW:hi|lo, gp:N, extgp:N, ps:N, "
        "discharge:N or single:1..4" % name
    )


def wire_line(card: int, relay: Relay, close: bool) -> str:
    """The command line the library sends for a relay, without its line feed."""
    verb = "CLOSE" if close else "OPEN"
    if relay.kind == "matrix":
        return "%s(%02d,%02d,%02d)" % (verb, card, relay.first, relay.second or 0)
    if relay.kind == "row":
        return "%s(%02d,%02d,%s)" % (verb, card, relay.first, "lo" if relay.second else "hi")
    return "%s(%02d,%02d,%02d)" % (verb, card, GROUP_CODES[relay.kind], relay.first)


def wire_fits(line: str) -> bool:
    """Whether the library can send ``line`` (as :func:`wire_line` gives it): it refuses, with
    3 and nothing on the wire, a line too long for its command buffer."""
    return len(line) + 1 <= MAX_WIRE_LINE


def alias_explanation(card: int, relay: Relay, close: bool) -> Optional[str]:
    """Why the panel does not send a matrix or row command whose row is a group code, or None.

    The row goes in the field that otherwise carries the group code, so the card cannot tell
    them apart and acts on the group's relay.
    """
    if relay.kind not in ("matrix", "row") or relay.first not in GROUP_ROWS:
        return None
    group = GROUP_ROWS[relay.first]
    line = wire_line(card, relay, close)
    if relay.kind == "matrix":
        acts = "the wire form of %s %d: a card switches that relay, not the crosspoint" % (
            group,
            relay.second or 0,
        )
    else:
        acts = "the wire form of a %s command: a card reads it as one, not as the row's line" % group
    return "row %d is sent as %s, %s; the panel does not send it" % (relay.first, line, acts)


class BenchCard(NamedTuple):
    """A card of a bench file: its model, identification text and relay ranges."""

    model: str
    id_text: str
    ranges: Dict[str, Tuple[int, int]]


def _strip_comment(line: str) -> str:
    # A '#' starts a comment at the start of a line or after a blank, as the simulator reads it.
    for i, c in enumerate(line):
        if c == "#" and (i == 0 or line[i - 1] in " \t"):
            return line[:i].strip()
    return line.strip()


def parse_bench(text: str, name: str = "bench") -> Dict[int, BenchCard]:
    """The cards of a bench file by slot, from its ``card`` and ``range`` lines; the other
    set-up lines (delay, status, ...) are the simulator's and are skipped. ValueError names the
    file and line of anything malformed."""
    cards: Dict[int, BenchCard] = {}
    for number, raw in enumerate(text.splitlines(), 1):
        words = _strip_comment(raw).split()
        if not words or words[0] not in ("card", "range"):
            continue

        def fail(reason: str) -> ValueError:
            return ValueError("%s:%d: %s: %s" % (name, number, reason, raw.strip()))

        try:
            slot = int(words[1]) if len(words) > 1 else 0
        except ValueError:
            raise fail("the slot is not a number") from None
        if not 1 <= slot <= 16:
            raise fail("the slot must be 1 to 16")
        if words[0] == "card":
            if len(words) < 3 or words[2].upper() not in MODEL_KINDS:
                raise fail("expected card SLOT X16|X48|Y48 [IDTEXT]")
            id_text = _strip_comment(raw).split(None, 3)[3] if len(words) > 3 else ""
            cards[slot] = BenchCard(words[2].upper(), id_text, {})
            continue
        if len(words) != 5 or words[2] not in RANGE_KINDS:
            raise fail("expected range SLOT rows|cols|gp|extgp|ps|discharge MIN MAX")
        if slot not in cards:
            raise fail("a range comes after its card")
        try:
            low, high = int(words[3]), int(words[4])
        except ValueError:
            raise fail("MIN and MAX are numbers") from None
        if low > high:
            raise fail("MIN is above MAX")
        cards[slot].ranges[words[2]] = (low, high)
    return cards


def _span(low: int, high: int) -> List[int]:
    return list(range(low, min(high, low + MAX_SPAN - 1) + 1))


def card_layout(model: str, bench: Optional[BenchCard]) -> Dict[str, object]:
    """The rows, columns and relay numbers the page draws for a card of ``model``.

    A bench card of the same model gives the ranges it names; anything else is the model's
    default. Kinds the model lacks are absent.
    """
    ranges = bench.ranges if bench is not None and bench.model == model else {}
    kinds = MODEL_KINDS.get(model, ())
    layout: Dict[str, object] = {"inputs": model in INPUT_MODELS}
    if "matrix" in kinds:
        size = DEFAULT_MATRIX[model]
        layout["rows"] = _span(*ranges.get("rows", (1, size)))
        layout["cols"] = _span(*ranges.get("cols", (1, size)))
        layout["group_rows"] = {str(row): group for row, group in GROUP_ROWS.items()}
    for kind in ("gp", "extgp", "ps", "discharge"):
        if kind in kinds:
            layout[kind] = _span(*ranges.get(kind, (1, DEFAULT_GROUP)))
    if "single" in kinds:
        layout["single"] = {str(n): text for n, text in SINGLE_NAMES.items()}
    return layout
