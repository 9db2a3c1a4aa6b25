"""Lookups and discovery against a device-information server that misbehaves.

The server below runs on 127.0.0.1 and answers each serial with a behaviour
chosen by the test: stalling, resetting the connection, a short body, a
redirect, a body of several megabytes or an error status.
"""

import functools
import http.client
import json
import logging
import socket
import struct
import threading
import time
import urllib.error
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from quor_camera_sdk.cameras import camera_identity, device_lookup
from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN

SERVICE_PATH = "/api/public/camera-identity"
# Long enough that a lookup which ignores its timeout cannot go unnoticed.
STALL_SECONDS = 30
TIMEOUT = 0.5


class MisbehavingServer:
    """``behave(serial, behaviour)``: the request for ``serial`` is answered
    by ``behaviour(handler)``; other serials get a 404."""

    def __init__(self):
        self.stopping = threading.Event()
        self._behaviours = {}
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self._httpd.daemon_threads = True
        self._httpd.owner = self
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.01})

    @property
    def origin(self):
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    @property
    def url(self):
        return f"{self.origin}{SERVICE_PATH}?serial_number="

    def behave(self, serial, behaviour):
        self._behaviours[serial] = behaviour

    def answer(self, handler):
        query = urllib.parse.urlsplit(handler.path).query
        serial = urllib.parse.parse_qs(query, keep_blank_values=True).get("serial_number", [""])[0]
        self._behaviours.get(serial, status(404))(handler)

    def start(self):
        self._thread.start()

    def stop(self):
        self.stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()


class _Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        self.server.owner.answer(self)

    def log_message(self, format, *args):
        pass


# Behaviours


def _head(handler, code, length, extra=()):
    handler.send_response(code)
    handler.send_header("Content-Type", "application/json")
    handler.send_header("Content-Length", str(length))
    for name, value in extra:
        handler.send_header(name, value)
    handler.end_headers()


def document(body):
    def behaviour(handler):
        _head(handler, 200, len(body))
        handler.wfile.write(body)

    return behaviour


def status(code):
    return lambda handler: _head(handler, code, 0)


def stall_before_headers(handler):
    handler.server.owner.stopping.wait(STALL_SECONDS)


def stall_mid_body(handler):
    _head(handler, 200, 100)
    handler.wfile.write(b'{"serial_number": ')
    handler.wfile.flush()
    handler.server.owner.stopping.wait(STALL_SECONDS)


def reset_mid_body(handler):
    _head(handler, 200, 10_000)
    handler.wfile.write(b'{"serial_number": "' + b"x" * 1000)
    handler.wfile.flush()
    # Linger with a zero timeout: close() sends RST instead of FIN.
    handler.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    handler.connection.close()


def truncated_body(handler):
    _head(handler, 200, 10_000)
    handler.wfile.write(b'{"serial_number": "short"}')
    handler.close_connection = True


def redirect(code, target_serial):
    def behaviour(handler):
        location = f"{SERVICE_PATH}?serial_number={urllib.parse.quote(target_serial)}"
        _head(handler, code, 0, [("Location", location)])

    return behaviour


@pytest.fixture
def server(monkeypatch):
    running = MisbehavingServer()
    running.start()
    monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL", running.url)
    yield running
    running.stop()


def fetch(serial):
    return device_lookup.fetch_camera_identity_json(serial, timeout=TIMEOUT)


# ---------------------------------------------------------------------------
# One lookup


@pytest.mark.parametrize("behaviour", [stall_before_headers, stall_mid_body])
def test_stalled_server_fails_the_lookup_within_the_timeout(server, behaviour):
    server.behave("QF-1", behaviour)

    started = time.monotonic()
    with pytest.raises((TimeoutError, urllib.error.URLError)) as raised:
        fetch("QF-1")

    assert time.monotonic() - started < STALL_SECONDS / 3
    if isinstance(raised.value, urllib.error.URLError):
        assert isinstance(raised.value.reason, TimeoutError)


@pytest.mark.parametrize(
    ("behaviour", "error"),
    [
        (reset_mid_body, (ConnectionResetError, http.client.IncompleteRead)),
        (truncated_body, http.client.IncompleteRead),
    ],
)
def test_body_cut_short_fails_the_lookup(server, behaviour, error):
    server.behave("QF-1", behaviour)

    with pytest.raises(error):
        fetch("QF-1")


@pytest.mark.parametrize("code", [301, 302, 303, 307, 308])
def test_redirect_is_followed_to_the_final_document(server, code):
    server.behave("QF-1", redirect(code, "QF-MOVED"))
    server.behave("QF-MOVED", document(b'{"serial_number": "QF-1", "moved": true}'))

    assert fetch("QF-1") == {"serial_number": "QF-1", "moved": True}


def test_body_of_several_megabytes_is_parsed(server):
    payload = {"serial_number": "QF-1", "padding": ["x" * 1000] * 4000, "numbers": list(range(50_000))}
    body = json.dumps(payload).encode()
    assert len(body) > 4_000_000
    server.behave("QF-1", document(body))

    assert fetch("QF-1") == payload


@pytest.mark.parametrize("code", [400, 401, 403, 404, 410, 429, 500, 502, 503, 504])
def test_error_status_raises_http_error(server, code):
    server.behave("QF-1", status(code))

    with pytest.raises(urllib.error.HTTPError) as raised:
        fetch("QF-1")

    assert raised.value.code == code
    raised.value.close()


# ---------------------------------------------------------------------------
# Discovery: one device meets the fault, the others still resolve

FAULTS = {
    "stall before headers": stall_before_headers,
    "stall mid-body": stall_mid_body,
    "reset mid-body": reset_mid_body,
    "truncated body": truncated_body,
    "error status": status(503),
    "not JSON": document(b"<html>maintenance</html>"),
    "not UTF-8": document(b'{"serial_number": "\xff"}'),
}


@pytest.fixture
def devices(server, fake_backend, make_device_info, monkeypatch):
    """Three plugged cameras whose first and last resolve; the one in the
    middle is the serial "QF-FAULTY"."""
    # Discovery passes no timeout; the default of ten seconds would make a
    # stalled lookup slow, not different.
    monkeypatch.setattr(
        camera_identity,
        "fetch_camera_identity_json",
        functools.partial(device_lookup.fetch_camera_identity_json, timeout=TIMEOUT),
    )
    for serial in ("QF-GOOD-1", "QF-FAULTY", "QF-GOOD-2"):
        fake_backend.plug(serial)
        document_ = make_device_info(serial=serial, sku=QUOR_ORIDAN.skus[0])
        server.behave(serial, document(json.dumps(document_).encode()))
    return server


@pytest.mark.parametrize("behaviour", FAULTS.values(), ids=FAULTS.keys())
def test_fault_on_one_device_leaves_out_only_that_device(devices, behaviour, caplog):
    devices.behave("QF-FAULTY", behaviour)

    with caplog.at_level(logging.ERROR, logger="quor_camera_sdk.cameras.camera_identity"):
        cameras = camera_identity.list_connected_quor_cameras()

    assert [camera.serial for camera in cameras] == ["QF-GOOD-1", "QF-GOOD-2"]
    assert [camera.os_id for camera in cameras] == ["/dev/video0", "/dev/video4"]
    [record] = caplog.records
    assert record.getMessage() == "device-info lookup failed for serial=QF-FAULTY"
    assert record.exc_info is not None


@pytest.mark.parametrize("behaviour", FAULTS.values(), ids=FAULTS.keys())
def test_fault_on_one_device_spares_the_lookup_by_serial_of_another(devices, behaviour):
    devices.behave("QF-FAULTY", behaviour)

    assert camera_identity.get_connected_quor_camera_by_serial("QF-FAULTY") is None
    assert camera_identity.get_connected_quor_camera_by_serial("QF-GOOD-2").os_id == "/dev/video4"
    assert camera_identity.get_first_connected_quor_camera().serial == "QF-GOOD-1"
