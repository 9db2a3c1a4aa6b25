"""Platform layer: which video devices the operating system sees.

:func:`current_backend` returns the backend for this machine. On Linux it
enumerates V4L2 capture devices through sysfs; elsewhere there is no native
backend yet. A simulated backend, reading devices from a JSON file, is used
only when asked for: by :func:`use_simulated_devices` or by naming the file
in the ``QUOR_SIMULATED_DEVICES`` environment variable.
"""

from __future__ import annotations

import json
import os
import sys
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol

__all__ = [
    "DeviceEntry",
    "PlatformBackend",
    "SIMULATED_DEVICES_ENV",
    "SimulatedBackend",
    "V4L2Backend",
    "current_backend",
    "use_simulated_devices",
]

SIMULATED_DEVICES_ENV = "QUOR_SIMULATED_DEVICES"


@dataclass(frozen=True, slots=True)
class DeviceEntry:
    """One video device: the unit's USB serial (may be empty) and the
    operating system's identifier of the device."""

    serial: str
    os_id: str


class PlatformBackend(Protocol):
    def list_cameras(self) -> Sequence[DeviceEntry]: ...


class V4L2Backend:
    """Video capture devices of a Linux system, read from sysfs.

    A UVC camera creates several nodes; the capture node is the one whose
    ``index`` is 0. The serial is the ``serial`` attribute of the USB device
    the node belongs to (empty when the device reports none).
    """

    def __init__(self, sysfs_root: str | os.PathLike[str] = "/sys", dev_root: str | os.PathLike[str] = "/dev"):
        self._class_dir = Path(sysfs_root) / "class" / "video4linux"
        self._dev_root = Path(dev_root)

    def list_cameras(self) -> list[DeviceEntry]:
        try:
            nodes = [node for node in self._class_dir.iterdir() if node.name.startswith("video")]
        except FileNotFoundError:
            return []
        nodes.sort(key=_node_number)
        return [
            DeviceEntry(serial=self._usb_serial(node), os_id=str(self._dev_root / node.name))
            for node in nodes
            if _read_attribute(node / "index") in ("0", "")
        ]

    @staticmethod
    def _usb_serial(node: Path) -> str:
        # The node's device is a USB interface; its parents lead to the USB
        # device, the first ancestor that has an idVendor attribute.
        try:
            device = (node / "device").resolve(strict=True)
        except OSError:
            return ""
        for ancestor in (device, *device.parents):
            if (ancestor / "idVendor").is_file():
                return _read_attribute(ancestor / "serial")
        return ""


def _node_number(node: Path) -> int:
    suffix = node.name.removeprefix("video")
    return int(suffix) if suffix.isdigit() else sys.maxsize


def _read_attribute(path: Path) -> str:
    try:
        return path.read_text(encoding="utf-8", errors="replace").strip()
    except OSError:
        return ""


class SimulatedBackend:
    """Devices described in a JSON file: a list of ``{"serial", "os_id"}``
    objects. For machines without cameras (demos, CI, development)."""

    def __init__(self, devices: Iterable[DeviceEntry]):
        self._devices = tuple(devices)

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> SimulatedBackend:
        with open(path, encoding="utf-8") as stream:
            document = json.load(stream)
        if not isinstance(document, list):
            raise ValueError(f"{path}: expected a JSON list of devices")
        devices = []
        for index, entry in enumerate(document):
            if not isinstance(entry, dict) or not isinstance(entry.get("os_id"), str):
                raise ValueError(f"{path}: device {index} needs a text 'os_id'")
            serial = entry.get("serial")
            if serial is None:
                serial = ""
            elif not isinstance(serial, str):
                raise ValueError(f"{path}: device {index} has a serial that is not text")
            devices.append(DeviceEntry(serial=serial, os_id=entry["os_id"]))
        return cls(devices)

    def list_cameras(self) -> list[DeviceEntry]:
        return list(self._devices)


_selected: PlatformBackend | None = None


def use_simulated_devices(path: str | os.PathLike[str] | None) -> None:
    """Select the simulated backend for this process (None: back to the
    environment variable or the native backend)."""
    global _selected
    _selected = None if path is None else SimulatedBackend.from_file(path)


def current_backend() -> PlatformBackend:
    """The backend in use: the simulated one when selected, otherwise the
    native backend of this operating system."""
    if _selected is not None:
        return _selected
    if devices_file := os.environ.get(SIMULATED_DEVICES_ENV):
        return SimulatedBackend.from_file(devices_file)
    if sys.platform.startswith("linux"):
        return V4L2Backend()
    raise NotImplementedError(
        f"no camera backend for platform {sys.platform!r}; "
        f"set {SIMULATED_DEVICES_ENV} to use simulated devices"
    )
