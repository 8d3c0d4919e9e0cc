"""halvex.fixture against the simulated chassis: the one C implementation seen from Python."""

import os
import tempfile
import unittest

from halvex.fixture import Fixture, FixtureFileError, InterlockError, NoPathError, UnknownNameError
from halvex.sim import SimulatedChassis

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixture", "bench.toml")


class FixtureTest(unittest.TestCase):
    def setUp(self) -> None:
        self.sim = SimulatedChassis({1: "X16", 5: "Y48"})
        self.addCleanup(self.sim.close)
        self.fx = Fixture(BENCH, port=self.sim.port)
        self.addCleanup(self.fx.free)
        self.sim.request("clearlog")

    def test_route_wire_state_and_release(self) -> None:
        self.fx.apply("measure_vcc")
        self.assertEqual(self.sim.commands(), [b"CLOSE(01,01,hi)\n", b"CLOSE(01,01,03)\n",
                                               b"CLOSE(01,02,lo)\n", b"CLOSE(01,02,04)\n",
                                               b"CLOSE(01,50,01)\n"])
        state = self.fx.state()
        self.assertEqual(state["routes"], ["measure_vcc"])
        self.assertEqual(state["joined"], [["DMM_HI", "DUT_VCC"], ["DMM_LO", "DUT_GND"]])
        self.assertEqual(self.sim.relays(1), ["matrix:1:3", "matrix:2:4", "row:1:hi", "row:2:lo",
                                              "pull-up"])
        self.fx.disconnect_all()
        self.assertEqual(self.sim.relays(1), [])

    def test_refusals_raise_their_kind_with_nothing_sent(self) -> None:
        self.fx.apply("power")
        self.sim.request("clearlog")
        with self.assertRaises(InterlockError) as caught:
            self.fx.connect("DUT_VCC", "DUT_GND")
        e = caught.exception
        self.assertEqual((e.code, e.rule, e.reason), (12, "PSU / DUT_GND", "shorts the bench supply"))
        self.assertEqual((e.chain[0], e.chain[1], e.chain[-1]), ("PSU", "1:ps:2", "DUT_GND"))
        self.assertEqual(self.fx.check("connect DMM_HI DUT_GND"),
                         ["close 1:row:2:hi", "close 1:matrix:2:4"])
        with self.assertRaises(UnknownNameError):
            self.fx.apply("no_such_route")
        with self.assertRaises(NoPathError):  # its one relay leads into another net
            self.fx.connect("PSU", "CHASSIS_GND")
        with self.assertRaises(InterlockError) as caught:  # the scope would see the supply
            self.fx.connect("SCOPE", "DUT_VCC")
        self.assertEqual(caught.exception.rule, "PSU_OUT / SCOPE")
        self.assertEqual(self.sim.commands(), [])

    def test_file_errors_carry_line_and_column(self) -> None:
        with tempfile.NamedTemporaryFile("w", suffix=".toml", delete=False) as f:
            f.write('[cards]\n1 = "X16"\n[nets]\nA = ["1:col:99"]\n')
        self.addCleanup(os.remove, f.name)
        with self.assertRaises(FixtureFileError) as caught:
            Fixture(f.name, port=self.sim.port)
        self.assertEqual((caught.exception.line, caught.exception.column), (4, 6))


if __name__ == "__main__":
    unittest.main()
