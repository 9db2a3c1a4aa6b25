"""A local device-information service, for offline work, demos and tests.

It answers the one request the SDK makes,
``GET /api/public/camera-identity?serial_number=SERIAL`` (and ``HEAD``), with
the JSON document ``SERIAL.json`` of a folder, byte for byte. Serial numbers
only reach the file system through :func:`document_name`, which accepts a
conservative set of names and nothing that could leave the folder; what is
served is a regular file whose resolved path lies inside the folder.

One asyncio event loop serves every connection, so an idle or slow client
costs a socket and a few KiB, never a thread. A client has a deadline for
each request head; when the cap on connections is reached, a new connection
takes the place of the one that has waited longest for its request.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import os
import re
import resource
import socket
import threading
import urllib.parse
from collections.abc import Callable
from dataclasses import dataclass
from email.utils import formatdate
from http import HTTPStatus
from pathlib import Path

from quor_camera_sdk._files import read_regular_file
from quor_camera_sdk.cameras.documents import (
    IDENTITY_PATH,
    SERIAL_PARAMETER,
    document_name,
    identity_url,
)

__all__ = [
    "DEFAULT_MAX_CONNECTIONS",
    "DEFAULT_REQUEST_TIMEOUT",
    "IDENTITY_PATH",
    "SERIAL_PARAMETER",
    "DeviceInfoServer",
    "document_name",
    "identity_url",
]

_LOGGER = logging.getLogger(__name__)


DEFAULT_MAX_CONNECTIONS = 512
# Seconds a client has for each request line and header block, counted
# from the connection or the previous response; also the keep-alive idle time.
DEFAULT_REQUEST_TIMEOUT = 10.0
# A LAN mirror answers bursts of discovery from many hosts at once.
_BACKLOG = 1024
# Descriptors kept free beyond the connections: the listener, a document
# being read, log files, the interpreter's own, and in a burst, the
# connections accepted but not yet admitted (some three loop iterations of
# _ACCEPT_BATCH) and those dropped but not yet closed (two more).
_ACCEPT_BATCH = 8
_RESERVED_DESCRIPTORS = 64
# A lookup's head is a few hundred bytes; this bounds each connection's buffers.
_MAX_HEAD_BYTES = 16 * 1024
_MAX_HEADER_LINES = 100
_MAX_QUERY_FIELDS = 8
# Documents are a few KiB; anything far larger is not one.
_MAX_DOCUMENT_BYTES = 1024 * 1024
_SERVER_NAME = "quor-device-info"

_TOKEN = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+")
_VERSION = re.compile(r"HTTP/(\d)\.(\d)")

# Request logs quote client-supplied text; keep control characters out of
# the log stream.
_CONTROL_CHARACTERS = {code: rf"\x{code:02x}" for code in (*range(0x20), *range(0x7F, 0xA0))}
_CONTROL_CHARACTERS[ord("\\")] = r"\\"


class _Refused(Exception):
    """A request this service answers with an error status."""

    def __init__(self, status: HTTPStatus, detail: str | None = None) -> None:
        super().__init__(detail or status.phrase)
        self.status = status


@dataclass(frozen=True, slots=True)
class _Request:
    line: str
    method: str
    target: str
    keep_alive: bool


async def _read_request(reader: asyncio.StreamReader) -> _Request | None:
    """The next request head, or None when the client closed the connection
    before sending one. Raises _Refused for a malformed or oversized head;
    the connection is then closed, since where the next request starts is
    unknown."""
    try:
        raw_line = await reader.readline()
    except ValueError:  # longer than the reader's limit
        raise _Refused(HTTPStatus.REQUEST_URI_TOO_LONG) from None
    if not raw_line.endswith(b"\n"):
        return None
    line = raw_line.rstrip(b"\r\n").decode("latin-1")
    headers: dict[str, str] = {}
    head_bytes = len(raw_line)
    for _ in range(_MAX_HEADER_LINES + 1):
        try:
            raw_header = await reader.readline()
        except ValueError:
            raise _Refused(HTTPStatus.REQUEST_HEADER_FIELDS_TOO_LARGE) from None
        if not raw_header.endswith(b"\n"):
            return None
        head_bytes += len(raw_header)
        if head_bytes > _MAX_HEAD_BYTES:
            break
        header = raw_header.rstrip(b"\r\n").decode("latin-1")
        if not header:
            return _parse_head(line, headers)
        name, colon, value = header.partition(":")
        if not colon or not _TOKEN.fullmatch(name):
            raise _Refused(HTTPStatus.BAD_REQUEST, "Malformed header line")
        headers[name.lower()] = value.strip(" \t")
    raise _Refused(HTTPStatus.REQUEST_HEADER_FIELDS_TOO_LARGE)


def _parse_head(line: str, headers: dict[str, str]) -> _Request:
    words = line.split(" ")
    if len(words) != 3 or not _TOKEN.fullmatch(words[0]) or not words[1]:
        raise _Refused(HTTPStatus.BAD_REQUEST, "Malformed request line")
    method, target, version = words
    numbers = _VERSION.fullmatch(version)
    if numbers is None:
        raise _Refused(HTTPStatus.BAD_REQUEST, "Malformed HTTP version")
    if numbers[1] != "1":
        raise _Refused(HTTPStatus.HTTP_VERSION_NOT_SUPPORTED)
    if method not in ("GET", "HEAD"):
        raise _Refused(HTTPStatus.NOT_IMPLEMENTED, f"Method {method!r} is not served")
    if headers.get("content-length", "0") != "0" or "transfer-encoding" in headers:
        raise _Refused(HTTPStatus.BAD_REQUEST, "A request body is not accepted")
    connection = {option.strip().lower() for option in headers.get("connection", "").split(",")}
    # HTTP/1.1 keeps a connection unless told not to, HTTP/1.0 only when asked.
    keep_alive = "keep-alive" in connection if numbers[2] == "0" else "close" not in connection
    return _Request(line=line, method=method, target=target, keep_alive=keep_alive)


def _serial_of(target: str) -> str:
    """The serial a lookup target asks for; _Refused (404 or 400) otherwise."""
    path, _, query = target.partition("?")
    if path != IDENTITY_PATH:
        raise _Refused(HTTPStatus.NOT_FOUND)
    try:
        fields = urllib.parse.parse_qsl(
            query, keep_blank_values=True, errors="strict", max_num_fields=_MAX_QUERY_FIELDS
        )
    except ValueError as error:  # too many fields, or percent-escapes that are not UTF-8
        raise _Refused(HTTPStatus.BAD_REQUEST, f"Malformed query: {error}") from None
    serials = [value for name, value in fields if name == SERIAL_PARAMETER]
    if len(serials) != 1 or not serials[0]:
        raise _Refused(HTTPStatus.BAD_REQUEST, f"Expected exactly one {SERIAL_PARAMETER} parameter")
    return serials[0]


def _response(status: HTTPStatus, body: bytes, *, with_body: bool, keep_alive: bool) -> bytes:
    """Head and body together, so that each response leaves in one write."""
    head = (
        f"HTTP/1.1 {status.value} {status.phrase}\r\n"
        f"Server: {_SERVER_NAME}\r\n"
        f"Date: {formatdate(usegmt=True)}\r\n"
        "Content-Type: application/json; charset=utf-8\r\n"
        f"Content-Length: {len(body)}\r\n"
        f"Connection: {'keep-alive' if keep_alive else 'close'}\r\n\r\n"
    ).encode("ascii")
    return head + body if with_body else head


def _error_body(refusal: _Refused) -> bytes:
    return json.dumps({"detail": str(refusal)}).encode() + b"\n"


def _log_request(client: str, line: str, status: HTTPStatus, size: int) -> None:
    if _LOGGER.isEnabledFor(logging.INFO):
        _LOGGER.info('%s "%s" %d %d', client, line.translate(_CONTROL_CHARACTERS), status, size)


def _descriptor_cap() -> int:
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    return max(1, soft - _RESERVED_DESCRIPTORS) if soft != resource.RLIM_INFINITY else DEFAULT_MAX_CONNECTIONS


class DeviceInfoServer:
    """Serves the documents of ``documents`` (one ``<serial>.json`` each).

    The socket is bound on construction (port 0 picks a free port, which
    :attr:`url` tells); :meth:`serve_forever` serves in the calling thread
    until :meth:`shutdown`. ``max_connections`` is lowered to what the
    process's descriptor limit allows.
    """

    def __init__(
        self,
        documents: str | os.PathLike[str],
        address: tuple[str, int] = ("127.0.0.1", 0),
        *,
        max_connections: int = DEFAULT_MAX_CONNECTIONS,
        request_timeout: float = DEFAULT_REQUEST_TIMEOUT,
    ) -> None:
        self.documents = Path(documents)
        if not self.documents.is_dir():
            raise NotADirectoryError(f"{self.documents}: not a directory")
        if max_connections < 1:
            raise ValueError(f"at most {max_connections} connections: expected at least 1")
        if not request_timeout > 0:
            raise ValueError(f"request time-out {request_timeout}: expected a positive number of seconds")
        host, port = address
        if not 0 <= port <= 65535:
            raise ValueError(f"port {port}: expected 0 to 65535")
        self.max_connections = min(max_connections, _descriptor_cap())
        self.request_timeout = request_timeout
        self._root = self.documents.resolve()
        family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0][0]
        self._socket = socket.create_server((host, port), family=family, backlog=_BACKLOG)
        self.server_address: tuple[str, int] = self._socket.getsockname()[:2]
        # The connections waiting for a request, as an ordered set: the
        # first has waited longest.
        self._waiting: dict[asyncio.Task[None], None] = {}
        self._connections: set[asyncio.Task[None]] = set()
        self._shutdown_requested = False
        self._wake: Callable[[], object] | None = None
        self._finished = threading.Event()
        self._finished.set()

    # -- addresses

    @property
    def url(self) -> str:
        host, port = self.server_address
        if self._socket.family == socket.AF_INET6:
            host = f"[{host.replace('%', '%25')}]"
        return f"http://{host}:{port}"

    @property
    def identity_url(self) -> str:
        """The value for ``device_lookup._CAMERA_IDENTITY_URL``."""
        return identity_url(self.url)

    # -- running

    def __enter__(self) -> DeviceInfoServer:
        return self

    def __exit__(self, *_: object) -> None:
        self.server_close()

    def server_close(self) -> None:
        self._socket.close()

    def serve_forever(self) -> None:
        """Serves until :meth:`shutdown`, which wakes the loop at once."""
        self._finished.clear()
        try:
            asyncio.run(self._serve())
        finally:
            self._shutdown_requested = False
            self._finished.set()

    def shutdown(self, wait: bool = True) -> None:
        """Stops :meth:`serve_forever`, from any thread; with ``wait=False``
        it only asks, which is what a signal handler may do."""
        # Flag first, then wake: serve_forever stores its waker before it
        # reads the flag, so one of the two always reaches it.
        self._shutdown_requested = True
        wake = self._wake
        if wake is not None:
            # RuntimeError: the loop closed in between, so it has stopped.
            with contextlib.suppress(RuntimeError):
                wake()
        if wait:
            self._finished.wait()

    async def _serve(self) -> None:
        loop = asyncio.get_running_loop()
        stopping = asyncio.Event()
        self._wake = lambda: loop.call_soon_threadsafe(stopping.set)
        if self._shutdown_requested:
            stopping.set()
        # asyncio accepts up to `backlog` connections at a time before any
        # of them is admitted: a small batch keeps a burst within the
        # descriptors reserved beyond the cap. The kernel queue stays long.
        listener = await asyncio.start_server(
            self._serve_connection, sock=self._socket, limit=_MAX_HEAD_BYTES, backlog=_ACCEPT_BATCH
        )
        self._socket.listen(_BACKLOG)
        _LOGGER.info(
            "at most %d connections; %g s for each request head", self.max_connections, self.request_timeout
        )
        try:
            await stopping.wait()
        finally:
            self._wake = None
            listener.close()
            for connection in self._connections:
                connection.cancel()
            await asyncio.gather(*self._connections, return_exceptions=True)

    def _admit(self, connection: asyncio.Task[None]) -> bool:
        """Takes a new connection in, making room at the cap by dropping the
        one that has waited longest for its request; False when every
        connection is busy answering."""
        if len(self._connections) >= self.max_connections:
            if not self._waiting:
                return False
            longest_waiting = next(iter(self._waiting))
            del self._waiting[longest_waiting]
            self._connections.discard(longest_waiting)
            longest_waiting.cancel()
            _LOGGER.debug("at %d connections: dropped the one waiting longest", self.max_connections)
        self._connections.add(connection)
        return True

    async def _serve_connection(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        connection = asyncio.current_task()
        assert connection is not None
        client = str((writer.get_extra_info("peername") or ("-",))[0])
        try:
            if not self._admit(connection):
                busy = _error_body(_Refused(HTTPStatus.SERVICE_UNAVAILABLE))
                writer.write(_response(HTTPStatus.SERVICE_UNAVAILABLE, busy, with_body=True, keep_alive=False))
                return
            keep_alive = True
            while keep_alive:
                self._waiting[connection] = None
                try:
                    async with asyncio.timeout(self.request_timeout):
                        response, keep_alive = await self._next_response(reader, client)
                finally:
                    self._waiting.pop(connection, None)
                if response is None:
                    return
                writer.write(response)
                async with asyncio.timeout(self.request_timeout):
                    await writer.drain()
        except TimeoutError:
            _LOGGER.debug("%s: no complete request or reader within %g s", client, self.request_timeout)
        except ConnectionError:
            pass
        finally:
            self._connections.discard(connection)
            transport = writer.transport
            # A client that does not read loses what it did not take.
            transport.abort() if transport.get_write_buffer_size() else transport.close()

    async def _next_response(self, reader: asyncio.StreamReader, client: str) -> tuple[bytes | None, bool]:
        """The response to the next request and whether the connection goes
        on; None when the client has closed."""
        try:
            request = await _read_request(reader)
        except _Refused as refusal:
            body = _error_body(refusal)
            _log_request(client, "-", refusal.status, len(body))
            return _response(refusal.status, body, with_body=True, keep_alive=False), False
        if request is None:
            return None, False
        with_body = request.method != "HEAD"
        try:
            document = self.read_document(_serial_of(request.target))
            if document is None:
                raise _Refused(HTTPStatus.NOT_FOUND, "Unknown serial number")
            status, body = HTTPStatus.OK, document
        except _Refused as refusal:
            status, body = refusal.status, _error_body(refusal)
        _log_request(client, request.line, status, len(body))
        return _response(status, body, with_body=with_body, keep_alive=request.keep_alive), request.keep_alive

    # -- documents

    def read_document(self, serial: str) -> bytes | None:
        """The stored document of ``serial``, or None when there is none
        that may be served."""
        name = document_name(serial)
        if name is None:
            return None
        path = Path(os.path.realpath(self._root / name))
        if not path.is_relative_to(self._root):
            _LOGGER.warning("%s: refused, it resolves to %s, outside %s", name, path, self._root)
            return None
        try:
            # The link check above holds: read_regular_file follows none.
            body, _ = read_regular_file(path, _MAX_DOCUMENT_BYTES)
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as error:
            _LOGGER.warning("%s: refused: %s", name, error)
            return None
        return body
