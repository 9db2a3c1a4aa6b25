"""Load figures of `quor-cameras serve`: the service runs in a process of its
own, the clients here or in wrk, over loopback. Prints the figures.

    .venv/bin/python benchmarks/service_load.py [--runs N]

The machine is shared and noisy: each figure is the best of --runs.
wrk comes from Debian (`apt-get install wrk`); without it that figure is skipped.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import resource
import selectors
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Iterator
from importlib import resources
from pathlib import Path

PACKAGE = "quor_camera_sdk.cameras"
SERIAL = "QOR21A0417"
LOOKUP = f"/api/public/camera-identity?serial_number={SERIAL}"
REQUEST = f"GET {LOOKUP} HTTP/1.1\r\nHost: bench\r\n\r\n".encode()
# A FIFO in the folder: a lookup of it must neither block nor delay a stop.
FIFO_SERIAL = "QFIFO00001"


@contextlib.contextmanager
def documents_folder() -> Iterator[Path]:
    with tempfile.TemporaryDirectory() as folder, resources.as_file(resources.files(PACKAGE) / "demo") as demo:
        shutil.copytree(demo, folder, dirs_exist_ok=True)
        os.mkfifo(Path(folder) / f"{FIFO_SERIAL}.json")
        yield Path(folder)


def _limit_descriptors(count: int) -> None:
    resource.setrlimit(resource.RLIMIT_NOFILE, (count, count))


@contextlib.contextmanager
def service(documents: Path, descriptor_limit: int | None = None) -> Iterator[tuple[subprocess.Popen[str], int]]:
    """`quor-cameras serve` on a free port: the process and its port."""
    child = subprocess.Popen(
        [sys.executable, "-m", PACKAGE, "serve", "--documents", str(documents), "--port", "0"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
        preexec_fn=None if descriptor_limit is None else lambda: _limit_descriptors(descriptor_limit),
    )
    try:
        port = int(re.search(r":(\d+) \(Ctrl-C", child.stdout.readline()).group(1))
        yield child, port
    finally:
        if child.poll() is None:
            child.send_signal(signal.SIGTERM)
        child.wait(timeout=30)
        child.stdout.close()


def read_response(connection: socket.socket) -> bytes:
    """One whole response (Content-Length framed) from a keep-alive connection."""
    data = b""
    while b"\r\n\r\n" not in data:
        data += connection.recv(65536) or _closed()
    head, _, body = data.partition(b"\r\n\r\n")
    length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
    while len(body) < length:
        body += connection.recv(65536) or _closed()
    return head


def _closed() -> bytes:
    raise ConnectionError("the service closed the connection")


def fresh_lookup(port: int) -> float:
    """Seconds for one lookup on a new connection."""
    start = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as connection:
        connection.sendall(REQUEST)
        read_response(connection)
    return time.perf_counter() - start


# ---------------------------------------------------------------------------
# Figures


def wrk(port: int, runs: int) -> str:
    if shutil.which("wrk") is None:
        return "wrk: not installed (apt-get install wrk), skipped"
    results = []
    for _ in range(runs):
        output = subprocess.run(
            ["wrk", "-t2", "-c50", "-d10s", "--latency", f"http://127.0.0.1:{port}{LOOKUP}"],
            check=True, capture_output=True, text=True,
        ).stdout
        errors = sum(int(count) for count in re.findall(r"(?:connect|read|write|timeout) (\d+)", output))
        errors += int(re.search(r"Non-2xx or 3xx responses: (\d+)", output)[1]) if "Non-2xx" in output else 0
        results.append((float(re.search(r"Requests/sec:\s+([\d.]+)", output)[1]),
                        re.search(r"99%\s+(\S+)", output)[1], errors))
    rate, p99, errors = max(results)
    return (f"wrk, 50 connections, 10 s (best of {runs}): {rate:,.0f} requests/s, p99 {p99}, "
            f"{errors} errors; errors in all runs: {sum(result[2] for result in results)}")


def keep_alive(port: int, runs: int, requests: int = 2000) -> str:
    medians = []
    for _ in range(runs):
        with socket.create_connection(("127.0.0.1", port)) as connection:
            latencies = []
            for _ in range(requests):
                start = time.perf_counter()
                connection.sendall(REQUEST)
                read_response(connection)
                latencies.append(time.perf_counter() - start)
        medians.append(statistics.median(latencies))
    fresh = min(statistics.median(fresh_lookup(port) for _ in range(200)) for _ in range(runs))
    return (f"keep-alive latency, median of {requests} on one connection (best of {runs}): "
            f"{min(medians) * 1e3:.3f} ms; on a fresh connection: {fresh * 1e3:.3f} ms")


class SlowClients:
    """`count` connections that each send a request line and `padding`
    bytes of a header at once, then one byte more every `interval` seconds,
    never finishing the head; a connection the service closes is opened
    again."""

    def __init__(self, port: int, count: int, padding: int = 0, interval: float = 1.0) -> None:
        self.port, self.count, self.interval = port, count, interval
        self.start = f"GET {LOOKUP} HTTP/1.1\r\nX-Slow: ".encode() + b"a" * padding
        self.reconnects = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self) -> SlowClients:
        self._thread.start()
        return self

    def __exit__(self, *_: object) -> None:
        self._stop.set()
        self._thread.join()

    def _open(self, closed: selectors.BaseSelector) -> socket.socket:
        connection = socket.create_connection(("127.0.0.1", self.port), timeout=30)
        connection.sendall(self.start)
        connection.setblocking(False)
        closed.register(connection, selectors.EVENT_READ)
        return connection

    def _run(self) -> None:
        with selectors.DefaultSelector() as closed:
            clients = {self._open(closed) for _ in range(self.count)}
            while not self._stop.wait(self.interval):
                for key, _ in closed.select(0):
                    closed.unregister(key.fileobj)
                    clients.remove(key.fileobj)
                    key.fileobj.close()
                    clients.add(self._open(closed))
                    self.reconnects += 1
                for connection in clients:
                    with contextlib.suppress(OSError):
                        connection.send(b"a")
            for connection in clients:
                connection.close()


def peak_rss_kib(pid: int) -> int:
    status = Path(f"/proc/{pid}/status").read_text()
    return int(re.search(r"VmHWM:\s+(\d+) kB", status)[1])


def under_slow_clients(
    documents: Path, count: int, descriptor_limit: int | None = None, padding: int = 0, lookups: int = 20
) -> str:
    with service(documents, descriptor_limit) as (child, port):
        idle_rss = peak_rss_kib(child.pid)
        with SlowClients(port, count, padding) as attack:
            time.sleep(3)  # every slow client connected and sending
            latencies = [fresh_lookup(port) for _ in range(lookups)]
            time.sleep(1)
        limit = f"descriptor limit {descriptor_limit}" if descriptor_limit else "default limits"
        return (f"{count} slow clients, {len(attack.start):,} bytes of head each ({limit}): a normal client's "
                f"lookup, median {statistics.median(latencies) * 1e3:.2f} ms, worst {max(latencies) * 1e3:.2f} ms "
                f"of {lookups}; slow connections closed by the service: {attack.reconnects}; "
                f"service peak RSS {peak_rss_kib(child.pid) / 1024:.1f} MiB (idle {idle_rss / 1024:.1f} MiB)")


def stops(documents: Path, runs: int) -> str:
    """SIGTERM while lookups, slow clients and lookups of a FIFO are in flight."""
    times, clean = [], 0
    for _ in range(runs):
        with service(documents) as (child, port), SlowClients(port, 50):
            stop_load = threading.Event()

            def load() -> None:
                while not stop_load.is_set():
                    with contextlib.suppress(OSError):
                        fresh_lookup(port)

            workers = [threading.Thread(target=load, daemon=True) for _ in range(4)]
            for worker in workers:
                worker.start()
            with contextlib.ExitStack() as fifo_lookups:
                for _ in range(10):
                    fifo_lookup = fifo_lookups.enter_context(socket.create_connection(("127.0.0.1", port)))
                    fifo_lookup.sendall(REQUEST.replace(SERIAL.encode(), FIFO_SERIAL.encode()))
                time.sleep(0.5)
                start = time.perf_counter()
                child.send_signal(signal.SIGTERM)
                try:
                    status = child.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    status = None
                    child.kill()
                times.append(time.perf_counter() - start)
                clean += status == 0 and times[-1] < 1
            stop_load.set()
            for worker in workers:
                worker.join()
    return (f"SIGTERM under load: {clean} of {runs} clean stops (exit 0 within 1 s); "
            f"stop time median {statistics.median(times) * 1e3:.0f} ms, worst {max(times) * 1e3:.0f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3, help="repetitions of each figure (default: %(default)s)")
    runs = parser.parse_args().runs
    print(f"CPython {sys.version.split()[0]}, {os.cpu_count()} cores; service: {PACKAGE} serve, own process\n")
    with documents_folder() as documents:
        with service(documents) as (_, port):
            print(wrk(port, runs), flush=True)
            print(keep_alive(port, runs), flush=True)
        print(under_slow_clients(documents, 300), flush=True)
        print(under_slow_clients(documents, 300, descriptor_limit=256), flush=True)
        # Just under the head limit: what a slow client can make the service hold.
        print(under_slow_clients(documents, 300, padding=16_000), flush=True)
        print(stops(documents, 10), flush=True)


if __name__ == "__main__":
    main()
