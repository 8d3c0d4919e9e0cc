"""Runs halvex-sim for the binding's tests and speaks its control channel."""

from __future__ import annotations

import ctypes
import os
import select
import signal
import shutil
import subprocess
import sys
import tempfile
import time
from typing import List, Optional, Tuple

from sim_control import ControlChannel, SimulatorError

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _from_repo(path: str) -> str:
    return path if os.path.isabs(path) else os.path.join(REPO, path)


SIMULATOR = _from_repo(os.environ.get("HALVEX_SIM", "build/native/simulator/halvex-sim"))
LIBRARY = _from_repo(os.environ.get("HALVEX_LIBRARY", "build/native/libhalvex.so"))


def _die_with_parent() -> None:
    # A test run that crashes must not leave its simulator behind.
    if sys.platform.startswith("linux"):
        PR_SET_PDEATHSIG = 1
        ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class SimulatedChassis:
    """One halvex-sim process: its pseudo-terminals linked under a private folder, and a
    connection to its control channel."""

    def __init__(self, simulator: str = SIMULATOR) -> None:
        self.folder = tempfile.mkdtemp(prefix="halvex-py-")
        self.links = os.path.join(self.folder, "ports")
        self._stderr = open(os.path.join(self.folder, "sim.err"), "wb")
        self.process: Optional[subprocess.Popen] = None
        self.control: Optional[ControlChannel] = None
        try:
            self.process = subprocess.Popen(
                [simulator, "--link", self.links, "--control", "0", "--quiet"],
                stdout=subprocess.PIPE,
                stderr=self._stderr,
                preexec_fn=_die_with_parent,
            )
            address = self._wait_until_ready(timeout_s=30.0)
            self.control = ControlChannel(address, timeout=30.0)
        except BaseException:
            self.stop()
            raise

    def _wait_until_ready(self, timeout_s: float) -> str:
        assert self.process is not None and self.process.stdout is not None
        deadline = time.monotonic() + timeout_s
        address: Optional[str] = None
        pending = b""
        fd = self.process.stdout.fileno()
        while True:
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                words = line.decode().split()
                if words[:1] == ["control"]:
                    address = words[1]
                elif words[:1] == ["ready"]:
                    if address is None:
                        raise SimulatorError("the simulator offered no control channel")
                    return address
            left = deadline - time.monotonic()
            if left <= 0:
                raise SimulatorError("the simulator did not get ready: " + self.stderr_text())
            readable, _, _ = select.select([fd], [], [], left)
            if readable:
                chunk = os.read(fd, 4096)
                if not chunk:
                    raise SimulatorError("the simulator quit: " + self.stderr_text())
                pending += chunk

    def stderr_text(self) -> str:
        self._stderr.flush()
        with open(self._stderr.name, "rb") as f:
            return f.read().decode(errors="replace")

    @property
    def command_port(self) -> str:
        return os.path.join(self.links, "command")

    def monitor_port(self, slot: int) -> str:
        return os.path.join(self.links, "monitor-%02d" % slot)

    def request(self, line: str) -> str:
        """Sends one control request; returns its reply line, raising on a refusal."""
        assert self.control is not None
        return self.control.request(line)

    def reset(self) -> None:
        self.request("reset")

    def card(self, slot: int, model: str, id_text: str) -> None:
        self.request("card %d %s %s" % (slot, model, id_text))

    def next_reply(self, slot: int, reply: bytes) -> None:
        """The next command to ``slot`` gets exactly ``reply``."""
        self.request("next %d hex:%s" % (slot, reply.hex()))

    def status(self, slot: int, value: int) -> None:
        self.request("status %d %d" % (slot, value))

    def silent(self, slot: int, on: bool) -> None:
        self.request("silent %d %d" % (slot, 1 if on else 0))

    def relays(self, slot: int) -> List[str]:
        """The closed relays of a slot, e.g. ["matrix:5:7", "ops:1"]."""
        return self.request("relays %d" % slot).split()[1:]

    def clear_log(self) -> None:
        self.request("clearlog")

    def log(self, settle_s: float = 0.05) -> List[Tuple[str, bytes]]:
        """The control channel's log: (port, bytes) for each line since the last clear."""
        assert self.control is not None
        return self.control.log(settle_s)

    def stop(self) -> None:
        if self.control is not None:
            self.control.close()
            self.control = None
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
                try:
                    self.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait(timeout=10)
            if self.process.stdout is not None:
                self.process.stdout.close()
            self.process = None
        self._stderr.close()
        shutil.rmtree(self.folder, ignore_errors=True)
