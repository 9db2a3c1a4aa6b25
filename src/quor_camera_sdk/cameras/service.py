"""A local device-information service, for offline work, demos and tests.

It answers the one request the SDK makes,
``GET /api/public/camera-identity?serial_number=SERIAL``, with the JSON
document ``SERIAL.json`` of a folder, byte for byte. Serial numbers only
reach the file system through :func:`document_name`, which accepts a
conservative set of names and nothing that could leave the folder.
"""

from __future__ import annotations

import logging
import os
import re
import urllib.parse
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

__all__ = [
    "IDENTITY_PATH",
    "SERIAL_PARAMETER",
    "DeviceInfoServer",
    "document_name",
    "identity_url",
]

_LOGGER = logging.getLogger(__name__)

IDENTITY_PATH = "/api/public/camera-identity"
SERIAL_PARAMETER = "serial_number"

# Letters, digits, dot, dash and underscore: no separator, no NUL, nothing
# a shell or a file system treats specially. "." and ".." are refused apart.
_SERIAL_PATTERN = re.compile(r"[A-Za-z0-9._-]{1,128}")

# Request logs quote client-supplied text; keep control characters out of
# the log stream.
_CONTROL_CHARACTERS = {code: rf"\x{code:02x}" for code in (*range(0x20), *range(0x7F, 0xA0))}
_CONTROL_CHARACTERS[ord("\\")] = r"\\"


def document_name(serial: str) -> str | None:
    """The file name of ``serial``'s document, or None when the serial is
    not one this service stores (then no file is ever looked at)."""
    if serial in (".", "..") or not _SERIAL_PATTERN.fullmatch(serial):
        return None
    return f"{serial}.json"


def identity_url(base_url: str) -> str:
    """The lookup URL prefix (to which the SDK appends the quoted serial)
    of the service at ``base_url``, e.g. ``http://127.0.0.1:8080``."""
    return f"{base_url.rstrip('/')}{IDENTITY_PATH}?{SERIAL_PARAMETER}="


class _IdentityRequestHandler(BaseHTTPRequestHandler):
    server: DeviceInfoServer
    server_version = "quor-device-info"
    protocol_version = "HTTP/1.1"
    # A client that stalls mid-request loses its connection. The request
    # line and the header block are bounded by http.server itself (64 KiB
    # per line, 100 header lines).
    timeout = 10

    def do_GET(self) -> None:
        if self.headers.get("Content-Length", "0") != "0" or "Transfer-Encoding" in self.headers:
            self.close_connection = True
            self.send_error(HTTPStatus.BAD_REQUEST, "A request body is not accepted")
            return
        target = urllib.parse.urlsplit(self.path)
        if target.path != IDENTITY_PATH:
            self.send_error(HTTPStatus.NOT_FOUND)
            return
        query = urllib.parse.parse_qs(target.query, keep_blank_values=True, max_num_fields=8)
        serials = query.get(SERIAL_PARAMETER, [])
        if len(serials) != 1 or not serials[0]:
            self.send_error(HTTPStatus.BAD_REQUEST, f"Expected exactly one {SERIAL_PARAMETER} parameter")
            return
        body = self.server.read_document(serials[0])
        if body is None:
            self.send_error(HTTPStatus.NOT_FOUND, "Unknown serial number")
            return
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        message = (format % args).translate(_CONTROL_CHARACTERS)
        _LOGGER.info("%s %s", self.address_string(), message)


class DeviceInfoServer(ThreadingHTTPServer):
    """Serves the documents of ``documents`` (one ``<serial>.json`` each).

    Bind to port 0 for a free port; :attr:`url` tells which one it got.
    """

    daemon_threads = True

    def __init__(self, documents: str | os.PathLike[str], address: tuple[str, int] = ("127.0.0.1", 0)):
        self.documents = Path(documents)
        if not self.documents.is_dir():
            raise NotADirectoryError(f"{self.documents}: not a directory")
        super().__init__(address, _IdentityRequestHandler)

    @property
    def url(self) -> str:
        host, port = self.socket.getsockname()[:2]
        return f"http://{host}:{port}"

    @property
    def identity_url(self) -> str:
        """The value for ``device_lookup._CAMERA_IDENTITY_URL``."""
        return identity_url(self.url)

    def read_document(self, serial: str) -> bytes | None:
        """The stored document of ``serial``, or None when there is none."""
        name = document_name(serial)
        if name is None:
            return None
        try:
            return (self.documents / name).read_bytes()
        except (FileNotFoundError, IsADirectoryError):
            return None
