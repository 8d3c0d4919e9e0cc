"""The client of the simulator's control channel: a TCP connection on 127.0.0.1 that sets cards,
signal inputs and faults up and reads the relays and the lines the ports received."""

from __future__ import annotations

import socket
import time
from typing import List, Optional, Tuple

__all__ = ["SimulatorError", "ControlChannel"]


class SimulatorError(RuntimeError):
    """The simulator refused a request, closed its control channel or never came up."""


class ControlChannel:
    """Client of the simulator's control channel: one request line, one reply line, and for
    "OK <count>" replies that many lines more."""

    def __init__(self, address: str, timeout: Optional[float] = None) -> None:
        """Connects to ``address`` ("127.0.0.1:4567"); ``timeout`` bounds every wait, in
        seconds (None waits as long as it takes)."""
        host, port = address.rsplit(":", 1)
        self._socket: Optional[socket.socket] = socket.create_connection(
            (host, int(port)), timeout=timeout
        )
        self._pending = b""

    def close(self) -> None:
        if self._socket is not None:
            self._socket.close()
            self._socket = None

    def __enter__(self) -> "ControlChannel":
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def _connected(self) -> socket.socket:
        if self._socket is None:
            raise SimulatorError("the control channel is closed")
        return self._socket

    def read_line(self) -> str:
        """The next line, without its line ending."""
        connection = self._connected()
        while b"\n" not in self._pending:
            chunk = connection.recv(65536)
            if not chunk:
                raise SimulatorError("the simulator closed its control channel")
            self._pending += chunk
        line, self._pending = self._pending.split(b"\n", 1)
        return line.decode().rstrip("\r")

    def request(self, line: str) -> str:
        """Sends one request; returns its reply line, raising SimulatorError on a refusal."""
        self._connected().sendall(line.encode() + b"\n")
        reply = self.read_line()
        if not reply.startswith("OK"):
            raise SimulatorError("simulator refused %r: %s" % (line, reply))
        return reply

    def listing(self, line: str) -> List[str]:
        """Sends a request answered "OK <count>" and returns the lines that follow."""
        count = int(self.request(line).split()[1])
        return [self.read_line() for _ in range(count)]

    def log(self, settle_s: float = 0.05) -> List[Tuple[str, bytes]]:
        """Every line received since the last clear, as (port, bytes); waits ``settle_s`` first
        so that bytes just written have arrived. Ports are "cmd" and "mon01" to "mon16"."""
        if settle_s > 0:
            time.sleep(settle_s)
        entries = []
        for entry in self.listing("log"):
            port, _, data = entry.partition(" ")
            entries.append((port, bytes.fromhex(data)))
        return entries

    def commands(self, settle_s: float = 0.05) -> List[bytes]:
        """The lines the command port received, as in ``log``."""
        return [data for port, data in self.log(settle_s) if port == "cmd"]
