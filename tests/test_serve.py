"""`quor-cameras serve` as a process: it stops on a signal whatever its
clients are doing, and slow clients cannot starve a normal one."""

from __future__ import annotations

import contextlib
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

SERIAL = "QC-0001"
DOCUMENT = b'{"serial_number": "QC-0001"}\n'
LOOKUP = f"GET /api/public/camera-identity?serial_number={SERIAL} HTTP/1.1\r\nHost: test\r\nConnection: close\r\n\r\n"
# Runs the command line with a descriptor limit of its own.
LIMITED = (
    "import resource, sys; limit = int(sys.argv.pop(1)); "
    "resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit)); "
    "from quor_camera_sdk.cameras.cli import main; sys.exit(main())"
)


@pytest.fixture
def documents(tmp_path: Path) -> Path:
    (tmp_path / f"{SERIAL}.json").write_bytes(DOCUMENT)
    # A lookup of it once held a thread forever.
    os.mkfifo(tmp_path / "QC-FIFO.json")
    return tmp_path


@contextlib.contextmanager
def serving(documents: Path, descriptor_limit: int | None = None) -> Iterator[tuple[subprocess.Popen[str], int]]:
    launcher = ["-m", "quor_camera_sdk.cameras"] if descriptor_limit is None else ["-c", LIMITED, str(descriptor_limit)]
    process = subprocess.Popen(
        [sys.executable, *launcher, "serve", "--documents", str(documents), "--port", "0"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
    )
    try:
        port = int(re.search(r"http://127\.0\.0\.1:(\d+) \(Ctrl-C to stop\)", process.stdout.readline())[1])
        yield process, port
    finally:
        if process.poll() is None:
            process.kill()
        process.communicate(timeout=60)


def lookup(port: int, timeout: float = 30) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as connection:
        connection.sendall(LOOKUP.encode())
        response = b""
        while chunk := connection.recv(65536):
            response += chunk
    return response


@contextlib.contextmanager
def load(port: int, slow: int, lookups: int = 0, fifo: int = 0) -> Iterator[None]:
    """`slow` clients that each send one more byte of a request head every
    second, `fifo` requests for the FIFO, and `lookups` threads looking up
    in a loop, for the duration of the block."""
    stop = threading.Event()
    connections: list[socket.socket] = []

    def trickle() -> None:
        while not stop.wait(1):
            for connection in list(connections):
                with contextlib.suppress(OSError):  # closed by the service
                    connection.send(b"G")

    def look_up() -> None:
        while not stop.is_set():
            with contextlib.suppress(OSError):
                lookup(port)

    threads = [threading.Thread(target=trickle), *(threading.Thread(target=look_up) for _ in range(lookups))]
    for thread in threads:
        thread.start()
    try:
        for index in range(slow + fifo):
            # A service that stopped accepting leaves the rest unconnected.
            with contextlib.suppress(OSError):
                connection = socket.create_connection(("127.0.0.1", port), timeout=5)
                connections.append(connection)
                connection.sendall(LOOKUP.replace(SERIAL, "QC-FIFO").encode() if index >= slow else b"G")
        yield
    finally:
        stop.set()
        for thread in threads:
            thread.join()
        for connection in connections:
            connection.close()


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_a_signal_stops_serve_under_load(documents: Path, number: signal.Signals) -> None:
    # A stop once waited for ever in some runs out of ten: try several.
    for _ in range(5):
        with serving(documents) as (process, port), load(port, slow=20, lookups=2, fifo=10):
            time.sleep(0.2)
            process.send_signal(number)
            start = time.monotonic()
            assert process.wait(timeout=10) == 0
            # Within a second here; the margin is for a loaded machine.
            assert time.monotonic() - start < 5


def test_slow_clients_at_the_descriptor_limit_do_not_starve_a_normal_one(documents: Path) -> None:
    with serving(documents, descriptor_limit=256) as (_, port), load(port, slow=300):
        # Milliseconds here; the slow clients would hold the service for ever.
        assert lookup(port, timeout=15).endswith(DOCUMENT)


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (["--max-connections", "0"], "argument --max-connections: expected a whole number of at least 1, got '0'"),
        (["--port", "70000"], "argument --port: expected a port number from 0 to 65535, got '70000'"),
    ],
)
def test_unusable_settings_are_a_usage_error(documents: Path, options: list[str], message: str) -> None:
    result = subprocess.run(
        [sys.executable, "-m", "quor_camera_sdk.cameras", "serve", "--documents", str(documents), *options],
        capture_output=True, text=True, timeout=60,
    )
    assert result.returncode == 2
    assert result.stderr == f"quor-cameras serve: {message} (see quor-cameras serve --help)\n"


def test_serve_help_states_the_service_defaults() -> None:
    from quor_camera_sdk.cameras import service

    result = subprocess.run([sys.executable, "-m", "quor_camera_sdk.cameras", "serve", "--help"],
                            capture_output=True, text=True, timeout=60, check=True)
    shown = " ".join(result.stdout.split())
    assert f"(default: {service.DEFAULT_MAX_CONNECTIONS}, or fewer" in shown
    assert f"(default: {service.DEFAULT_REQUEST_TIMEOUT})" in shown
