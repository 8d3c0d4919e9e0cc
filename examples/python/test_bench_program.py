"""An example of testing a test program against a simulated chassis with the halvex fixtures.

    python3 -m pytest examples/python/test_bench_program.py

``connect_dut`` stands for a function of the test program under test.
"""

import pytest

from halvex import Chassis, PortOpenError, X16Card, Y48Card
from halvex.sim import SimulatedChassis


def connect_dut(chassis: Chassis) -> None:
    """The program under test: routes the DUT's supply through card 3 and grounds it."""
    x16 = chassis.card(3, X16Card)
    x16.close_matrix(5, 7)
    x16.close_row(5, "lo")
    x16.close_ground()


@pytest.mark.halvex_cards({3: "X16", 5: ("Y48", "HALVEX Y48 REV3")})
def test_connect_dut_closes_the_route(halvex_chassis: Chassis, halvex_sim: SimulatedChassis) -> None:
    connect_dut(halvex_chassis)
    assert halvex_sim.relays(3) == ["matrix:5:7", "row:5:lo", "ground"]
    assert halvex_sim.commands()[-3:] == [b"CLOSE(03,05,07)\n", b"CLOSE(03,05,lo)\n", b"CLOSE(03,50,04)\n"]


@pytest.mark.halvex_cards({5: "Y48"})
def test_signal_inputs(halvex_chassis: Chassis, halvex_sim: SimulatedChassis) -> None:
    halvex_sim.set_inputs(5, 0xFE)  # input 1 active (a 0 bit)
    y48 = halvex_chassis.card(5, Y48Card)
    assert y48.read_signals(halvex_sim.monitor_port(5)) == 0xFE


def test_a_chassis_that_is_not_there(halvex_sim: SimulatedChassis) -> None:
    halvex_sim.vanish("cmd")
    with pytest.raises(PortOpenError) as caught:
        Chassis(halvex_sim.port).open()
    assert caught.value.reason.startswith("no such file")
