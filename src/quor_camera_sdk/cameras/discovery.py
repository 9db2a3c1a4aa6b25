"""Discovery that holds up in the field: bounded, concurrent, offline-capable.

:func:`discover` answers the same question as
:func:`~quor_camera_sdk.cameras.camera_identity.list_connected_quor_cameras`,
with the same records for the same answers of the service, and adds what an
application needs away from the lab:

- the lookups run concurrently, and the call returns by its ``deadline``
  whatever the service does: a lookup still running then is cut off and
  reported as timed out, and its late answer is dropped;
- every device gets a :class:`DeviceOutcome` that says what happened to it
  and why, in one line;
- the documents of the service are kept in a :class:`DocumentCache`, used
  when a lookup fails and, with ``offline=True``, instead of the network.

Lookups go to the service that ``device_lookup._CAMERA_IDENTITY_URL`` names
(see :func:`use_service` and ``QUOR_SERVICE_URL``), with the SDK's
User-Agent. Proxies: the standard variables (``https_proxy``, ``http_proxy``,
``no_proxy``) apply as in :mod:`urllib`, except that a loopback service
(``localhost``, 127.0.0.0/8, ``::1``) is never asked through a proxy; a
failed lookup that went through a proxy says so in its reason.
"""

from __future__ import annotations

import enum
import functools
import ipaddress
import json
import logging
import math
import os
import queue
import socket
import ssl
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from datetime import UTC, datetime
from http import client
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final, Literal, Protocol

from quor_camera_sdk._files import read_regular_file, write_atomically
from quor_camera_sdk.cameras import camera_identity, device_lookup
from quor_camera_sdk.cameras.camera_identity import QuorCameraIdentity
from quor_camera_sdk.cameras.documents import (
    IDENTITY_PATH,
    SERIAL_PARAMETER,
    document_name,
    identity_url,
)

__all__ = [
    "DEFAULT",
    "SERVICE_URL_ENV",
    "DeviceOutcome",
    "DiscoveryReport",
    "DocumentCache",
    "Status",
    "discover",
    "resolve_devices",
    "service_lookup_url",
    "use_service",
    "watch_cameras",
]

_LOGGER = logging.getLogger(__name__)

SERVICE_URL_ENV = "QUOR_SERVICE_URL"

# A device-information document is a few kilobytes; this bounds what a
# misbehaving service can make a lookup hold in memory.
_DOCUMENT_LIMIT = 16 * 1024 * 1024


class Status(enum.StrEnum):
    """What became of one device."""

    RESOLVED = "resolved"
    CACHED = "cached"  # resolved from the cache, the service unavailable or not asked
    NO_SERIAL = "no_serial"  # the device reports no serial number: not looked up
    LOOKUP_FAILED = "lookup_failed"  # the service could not be reached or answered with an error
    TIMED_OUT = "timed_out"
    NOT_A_DOCUMENT = "not_a_document"  # the answer is no device-information document
    UNKNOWN_SKU = "unknown_sku"
    BAD_CALIBRATION = "bad_calibration"


@dataclass(frozen=True, slots=True)
class DeviceOutcome:
    """What became of one video device, and why, in one line.

    ``camera`` is the resolved record (status ``resolved`` or ``cached``);
    ``http_status`` the status code of the service's answer, when it
    answered; ``seconds`` how long the device took, lookup included.
    """

    os_id: Any
    serial: Any
    status: Status
    reason: str
    seconds: float
    camera: QuorCameraIdentity | None = None
    http_status: int | None = None

    @property
    def service_unreachable(self) -> bool:
        """True when this device could not be resolved because no answer of
        the service reached us (nor a cached one)."""
        return self.status in (Status.LOOKUP_FAILED, Status.TIMED_OUT) and self.http_status is None


@dataclass(frozen=True, slots=True)
class DiscoveryReport:
    """The cameras found, in the platform's order, and one outcome per
    device (the same order)."""

    cameras: list[QuorCameraIdentity]
    outcomes: tuple[DeviceOutcome, ...]
    seconds: float

    @property
    def unresolved(self) -> tuple[DeviceOutcome, ...]:
        return tuple(outcome for outcome in self.outcomes if outcome.camera is None)

    @property
    def service_unreachable(self) -> bool:
        """True when no camera resolved and every device that was looked up
        failed for want of the service."""
        looked_up = [outcome for outcome in self.outcomes if outcome.status is not Status.NO_SERIAL]
        return not self.cameras and bool(looked_up) and all(o.service_unreachable for o in looked_up)


# ---------------------------------------------------------------------------
# Service configuration


def service_lookup_url(url: str) -> str:
    """The lookup prefix (to which the quoted serial is appended) of the
    service named by ``url``:

    - a service address, ``http://127.0.0.1:8080`` (with or without a final
      slash), gets the lookup path and query;
    - the lookup path itself, ``https://host/api/public/camera-identity``,
      gets the query;
    - any other URL is taken as the prefix itself.

    Raises ValueError for anything but an http or https URL with a host.
    """
    try:
        parts = urllib.parse.urlsplit(url)
        _ = parts.port  # parsing the port validates it
    except ValueError as error:
        raise ValueError(f"{url!r} is not a URL: {error}") from None
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"expected an http:// or https:// URL with a host, got {url!r}")
    if parts.query or parts.fragment:
        return url
    if parts.path in ("", "/"):
        return identity_url(url)
    if parts.path.rstrip("/") == IDENTITY_PATH:
        return f"{url.rstrip('/')}?{SERIAL_PARAMETER}="
    return url


def use_service(url: str) -> str:
    """Send this process's lookups to the service at ``url`` (any form that
    :func:`service_lookup_url` accepts), for :func:`discover` and for the
    functions of :mod:`~quor_camera_sdk.cameras.camera_identity` alike.
    Returns the lookup prefix now in use."""
    lookup_url = service_lookup_url(url)
    device_lookup._CAMERA_IDENTITY_URL = lookup_url
    return lookup_url


def _service_from_environment() -> ValueError | None:
    """Applies ``QUOR_SERVICE_URL``; a bad value is kept to be raised by
    the first discovery rather than breaking the import."""
    if url := os.environ.get(SERVICE_URL_ENV):
        try:
            use_service(url)
        except ValueError as error:
            return ValueError(f"{SERVICE_URL_ENV}: {error}")
    return None


# ---------------------------------------------------------------------------
# Cache


def _read_cached(path: Path) -> tuple[bytes, float] | None:
    try:
        content, status = read_regular_file(path, _DOCUMENT_LIMIT)
    except (OSError, ValueError):
        return None
    return content, status.st_mtime


class DocumentCache:
    """Device-information documents, one ``<serial>.json`` file each, as the
    service sent them (so the folder can be served by ``quor-cameras serve``).

    Written atomically, and only for serials made of letters, digits, ".",
    "-" and "_". The default folder is ``quor-camera-sdk/device-info`` under
    the user's cache folder (``$XDG_CACHE_HOME``, else ``~/.cache``).
    """

    def __init__(self, folder: str | os.PathLike[str]):
        self.folder = Path(folder)

    @classmethod
    def default(cls) -> DocumentCache:
        configured = os.environ.get("XDG_CACHE_HOME", "")
        base = Path(configured) if os.path.isabs(configured) else Path.home() / ".cache"
        return cls(base / "quor-camera-sdk" / "device-info")

    def load(self, serial: str) -> tuple[bytes, float] | None:
        """The stored document of ``serial`` and the time it was stored."""
        name = document_name(serial)
        return None if name is None else _read_cached(self.folder / name)

    def store(self, serial: str, document: bytes) -> bool:
        """Stores ``document``; False when the serial may not name a file or
        the folder cannot be written (a cache never fails a discovery)."""
        name = document_name(serial)
        if name is None:
            return False
        try:
            self.folder.mkdir(mode=0o700, parents=True, exist_ok=True)
            write_atomically(self.folder / name, document)
        except OSError as error:
            _LOGGER.debug("cannot cache the document of serial=%s in %s: %s", serial, self.folder, error)
            return False
        return True


class _DefaultCache(enum.Enum):
    DEFAULT = "DEFAULT"


DEFAULT: Final = _DefaultCache.DEFAULT
"""The user's default :class:`DocumentCache`."""

CacheChoice = DocumentCache | str | os.PathLike[str] | Literal[_DefaultCache.DEFAULT] | None


def _cache_of(choice: CacheChoice) -> DocumentCache | None:
    if choice is DEFAULT:
        return DocumentCache.default()
    if choice is None or isinstance(choice, DocumentCache):
        return choice
    return DocumentCache(choice)


# ---------------------------------------------------------------------------
# One lookup over HTTP, cut off at its deadline


class _Exchange:
    """The connection of one lookup, which the caller can cut: shutting the
    socket down ends any read or write blocked on it at once."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._sockets: list[socket.socket] = []
        self._cut = False

    def attach(self, sock: socket.socket) -> None:
        with self._lock:
            self._sockets.append(sock)
            if self._cut:
                self._shut(sock)

    def cut(self) -> None:
        with self._lock:
            self._cut = True
            for sock in self._sockets:
                self._shut(sock)

    @staticmethod
    def _shut(sock: socket.socket) -> None:
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass  # already closed, or never connected


class _Connection(client.HTTPConnection):
    """A connection that registers its socket with the lookup's exchange
    once connected."""

    def __init__(self, host: str, /, *, exchange: _Exchange, **options: Any):
        super().__init__(host, **options)
        self.exchange = exchange

    def connect(self) -> None:
        super().connect()
        self.exchange.attach(self.sock)


class _SecureConnection(_Connection, client.HTTPSConnection):
    """The same over TLS: the socket registered is the one TLS wraps it in."""


@functools.cache
def _tls_context() -> ssl.SSLContext:
    # What urllib uses by default; made once, as loading the trust store
    # costs more than a lookup on a LAN.
    context = ssl.create_default_context()
    context.set_alpn_protocols(["http/1.1"])
    return context


class _Handler(urllib.request.HTTPHandler, urllib.request.HTTPSHandler):
    """Opens HTTP and HTTPS connections that register their sockets with
    ``exchange``."""

    def __init__(self, exchange: _Exchange):
        super().__init__(context=_tls_context())
        self._exchange = exchange

    def http_open(self, req: urllib.request.Request) -> client.HTTPResponse:
        return self.do_open(functools.partial(_Connection, exchange=self._exchange), req)

    def https_open(self, req: urllib.request.Request) -> client.HTTPResponse:
        return self.do_open(functools.partial(_SecureConnection, exchange=self._exchange), req,
                            context=_tls_context())


def _is_loopback(host: str) -> bool:
    host = host.rstrip(".").lower()
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _proxy_for(url: str) -> str | None:
    """The proxy urllib would send ``url`` through, except that a loopback
    service never goes through one (the proxy would see the serials and
    could answer with forged documents)."""
    parts = urllib.parse.urlsplit(url)
    host = parts.hostname or ""
    if _is_loopback(host):
        return None
    proxy = urllib.request.getproxies().get(parts.scheme)
    if proxy is None or urllib.request.proxy_bypass(parts.netloc.rpartition("@")[2]):
        return None
    return proxy


class _Answer:
    """What the service answered: a status, and a body when it is 200."""

    def __init__(self, http_status: int, body: bytes = b""):
        self.http_status = http_status
        self.body = body


class _LookupFailed(Exception):
    """A lookup that got no usable answer; the message is its reason."""

    def __init__(self, reason: str, *, status: Status = Status.LOOKUP_FAILED, http_status: int | None = None):
        super().__init__(reason)
        self.status = status
        self.http_status = http_status


def _one_line(text: str) -> str:
    return " ".join(str(text).split())


def _reason(error: BaseException) -> str:
    if isinstance(error, urllib.error.URLError) and not isinstance(error, urllib.error.HTTPError):
        error = error.reason if isinstance(error.reason, BaseException) else error
    return _one_line(f"{type(error).__name__}: {error}")


def _fetch(url: str, timeout: float, exchange: _Exchange) -> _Answer:
    """GET ``url`` as the SDK's lookup does. Raises _LookupFailed."""
    proxy = _proxy_for(url)
    opener = urllib.request.build_opener(
        urllib.request.ProxyHandler({} if proxy is None else {urllib.parse.urlsplit(url).scheme: proxy}),
        _Handler(exchange),
    )
    request = urllib.request.Request(
        url, headers={"User-Agent": device_lookup._USER_AGENT, "Accept": "application/json"}
    )
    through = f" (through the proxy {proxy})" if proxy else ""
    try:
        with opener.open(request, timeout=timeout) as response:
            body = response.read(_DOCUMENT_LIMIT + 1)
            if len(body) > _DOCUMENT_LIMIT:
                raise _LookupFailed(f"the answer is larger than {_DOCUMENT_LIMIT} bytes", status=Status.NOT_A_DOCUMENT,
                                    http_status=response.status)
            return _Answer(response.status, body)
    except urllib.error.HTTPError as error:
        raise _LookupFailed(f"the service answered {error.code} {_one_line(error.reason)}{through}",
                            http_status=error.code) from None
    except TimeoutError as error:
        raise _LookupFailed(f"no answer in time{through}: {_reason(error)}", status=Status.TIMED_OUT) from None
    except (OSError, client.HTTPException, ValueError) as error:
        timed_out = isinstance(error, urllib.error.URLError) and isinstance(error.reason, TimeoutError)
        raise _LookupFailed(f"cannot reach {urllib.parse.urlsplit(url).netloc}{through}: {_reason(error)}",
                            status=Status.TIMED_OUT if timed_out else Status.LOOKUP_FAILED) from None


_TOO_DEEP = "the document is nested too deeply"


def _parse(body: bytes) -> dict[str, Any]:
    """The document in a body, as the SDK's lookup parses it. Raises
    _LookupFailed with status not_a_document."""
    try:
        document = json.loads(body.decode("utf-8"))
    except RecursionError:
        raise _LookupFailed(_TOO_DEEP, status=Status.NOT_A_DOCUMENT) from None
    except (UnicodeDecodeError, ValueError) as error:
        raise _LookupFailed(f"the answer is not a JSON document: {_reason(error)}",
                            status=Status.NOT_A_DOCUMENT) from None
    if not isinstance(document, dict):
        raise _LookupFailed(f"the answer is a JSON {_json_type(document)}, not an object",
                            status=Status.NOT_A_DOCUMENT)
    return document


def _json_type(value: object) -> str:
    names: dict[type, str] = {
        list: "array", str: "string", int: "number", float: "number", bool: "boolean", type(None): "null",
    }
    return names.get(type(value), type(value).__name__)


# ---------------------------------------------------------------------------
# Resolution


def _unresolved_reason(payload: dict[str, Any]) -> tuple[Status, str]:
    """Why ``from_dict`` left a document unresolved; it has logged it."""
    serial, sku = payload.get("serial_number"), payload.get("sku")
    if not serial:
        return Status.NOT_A_DOCUMENT, "the document names no serial number"
    if not sku:
        return Status.NOT_A_DOCUMENT, "the document names no SKU"
    if camera_identity.spec_by_sku(str(sku)) is None:
        return Status.UNKNOWN_SKU, f"SKU {_one_line(repr(sku))} is not in the SDK device registry"
    block = payload.get("base_calibration")
    if not isinstance(block, dict):
        return Status.BAD_CALIBRATION, "the document has no base_calibration block"
    try:
        camera_identity.Calibration.from_dict(block)
    except (ValueError, KeyError, TypeError) as error:
        return Status.BAD_CALIBRATION, f"the calibration is unusable: {_reason(error)}"
    return Status.NOT_A_DOCUMENT, "the document does not resolve"


def _resolve(payload: dict[str, Any], os_id: Any) -> tuple[QuorCameraIdentity | None, Status, str]:
    record_type = camera_identity.QuorCameraIdentity
    try:
        camera = record_type.from_dict(payload, os_id=os_id)
    except RecursionError:
        return None, Status.NOT_A_DOCUMENT, _TOO_DEEP
    except Exception as error:
        # One device's document must not cost the caller the others.
        _LOGGER.exception("resolving the document of the device %s failed", os_id)
        return None, Status.NOT_A_DOCUMENT, f"the document does not resolve: {_reason(error)}"
    if camera is not None:
        return camera, Status.RESOLVED, "resolved"
    try:
        return None, *_unresolved_reason(payload)
    except RecursionError:
        return None, Status.NOT_A_DOCUMENT, _TOO_DEEP


class _Device(Protocol):
    @property
    def serial(self) -> Any: ...
    @property
    def os_id(self) -> Any: ...


class _Job:
    """One device's way through discovery."""

    def __init__(self, index: int, device: _Device):
        self.index = index
        self.os_id = device.os_id
        self.serial = device.serial
        self.exchange = _Exchange()
        self.started: float | None = None
        self.answer: _Answer | None = None
        self.failure: _LookupFailed | None = None


def _lookup(job: _Job, deadline_at: float, timeout: float) -> None:
    """Worker side: fetch the job's document, leaving answer or failure. A
    job taken after the deadline is left as never begun."""
    started = time.monotonic()
    if started >= deadline_at:
        job.failure = _LookupFailed("the deadline passed before the lookup began", status=Status.TIMED_OUT)
        return
    job.started = started
    url = device_lookup._CAMERA_IDENTITY_URL + urllib.parse.quote(job.serial, safe="-_.~")
    _LOGGER.info("fetching camera-identity from %s", url)
    try:
        job.answer = _fetch(url, min(timeout, deadline_at - started), job.exchange)
    except _LookupFailed as failure:
        job.failure = failure


def _worker(jobs: queue.SimpleQueue[_Job | None], done: queue.SimpleQueue[_Job], deadline_at: float,
            timeout: float) -> None:
    while (job := jobs.get()) is not None:
        try:
            _lookup(job, deadline_at, timeout)
        except BaseException as error:  # a bug here must not leave the caller waiting
            job.failure = _LookupFailed(f"lookup failed: {_reason(error)}")
        done.put(job)


class _Resolution:
    """Turns jobs into outcomes, on the caller's thread."""

    def __init__(self, cache: DocumentCache | None, offline: bool, started: float):
        self.cache = cache
        self.offline = offline
        self.started = started

    def outcome(self, job: _Job, status: Status, reason: str, camera: QuorCameraIdentity | None = None,
                http_status: int | None = None) -> DeviceOutcome:
        since = job.started if job.started is not None else self.started
        return DeviceOutcome(os_id=job.os_id, serial=job.serial, status=status, reason=reason,
                             seconds=time.monotonic() - since, camera=camera, http_status=http_status)

    def finished(self, job: _Job) -> DeviceOutcome:
        """The outcome of a job whose lookup ended."""
        if job.answer is not None:
            try:
                payload = _parse(job.answer.body)
            except _LookupFailed as failure:
                return self.outcome(job, failure.status, str(failure), http_status=job.answer.http_status)
            if self.cache is not None:
                self.cache.store(job.serial, job.answer.body)
            camera, status, reason = _resolve(payload, job.os_id)
            if camera is None:
                _LOGGER.debug("serial=%s: %s", job.serial, reason)
            return self.outcome(job, status, reason, camera, job.answer.http_status)
        assert job.failure is not None
        return self.failed(job, job.failure.status, str(job.failure), job.failure.http_status)

    def failed(self, job: _Job, status: Status, reason: str, http_status: int | None = None) -> DeviceOutcome:
        """The outcome of a job without an answer: from the cache if it can."""
        cached = self.cache.load(job.serial) if self.cache is not None else None
        if cached is None:
            if self.offline:
                reason = "offline, and no document of this serial is cached"
            _LOGGER.warning("device-info lookup failed for serial=%s: %s", job.serial, reason)
            return self.outcome(job, status, reason, http_status=http_status)
        body, stored = cached
        when = datetime.fromtimestamp(stored, UTC).strftime("%Y-%m-%d %H:%M UTC")
        source = "offline" if self.offline else reason
        try:
            payload = _parse(body)
        except _LookupFailed as failure:
            return self.outcome(job, failure.status, f"{source}; the cached document: {failure}")
        camera, resolved_status, resolved_reason = _resolve(payload, job.os_id)
        if camera is None:
            return self.outcome(job, resolved_status, f"{source}; the cached document: {resolved_reason}")
        return self.outcome(job, Status.CACHED, f"{source}; from the cache (stored {when})", camera)


def _positive_seconds(name: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not (math.isfinite(value) and value > 0):
        raise ValueError(f"{name} must be a positive number of seconds, got {value!r}")
    return float(value)


def resolve_devices(
    devices: Iterable[_Device],
    *,
    deadline: float = 15.0,
    max_workers: int = 8,
    cache: CacheChoice = DEFAULT,
    offline: bool = False,
    progress: Callable[[int, int, DeviceOutcome], object] | None = None,
    timeout: float = 10.0,
) -> DiscoveryReport:
    """Look the given device entries up and resolve them, as :func:`discover`
    does for the platform's devices."""
    if _SERVICE_URL_ERROR is not None:
        raise _SERVICE_URL_ERROR
    deadline = _positive_seconds("deadline", deadline)
    timeout = _positive_seconds("timeout", timeout)
    if isinstance(max_workers, bool) or not isinstance(max_workers, int) or max_workers < 1:
        raise ValueError(f"max_workers must be a whole number of at least 1, got {max_workers!r}")
    started = time.monotonic()
    deadline_at = started + deadline
    resolution = _Resolution(_cache_of(cache), offline, started)
    jobs = [_Job(index, device) for index, device in enumerate(devices)]
    outcomes: list[DeviceOutcome | None] = [None] * len(jobs)
    finished = 0

    def record(job: _Job, outcome: DeviceOutcome) -> None:
        nonlocal finished
        outcomes[job.index] = outcome
        finished += 1
        if progress is not None:
            progress(finished, len(jobs), outcome)

    pending: list[_Job] = []
    for job in jobs:
        if not job.serial:
            _LOGGER.debug("device %s reports no serial number: not looked up", job.os_id)
            record(job, resolution.outcome(job, Status.NO_SERIAL, "the device reports no serial number"))
        elif offline:
            record(job, resolution.failed(job, Status.LOOKUP_FAILED, "offline"))
        else:
            pending.append(job)

    todo: queue.SimpleQueue[_Job | None] = queue.SimpleQueue()
    done: queue.SimpleQueue[_Job] = queue.SimpleQueue()
    workers = min(max_workers, len(pending))
    for job in pending:
        todo.put(job)
    for _ in range(workers):
        # Daemon threads: a lookup stuck in name resolution, which nothing
        # can interrupt, must not keep the interpreter from exiting.
        threading.Thread(target=_worker, args=(todo, done, deadline_at, timeout), daemon=True,
                         name="quor-discovery").start()
    waiting = set(pending)
    try:
        while waiting:
            try:
                job = done.get(timeout=max(0.0, deadline_at - time.monotonic()))
            except queue.Empty:
                break
            waiting.discard(job)
            record(job, resolution.finished(job))
    finally:
        # Queued lookups that no worker took are dropped first, so that a
        # worker freed by the cut below cannot begin one; each worker still
        # gets the word to stop.
        while True:
            try:
                todo.get_nowait()
            except queue.Empty:
                break
        for job in waiting:
            job.exchange.cut()
        for _ in range(workers):
            todo.put(None)
    for job in sorted(waiting, key=lambda job: job.index):
        reason = (f"no answer within the deadline of {deadline:g} s" if job.started is not None
                  else f"not looked up before the deadline of {deadline:g} s ({max_workers} at a time)")
        record(job, resolution.failed(job, Status.TIMED_OUT, reason))

    final = tuple(outcome for outcome in outcomes if outcome is not None)
    return DiscoveryReport(
        cameras=[outcome.camera for outcome in final if outcome.camera is not None],
        outcomes=final,
        seconds=time.monotonic() - started,
    )


def discover(
    *,
    deadline: float = 15.0,
    max_workers: int = 8,
    cache: CacheChoice = DEFAULT,
    offline: bool = False,
    progress: Callable[[int, int, DeviceOutcome], object] | None = None,
    timeout: float = 10.0,
) -> DiscoveryReport:
    """The QUOR cameras plugged in, and what became of every video device.

    Enumerates the platform's video devices (``current_backend()`` of
    :mod:`~quor_camera_sdk.cameras.camera_identity`, as its discovery
    functions do) and looks the serial of each up, at most ``max_workers``
    at a time. Returns within ``deadline`` seconds whatever the service
    does; ``timeout`` bounds each connection and read within it. A lookup
    that fails or times out falls back on the ``cache`` (``None``: no cache),
    and ``offline=True`` takes documents from the cache only. ``progress``
    is called with (finished, total, outcome) on this thread as each device
    finishes.
    """
    devices = list(camera_identity.current_backend().list_cameras())
    return resolve_devices(devices, deadline=deadline, max_workers=max_workers, cache=cache, offline=offline,
                           progress=progress, timeout=timeout)


_SERVICE_URL_ERROR: Final = _service_from_environment()


if TYPE_CHECKING:
    from quor_camera_sdk.cameras.hotplug import CameraWatcher


def watch_cameras(*, initial: bool = True, deadline: float = 15.0, cache: CacheChoice = DEFAULT,
                  timeout: float = 10.0, offline: bool = False) -> CameraWatcher:
    """Cameras arriving and leaving, as events: see
    :func:`quor_camera_sdk.cameras.hotplug.watch_cameras`."""
    from quor_camera_sdk.cameras import hotplug

    return hotplug.watch_cameras(initial=initial, deadline=deadline, cache=cache, timeout=timeout, offline=offline)
