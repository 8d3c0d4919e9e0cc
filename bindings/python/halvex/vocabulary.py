"""The models, relay groups and kinds, and result codes, as typed records.

They are read from ``_vocabulary.py``, which the build makes from the library's own table, so
the binding, the panel, halvexctl and the simulator speak the same names and wordings.
"""

from __future__ import annotations

from typing import Dict, List, Mapping, NamedTuple, Optional, Tuple, cast

from ._vocabulary import VOCABULARY

__all__ = [
    "VOCABULARY",
    "Model",
    "Group",
    "RelayKind",
    "Result",
    "MODELS",
    "GROUPS",
    "RELAY_KINDS",
    "RESULTS",
    "relay_kind",
    "COMMANDS",
    "TEXTS",
]


class Model(NamedTuple):
    name: str
    self_test_limit_ms: int
    reset_pause_ms: int
    inputs: bool  # it reports eight signal inputs
    matrix_size: int  # rows and columns of its matrix; 0 without one


class Group(NamedTuple):
    """A relay group: the code a command carries in its second field, and its name."""

    code: int
    name: str


class RelayKind(NamedTuple):
    name: str  # as users type and read it: "matrix", "ext-gp", "ground"
    args: str
    shape: str  # "row-column", "row-line", "number" or "single"
    group: int  # the group code of the second field; 0 for the matrix's rows
    subcode: int  # a single relay's number in its group; 0 otherwise
    exports: Dict[str, Tuple[str, str]]  # by model: the close and the open export
    formerly: str  # the simulator's name before this vocabulary, still read
    summary: str

    @property
    def models(self) -> Tuple[str, ...]:
        return tuple(self.exports)


class Result(NamedTuple):
    code: int
    constant: str  # HALVEX_<constant> in the C header
    english: str
    korean_cp949: bytes


def _int(row: Mapping[str, object], key: str) -> int:
    value = row[key]
    if not isinstance(value, int):
        raise TypeError("vocabulary: %s is not a number in %r" % (key, row))
    return value


def _str(row: Mapping[str, object], key: str) -> str:
    value = row[key]
    if not isinstance(value, str):
        raise TypeError("vocabulary: %s is not a text in %r" % (key, row))
    return value


def _exports(row: Mapping[str, object]) -> Dict[str, Tuple[str, str]]:
    pairs = cast(Dict[str, List[str]], row["exports"])
    return {model: (close, open_) for model, (close, open_) in pairs.items()}


MODELS: Tuple[Model, ...] = tuple(
    Model(_str(m, "name"), _int(m, "self_test_limit_ms"), _int(m, "reset_pause_ms"),
          bool(_int(m, "inputs")), _int(m, "matrix_size"))
    for m in VOCABULARY["models"]
)
GROUPS: Tuple[Group, ...] = tuple(Group(_int(g, "code"), _str(g, "name")) for g in VOCABULARY["groups"])
RELAY_KINDS: Tuple[RelayKind, ...] = tuple(
    RelayKind(_str(r, "name"), _str(r, "args"), _str(r, "shape"), _int(r, "group"),
              _int(r, "subcode"), _exports(r), _str(r, "formerly"), _str(r, "summary"))
    for r in VOCABULARY["relays"]
)
RESULTS: Tuple[Result, ...] = tuple(
    Result(_int(r, "code"), _str(r, "constant"), _str(r, "english"),
           bytes.fromhex(_str(r, "korean_cp949")))
    for r in VOCABULARY["results"]
)

# The command lines as printf formats with their line feed ("CLOSE(%02d,%02d,%02d)\n"), by id.
COMMANDS: Dict[str, str] = {k: str(v) for k, v in cast(Dict[str, object], VOCABULARY["commands"]).items()}
# The front-ends' explanations as printf formats ("GroupRowCrosspoint", "GroupRowLine").
TEXTS: Dict[str, str] = {k: str(v) for k, v in cast(Dict[str, object], VOCABULARY["texts"]).items()}


def relay_kind(name: str) -> Optional[RelayKind]:
    """The relay kind of that name (``"ext-gp"``), or None."""
    return next((kind for kind in RELAY_KINDS if kind.name == name), None)
