"""Fixtures shared by the whole suite.

Device-information service
    ``device_info_server``: a real HTTP server on 127.0.0.1 (a fresh port per
    test) that answers each serial with the response registered for it and
    records every request. ``device_info_service``: the same server with
    ``device_lookup._CAMERA_IDENTITY_URL`` rebound to it, for tests that go
    through ``fetch_camera_identity_json``.

Documents
    ``make_calibration_block`` and ``make_device_info``: factories of valid
    documents, fresh on every call, for a test to alter as it needs.

Test doubles bound on ``camera_identity`` (undone after each test)
    ``fake_backend``: the platform's connected devices.
    ``fake_lookup``: ``fetch_camera_identity_json``.
    ``fake_sku_registry``: ``spec_by_sku``.

Every test runs with ``_CAMERA_IDENTITY_URL`` pointing at a loopback port
that refuses connections unless it asks for the server: no lookup made by
the suite can leave this machine.
"""

from __future__ import annotations

import copy
import http.client
import json
import os
import signal
import socket
import threading
import urllib.parse
from collections.abc import Iterator
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

import pytest

from quor_camera_sdk.cameras import camera_identity, device_lookup
from quor_camera_sdk.cameras.camera_spec import CameraSpec
from quor_camera_sdk.platform import DeviceEntry

# A process started in the background of a shell without job control (a CI
# runner, nohup) inherits SIGINT ignored, and so would every command a test
# starts: the Ctrl-C tests would interrupt nothing. Ignored signals survive
# exec, a handler does not: with one here, the commands start with SIGINT as
# a terminal gives it.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

SERVICE_PATH = "/api/public/camera-identity"
SERIAL_PARAMETER = "serial_number="
# The SKU of make_device_info's documents, registered by fake_sku_registry.
TEST_SKU = "QTEST-0001"

# Read before any fixture rebinds it.
_SHIPPED_SERVICE_URL = device_lookup._CAMERA_IDENTITY_URL


# ---------------------------------------------------------------------------
# Device-information server


@dataclass(frozen=True)
class CannedResponse:
    status: int = 200
    body: bytes = b"{}"
    # Seconds to wait before answering; the wait ends early when the server stops.
    delay: float = 0.0


@dataclass(frozen=True)
class RecordedRequest:
    # The request target as sent: path and query, percent-encoding intact.
    path: str
    # The serial_number parameter, percent-decoded; None when absent.
    serial: str | None
    # Case-insensitive: headers["User-Agent"] finds "User-agent" too.
    headers: http.client.HTTPMessage


_UNKNOWN_SERIAL = CannedResponse(status=404, body=b'{"detail": "unknown serial number"}')


class DeviceInfoServer:
    """Answers ``GET <any path>?serial_number=<serial>`` with the response
    registered for that serial (404 for others) and appends every request to
    ``requests``, in arrival order."""

    def __init__(self) -> None:
        self.requests: list[RecordedRequest] = []
        self._responses: dict[str, CannedResponse] = {}
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), _DeviceInfoHandler)
        self._httpd.daemon_threads = True
        self._httpd.owner = self  # type: ignore[attr-defined]
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True
        )

    @property
    def url(self) -> str:
        """The service URL to which a percent-encoded serial is appended."""
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}{SERVICE_PATH}?{SERIAL_PARAMETER}"

    def respond(self, serial: str, *, status: int = 200, body: bytes = b"{}", delay: float = 0.0) -> None:
        self._responses[serial] = CannedResponse(status=status, body=body, delay=delay)

    def respond_json(self, serial: str, document: Any, *, status: int = 200) -> None:
        self.respond(serial, status=status, body=json.dumps(document).encode())

    @property
    def serials_requested(self) -> list[str | None]:
        return [request.serial for request in self.requests]

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()

    def _answer(self, path: str, headers: http.client.HTTPMessage) -> CannedResponse | None:
        """Records the request; None when the server stopped while delaying."""
        _, _, query = path.partition("?")
        serial = None
        if query.startswith(SERIAL_PARAMETER):
            serial = urllib.parse.unquote(query.removeprefix(SERIAL_PARAMETER))
        with self._lock:
            self.requests.append(RecordedRequest(path=path, serial=serial, headers=headers))
        response = self._responses.get(serial, _UNKNOWN_SERIAL) if serial is not None else _UNKNOWN_SERIAL
        if response.delay and self._stopping.wait(response.delay):
            return None
        return response


class _DeviceInfoHandler(BaseHTTPRequestHandler):
    def do_GET(self) -> None:
        response = self.server.owner._answer(self.path, self.headers)  # type: ignore[attr-defined]
        if response is None:
            return
        self.send_response(response.status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(response.body)))
        self.end_headers()
        self.wfile.write(response.body)

    def log_message(self, format: str, *args: Any) -> None:
        # Keeps the test output clean; the requests are recorded instead.
        pass


@pytest.fixture
def device_info_server() -> Iterator[DeviceInfoServer]:
    server = DeviceInfoServer()
    server.start()
    yield server
    server.stop()


@pytest.fixture
def device_info_service(device_info_server: DeviceInfoServer, monkeypatch: pytest.MonkeyPatch) -> DeviceInfoServer:
    monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL", device_info_server.url)
    return device_info_server


@pytest.fixture(scope="session")
def refused_service_url() -> Iterator[str]:
    """A loopback service URL whose port refuses connections at once: the
    port is bound, so nobody else gets it, but never listened on."""
    with socket.socket() as placeholder:
        placeholder.bind(("127.0.0.1", 0))
        yield f"http://127.0.0.1:{placeholder.getsockname()[1]}{SERVICE_PATH}?{SERIAL_PARAMETER}"


@pytest.fixture(autouse=True)
def _lookups_stay_on_loopback(monkeypatch: pytest.MonkeyPatch, refused_service_url: str) -> None:
    monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL", refused_service_url)


# Environment variables through which the machine would reach into a test:
# proxies (urllib reads them on every request), and the SDK's own settings.
MACHINE_SETTINGS = (
    *(f"{scheme}_proxy" for scheme in ("http", "https", "ftp", "all", "no")),
    *(f"{scheme}_PROXY" for scheme in ("HTTP", "HTTPS", "FTP", "ALL", "NO")),
    "REQUEST_METHOD",  # with it set, urllib takes the process for a CGI script and drops HTTP_PROXY
)


@pytest.fixture(autouse=True)
def _independent_of_the_machine(monkeypatch: pytest.MonkeyPatch, tmp_path_factory: pytest.TempPathFactory) -> None:
    """No proxy, no SDK setting and no cache of the machine's applies to a
    test (nor to the commands it runs): the user's cache folder is a fresh
    one for each test. A test that needs a proxy or a setting sets its own."""
    for name in (*MACHINE_SETTINGS, *(name for name in os.environ if name.startswith("QUOR_"))):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("cache")))


@pytest.fixture
def shipped_service_url() -> str:
    """The module's own ``_CAMERA_IDENTITY_URL``, as imported."""
    return _SHIPPED_SERVICE_URL


# ---------------------------------------------------------------------------
# Documents

_CALIBRATION_BLOCK = {
    "version": 3,
    "calibrated_at": "2026-03-14T09:21:07Z",
    "cameras": [
        {
            "role": "left",
            "image_size": [1280, 720],
            "intrinsics": {"fx": 700.125, "fy": 700.5, "cx": 640, "cy": 360.75},
            "distortion": [-0.171, 0.0265, 0.0001, -0.0002, 0],
            "extrinsics": {"rotation": [[1, 0, 0], [0, 1, 0], [0, 0, 1]], "translation": [0, 0, 0]},
        },
        {
            "role": "right",
            "image_size": [1280, 720],
            "intrinsics": {"fx": 701, "fy": 701.25, "cx": 638.5, "cy": 359},
            "distortion": [-0.168, 0.025, 0.0, 0.0003, 0.001, 0.0, 0.0, 0.0],
            "extrinsics": {
                "rotation": [[0.99998, 0.0, -0.006], [0.0, 1.0, 0.0], [0.006, 0.0, 0.99998]],
                "translation": [-63.2, 0.15, -0.4],
            },
        },
    ],
}


def calibration_block() -> dict[str, Any]:
    """A valid calibration block (left and right camera); ints and floats
    are mixed on purpose, so a conversion between them shows."""
    return copy.deepcopy(_CALIBRATION_BLOCK)


_FRESH_BLOCK = object()


def device_info(
    serial: Any = "QC-0001",
    sku: Any = TEST_SKU,
    model_name: Any = "QUOR Test Unit",
    base_calibration: Any = _FRESH_BLOCK,
) -> dict[str, Any]:
    """A device-information document as the service sends it; valid, with a
    fresh calibration_block(), unless told otherwise."""
    return {
        "serial_number": serial,
        "sku": sku,
        "model_name": model_name,
        "base_calibration": calibration_block() if base_calibration is _FRESH_BLOCK else base_calibration,
    }


@pytest.fixture
def make_calibration_block():
    return calibration_block


@pytest.fixture
def make_device_info():
    """``make_device_info(serial=..., sku=..., model_name=..., base_calibration=...)``;
    the default SKU is the one ``fake_sku_registry`` registers."""
    return device_info


# ---------------------------------------------------------------------------
# Test doubles for camera_identity's collaborators


class FakeBackend:
    """The platform backend: ``devices`` is what ``list_cameras`` returns;
    ``list_calls`` counts its calls."""

    def __init__(self) -> None:
        self.devices: list[Any] = []
        self.list_calls = 0

    def plug(self, serial: str, os_id: str | None = None) -> DeviceEntry:
        """Appends a device; os_id defaults to /dev/video0, /dev/video2, ...
        (a UVC camera's capture node, each followed by its metadata node)."""
        entry = DeviceEntry(serial=serial, os_id=os_id or f"/dev/video{2 * len(self.devices)}")
        self.devices.append(entry)
        return entry

    def list_cameras(self) -> list[Any]:
        self.list_calls += 1
        return list(self.devices)


class FakeLookup:
    """``fetch_camera_identity_json``: answers from ``documents`` (serial →
    document, or an exception instance to raise) and records each argument,
    the object itself, in ``calls``."""

    def __init__(self) -> None:
        self.documents: dict[str, Any] = {}
        self.calls: list[Any] = []

    def __call__(self, camera_serial: str, timeout: float = 10.0) -> Any:
        self.calls.append(camera_serial)
        if camera_serial not in self.documents:
            raise LookupError(f"no document registered for serial {camera_serial!r}")
        answer = self.documents[camera_serial]
        if isinstance(answer, BaseException):
            raise answer
        return answer


class FakeSkuRegistry:
    """``spec_by_sku``: finds SKUs in ``specs`` (``sku`` → ``spec`` is
    registered from the start) and records each argument in ``lookups``.
    An exception instance stored as a spec is raised."""

    sku = TEST_SKU

    def __init__(self) -> None:
        self.spec = CameraSpec(skus=(self.sku,), modes=(), controls=())
        self.specs: dict[str, Any] = {self.sku: self.spec}
        self.lookups: list[Any] = []

    def __call__(self, sku: str, /) -> CameraSpec | None:
        self.lookups.append(sku)
        spec = self.specs.get(sku)
        if isinstance(spec, BaseException):
            raise spec
        return spec


@pytest.fixture
def fake_backend(monkeypatch: pytest.MonkeyPatch) -> FakeBackend:
    backend = FakeBackend()
    monkeypatch.setattr(camera_identity, "current_backend", lambda: backend)
    return backend


@pytest.fixture
def fake_lookup(monkeypatch: pytest.MonkeyPatch) -> FakeLookup:
    lookup = FakeLookup()
    monkeypatch.setattr(camera_identity, "fetch_camera_identity_json", lookup)
    return lookup


@pytest.fixture
def fake_sku_registry(monkeypatch: pytest.MonkeyPatch) -> FakeSkuRegistry:
    registry = FakeSkuRegistry()
    monkeypatch.setattr(camera_identity, "spec_by_sku", registry)
    return registry
