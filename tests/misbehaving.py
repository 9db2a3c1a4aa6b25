"""A device-information service on 127.0.0.1 that misbehaves per serial:
it stalls, trickles, resets the connection, or answers what it is given."""

from __future__ import annotations

import json
import socket
import struct
import threading
import urllib.parse
from collections.abc import Callable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any

SERVICE_PATH = "/api/public/camera-identity"
# A reference-model unit's document, as the demo serves it.
SAMPLE = json.loads(resources.files("quor_camera_sdk.cameras").joinpath("demo", "QOR21A0417.json").read_text())


def document(serial: str, **changes: Any) -> dict[str, Any]:
    return {**SAMPLE, "serial_number": serial, **changes}


Behaviour = Callable[[BaseHTTPRequestHandler, threading.Event], None]


def answer(body: bytes | Any, status: int = 200) -> Behaviour:
    payload = body if isinstance(body, bytes) else json.dumps(body).encode()

    def behaviour(handler: BaseHTTPRequestHandler, stopping: threading.Event) -> None:
        handler.send_response(status)
        handler.send_header("Content-Length", str(len(payload)))
        handler.end_headers()
        handler.wfile.write(payload)

    return behaviour


def stall(handler: BaseHTTPRequestHandler, stopping: threading.Event) -> None:
    stopping.wait(60)


def trickle(handler: BaseHTTPRequestHandler, stopping: threading.Event) -> None:
    """A valid document, one byte every 0.2 s: each read is quick, the
    exchange endless."""
    body = json.dumps(document("QT-TRICKLE")).encode()
    handler.send_response(200)
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    for byte in body:
        if stopping.wait(0.2):
            return
        try:
            handler.wfile.write(bytes([byte]))
            handler.wfile.flush()
        except OSError:  # the client hung up, as it should at its deadline
            return


def reset(handler: BaseHTTPRequestHandler, stopping: threading.Event) -> None:
    handler.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    handler.connection.close()


class MisbehavingService:
    """Answers each serial with the behaviour given for it (404 otherwise);
    counts the lookups running at once."""

    def __init__(self) -> None:
        self.behaviours: dict[str, Behaviour] = {}
        self.stopping = threading.Event()
        self.running = 0
        self.most_running = 0
        self.requests: list[tuple[str, str]] = []  # (serial, User-Agent)
        self._lock = threading.Lock()
        owner = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self) -> None:
                serial = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query).get("serial_number", [""])[0]
                with owner._lock:
                    owner.requests.append((serial, self.headers.get("User-Agent", "")))
                    owner.running += 1
                    owner.most_running = max(owner.most_running, owner.running)
                try:
                    owner.behaviours.get(serial, answer({"detail": "unknown"}, 404))(self, owner.stopping)
                finally:
                    with owner._lock:
                        owner.running -= 1

            def log_message(self, format: str, *args: Any) -> None:
                pass

        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True)

    @property
    def origin(self) -> str:
        return "http://127.0.0.1:%d" % self._httpd.server_address[1]

    @property
    def url(self) -> str:
        """The value for ``device_lookup._CAMERA_IDENTITY_URL``."""
        return f"{self.origin}{SERVICE_PATH}?serial_number="

    def documents(self, *serials: str) -> None:
        for serial in serials:
            self.behaviours[serial] = answer(document(serial))

    def __enter__(self) -> MisbehavingService:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()


