"""The pytest fixtures: where the cards come from, and a simulator per test that stops whatever
the test's outcome. Run with pytest and its pytester plugin."""

import os
import tempfile

import pytest

pytest_plugins = ["pytester"]

PROBE = '''
import json, os, pytest

def record(sim, name):
    with open(os.path.join(os.environ["PROBE_DIR"], name), "w") as f:
        json.dump({"folder": sim.folder, "cards": [c.number for c in CHASSIS[0].cards()]
                   if CHASSIS else None, "state": sim.state()}, f)

CHASSIS = []

@pytest.mark.halvex_cards({4: "X48", 9: ("Y48", "ACME Y48")})
def test_marker(halvex_chassis, halvex_sim):
    CHASSIS[:] = [halvex_chassis]
    record(halvex_sim, "marker")

@pytest.mark.halvex_cards(cards={2: "X16"})
def test_marker_keyword_then_fails(halvex_chassis, halvex_sim):
    CHASSIS[:] = [halvex_chassis]
    record(halvex_sim, "failing")
    assert False, "fails on purpose"

def test_default_or_option(halvex_chassis, halvex_sim):
    CHASSIS[:] = [halvex_chassis]
    record(halvex_sim, "plain")

def test_second_sim_is_fresh(halvex_sim):
    CHASSIS[:] = []
    record(halvex_sim, "fresh")
'''


def run(pytester: pytest.Pytester, *options: str) -> dict:
    import json

    probe_dir = tempfile.mkdtemp(dir=pytester.path)
    os.environ["PROBE_DIR"] = str(probe_dir)
    pytester.makepyfile(test_probe=PROBE)
    result = pytester.runpytest_subprocess("-p", "halvex.pytest_plugin", "-p", "no:cacheprovider",
                                           *options)
    result.assert_outcomes(passed=3, failed=1)
    result.stdout.fnmatch_lines(["*fails on purpose*"])
    found = {}
    for name in ("marker", "failing", "plain", "fresh"):
        with open(os.path.join(probe_dir, name)) as f:
            found[name] = json.load(f)
    return found


def test_cards_from_marker_default_and_option(pytester: pytest.Pytester) -> None:
    found = run(pytester)
    assert found["marker"]["cards"] == [4, 9]
    assert found["failing"]["cards"] == [2]
    assert found["plain"]["cards"] == [1, 2, 3]
    found = run(pytester, "--halvex-cards", "6:Y48:ACME Y48 REV2, 7:X16")
    assert found["plain"]["cards"] == [6, 7]
    assert found["marker"]["cards"] == [4, 9], "the marker wins over the option"


def test_each_test_gets_its_own_simulator_stopped_after_it(pytester: pytest.Pytester) -> None:
    found = run(pytester)
    folders = [found[name]["folder"] for name in found]
    assert len(set(folders)) == 4
    for folder in folders:  # removed when its simulator stopped, the failed test's too
        assert not os.path.exists(folder), folder
    assert "X16" in found["plain"]["state"]["1"] and "empty" not in found["plain"]["state"]["1"]


def test_chassis_file_option(pytester: pytest.Pytester) -> None:
    chassis_file = pytester.path / "bench.chassis"
    chassis_file.write_text("card 11 X16 HALVEX X16 FROM A FILE\n")
    found = run(pytester, "--halvex-chassis-file", str(chassis_file))
    assert found["plain"]["cards"] == [11]
    assert found["marker"]["cards"] == [4, 9, 11], "the marker's cards come on top of the file"


def test_fixture_marker_opens_the_fixture_on_its_cards(pytester: pytest.Pytester) -> None:
    bench = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixture", "bench.toml")
    pytester.makepyfile(test_fx='''
import pytest

@pytest.mark.halvex_fixture(%r)
def test_route(halvex_fixture, halvex_sim):
    assert [s for s, line in halvex_sim.state().items() if " empty" not in line] == [1, 5]
    halvex_fixture.apply("ground_dut")
    assert halvex_sim.commands()[-1] == b"CLOSE(05,10,02)\\n"
''' % bench)
    result = pytester.runpytest_subprocess("-p", "halvex.pytest_plugin", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=1)
