"""The panel's web server (standard library only) and its command line.

    halvex-panel --port /dev/ttyUSB0 --monitor-port 3=/dev/ttyUSB1 [--bench FILE]
    halvex-panel --simulate [--bench FILE]

The page and a small JSON API under /api/ are served on 127.0.0.1; the first line printed is
``panel: URL``. ``--listen ADDRESS`` serves elsewhere (an IPv6 address too), and then the page
and the API need the access token printed in that URL; the page's script and stylesheet, which
hold nothing secret, do not.
"""

from __future__ import annotations

import argparse
import hmac
import io
import json
import os
import secrets
import signal
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import FrameType
from typing import Any, Dict, List, Mapping, Optional, Tuple
from urllib.parse import parse_qs, urlsplit

from .. import Chassis
from ..errors import UsageError
from ..sim import SimulatorError, describe
from ..vocabulary import VOCABULARY
from .core import Panel, RequestError
from .layout import INPUT_MODELS, BenchCard, parse_relay

__all__ = ["PanelServer", "main", "DEMO_CARDS"]

STATIC_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
STATIC_FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/panel.js": ("panel.js", "text/javascript; charset=utf-8"),
    "/panel.css": ("panel.css", "text/css; charset=utf-8"),
}
# Served without the token: the browser asks for them without the page's query string.
PUBLIC_FILES = ("/panel.js", "/panel.css")
MAX_BODY = 64 * 1024
MAX_WAIT_S = 25.0
# Bounds each send of an answer.
CONNECTION_TIMEOUT_S = 30.0
# A request's head and body, as a whole, arrive within this from when the connection began
# waiting for it; a connection idle or trickling longer is closed.
REQUEST_DEADLINE_S = 10.0
MAX_CONNECTIONS = 64
TOKEN_HEADER = "X-Panel-Token"
# The demo's chassis when --simulate comes without a bench file.
DEMO_CARDS = {
    1: ("X16", "HALVEX X16 DEMO SN0001"),
    2: ("X48", "HALVEX X48 DEMO SN0002"),
    5: ("Y48", "HALVEX Y48 DEMO SN0005"),
}


class _DeadlineReader(io.RawIOBase):
    """A connection's bytes, each receive bounded by what is left of the request's deadline
    (a per-receive limit alone lets a client trickle a byte at a time for ever)."""

    def __init__(self, connection: socket.socket) -> None:
        super().__init__()
        self._connection = connection
        self.deadline: Optional[float] = None  # monotonic; None while an answer is under way

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self.deadline is None:
            self._connection.settimeout(CONNECTION_TIMEOUT_S)
        else:
            left = self.deadline - time.monotonic()
            if left <= 0:
                raise socket.timeout("the request did not arrive in time")
            self._connection.settimeout(left)
        return self._connection.recv_into(buffer)


class _Handler(BaseHTTPRequestHandler):
    server: "PanelServer"
    protocol_version = "HTTP/1.1"
    timeout = CONNECTION_TIMEOUT_S

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass  # the page's log pane is the record; a request trace would drown the terminal

    # ---- The request's deadline ----

    def setup(self) -> None:
        super().setup()
        self.rfile.close()  # the socket's own reader: it would keep the socket from closing
        self._reader = _DeadlineReader(self.connection)
        self.rfile = io.BufferedReader(self._reader)

    def handle_one_request(self) -> None:
        self._reader.deadline = time.monotonic() + self.server.deadline_s
        self.server.waiting(self.request)
        super().handle_one_request()

    def _received(self) -> None:
        """The request is in: from here on the connection is busy answering."""
        self._reader.deadline = None
        if not self.server.answering(self.request):
            # Its place went to a newer connection while the request came in.
            raise ConnectionAbortedError("connection evicted")

    # ---- Answers ----

    def _send(self, status: int, body: bytes, content_type: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Content-Security-Policy", "default-src 'self'; img-src 'self' data:")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, status: int, value: Any) -> None:
        self._send(status, json.dumps(value).encode(), "application/json")

    def _error(self, status: int, message: str) -> None:
        self._json(status, {"error": message})

    # ---- Who may ask ----

    def _allowed(self, path: str, query: Mapping[str, List[str]]) -> bool:
        token = self.server.token
        if token is not None:
            if path in PUBLIC_FILES:
                return True
            given = self.headers.get(TOKEN_HEADER) or (query.get("token") or [""])[0]
            return hmac.compare_digest(given.encode(), token.encode())
        # On the loopback address a page of another site could still reach the port through a
        # name that resolves here; only the panel's own names are answered.
        host = (self.headers.get("Host") or "").lower()
        port = self.server.server_address[1]
        return host in ("127.0.0.1:%d" % port, "localhost:%d" % port, "[::1]:%d" % port)

    def _route(self) -> Optional[Tuple[str, Dict[str, List[str]]]]:
        if "Transfer-Encoding" in self.headers:
            # Its body would otherwise be read as the next request.
            self.close_connection = True
            self._error(411, "send the body with a Content-Length")
            return None
        url = urlsplit(self.path)
        query = parse_qs(url.query)
        if not self._allowed(url.path, query):
            self._error(403, "forbidden: open the URL the panel printed (with its token)")
            return None
        return url.path, query

    # ---- GET ----

    def do_GET(self) -> None:  # noqa: N802
        self._received()
        routed = self._route()
        if routed is None:
            return
        path, query = routed
        if path in STATIC_FILES:
            name, content_type = STATIC_FILES[path]
            with open(os.path.join(STATIC_DIR, name), "rb") as f:
                self._send(200, f.read(), content_type)
            return
        if path == "/api/vocabulary":
            # The models, relay kinds and groups the page draws and names relays by.
            self._json(200, VOCABULARY)
            return
        if path == "/api/state":
            try:
                since = int(query["since"][0]) if "since" in query else None
                wait = min(float(query.get("wait", ["20"])[0]), MAX_WAIT_S)
            except (ValueError, OverflowError):
                self._error(400, "since is a version number and wait a number of seconds")
                return
            if wait != wait:  # NaN
                self._error(400, "since is a version number and wait a number of seconds")
                return
            self._json(200, self.server.panel.snapshot(since, wait if since is not None else 0.0))
            return
        self._error(404, "no such page: %s" % path)

    do_HEAD = do_GET

    # ---- POST ----

    def do_POST(self) -> None:  # noqa: N802
        routed = self._route()
        if routed is None:
            self._drain()
            return
        path, _ = routed
        try:
            body = self._body()
        except RequestError as e:
            self._received()
            self._error(e.status, e.message)
            return
        self._received()
        try:
            result = self._act(path, body)
        except RequestError as e:
            self._error(e.status, e.message)
            return
        except Exception as e:  # the page shows it rather than a dropped connection
            self._error(500, "%s: %s" % (type(e).__name__, e))
            return
        self._json(200, {"result": result, "state": self.server.panel.snapshot()})

    def _content_length(self) -> int:
        """The body's length; RequestError (the connection to be closed) unless it is digits
        only and at most MAX_BODY."""
        text = self.headers.get("Content-Length") or "0"
        if not (text.isascii() and text.isdigit()):
            self.close_connection = True
            raise RequestError(400, "Content-Length must be digits only, not %r" % text[:40])
        if len(text) > 10 or int(text) > MAX_BODY:
            self.close_connection = True
            raise RequestError(413, "the body must be at most %d bytes" % MAX_BODY)
        return int(text)

    def _read_body(self, length: int) -> bytes:
        try:
            raw = self.rfile.read(length)
        except (socket.timeout, TimeoutError):
            raw = b""
        if len(raw) != length:  # the deadline passed, or the client went away, midway
            self.close_connection = True
            raise RequestError(408, "the request's body did not arrive within %g s"
                               % self.server.deadline_s)
        return raw

    def _drain(self) -> None:
        try:
            self._read_body(self._content_length())
        except RequestError:
            pass  # the connection is closed after the refusal already answered

    def _body(self) -> Dict[str, Any]:
        # A JSON body cannot come from a plain form of another site without the browser asking.
        kind = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
        raw = self._read_body(self._content_length())
        if kind != "application/json":
            raise RequestError(415, "send the request as application/json")
        try:
            body = json.loads(raw.decode("utf-8") or "{}")
        except (UnicodeDecodeError, ValueError):
            raise RequestError(400, "the body is not JSON") from None
        if not isinstance(body, dict):
            raise RequestError(400, "the body must be a JSON object")
        return body

    def _act(self, path: str, body: Dict[str, Any]) -> Any:
        panel = self.server.panel
        if path == "/api/relay":
            action = body.get("action")
            if action not in ("close", "open"):
                raise RequestError(400, "action must be close or open")
            try:
                relay = parse_relay(body.get("relay"))
            except ValueError as e:
                raise RequestError(400, str(e)) from None
            return panel.switch(body.get("card"), relay, action == "close")
        if path == "/api/card":
            return panel.device(body.get("card"), str(body.get("action")))
        if path == "/api/monitor":
            action = body.get("action")
            if action == "start":
                return panel.start_monitor(body.get("card"), body.get("interval", 0.1))
            if action == "stop":
                return panel.stop_monitor(body.get("card"))
            raise RequestError(400, "action must be start or stop")
        if path == "/api/rediscover":
            return panel.open()
        if path == "/api/open-closed":
            return panel.open_closed()
        raise RequestError(404, "no such action: %s" % path)


class PanelServer(ThreadingHTTPServer):
    """The panel's HTTP server for one :class:`Panel`.

    ``token`` None serves only requests addressed to the loopback names; otherwise every
    request but those for the page's script and stylesheet carries the token (``?token=`` or
    the ``X-Panel-Token`` header).

    At most MAX_CONNECTIONS connections are served at once (a thread each). Each request must
    arrive whole within ``deadline_s`` of when its connection began waiting for it. When all
    places are taken, a new connection takes the place of the one that has waited longest for
    its request (idle, or trickling one), so slow clients cannot lock the page out; only when
    every place is answering a request is a new connection closed unanswered.
    """

    daemon_threads = True
    block_on_close = False

    # A burst of connections up to the cap waits in the listen queue instead of being retried
    # by the clients' kernels a second later.
    request_queue_size = MAX_CONNECTIONS

    def __init__(self, panel: Panel, address: str = "127.0.0.1", port: int = 0,
                 token: Optional[str] = None, deadline_s: float = REQUEST_DEADLINE_S) -> None:
        self.panel = panel
        self.token = token
        self.deadline_s = deadline_s
        self.address_family = socket.AF_INET6 if ":" in address else socket.AF_INET
        self._places_lock = threading.Lock()
        # Every connection served: since when it waits for a request, or None while answering.
        self._places: Dict[Any, Optional[float]] = {}
        super().__init__((address, port), _Handler)
        self._thread: Optional[threading.Thread] = None

    def process_request(self, request: Any, client_address: Any) -> None:
        with self._places_lock:
            if len(self._places) >= MAX_CONNECTIONS:
                waiting = [(since, id(c), c) for c, since in self._places.items() if since is not None]
                if not waiting:
                    self.shutdown_request(request)
                    return
                victim = min(waiting, key=lambda w: (w[0], w[1]))[2]
                del self._places[victim]
                try:
                    # Its thread sees the end of input and ends; closing is left to it.
                    victim.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self._places[request] = time.monotonic()
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._leave(request)
            raise

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._leave(request)

    def _leave(self, request: Any) -> None:
        with self._places_lock:
            self._places.pop(request, None)

    def waiting(self, request: Any) -> None:
        """The connection waits for its next request."""
        with self._places_lock:
            if request in self._places:
                self._places[request] = time.monotonic()

    def answering(self, request: Any) -> bool:
        """The connection's request is in; False when its place was taken meanwhile."""
        with self._places_lock:
            if request not in self._places:
                return False
            self._places[request] = None
            return True

    @property
    def url(self) -> str:
        host, port = self.server_address[0], self.server_address[1]
        host = str(host)
        shown = "[%s]" % host if ":" in host else host
        return "http://%s:%d/" % (shown, port) + ("?token=" + self.token if self.token else "")

    def start(self) -> "PanelServer":
        """Serves on a thread of its own (for tests and embedding)."""
        self._thread = threading.Thread(target=self.serve_forever, name="halvex-panel", daemon=True)
        self._thread.start()
        return self

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A page closed or reloaded mid-poll leaves a broken connection: nothing to report.
        if isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            return
        super().handle_error(request, client_address)

    def stop(self) -> None:
        """Stops serving (a poll in progress is cut off) and closes the socket."""
        if self._thread is not None:
            self.shutdown()
            self._thread.join(10)
            self._thread = None
        self.server_close()


def _monitor_port(text: str) -> Tuple[int, str]:
    slot, sep, port = text.partition("=")
    if not sep or not slot.isdigit() or not 1 <= int(slot) <= 16 or not port:
        raise argparse.ArgumentTypeError("expected SLOT=PORT with SLOT 1 to 16, not %r" % text)
    return int(slot), port


def _arguments(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="halvex-panel",
        description="A front panel for a Halvex chassis in the browser: the cards, their relays "
        "as toggles, the signal inputs live and the log of every command line.",
    )
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--port", help="the chassis's command port (/dev/ttyUSB0, COM5)")
    where.add_argument("--simulate", action="store_true",
                       help="start a simulated chassis (halvex-sim) and drive that")
    parser.add_argument("--monitor-port", action="append", type=_monitor_port, default=[],
                        metavar="SLOT=PORT", help="the monitoring port of the card in SLOT")
    parser.add_argument("--bench", metavar="FILE",
                        help="chassis file whose card and range lines give the sizes, as "
                        "halvex-sim --describe reads it (with --simulate, the simulator loads "
                        "it too)")
    parser.add_argument("--http-port", type=int, default=0, metavar="N",
                        help="the panel's port (default: a free one)")
    parser.add_argument("--listen", metavar="ADDRESS",
                        help="serve on ADDRESS instead of 127.0.0.1; requests then need the token")
    parser.add_argument("--library", metavar="PATH", help="the driver library to load")
    parser.add_argument("--simulator", metavar="PATH",
                        help="the halvex-sim to run with --simulate and to read --bench with")
    return parser.parse_args(argv)


def _monitor_refusal(panel: Panel, given: List[Tuple[int, str]]) -> Optional[str]:
    """Why a --monitor-port cannot serve its slot, or None. Without any card found there is
    nothing to check against yet (the page warns; Rediscover finds them)."""
    models = {c["card"]: c["model"] for c in panel.snapshot()["cards"]}
    if not models:
        return None
    for slot, port in given:
        model = models.get(slot)
        if model in INPUT_MODELS:
            continue
        found = "no card answered in slot %d" % slot if model is None else \
            "the card in slot %d is an %s, which has no signal inputs" % (slot, model)
        return ("--monitor-port %d=%s: %s; only X16 and Y48 cards are monitored (cards found: %s)"
                % (slot, port, found, ", ".join("%d %s" % m for m in sorted(models.items()))))
    return None


def main(argv: Optional[List[str]] = None) -> int:
    args = _arguments(argv)
    bench: Dict[int, BenchCard] = {}
    if args.bench is not None:
        try:
            # The simulator reads the file as it would load it: one reading of the format.
            bench = {card.slot: card for card in describe(args.bench, simulator=args.simulator)}
        except (OSError, subprocess.SubprocessError, SimulatorError) as e:
            print("halvex-panel: %s" % e, file=sys.stderr)
            return 2
    monitor_ports = dict(args.monitor_port)
    try:
        if args.simulate:
            chassis = Chassis.simulated(None if args.bench else DEMO_CARDS, args.bench,
                                        args.simulator, args.library)
            assert chassis.simulator is not None
            for slot in range(1, 17):
                monitor_ports.setdefault(slot, chassis.simulator.monitor_port(slot))
        else:
            chassis = Chassis(args.port, args.library)
    except (OSError, RuntimeError) as e:
        print("halvex-panel: %s" % e, file=sys.stderr)
        return 1
    panel = Panel(chassis, bench, monitor_ports)
    server: Optional[PanelServer] = None
    try:
        token = secrets.token_urlsafe(18) if args.listen is not None else None
        server = PanelServer(panel, args.listen or "127.0.0.1", args.http_port, token)
        print("panel: %s" % server.url, flush=True)
        result = panel.open()
        port_text = os.fsdecode(chassis.port)
        if result["code"]:
            print("chassis: %s (error %d); the page's Rediscover tries again"
                  % (result["text"] or port_text + ": " + result["english"], result["code"]), flush=True)
        else:
            print("chassis: %s, %s" % (port_text, result["text"]), flush=True)
        for warning in panel.snapshot()["warnings"]:
            if warning != result["text"]:  # the line above said it already
                print("warning: %s" % warning, flush=True)
        if chassis.simulator is not None:
            print("simulator: control %s (faults, inputs, relays: see halvex-sim's help)"
                  % chassis.simulator.control_address, flush=True)
        refusal = _monitor_refusal(panel, args.monitor_port)
        if refusal is not None:
            print("halvex-panel: %s" % refusal, file=sys.stderr)
            return 2

        def stop(_signum: int, _frame: Optional[FrameType]) -> None:
            raise KeyboardInterrupt

        signal.signal(signal.SIGTERM, stop)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass
        return 0
    except (OSError, UsageError) as e:
        print("halvex-panel: %s" % e, file=sys.stderr)
        return 1
    finally:
        if server is not None:
            server.server_close()
        panel.close()
