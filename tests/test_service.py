"""The local device-information service: what it serves, what it refuses,
and how it holds against slow clients. The README's nginx server block,
run for real, must answer the shared cases as the service does."""

from __future__ import annotations

import contextlib
import logging
import os
import pwd
import re
import shutil
import socket
import stat
import subprocess
import threading
import time
import urllib.parse
import urllib.request
from collections.abc import Iterator
from pathlib import Path

import pytest

from quor_camera_sdk.cameras.service import DeviceInfoServer

SERIAL = "QC-0001"
DOCUMENT = b'{"serial_number": "QC-0001", "sku": "QTEST-0001"}\n'
SECRET = b'{"secret": "outside the documents folder"}\n'
LOOKUP = "/api/public/camera-identity?serial_number="
NGINX = shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin:/sbin")
README = Path(__file__).parents[1] / "README.md"

Address = tuple[str, int]


@pytest.fixture
def documents(tmp_path: Path) -> Path:
    documents = tmp_path / "documents"
    documents.mkdir()
    (documents / f"{SERIAL}.json").write_bytes(DOCUMENT)
    (documents / "folder.json").mkdir()
    # Beside the folder, where a traversal would land.
    (tmp_path / "secret.json").write_bytes(SECRET)
    (documents / "QC-OUT.json").symlink_to(tmp_path / "secret.json")
    (documents / "QC-IN.json").symlink_to(f"{SERIAL}.json")
    os.mkfifo(documents / "QC-FIFO.json")
    (documents / "QC-HUGE.json").write_bytes(b" " * (2 * 1024 * 1024))
    return documents


@contextlib.contextmanager
def running(server: DeviceInfoServer) -> Iterator[DeviceInfoServer]:
    with server:
        worker = threading.Thread(target=server.serve_forever, daemon=True)
        worker.start()
        try:
            yield server
        finally:
            server.shutdown()
            worker.join()


@pytest.fixture
def server(documents: Path) -> Iterator[Address]:
    with running(DeviceInfoServer(documents)) as started:
        yield started.server_address


def free_port() -> int:
    with socket.create_server(("127.0.0.1", 0)) as probe:
        return probe.getsockname()[1]


@contextlib.contextmanager
def nginx(documents: Path, prefix: Path) -> Iterator[Address]:
    """The README's server block, in an nginx of its own under `prefix`."""
    if NGINX is None:
        pytest.skip("nginx is not installed (Debian: apt-get install nginx-light); .ci/run installs it")
    port = free_port()
    block = re.search(r"```nginx\n(.*?)```", README.read_text(), re.DOTALL)[1]
    block, listens = re.subn(r"listen 8080;", f"listen 127.0.0.1:{port};", block)
    block, roots = re.subn(r"root /srv/quor-documents;", f"root {documents};", block)
    assert (listens, roots) == (1, 1), "the README's server block changed shape"
    prefix.mkdir()
    temporary = "".join(f"    {kind}_temp_path {prefix / kind};\n" for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    config = prefix / "nginx.conf"
    config.write_text(
        f"daemon off;\npid {prefix / 'nginx.pid'};\nuser {pwd.getpwuid(os.geteuid()).pw_name};\n"
        "events { worker_connections 64; }\n"
        f"http {{\n    access_log off;\n{temporary}{block}}}\n"
    )
    process = subprocess.Popen(
        [NGINX, "-p", str(prefix), "-c", str(config), "-e", str(prefix / "error.log")],
        stderr=subprocess.PIPE, text=True,
    )
    try:
        deadline = time.monotonic() + 30
        while True:
            assert process.poll() is None, process.stderr.read()
            with contextlib.suppress(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", port), timeout=5).close()
                break
            assert time.monotonic() < deadline, "nginx did not listen within 30 s"
            time.sleep(0.05)
        yield ("127.0.0.1", port)
    finally:
        process.terminate()
        process.communicate(timeout=30)


@pytest.fixture(params=["serve", "nginx"])
def any_server(request: pytest.FixtureRequest, documents: Path, tmp_path: Path) -> Iterator[Address]:
    """The service, and the README's nginx configuration serving the same folder."""
    if request.param == "serve":
        with running(DeviceInfoServer(documents)) as started:
            yield started.server_address
    else:
        with nginx(documents, tmp_path / "nginx") as address:
            yield address


def exchange(address: Address, request: bytes) -> tuple[int, bytes]:
    """Sends raw bytes and returns the response's status and body: no
    client library in between to normalise or refuse what is sent."""
    with socket.create_connection(address, timeout=10) as connection:
        connection.sendall(request)
        response = b""
        while chunk := connection.recv(65536):
            response += chunk
    head, _, body = response.partition(b"\r\n\r\n")
    return int(head.split(b" ", 2)[1]), body


def get(address: Address, target: bytes, method: bytes = b"GET") -> tuple[int, bytes]:
    return exchange(address, method + b" " + target + b" HTTP/1.1\r\nHost: test\r\nConnection: close\r\n\r\n")


def check_answer(address: Address, target: str, status: int, tmp_path: Path) -> None:
    target = target.format(absolute=urllib.parse.quote(str(tmp_path / "secret"), safe=""))
    answer, body = get(address, target.encode())
    assert answer == status
    assert (body == DOCUMENT) == (status == 200)
    assert SECRET not in body


@pytest.mark.parametrize(
    ("target", "status"),
    [
        (LOOKUP + SERIAL, 200),
        ("/api/public/camera-identity", 400),
        (LOOKUP, 400),
        ("/api/public/camera-identity?serial=QC-0001", 400),
        (f"{LOOKUP}{SERIAL}&serial_number={SERIAL}", 400),
        (f"{LOOKUP}{SERIAL}&serial_number", 400),
        (LOOKUP + SERIAL + "&f=1" * 8, 400),
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
        # In the folder, but no document that may be served.
        (LOOKUP + "QC-OUT", 404),
        (LOOKUP + "QC-FIFO", 404),
    ],
)
def test_lookup_answers(any_server: Address, tmp_path: Path, target: str, status: int) -> None:
    check_answer(any_server, target, status, tmp_path)


@pytest.mark.parametrize(
    ("target", "status"),
    [
        (LOOKUP + "QC%2D0001", 200),
        # A link that stays in the folder (nginx follows none).
        (LOOKUP + "QC-IN", 200),
        (LOOKUP + "%ff", 400),
        (LOOKUP + "QC-HUGE", 404),
    ],
)
def test_lookup_answers_of_serve(server: Address, tmp_path: Path, target: str, status: int) -> None:
    check_answer(server, target, status, tmp_path)


def test_head_answers_as_get_without_a_body(any_server: Address) -> None:
    with socket.create_connection(any_server, timeout=10) as connection:
        connection.sendall(f"HEAD {LOOKUP}{SERIAL} HTTP/1.1\r\nHost: test\r\nConnection: close\r\n\r\n".encode())
        response = b""
        while chunk := connection.recv(65536):
            response += chunk
    head, _, body = response.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 ")
    assert f"\r\nContent-Length: {len(DOCUMENT)}\r\n".encode() in head
    assert b"\r\nContent-Type: application/json" in head
    assert body == b""


def test_a_device_node_is_not_served(documents: Path, server: Address, tmp_path: Path) -> None:
    try:
        os.mknod(documents / "QC-DEVICE.json", stat.S_IFCHR | 0o644, os.makedev(1, 5))  # like /dev/zero
    except PermissionError:
        pytest.skip("creating a device node needs CAP_MKNOD")
    check_answer(server, LOOKUP + "QC-DEVICE", 404, tmp_path)


def test_raw_nul_in_the_request_line_reads_no_file(server: Address) -> None:
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
        # Each line well under the limit, the whole head over it.
        (f"GET {LOOKUP}{SERIAL} HTTP/1.1\r\n".encode() + (b"X-Filler: " + b"a" * 1000 + b"\r\n") * 20 + b"\r\n", 431),
        (f"GET {LOOKUP}{SERIAL} HTTP/2.0\r\n\r\n".encode(), 505),
        (f"GET {LOOKUP}{SERIAL}\r\n\r\n".encode(), 400),
        (f"GET {LOOKUP}{SERIAL} HTTP/1.1\r\nno colon\r\n\r\n".encode(), 400),
    ],
    ids=["post", "get-with-body", "get-chunked", "long-request-line", "too-many-headers", "large-head",
         "http-2", "no-version", "bad-header"],
)
def test_refused_requests(server: Address, request_bytes: bytes, status: int) -> None:
    assert exchange(server, request_bytes)[0] == status


def test_requests_are_logged_without_control_characters(server: Address, caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.INFO, logger="quor_camera_sdk.cameras.service")
    get(server, f"{LOOKUP}{SERIAL}".encode())
    get(server, f"{LOOKUP}{SERIAL}".encode() + b"\x1b[2J")
    messages = [record.getMessage() for record in caplog.records if record.name == "quor_camera_sdk.cameras.service"]
    assert any(f"{LOOKUP}{SERIAL} HTTP/1.1\" 200" in message for message in messages)
    assert any("\\x1b[2J" in message for message in messages)
    assert not any("\x1b" in message for message in messages)


def test_ipv6(documents: Path) -> None:
    try:
        socket.create_server(("::1", 0), family=socket.AF_INET6).close()
    except OSError as error:
        pytest.skip(f"no IPv6 loopback here: {error}")
    with running(DeviceInfoServer(documents, ("::1", 0))) as started:
        assert started.url.startswith("http://[::1]:")
        with urllib.request.urlopen(started.identity_url + SERIAL, timeout=10) as response:
            assert response.read() == DOCUMENT


# ---------------------------------------------------------------------------
# Under load


def test_a_keep_alive_response_arrives_in_one_piece(server: Address) -> None:
    request = f"GET {LOOKUP}{SERIAL} HTTP/1.1\r\nHost: test\r\n\r\n".encode()
    with socket.create_connection(server, timeout=10) as connection:
        for _ in range(3):
            connection.sendall(request)
            # Head and body written apart arrive apart, and on a kept
            # connection the body can wait for the peer's delayed ACK.
            assert connection.recv(65536).endswith(b"\r\n\r\n" + DOCUMENT)


def test_the_listen_queue_holds_a_burst_of_clients(documents: Path) -> None:
    # Not serving yet: only the kernel's queue takes the connections.
    with DeviceInfoServer(documents) as idle, contextlib.ExitStack() as stack:
        for _ in range(200):
            stack.enter_context(socket.create_connection(idle.server_address, timeout=5))


def test_a_request_head_has_a_deadline(documents: Path) -> None:
    with running(DeviceInfoServer(documents, request_timeout=0.5)) as started:
        with socket.create_connection(started.server_address, timeout=30) as connection:
            start = time.monotonic()
            # A byte at a time for 10 s, never finishing the head, never
            # idle for long: only a deadline on the whole head ends it.
            with pytest.raises(ConnectionError):
                for byte in f"GET {LOOKUP}{SERIAL} HTTP/1.1\r\nX-Slow: ".encode().ljust(200, b"a"):
                    connection.send(bytes([byte]))
                    time.sleep(0.05)
            assert time.monotonic() - start < 8


def test_at_the_cap_a_new_client_replaces_the_longest_waiting(documents: Path) -> None:
    with running(DeviceInfoServer(documents, max_connections=8, request_timeout=60)) as started, \
            contextlib.ExitStack() as stack:
        waiting = [stack.enter_context(socket.create_connection(started.server_address, timeout=30))
                   for _ in range(20)]
        for connection in waiting:
            connection.sendall(b"GET /api/pub")
        assert get(started.server_address, (LOOKUP + SERIAL).encode()) == (200, DOCUMENT)
        # Closed: at once (b"") or, had it not read our bytes yet, reset.
        with contextlib.suppress(ConnectionResetError):
            assert waiting[0].recv(65536) == b""
