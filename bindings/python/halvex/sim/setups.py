"""The cards a simulated chassis is set up with: checked as the simulator's options take them, and
read back from a chassis file by ``halvex-sim --describe``."""

from __future__ import annotations

import json
import os
import subprocess
from typing import Dict, List, Mapping, NamedTuple, Optional, Tuple, Union, cast

from .control import SimulatorError
from .program import SIMULATOR_NAME, find_simulator

__all__ = ["MODELS", "SLOTS", "CardSetup", "CardDescription", "describe", "card_option"]

MODELS = ("X16", "X48", "Y48")
SLOTS = range(1, 17)
# A model alone, or a model and the text the card answers to *IDN?.
CardSetup = Union[str, Tuple[str, str]]


class CardDescription(NamedTuple):
    """A card a set-up gives: its slot, model and identification text, and the relay ranges
    it changes from a fresh card's ("rows", "cols", "gp", "ext-gp", "ps", "discharge")."""

    slot: int
    model: str
    id_text: str
    ranges: Dict[str, Tuple[int, int]]


def describe(
    chassis_file: Union[str, "os.PathLike[str]", None] = None,
    cards: Optional[Mapping[int, CardSetup]] = None,
    simulator: Union[str, "os.PathLike[str]", None] = None,
) -> List[CardDescription]:
    """The cards a chassis file (and ``cards``, as :class:`SimulatedChassis` takes them) set
    up, in slot order, as the simulator reads them (``halvex-sim --describe``); nothing is
    started. SimulatorError carries the simulator's complaint, for a bad file
    "FILE:LINE: reason: line"."""
    options: List[str] = []
    if chassis_file is not None:
        options += ["--chassis", os.fspath(chassis_file)]
    for slot, spec in (cards or {}).items():
        options += ["--card", card_option(slot, spec)]
    done = subprocess.run([find_simulator(simulator), "--describe"] + options,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    if done.returncode != 0:
        complaint = done.stderr.decode(errors="replace").strip()
        prefix = SIMULATOR_NAME + ": "
        raise SimulatorError(complaint[len(prefix):] if complaint.startswith(prefix) else
                             complaint or "%s --describe failed (%d)" % (SIMULATOR_NAME, done.returncode))
    found = cast(Dict[str, List[Dict[str, object]]], json.loads(done.stdout.decode()))
    return [
        CardDescription(
            cast(int, card["slot"]), cast(str, card["model"]), cast(str, card["id_text"]),
            {kind: (low, high) for kind, (low, high) in cast(Dict[str, List[int]], card["ranges"]).items()},
        )
        for card in found["cards"]
    ]


def card_option(slot: object, spec: object) -> str:
    if isinstance(slot, bool) or not isinstance(slot, int):
        raise TypeError("cards: a slot must be an int, not %s" % type(slot).__name__)
    if slot not in SLOTS:
        raise ValueError("cards: slot %d is not in 1..16" % slot)
    if isinstance(spec, str):
        model, id_text = spec, None
    elif isinstance(spec, tuple) and len(spec) == 2 and all(isinstance(s, str) for s in spec):
        model, id_text = spec
    else:
        raise TypeError('cards: slot %d takes "X16", "X48", "Y48" or (model, id_text)' % slot)
    if model not in MODELS:
        raise ValueError("cards: slot %d has model %r, not one of X16, X48, Y48" % (slot, model))
    if id_text is not None and ("\n" in id_text or "\r" in id_text):
        raise ValueError("cards: the id text of slot %d is one line" % slot)
    return "%d:%s" % (slot, model) if id_text is None else "%d:%s:%s" % (slot, model, id_text)
