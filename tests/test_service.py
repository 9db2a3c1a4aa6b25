"""The local device-information service: what it serves, and what it refuses."""

from __future__ import annotations

import logging
import socket
import threading
import urllib.parse
from collections.abc import Iterator
from pathlib import Path

import pytest

from quor_camera_sdk.cameras.service import DeviceInfoServer

SERIAL = "QC-0001"
DOCUMENT = b'{"serial_number": "QC-0001", "sku": "QTEST-0001"}\n'
SECRET = b'{"secret": "outside the documents folder"}\n'
LOOKUP = "/api/public/camera-identity?serial_number="


@pytest.fixture
def server(tmp_path: Path) -> Iterator[DeviceInfoServer]:
    documents = tmp_path / "documents"
    documents.mkdir()
    (documents / f"{SERIAL}.json").write_bytes(DOCUMENT)
    (documents / "folder.json").mkdir()
    # Beside the folder, where a traversal would land.
    (tmp_path / "secret.json").write_bytes(SECRET)
    with DeviceInfoServer(documents) as running:
        worker = threading.Thread(target=running.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        worker.start()
        yield running
        running.shutdown()
        worker.join()


def exchange(server: DeviceInfoServer, request: bytes) -> tuple[int, bytes]:
    """Sends raw bytes and returns the response's status and body: no
    client library in between to normalise or refuse what is sent."""
    host, port = server.server_address
    with socket.create_connection((host, port), timeout=10) as connection:
        connection.sendall(request)
        response = b""
        while chunk := connection.recv(65536):
            response += chunk
    head, _, body = response.partition(b"\r\n\r\n")
    return int(head.split(b" ", 2)[1]), body


def get(server: DeviceInfoServer, target: bytes, headers: bytes = b"") -> tuple[int, bytes]:
    return exchange(server, b"GET " + target + b" HTTP/1.1\r\nHost: test\r\nConnection: close\r\n" + headers + b"\r\n")


@pytest.mark.parametrize(
    ("target", "status"),
    [
        (LOOKUP + SERIAL, 200),
        (LOOKUP + "QC%2D0001", 200),
        ("/api/public/camera-identity", 400),
        (LOOKUP, 400),
        ("/api/public/camera-identity?serial=QC-0001", 400),
        (f"{LOOKUP}{SERIAL}&serial_number={SERIAL}", 400),
        (LOOKUP + "QC-9999", 404),
        ("/api/public/camera-identity/?serial_number=" + SERIAL, 404),
        ("/other?serial_number=" + SERIAL, 404),
        ("/", 404),
        # Anything that could name a file other than <serial>.json in the folder.
        (LOOKUP + "../secret", 404),
        (LOOKUP + "%2e%2e%2fsecret", 404),
        (LOOKUP + "..%5Csecret", 404),
        (LOOKUP + "{absolute}", 404),
        (LOOKUP + "..", 404),
        (LOOKUP + ".", 404),
        (LOOKUP + "folder", 404),
        (LOOKUP + SERIAL + "%00", 404),
        (LOOKUP + SERIAL + "%00.txt", 404),
        (LOOKUP + "Q" * 129, 404),
    ],
)
def test_lookup_answers(server: DeviceInfoServer, tmp_path: Path, target: str, status: int) -> None:
    target = target.format(absolute=urllib.parse.quote(str(tmp_path / "secret"), safe=""))
    answer, body = get(server, target.encode())
    assert answer == status
    assert (body == DOCUMENT) == (status == 200)
    assert SECRET not in body


def test_raw_nul_in_the_request_line_reads_no_file(server: DeviceInfoServer) -> None:
    status, body = get(server, f"{LOOKUP}{SERIAL}".encode() + b"\x00")
    assert status == 404
    assert body != DOCUMENT


@pytest.mark.parametrize(
    ("request_bytes", "status"),
    [
        (f"POST {LOOKUP}{SERIAL} HTTP/1.1\r\nHost: test\r\nContent-Length: 2\r\n\r\n{{}}".encode(), 501),
        (f"GET {LOOKUP}{SERIAL} HTTP/1.1\r\nHost: test\r\nContent-Length: 2\r\n\r\n{{}}".encode(), 400),
        (f"GET {LOOKUP}{SERIAL} HTTP/1.1\r\nHost: test\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n".encode(), 400),
        (b"GET /" + b"a" * 70_000 + b" HTTP/1.1\r\nHost: test\r\n\r\n", 414),
        (f"GET {LOOKUP}{SERIAL} HTTP/1.1\r\n".encode() + b"X-Filler: a\r\n" * 101 + b"\r\n", 431),
    ],
    ids=["post", "get-with-body", "get-chunked", "long-request-line", "too-many-headers"],
)
def test_refused_requests(server: DeviceInfoServer, request_bytes: bytes, status: int) -> None:
    assert exchange(server, request_bytes)[0] == status


def test_requests_are_logged_without_control_characters(
    server: DeviceInfoServer, caplog: pytest.LogCaptureFixture
) -> None:
    caplog.set_level(logging.INFO, logger="quor_camera_sdk.cameras.service")
    get(server, f"{LOOKUP}{SERIAL}".encode())
    get(server, f"{LOOKUP}{SERIAL}".encode() + b"\x1b[2J")
    messages = [record.getMessage() for record in caplog.records if record.name == "quor_camera_sdk.cameras.service"]
    assert any(f"{LOOKUP}{SERIAL} HTTP/1.1\" 200" in message for message in messages)
    assert any("\\x1b[2J" in message for message in messages)
    assert not any("\x1b" in message for message in messages)
