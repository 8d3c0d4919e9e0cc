"""The panel's HTTP layer on the standard library's server: one route table, one guard.

Every request passes :func:`guard` (the token or the loopback Host, the body's framing, size
and type, the connection's place) before the route of its method and path runs; a route gets
the panel and the request and gives an answer. A click (POST) answers with its result and the
state's version; the state itself travels on GET /api/state, whose long poll the same change
wakes.
"""

from __future__ import annotations

import hmac
import io
import json
import os
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple
from urllib.parse import parse_qs, urlsplit

from ..vocabulary import VOCABULARY
from .core import Panel, RequestError
from .layout import parse_relay

__all__ = ["PanelServer", "ROUTES", "guard", "main", "DEMO_CARDS"]

STATIC_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
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


class Request(NamedTuple):
    """A request that passed the guard: its path, query and (for a POST) JSON object body."""

    path: str
    query: Dict[str, List[str]]
    body: Dict[str, Any]


# Status, body and content type.
Answer = Tuple[int, bytes, str]
Route = Callable[[Panel, Request], Answer]


def _json(status: int, value: Any) -> Answer:
    return status, json.dumps(value).encode(), "application/json"


# ---- The routes ----


def _static(name: str, content_type: str) -> Route:
    def serve(_panel: Panel, _request: Request) -> Answer:
        with open(os.path.join(STATIC_DIR, name), "rb") as f:
            return 200, f.read(), content_type

    return serve


def _vocabulary(_panel: Panel, _request: Request) -> Answer:
    # The models, relay kinds and groups the page draws and names relays by.
    return _json(200, VOCABULARY)


def _state(panel: Panel, request: Request) -> Answer:
    query = request.query
    try:
        since = int(query["since"][0]) if "since" in query else None
        wait = min(float(query.get("wait", ["20"])[0]), MAX_WAIT_S)
    except (ValueError, OverflowError):
        raise RequestError(400, "since is a version number and wait a number of seconds") from None
    if wait != wait:  # NaN
        raise RequestError(400, "since is a version number and wait a number of seconds")
    return _json(200, panel.snapshot(since, wait if since is not None else 0.0))


def _command(act: Callable[[Panel, Dict[str, Any]], Any]) -> Route:
    """A click: its result and the version of the state it left (which the long poll, woken
    by the same change, carries), not the state again."""

    def run(panel: Panel, request: Request) -> Answer:
        result = act(panel, request.body)
        return _json(200, {"result": result, "version": panel.version})

    return run


def _relay(panel: Panel, body: Dict[str, Any]) -> Any:
    action = body.get("action")
    if action not in ("close", "open"):
        raise RequestError(400, "action must be close or open")
    try:
        relay = parse_relay(body.get("relay"))
    except ValueError as e:
        raise RequestError(400, str(e)) from None
    return panel.switch(body.get("card"), relay, action == "close")


def _fixture_view(panel: Panel, _request: Request) -> Answer:
    # The nets with their terminals, the routes, and the layer's state after its last operation.
    view = panel.state.fixture_view()
    if view is None:
        raise RequestError(404, "the panel has no fixture: start it with --fixture FILE")
    return _json(200, view)


def _fixture(panel: Panel, body: Dict[str, Any]) -> Any:
    action = body.get("action")
    names = body.get("nets") if action in ("connect", "disconnect") else body.get("routes")
    return panel.fixture_action(action, names)


def _monitor(panel: Panel, body: Dict[str, Any]) -> Any:
    action = body.get("action")
    if action == "start":
        return panel.start_monitor(body.get("card"), body.get("interval", 0.1))
    if action == "stop":
        return panel.stop_monitor(body.get("card"))
    raise RequestError(400, "action must be start or stop")


# (method, path) -> route; HEAD takes GET's. A path no route has answers 404, and a method the
# server has no do_ method for (PUT, DELETE...) answers 501 before any route is looked at.
ROUTES: Dict[Tuple[str, str], Route] = {
    ("GET", "/"): _static("index.html", "text/html; charset=utf-8"),
    ("GET", "/panel.js"): _static("panel.js", "text/javascript; charset=utf-8"),
    ("GET", "/panel.css"): _static("panel.css", "text/css; charset=utf-8"),
    ("GET", "/api/vocabulary"): _vocabulary,
    ("GET", "/api/state"): _state,
    ("GET", "/api/fixture"): _fixture_view,
    ("POST", "/api/relay"): _command(_relay),
    ("POST", "/api/card"): _command(lambda panel, body: panel.device(body.get("card"), str(body.get("action")))),
    ("POST", "/api/monitor"): _command(_monitor),
    ("POST", "/api/fixture"): _command(_fixture),
    ("POST", "/api/rediscover"): _command(lambda panel, _body: panel.open()),
    ("POST", "/api/open-closed"): _command(lambda panel, _body: panel.open_closed()),
}
_UNKNOWN = {"GET": "no such page: %s", "POST": "no such action: %s"}


# ---- The guard ----


def _allowed(handler: "_Handler", path: str, query: Dict[str, List[str]]) -> bool:
    token = handler.server.token
    if token is not None:
        if path in PUBLIC_FILES:
            return True
        given = handler.headers.get(TOKEN_HEADER) or (query.get("token") or [""])[0]
        return hmac.compare_digest(given.encode(), token.encode())
    # On the loopback address a page of another site could still reach the port through a
    # name that resolves here; only the panel's own names are answered.
    host = (handler.headers.get("Host") or "").lower()
    port = handler.server.server_address[1]
    return host in ("127.0.0.1:%d" % port, "localhost:%d" % port, "[::1]:%d" % port)


def _read_body(handler: "_Handler") -> bytes:
    """The body; RequestError (the connection to be closed) unless its Content-Length is
    digits only and at most MAX_BODY and all of it arrives within the request's deadline."""
    text = handler.headers.get("Content-Length") or "0"
    if not (text.isascii() and text.isdigit()):
        handler.close_connection = True
        raise RequestError(400, "Content-Length must be digits only, not %r" % text[:40])
    if len(text) > 10 or int(text) > MAX_BODY:
        handler.close_connection = True
        raise RequestError(413, "the body must be at most %d bytes" % MAX_BODY)
    length = int(text)
    try:
        raw = handler.rfile.read(length)
    except (socket.timeout, TimeoutError):
        raw = b""
    if len(raw) != length:  # the deadline passed, or the client went away, midway
        handler.close_connection = True
        raise RequestError(408, "the request's body did not arrive within %g s" % handler.server.deadline_s)
    return raw


def _json_body(handler: "_Handler", raw: bytes) -> Dict[str, Any]:
    # A JSON body cannot come from a plain form of another site without the browser asking.
    kind = (handler.headers.get("Content-Type") or "").split(";")[0].strip().lower()
    if kind != "application/json":
        raise RequestError(415, "send the request as application/json")
    try:
        body = json.loads(raw.decode("utf-8") or "{}")
    except (UnicodeDecodeError, ValueError):
        raise RequestError(400, "the body is not JSON") from None
    if not isinstance(body, dict):
        raise RequestError(400, "the body must be a JSON object")
    return body


def guard(handler: "_Handler") -> Request:
    """Every check a request passes before its route runs; RequestError with the refusal.

    A chunked body is refused (it would otherwise be read as the next request). A POST's body
    is read whole even when the request is refused, so that the connection stays in step.
    Once the request is in, the connection counts as answering (ConnectionAbortedError when
    its place went to a newer connection meanwhile)."""
    forbidden = RequestError(403, "forbidden: open the URL the panel printed (with its token)")
    if "Transfer-Encoding" in handler.headers:
        handler.close_connection = True
        handler.received()
        raise RequestError(411, "send the body with a Content-Length")
    url = urlsplit(handler.path)
    query = parse_qs(url.query)
    allowed = _allowed(handler, url.path, query)
    raw = b""
    if handler.command == "POST":
        try:
            raw = _read_body(handler)
        except RequestError as refusal:
            handler.received()
            raise refusal if allowed else forbidden from None
    handler.received()
    if not allowed:
        raise forbidden
    body = _json_body(handler, raw) if handler.command == "POST" else {}
    return Request(url.path, query, body)


# ---- The connection ----


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

    def setup(self) -> None:
        super().setup()
        self.rfile.close()  # the socket's own reader: it would keep the socket from closing
        self._reader = _DeadlineReader(self.connection)
        self.rfile = io.BufferedReader(self._reader)

    def handle_one_request(self) -> None:
        self._reader.deadline = time.monotonic() + self.server.deadline_s
        self.server.waiting(self.request)
        super().handle_one_request()

    def received(self) -> None:
        """The request is in: from here on the connection is busy answering."""
        self._reader.deadline = None
        if not self.server.answering(self.request):
            # Its place went to a newer connection while the request came in.
            raise ConnectionAbortedError("connection evicted")

    def _send(self, answer: Answer) -> None:
        status, body, content_type = answer
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Content-Security-Policy", "default-src 'self'; img-src 'self' data:")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _dispatch(self) -> None:
        method = "GET" if self.command == "HEAD" else self.command
        try:
            request = guard(self)
            route = ROUTES.get((method, request.path))
            if route is None:
                raise RequestError(404, _UNKNOWN[method] % request.path)
            answer = route(self.server.panel, request)
        except RequestError as e:
            answer = _json(e.status, {"error": e.message})
        except (ConnectionError, TimeoutError):
            raise
        except Exception as e:  # the page shows it rather than a dropped connection
            answer = _json(500, {"error": "%s: %s" % (type(e).__name__, e)})
        self._send(answer)

    do_GET = do_HEAD = do_POST = _dispatch


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


def __getattr__(name: str) -> Any:
    # The command line lives in cli (which needs this module first); its names stay here too.
    if name in ("main", "DEMO_CARDS"):
        from . import cli

        return getattr(cli, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
