"""Platform layer: which video devices the operating system sees.

:func:`current_backend` returns the backend for this machine. On Linux it
enumerates V4L2 capture devices through sysfs; elsewhere there is no native
backend yet. A simulated backend, reading devices from a JSON file, is used
only when asked for: by :func:`use_simulated_devices` or by naming the file
in the ``QUOR_SIMULATED_DEVICES`` environment variable.

Enumeration needs no network. The Linux backend can be limited to the USB
vendors given to it (or named in ``QUOR_USB_VENDOR_IDS``), so that other
makers' cameras, a laptop's own webcam for one, are never looked up.
"""

from __future__ import annotations

import errno
import json
import logging
import os
import re
import sys
import threading
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Any, Protocol

from quor_camera_sdk._files import read_regular_file

__all__ = [
    "DeviceEntry",
    "PlatformBackend",
    "SIMULATED_DEVICES_ENV",
    "SimulatedBackend",
    "USB_VENDOR_IDS_ENV",
    "V4L2Backend",
    "current_backend",
    "parse_vendor_ids",
    "use_simulated_devices",
    "video_node_number",
]

_LOGGER = logging.getLogger(__name__)

SIMULATED_DEVICES_ENV = "QUOR_SIMULATED_DEVICES"
USB_VENDOR_IDS_ENV = "QUOR_USB_VENDOR_IDS"


@dataclass(frozen=True, slots=True)
class DeviceEntry:
    """One video device.

    ``serial`` is the unit's USB serial (empty when it reports none) and
    ``os_id`` the operating system's identifier of the device (its node,
    ``/dev/video0``). The USB fields are empty for a device that is not on
    USB: ``vendor_id`` and ``product_id`` as four lower-case hexadecimal
    digits, ``product`` the name the device reports, and ``port_path`` the
    chain of USB ports it is plugged into (``1-2.3``: bus 1, port 2, then
    port 3 of a hub). The same camera on the same port keeps its
    ``port_path`` across re-plugging and reboots, so identical cameras can be
    told apart when their nodes change places.
    """

    serial: str
    os_id: str
    vendor_id: str = ""
    product_id: str = ""
    product: str = ""
    port_path: str = ""


class PlatformBackend(Protocol):
    def list_cameras(self) -> Sequence[DeviceEntry]: ...


# ---------------------------------------------------------------------------
# USB vendor filter

_VENDOR_ID = re.compile(r"(?:0x)?([0-9a-fA-F]{1,4})")


def parse_vendor_ids(text: str) -> frozenset[str]:
    """USB vendor IDs from a comma- or space-separated list of hexadecimal
    numbers (``ffee, 0x0eef``), as four lower-case digits each."""
    return frozenset(_vendor_id(item) for item in re.split(r"[\s,]+", text.strip()) if item)


def _vendor_id(value: str | int) -> str:
    if isinstance(value, int):
        if not 0 <= value <= 0xFFFF:
            raise ValueError(f"{value} is not a USB vendor ID (0 to 0xffff)")
        return f"{value:04x}"
    match = _VENDOR_ID.fullmatch(value.strip())
    if match is None:
        raise ValueError(f"{value!r} is not a USB vendor ID (expected up to four hexadecimal digits, e.g. ffee)")
    return f"{int(match[1], 16):04x}"


def _vendor_filter(vendor_ids: Iterable[str | int] | None) -> frozenset[str] | None:
    """The vendors to keep; None keeps every device."""
    if vendor_ids is not None:
        return frozenset(_vendor_id(vendor_id) for vendor_id in vendor_ids)
    try:
        return parse_vendor_ids(os.environ.get(USB_VENDOR_IDS_ENV, "")) or None
    except ValueError as error:
        raise ValueError(f"{USB_VENDOR_IDS_ENV}: {error}") from None


# ---------------------------------------------------------------------------
# sysfs

# sysfs attributes fit in a page; anything longer is not one.
_ATTRIBUTE_LIMIT = 4096
_NODE_NAME = re.compile(r"video([0-9]+)")


class _Unreadable(Exception):
    """An attribute that exists but cannot be read as one: the node that
    carries it is skipped."""


def _read_attribute(path: Path) -> str | None:
    """The text of a sysfs attribute, None when it does not exist.

    Read without blocking, so a FIFO or a device in its place cannot hang
    the listing, and only if it is a regular file of attribute size.
    """
    try:
        content, _ = read_regular_file(path, _ATTRIBUTE_LIMIT)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise _Unreadable(f"{path}: {error.strerror}") from None
    except ValueError as error:
        raise _Unreadable(f"{path}: {error}") from None
    return content.decode("utf-8", errors="replace").strip()


def video_node_number(name: str) -> int | None:
    """N of a V4L2 node named ``videoN`` (ASCII digits only), else None."""
    match = _NODE_NAME.fullmatch(name)
    return int(match[1]) if match else None


class V4L2Backend:
    """Video capture devices of a Linux system, read from sysfs.

    A UVC camera creates several nodes; the capture node is the one whose
    ``index`` is 0. Its USB fields are those of the USB device the node
    belongs to. Nodes are listed in numeric order. A node that cannot be
    read (an odd name, an attribute that is not a regular file or cannot be
    opened, a symbolic-link loop) is skipped with a debug record.

    ``vendor_ids`` keeps only the devices of those USB vendors (hexadecimal
    text or integers); by default the ``QUOR_USB_VENDOR_IDS`` environment
    variable names them, and without it every device is listed.
    """

    def __init__(
        self,
        sysfs_root: str | os.PathLike[str] = "/sys",
        dev_root: str | os.PathLike[str] = "/dev",
        *,
        vendor_ids: Iterable[str | int] | None = None,
    ):
        self.sysfs_root = Path(sysfs_root)
        self._class_dir = self.sysfs_root / "class" / "video4linux"
        self._dev_root = Path(dev_root)
        self.vendor_ids = _vendor_filter(vendor_ids)

    def list_cameras(self) -> list[DeviceEntry]:
        try:
            names = os.listdir(self._class_dir)
        except OSError as error:
            if error.errno != errno.ENOENT:
                _LOGGER.debug("cannot list %s: %s", self._class_dir, error.strerror)
            return []
        numbered = []
        for name in names:
            if (number := video_node_number(name)) is not None:
                numbered.append((number, name))
            elif name.startswith("video"):
                _LOGGER.debug("skipping %r: not a video node name", name)
        entries = (self.device(name) for _, name in sorted(numbered))
        return [entry for entry in entries if entry is not None]

    def device(self, name: str) -> DeviceEntry | None:
        """The entry of node ``name`` (``video0``), or None when it is not a
        capture node, is filtered out, or cannot be read."""
        if video_node_number(name) is None:
            _LOGGER.debug("skipping %r: not a video node name", name)
            return None
        node = self.node_path(name)
        try:
            if _read_attribute(node / "index") not in ("0", None):
                return None
            entry = self._entry(node, name)
        except _Unreadable as error:
            _LOGGER.debug("skipping %s: %s", name, error)
            return None
        if self.vendor_ids is not None and entry.vendor_id not in self.vendor_ids:
            _LOGGER.debug(
                "skipping %s: USB vendor %s is not among %s", entry.os_id, entry.vendor_id or "(none)",
                ", ".join(sorted(self.vendor_ids)),
            )
            return None
        return entry

    def node_path(self, name: str) -> Path:
        """The sysfs folder of node ``name`` (``video0``)."""
        return self._class_dir / name

    def _entry(self, node: Path, name: str) -> DeviceEntry:
        os_id = str(self._dev_root / name)
        usb_device = self._usb_device(node)
        if usb_device is None:
            return DeviceEntry(serial="", os_id=os_id)
        return DeviceEntry(
            serial=_read_attribute(usb_device / "serial") or "",
            os_id=os_id,
            vendor_id=(_read_attribute(usb_device / "idVendor") or "").lower(),
            product_id=(_read_attribute(usb_device / "idProduct") or "").lower(),
            product=_read_attribute(usb_device / "product") or "",
            port_path=usb_device.name,
        )

    @staticmethod
    def _usb_device(node: Path) -> Path | None:
        # The node's device is a USB interface; its parents lead to the USB
        # device, the first ancestor that has an idVendor attribute.
        try:
            device = (node / "device").resolve(strict=True)
        except FileNotFoundError:
            return None
        except (OSError, RuntimeError) as error:  # a link loop, a denied directory
            raise _Unreadable(f"{node / 'device'}: {error}") from None
        for ancestor in (device, *device.parents):
            if _read_attribute(ancestor / "idVendor") is not None:
                return ancestor
        return None


# ---------------------------------------------------------------------------
# Simulated devices

_TEXT_FIELDS = tuple(field.name for field in fields(DeviceEntry) if field.name not in ("serial", "os_id"))


class SimulatedBackend:
    """Devices described in a JSON file: a list of objects with a text
    ``os_id``, and optionally ``serial``, ``vendor_id``, ``product_id``,
    ``product`` and ``port_path``. For machines without cameras (demos, CI,
    development).

    Devices can be plugged and unplugged while it is in use (:meth:`plug`,
    :meth:`unplug`, :meth:`reload` of its file); each change is announced to
    the callbacks given to :meth:`subscribe`, which is how a hot-plug watcher
    follows it.
    """

    def __init__(self, devices: Iterable[DeviceEntry], *, path: str | os.PathLike[str] | None = None):
        self._devices = tuple(devices)
        # The file the devices were read from, for reload().
        self.path = None if path is None else Path(path)
        self._lock = threading.Lock()
        self._listeners: list[Callable[[], object]] = []

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> SimulatedBackend:
        """Raises OSError when the file cannot be read and ValueError, naming
        the file, when it does not describe devices."""
        with open(path, encoding="utf-8") as stream:
            try:
                document = json.load(stream)
            except json.JSONDecodeError as error:
                raise ValueError(f"{os.fspath(path)}: not valid JSON ({error})") from None
            except UnicodeDecodeError:
                raise ValueError(f"{os.fspath(path)}: not UTF-8 text") from None
        if not isinstance(document, list):
            raise ValueError(f"{os.fspath(path)}: expected a JSON list of devices")
        return cls((_simulated_entry(entry, index, path) for index, entry in enumerate(document)), path=path)

    def list_cameras(self) -> list[DeviceEntry]:
        return list(self._devices)

    def plug(self, entry: DeviceEntry) -> None:
        """Adds a device; ValueError when one with its ``os_id`` is present."""
        with self._lock:
            if any(device.os_id == entry.os_id for device in self._devices):
                raise ValueError(f"a simulated device {entry.os_id} is already plugged in")
            self._devices += (entry,)
        self._announce()

    def unplug(self, os_id: str) -> DeviceEntry:
        """Removes the device ``os_id`` and returns it; LookupError when there
        is none."""
        with self._lock:
            entry = next((device for device in self._devices if device.os_id == os_id), None)
            if entry is None:
                raise LookupError(f"no simulated device {os_id} is plugged in")
            self._devices = tuple(device for device in self._devices if device is not entry)
        self._announce()
        return entry

    def reload(self) -> None:
        """Reads the devices from the file again, announcing a change when
        there is one. Raises as :meth:`from_file` does, keeping the devices
        it had; ValueError when the devices were not read from a file."""
        if self.path is None:
            raise ValueError("these simulated devices were not read from a file")
        devices = tuple(SimulatedBackend.from_file(self.path).list_cameras())
        with self._lock:
            changed = devices != self._devices
            self._devices = devices
        if changed:
            self._announce()

    def subscribe(self, callback: Callable[[], object]) -> Callable[[], None]:
        """Calls ``callback()`` after each change of the devices, on the
        thread that made it; returns the function that unsubscribes."""
        with self._lock:
            self._listeners.append(callback)

        def unsubscribe() -> None:
            with self._lock:
                if callback in self._listeners:
                    self._listeners.remove(callback)

        return unsubscribe

    def _announce(self) -> None:
        with self._lock:
            listeners = list(self._listeners)
        for callback in listeners:
            callback()


def _simulated_entry(entry: Any, index: int, path: str | os.PathLike[str]) -> DeviceEntry:
    where = f"{os.fspath(path)}: device {index}"
    if not isinstance(entry, dict) or not isinstance(entry.get("os_id"), str):
        raise ValueError(f"{where} needs a text 'os_id'")
    serial = entry.get("serial")
    if serial is None:
        serial = ""
    elif not isinstance(serial, str):
        raise ValueError(f"{where} has a serial that is not text")
    extra = {name: entry.get(name, "") for name in _TEXT_FIELDS}
    for name, value in extra.items():
        if not isinstance(value, str):
            raise ValueError(f"{where} has a {name} that is not text")
    return DeviceEntry(serial=serial, os_id=entry["os_id"], **extra)


# ---------------------------------------------------------------------------
# Selection

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
        try:
            return SimulatedBackend.from_file(devices_file)
        except (OSError, ValueError) as error:
            raise type(error)(f"{SIMULATED_DEVICES_ENV}: {_reason_text(error)}") from None
    if sys.platform.startswith("linux"):
        return V4L2Backend()
    raise NotImplementedError(
        f"no camera backend for platform {sys.platform!r}; "
        f"set {SIMULATED_DEVICES_ENV} to use simulated devices"
    )


def _reason_text(error: OSError | ValueError) -> str:
    if isinstance(error, OSError) and error.strerror:
        return f"{error.filename}: {error.strerror}" if error.filename else error.strerror
    return str(error)
