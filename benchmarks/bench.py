"""Timings of the camera layer's extension modules; prints figures.

    make bench        (or: python benchmarks/bench.py [--quick] [--compare])

- import of each module, and of all five, in a fresh interpreter
  (subprocess; median of many runs);
- QuorCameraIdentity.from_dict / to_dict and _build_windows_controls per call;
- discovery of 1, 8 and 64 simulated devices against the package's own
  device-information service on 127.0.0.1 (`quor-cameras serve` in a child
  process, so it does not compete for this interpreter's GIL), beside as
  many bare fetch_camera_identity_json calls to the same service: the
  difference is discovery's own cost per device;
- side by side with the same functions in plain Python
  (benchmarks/python_cameras, what a user would write instead): one ratio
  native / Python per figure, the two timed in turn within one run, best of
  many samples (--compare prints only this).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import platform
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from collections.abc import Callable, Iterator
from importlib import resources
from pathlib import Path

import side_by_side

PACKAGE = "quor_camera_sdk.cameras"
MODULES = ("device_lookup", "camera_identity", "quor_oridan", "quor_pockel", "quor_sevrine")
OWN_MODULES = {f"quor_camera_sdk.cameras.{name}" for name in MODULES}
# What the five modules and the package's Python modules import from the
# standard library, for comparison.
STDLIB_DEPENDENCIES = "logging, json, math, urllib.request, importlib.metadata, dataclasses, typing, functools, pathlib"
DEVICE_COUNTS = (1, 8, 64)
# A reference-model unit's document, as the demo serves it.
SAMPLE_DOCUMENT = "QOR21A0417.json"


def document(serial: str) -> dict:
    sample = resources.files(PACKAGE).joinpath("demo", SAMPLE_DOCUMENT).read_text(encoding="utf-8")
    return json.loads(sample) | {"serial_number": serial}


def serial_of(index: int) -> str:
    return f"QB-{index:03d}"


@contextlib.contextmanager
def local_service() -> Iterator[str]:
    """`quor-cameras serve` on a free loopback port, serving a document for
    each benchmark serial; yields the value for _CAMERA_IDENTITY_URL."""
    from quor_camera_sdk.cameras import service

    with tempfile.TemporaryDirectory() as documents:
        for index in range(max(DEVICE_COUNTS)):
            (Path(documents) / f"{serial_of(index)}.json").write_text(json.dumps(document(serial_of(index))))
        child = subprocess.Popen(
            [sys.executable, "-m", PACKAGE, "serve", "--documents", documents, "--port", "0"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
        )
        try:
            # "serving DIR at http://127.0.0.1:PORT (Ctrl-C to stop)"
            announcement = child.stdout.readline().split()
            yield service.identity_url(announcement[announcement.index("at") + 1])
        finally:
            child.send_signal(signal.SIGTERM)
            child.wait(timeout=30)
            child.stdout.close()


# ---------------------------------------------------------------------------
# Measurements


def per_call(function: Callable[[], object], repeats: int) -> float:
    """Median seconds per call over `repeats` timeit runs."""
    timer = timeit.Timer(function)
    number, _ = timer.autorange()
    return statistics.median(timer.repeat(repeat=repeats, number=number)) / number


def import_times(module: str, runs: int, pycache: str) -> tuple[float, float]:
    """Median seconds of `import module` in a fresh interpreter, start-up
    excluded: in all (dependencies included), and the module's own share
    (its -X importtime self time). Bytecode is cached under `pycache`, as an
    installed interpreter has it; the first, compiling, run is not counted."""
    code = f"import time; start = time.perf_counter(); import {module}; print(time.perf_counter() - start)"
    command = [sys.executable, "-X", "importtime", "-X", f"pycache_prefix={pycache}", "-c", code]
    environment = {name: value for name, value in os.environ.items() if name != "PYTHONDONTWRITEBYTECODE"}
    totals, own = [], []
    for _ in range(runs + 1):
        run = subprocess.run(command, check=True, capture_output=True, text=True, env=environment)
        totals.append(float(run.stdout))
        own.append(sum(int(line.split("|")[0].rpartition(":")[2]) for line in run.stderr.splitlines()
                       if line.rpartition("|")[2].strip() in OWN_MODULES) / 1e6)
    return statistics.median(totals[1:]), statistics.median(own[1:])


def interleaved_medians(first: Callable[[], object], second: Callable[[], object], runs: int) -> tuple[float, float]:
    """Median seconds of each function, run in turn so that any drift of
    the machine weighs on both alike."""
    samples: tuple[list[float], list[float]] = ([], [])
    for _ in range(runs):
        for function, times in zip((first, second), samples):
            start = time.perf_counter()
            function()
            times.append(time.perf_counter() - start)
    return statistics.median(samples[0]), statistics.median(samples[1])


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.partition(":")[2].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def print_row(label: str, seconds: float, note: str = "") -> None:
    print(f"  {label:<52} {seconds * 1e6:>10.1f} µs{note}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer runs, rougher figures")
    parser.add_argument("--compare", action="store_true", help="only the side-by-side comparison with plain Python")
    options = parser.parse_args()
    import_runs, repeats, discovery_requests = (5, 3, 100) if options.quick else (31, 7, 1000)

    from quor_camera_sdk.cameras import camera_identity, device_lookup
    from quor_camera_sdk.cameras.camera_identity import QuorCameraIdentity
    from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN, _build_windows_controls
    from quor_camera_sdk.platform import DeviceEntry, SimulatedBackend

    print(f"machine: {os.cpu_count()} CPUs (nproc {len(os.sched_getaffinity(0))}), {cpu_model()}")
    print(f"python:  {platform.python_implementation()} {platform.python_version()} ({sys.executable})")
    if options.compare:
        side_by_side.compare(options.quick)
        return 0

    print(f"\nimport in a fresh interpreter (median of {import_runs} runs)")
    print(f"  {'':<40} {'with dependencies':>18} {'extension modules':>18}")
    with tempfile.TemporaryDirectory() as pycache:
        for label, module in [*((name, f"{PACKAGE}.{name}") for name in MODULES),
                              ("all five", ", ".join(f"{PACKAGE}.{name}" for name in MODULES)),
                              ("(their standard-library imports alone)", STDLIB_DEPENDENCIES)]:
            total, own = import_times(module, import_runs, pycache)
            print(f"  {label:<40} {total * 1e3:>15.2f} ms {own * 1e3:>15.2f} ms")

    payload = document("QB-000")
    record = QuorCameraIdentity.from_dict(payload, os_id="/dev/video0")
    assert record is not None
    print(f"\nper call (median of {repeats} timeit runs)")
    print_row("QuorCameraIdentity.from_dict, resolving document",
              per_call(lambda: QuorCameraIdentity.from_dict(payload, os_id="/dev/video0"), repeats))
    print_row("QuorCameraIdentity.from_dict, document without SKU",
              per_call(lambda: QuorCameraIdentity.from_dict({"serial_number": "QB-000"}, os_id="x"), repeats))
    print_row("QuorCameraIdentity.to_dict", per_call(record.to_dict, repeats))
    print_row("_build_windows_controls(QUOR_ORIDAN.controls)",
              per_call(lambda: _build_windows_controls(QUOR_ORIDAN.controls), repeats))

    with local_service() as device_lookup._CAMERA_IDENTITY_URL:
        fetch = device_lookup.fetch_camera_identity_json
        print(f"\ndiscovery against a local HTTP server, beside the same number of bare lookups\n"
              f"(about {discovery_requests} requests each, alternating; medians)")
        print(f"  {'devices':>7} {'discovery':>12} {'bare lookups':>14} {'per device':>12} {'beyond lookup':>15}")
        for count in DEVICE_COUNTS:
            serials = [serial_of(index) for index in range(count)]
            backend = SimulatedBackend(DeviceEntry(serial, f"/dev/video{2 * i}") for i, serial in enumerate(serials))
            camera_identity.current_backend = lambda backend=backend: backend
            assert len(camera_identity.list_connected_quor_cameras()) == count
            discovery, bare = interleaved_medians(
                camera_identity.list_connected_quor_cameras,
                lambda serials=serials: [fetch(serial) for serial in serials],
                max(5, discovery_requests // count),
            )
            print(f"  {count:>7} {discovery * 1e3:>9.2f} ms {bare * 1e3:>11.2f} ms "
                  f"{discovery / count * 1e3:>9.3f} ms {(discovery - bare) / count * 1e6:>12.1f} µs")
    side_by_side.compare(options.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
