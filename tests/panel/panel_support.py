"""What the panel's tests share: the built library and simulator, a running panel on the demo
bench, and a small HTTP client."""

from __future__ import annotations

import http.client
import json
import os
import sys
import time
from typing import Any, Callable, Dict, Optional, Tuple

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "bindings", "python"))


def _from_repo(path: str) -> str:
    return path if os.path.isabs(path) else os.path.join(REPO, path)


os.environ["HALVEX_LIBRARY"] = _from_repo(os.environ.get("HALVEX_LIBRARY", "build/native/libhalvex.so"))
os.environ["HALVEX_SIM"] = _from_repo(os.environ.get("HALVEX_SIM", "build/native/simulator/halvex-sim"))
BENCH = os.path.join(REPO, "simulator", "examples", "bench.chassis")

from halvex import Chassis  # noqa: E402
from halvex.panel import Panel, PanelServer  # noqa: E402
from halvex.sim import SimulatedChassis, describe  # noqa: E402


class RunningPanel:
    """The panel on a simulated chassis loaded from the demo bench, served on a free port."""

    def __init__(self) -> None:
        self.chassis = Chassis.simulated(chassis_file=BENCH)
        assert self.chassis.simulator is not None
        self.sim: SimulatedChassis = self.chassis.simulator
        bench = {card.slot: card for card in describe(BENCH)}
        ports = {slot: self.sim.monitor_port(slot) for slot in (1, 5)}
        self.panel = Panel(self.chassis, bench, ports)
        try:
            self.panel.open()
            self.server = PanelServer(self.panel).start()
        except BaseException:
            self.panel.close()
            raise
        self.port = self.server.server_address[1]
        self.url = self.server.url

    def close(self) -> None:
        self.server.stop()
        self.panel.close()  # stops the monitors, the chassis and its simulator


def request(
    port: int,
    method: str,
    path: str,
    body: Optional[bytes] = None,
    headers: Optional[Dict[str, str]] = None,
    timeout_s: float = 30.0,
) -> Tuple[int, Any]:
    """One request; the status and the decoded JSON answer (the text for other answers)."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout_s)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        data = response.read()
        if response.getheader("Content-Type", "").startswith("application/json"):
            return response.status, json.loads(data)
        return response.status, data.decode("utf-8", "replace")
    finally:
        connection.close()


def post(port: int, path: str, value: Any, headers: Optional[Dict[str, str]] = None) -> Tuple[int, Any]:
    sent = {"Content-Type": "application/json"}
    sent.update(headers or {})
    return request(port, "POST", path, json.dumps(value).encode(), sent)


def wait_for(condition: Callable[[], bool], timeout_s: float = 5.0) -> bool:
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()
