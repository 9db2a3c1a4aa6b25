"""The extension modules against the same functions in plain Python.

Each figure is timed for both implementations in one run, the two taking
turns sample after sample (who goes first alternates too), so that the
drift of a shared machine weighs on both alike; the best sample of each
side counts, and the figure is their ratio, native / Python.

Both sides get the same collaborators: the kit's own camera_spec registry,
and doubles where the figure names them. The Calibration double costs next
to nothing, so that the figures show the modules' own work rather than the
calibration reader, which is the same Python code on both sides.
"""

from __future__ import annotations

import contextlib
import subprocess
import sys
import time
import timeit
import types
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
MODULES = ("device_lookup", "camera_identity", "quor_oridan", "quor_pockel", "quor_sevrine")
NATIVE_PACKAGE = "quor_camera_sdk.cameras"
PYTHON_PACKAGE = "python_cameras"
# Imported before the clock starts in both processes: what the five
# modules import from the standard library and from the rest of the kit.
PRELOADED = (
    "logging, dataclasses, typing, json, urllib.parse, urllib.request, importlib.metadata, ipaddress, "
    "quor_camera_sdk.calibration, quor_camera_sdk.platform, quor_camera_sdk.cameras.camera_spec, "
    f"{NATIVE_PACKAGE}, {PYTHON_PACKAGE}"
)
DEVICES = 64
UNKNOWN_SKU = "STEREO-CAMERA-NOT-IN-ANY-CATALOGUE-V21"


class TrivialCalibration:
    """Calibration double: from_dict and to_dict do nothing worth timing."""

    BLOCK = {"version": 3}

    @classmethod
    def from_dict(cls, block: dict) -> TrivialCalibration:
        return CALIBRATION

    def to_dict(self) -> dict:
        return self.BLOCK


CALIBRATION = TrivialCalibration()


@dataclass
class Figure:
    label: str
    # Timed statement, and the names it uses, for one implementation.
    statement: str
    namespace: Callable[[types.SimpleNamespace], dict]
    goal: float


def implementations() -> dict[str, types.SimpleNamespace]:
    import importlib

    sys.path.insert(0, str(HERE))
    return {
        side: types.SimpleNamespace(**{name: importlib.import_module(f"{package}.{name}") for name in MODULES})
        for side, package in (("native", NATIVE_PACKAGE), ("python", PYTHON_PACKAGE))
    }


def document(serial: str, sku: str) -> dict:
    return {"serial_number": serial, "sku": sku, "model_name": "QUOR Oridan", "base_calibration": {"version": 3}}


def figures(sku: str) -> tuple[list[Figure], dict[str, object]]:
    """The figures, and the doubles that camera_identity gets for them."""
    from quor_camera_sdk.platform import DeviceEntry, SimulatedBackend

    resolving = document("QB-000", sku)
    unknown = document("QB-000", UNKNOWN_SKU)
    entries = [DeviceEntry(f"QB-{index:03d}", f"/dev/video{2 * index}") for index in range(DEVICES)]
    backend = SimulatedBackend(entries)
    documents = {entry.serial: document(entry.serial, sku) for entry in entries}

    def record_of(modules: types.SimpleNamespace) -> object:
        return modules.camera_identity.QuorCameraIdentity.from_dict(resolving, os_id="/dev/video0")

    return [
        Figure("import of the five modules (dependencies preloaded)", "", lambda m: {}, 0.8),
        Figure(
            "from_dict, resolving (trivial Calibration double)",
            "from_dict(payload, os_id='/dev/video0')",
            lambda m: {"from_dict": m.camera_identity.QuorCameraIdentity.from_dict, "payload": resolving},
            0.5,
        ),
        Figure(
            "from_dict, unknown SKU (logging disabled)",
            "from_dict(payload, os_id='/dev/video0')",
            lambda m: {"from_dict": m.camera_identity.QuorCameraIdentity.from_dict, "payload": unknown},
            0.6,
        ),
        Figure("to_dict", "to_dict()", lambda m: {"to_dict": record_of(m).to_dict}, 0.6),
        Figure(
            "_build_windows_controls(QUOR_ORIDAN.controls)",
            "build(controls)",
            lambda m: {
                "build": m.quor_oridan._build_windows_controls,
                "controls": m.quor_oridan.QUOR_ORIDAN.controls,
            },
            0.9,
        ),
        Figure(
            f"list_connected_quor_cameras(), {DEVICES} devices (backend and lookup doubles)",
            "discover()",
            lambda m: {"discover": m.camera_identity.list_connected_quor_cameras},
            0.6,
        ),
    ], {"current_backend": lambda: backend, "fetch_camera_identity_json": documents.__getitem__}


@contextlib.contextmanager
def doubles(sides: dict[str, types.SimpleNamespace], bindings: dict[str, object]) -> Iterator[None]:
    """The doubles bound on both camera_identity modules for the duration,
    with logging disabled (the unknown-SKU figure would log otherwise)."""
    import logging

    bindings = {"Calibration": TrivialCalibration, **bindings}
    saved = [(modules.camera_identity, name, getattr(modules.camera_identity, name))
             for modules in sides.values() for name in bindings]
    for modules in sides.values():
        for name, value in bindings.items():
            setattr(modules.camera_identity, name, value)
    logging.disable(logging.CRITICAL)
    try:
        yield
    finally:
        logging.disable(logging.NOTSET)
        for module, name, value in saved:
            setattr(module, name, value)


def best_pair(native: Callable[[], float], python: Callable[[], float], samples: int) -> tuple[float, float]:
    """Best of `samples` of each, taken in turn."""
    best = [float("inf"), float("inf")]
    for sample in range(samples):
        order = ((0, native), (1, python)) if sample % 2 == 0 else ((1, python), (0, native))
        for side, measure in order:
            best[side] = min(best[side], measure())
    return best[0], best[1]


def per_call_sampler(figure: Figure, modules: types.SimpleNamespace, number: int) -> Callable[[], float]:
    timer = timeit.Timer(figure.statement, globals=figure.namespace(modules))
    return lambda: timer.timeit(number) / number


def import_sampler(package: str) -> Callable[[], float]:
    modules = ", ".join(f"{package}.{name}" for name in MODULES)
    code = (f"import sys; sys.path.insert(0, {str(HERE)!r}); import {PRELOADED}; import time; "
            f"start = time.perf_counter(); import {modules}; print(time.perf_counter() - start)")
    command = [sys.executable, "-c", code]

    def sample() -> float:
        return float(subprocess.run(command, check=True, capture_output=True, text=True).stdout)

    sample()  # writes the bytecode cache of the Python side, as an installed package has it
    return sample


def compare(quick: bool) -> None:
    sides = implementations()
    from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN

    sku = QUOR_ORIDAN.skus[0]
    listed, bindings = figures(sku)
    samples, import_samples = (15, 9) if quick else (61, 41)
    print(f"\nside by side with plain Python (benchmarks/{PYTHON_PACKAGE}); native / Python, "
          f"best of {samples} alternating samples ({import_samples} fresh processes for the import)")
    print(f"  {'figure':<68} {'native':>10} {'Python':>10} {'ratio':>6} {'goal':>6}")
    with doubles(sides, bindings):
        for figure in listed:
            if not figure.statement:
                native, python = best_pair(import_sampler(NATIVE_PACKAGE), import_sampler(PYTHON_PACKAGE),
                                           import_samples)
            else:
                number, _ = timeit.Timer(figure.statement, globals=figure.namespace(sides["python"])).autorange()
                native, python = best_pair(per_call_sampler(figure, sides["native"], number),
                                           per_call_sampler(figure, sides["python"], number), samples)
            ratio = native / python
            verdict = "" if ratio <= figure.goal else "  over"
            print(f"  {figure.label:<68} {format_seconds(native)} {format_seconds(python)} "
                  f"{ratio:>6.2f} {figure.goal:>6.2f}{verdict}", flush=True)


def format_seconds(seconds: float) -> str:
    return f"{seconds * 1e3:>7.3f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:>7.2f} µs"


if __name__ == "__main__":
    started = time.perf_counter()
    compare(quick="--quick" in sys.argv)
    print(f"({time.perf_counter() - started:.0f} s)")
