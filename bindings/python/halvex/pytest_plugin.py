"""pytest fixtures for testing test programs against a simulated chassis.

Installed with the package, pytest loads it by itself (entry point ``pytest11``); with the
package only on ``PYTHONPATH``, load it with ``-p halvex.pytest_plugin``.

- ``halvex_sim``: a fresh :class:`~halvex.sim.SimulatedChassis` for each test, stopped after
  it whatever the outcome. Its cards come from the test's ``halvex_cards`` marker
  (``@pytest.mark.halvex_cards({3: "X16", 5: ("Y48", "ID TEXT")}, chassis_file=None)``), else
  from the ``--halvex-cards`` option (``"3:X16,5:Y48:ID TEXT"``), else one card of each
  model: X16 in slot 1, X48 in slot 2, Y48 in slot 3.
- ``halvex_chassis``: an open :class:`~halvex.Chassis` on that simulated chassis.
- ``halvex_fixture``: a :class:`~halvex.fixture.Fixture` of the file the test's
  ``halvex_fixture`` marker names (``@pytest.mark.halvex_fixture("bench.toml")``, relative to
  the test's file), else ``--halvex-fixture FILE``, open on the simulated chassis, which then
  holds the cards the fixture names (unless a ``halvex_cards`` marker says otherwise).
"""

from __future__ import annotations

import os
from typing import Dict, Iterator, Optional

import pytest

from .chassis import Chassis
from .fixture import Fixture
from .sim import CardSetup, SimulatedChassis

__all__ = ["DEFAULT_CARDS", "parse_cards", "halvex_sim", "halvex_chassis", "halvex_fixture"]

DEFAULT_CARDS: Dict[int, CardSetup] = {1: "X16", 2: "X48", 3: "Y48"}


def parse_cards(text: str) -> Dict[int, CardSetup]:
    """Cards from the option's text: "SLOT:MODEL[:IDTEXT]" items separated by commas."""
    cards: Dict[int, CardSetup] = {}
    for item in filter(None, (part.strip() for part in text.split(","))):
        fields = item.split(":", 2)
        if len(fields) < 2 or not fields[0].isdigit():
            raise pytest.UsageError("--halvex-cards: %r is not SLOT:MODEL[:IDTEXT]" % item)
        slot = int(fields[0])
        cards[slot] = fields[1] if len(fields) == 2 else (fields[1], fields[2])
    return cards


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("halvex", "simulated Halvex chassis")
    group.addoption(
        "--halvex-cards",
        default=None,
        help='cards of the simulated chassis, e.g. "3:X16,5:Y48:HALVEX Y48 REV3"',
    )
    group.addoption(
        "--halvex-chassis-file",
        default=None,
        help="a chassis file of set-up requests the simulator loads",
    )
    group.addoption(
        "--halvex-fixture",
        default=None,
        help="a fixture file (TOML) for the halvex_fixture fixture",
    )
    group.addoption(
        "--halvex-sim", default=None, help="the halvex-sim program (default: found as usual)"
    )


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "halvex_cards(cards, chassis_file=None): the cards of the test's simulated chassis, "
        'as {slot: "X16"} or {slot: ("Y48", "ID TEXT")}',
    )
    config.addinivalue_line(
        "markers", "halvex_fixture(path): the fixture file of the test's halvex_fixture"
    )


def _fixture_file(request: pytest.FixtureRequest) -> Optional[str]:
    marker = request.node.get_closest_marker("halvex_fixture")
    if marker is not None and marker.args:
        return os.path.join(os.path.dirname(str(request.node.path)), str(marker.args[0]))
    option: Optional[str] = request.config.getoption("--halvex-fixture")
    return option


@pytest.fixture
def halvex_sim(request: pytest.FixtureRequest) -> Iterator[SimulatedChassis]:
    """A simulated chassis of its own for the test."""
    config = request.config
    marker = request.node.get_closest_marker("halvex_cards")
    chassis_file: Optional[str] = config.getoption("--halvex-chassis-file")
    cards: Optional[Dict[int, CardSetup]] = None
    if marker is not None:
        if marker.args:
            cards = dict(marker.args[0])
        elif "cards" in marker.kwargs:
            cards = dict(marker.kwargs["cards"])
        chassis_file = marker.kwargs.get("chassis_file", chassis_file)
    fixture_file = _fixture_file(request) if "halvex_fixture" in request.fixturenames else None
    if cards is None:
        option: Optional[str] = config.getoption("--halvex-cards")
        if option is not None:
            cards = parse_cards(option)
        elif chassis_file is None and fixture_file is None:
            cards = dict(DEFAULT_CARDS)
    with SimulatedChassis(cards, chassis_file, config.getoption("--halvex-sim"), fixture_file) as sim:
        yield sim


@pytest.fixture
def halvex_chassis(halvex_sim: SimulatedChassis) -> Iterator[Chassis]:
    """An open chassis on the test's simulated chassis; closed after the test."""
    with Chassis(halvex_sim.port) as chassis:
        yield chassis


@pytest.fixture
def halvex_fixture(request: pytest.FixtureRequest, halvex_sim: SimulatedChassis) -> Iterator[Fixture]:
    """The test's fixture file, open on its simulated chassis; freed after the test."""
    path = _fixture_file(request)
    if path is None:
        raise pytest.UsageError("halvex_fixture needs @pytest.mark.halvex_fixture(FILE) or --halvex-fixture FILE")
    with Fixture(path, port=halvex_sim.port) as fixture:
        yield fixture
