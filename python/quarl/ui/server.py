"""The HTTP side of `quarl ui`: the standard library's threading server, one page shell and its
script and style, JSON answers for the pages, and the files of the output folder as plain text.

Nothing in a URL becomes a path but below /out/, which the output's folders (files.py) check; the
pages name runs by asset and partition, which are looked up in the plan. The page script builds
every element from text (no HTML is ever parsed from project data), and the Content-Security-
Policy allows only our own script, so a name that holds markup stays text.
"""

from __future__ import annotations

import json
import os
import re
import socket
import sys
import threading
import traceback
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import IO, Any
from urllib.parse import parse_qs, urlsplit

from quarl.run.history import HistoryError
from quarl.ui.data import NotFound, Project

_STATIC_TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
                 ".css": "text/css; charset=utf-8", ".txt": "text/plain; charset=utf-8"}
_PAGES = ("/", "/asset", "/run", "/invocation")
_SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; "
                               "img-src 'self' data:; connect-src 'self'; base-uri 'none'; "
                               "form-action 'none'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}
# Files of the output folder that read as text; any other is sent for download, never rendered.
_TEXT_SUFFIXES = (".log", ".json", ".txt")
_ID = re.compile(r"[0-9]{1,19}")
_ID_MAX = (1 << 63) - 1


def _static_files() -> dict[str, tuple[bytes, str]]:
    folder = resources.files("quarl.ui") / "static"
    found = {}
    for entry in folder.iterdir():
        suffix = os.path.splitext(entry.name)[1]
        if entry.is_file() and suffix in _STATIC_TYPES:
            found[entry.name] = (entry.read_bytes(), _STATIC_TYPES[suffix])
    return found


class UIServer(ThreadingHTTPServer):
    """Serves each connection in a thread of its own. Closing the server ends the connections
    still open (a browser keeps one waiting for its next request) and waits for their threads:
    none is left to be cut off half-way through a reply, or a read of the history, as the
    process exits."""

    daemon_threads = False

    def __init__(self, project: Project, host: str, port: int) -> None:
        if ":" in host:
            self.address_family = socket.AF_INET6
        self.project = project
        self.static = _static_files()
        self._open_lock = threading.Lock()
        self._open: set[socket.socket] = set()
        super().__init__((host, port), Handler)
        bound_port = self.server_address[1]
        # Bound to a loopback address, a request must also name one: a page elsewhere whose
        # domain was pointed at 127.0.0.1 (DNS rebinding) is refused instead of reading the project.
        self.allowed_hosts: set[str] | None = None
        if host in ("127.0.0.1", "localhost", "::1") or host.startswith("127."):
            self.allowed_hosts = {f"{name}:{bound_port}" for name in
                                  ("127.0.0.1", "localhost", "[::1]", host if ":" not in host else f"[{host}]")}

    def process_request(self, request: Any, client_address: Any) -> None:
        with self._open_lock:
            self._open.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request: Any) -> None:
        with self._open_lock:  # closed only once server_close can no longer reach it
            self._open.discard(request)
        super().shutdown_request(request)

    def server_close(self) -> None:
        with self._open_lock:
            for connection in self._open:
                try:
                    connection.shutdown(socket.SHUT_RDWR)  # its thread's read or write returns
                except OSError:
                    pass  # the client has gone already
        super().server_close()  # then joins the connections' threads

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        text = host.decode() if isinstance(host, bytes) else host
        return f"http://{f'[{text}]' if ':' in text else text}:{port}/"


class Handler(BaseHTTPRequestHandler):
    server: UIServer
    protocol_version = "HTTP/1.1"
    server_version = "quarl-ui"
    sys_version = ""

    def log_message(self, format: str, *args: Any) -> None:
        pass  # a page polls every second: a line per request would bury what matters

    def do_GET(self) -> None:
        allowed = self.server.allowed_hosts
        if allowed is not None and self.headers.get("Host", "") not in allowed:
            self._text(HTTPStatus.FORBIDDEN, "this server answers only requests addressed to 127.0.0.1\n")
            return
        split = urlsplit(self.path)
        path, query = split.path, parse_qs(split.query)
        try:
            if path in _PAGES:
                self._static("index.html")
            elif path.startswith("/static/"):
                self._static(path[len("/static/"):])
            elif path.startswith("/out/"):
                self._file(path[len("/out/"):])
            elif path == "/api/version":
                self._json(HTTPStatus.OK, self.server.project.version())
            elif path.startswith("/api/"):
                # The version is read first: the data that follows is at least as new, so a page
                # that polls for a later version never misses a change.
                version = self.server.project.version()["version"]
                self._json(HTTPStatus.OK, {**self._api(path[len("/api/"):], query), "version": version})
            else:
                self._text(HTTPStatus.NOT_FOUND, "not found\n")
        except NotFound as error:
            self._json(HTTPStatus.NOT_FOUND, {"error": str(error)})
        except HistoryError as error:
            self._json(HTTPStatus.SERVICE_UNAVAILABLE, {"error": str(error)})
        except (BrokenPipeError, ConnectionResetError):
            pass
        except Exception as error:
            # A fault of ours: the terminal gets the traceback, the page a message, and the
            # server goes on serving the other pages.
            traceback.print_exc()
            self._json(HTTPStatus.INTERNAL_SERVER_ERROR, {"error": f"quarl ui failed: {error!r}"})
            self.close_connection = True

    def _api(self, name: str, query: dict[str, list[str]]) -> dict[str, Any]:
        project = self.server.project

        def arg(key: str) -> str:
            values = query.get(key)
            if not values:
                raise NotFound(f"the request needs {key}=")
            return values[0]

        if name == "graph":
            return project.graph()
        if name == "asset":
            return project.asset(arg("key"))
        if name == "runs":
            cell = query.get("cell", [""])[0]
            return project.runs(arg("key"), query.get("show", ["all"])[0], query.get("order", ["plan"])[0],
                                _number(query.get("page", ["0"])[0]), _number(cell) if cell else None)
        if name == "run":
            return project.run(arg("asset"), query.get("partition", [""])[0])
        if name == "invocation":
            ident = query.get("id", [""])[0]
            if not ident:
                return project.invocation(None)
            # ASCII digits only (str.isdigit also takes "²", which int() refuses), and no more
            # than SQLite's integers hold.
            if _ID.fullmatch(ident) is None or int(ident) > _ID_MAX:
                raise NotFound(f"no invocation {ident!r} in the history")
            return project.invocation(int(ident))
        raise NotFound(f"no such request: {name}")

    def _headers(self, status: HTTPStatus, content_type: str, length: int, **extra: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(length))
        for header, value in {**_SECURITY_HEADERS, **extra}.items():
            self.send_header(header, value)
        self.end_headers()

    def _send(self, status: HTTPStatus, content_type: str, body: bytes) -> None:
        self._headers(status, content_type, len(body))
        self.wfile.write(body)

    def _text(self, status: HTTPStatus, text: str) -> None:
        self._send(status, "text/plain; charset=utf-8", text.encode())

    def _json(self, status: HTTPStatus, value: Any) -> None:
        body = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode()
        self._send(status, "application/json", body)

    def _static(self, name: str) -> None:
        found = self.server.static.get(name)
        if found is None:
            self._text(HTTPStatus.NOT_FOUND, "not found\n")
        else:
            self._send(HTTPStatus.OK, found[1], found[0])

    def _file(self, encoded: str) -> None:
        opened = self.server.project.folders.open(encoded)
        if opened is None:
            self._text(HTTPStatus.NOT_FOUND, "not found in the output folder\n")
            return
        if opened.name.endswith(_TEXT_SUFFIXES):
            self._headers(HTTPStatus.OK, "text/plain; charset=utf-8", opened.size)
        else:
            self._headers(HTTPStatus.OK, "application/octet-stream", opened.size,
                          **{"Content-Disposition": "attachment"})
        for chunk in opened.chunks:
            self.wfile.write(chunk)


def _number(text: str) -> int:
    """A page or cell number of a request."""
    if _ID.fullmatch(text) is None:
        raise NotFound(f"not a number: {text!r}")
    return int(text)


def serve(project: Project, host: str, port: int, stream: IO[str] = sys.stdout) -> None:
    """Serves until interrupted; prints the address first (port 0 takes a free one)."""
    server = UIServer(project, host, port)
    try:
        print(f"quarl ui: serving {project.out} at {server.url}  (Ctrl-C stops)", file=stream, flush=True)
        try:
            server.serve_forever(poll_interval=0.5)
        except KeyboardInterrupt:
            pass
    finally:
        server.server_close()
        project.close()
