"""Hot-plug: cameras arriving and leaving, as events, without polling.

:func:`watch_cameras` reports each camera plugged in as a
:class:`CameraConnected` event, with the record its lookup resolved (as
:func:`~quor_camera_sdk.cameras.discovery.resolve_devices` does, with its
deadline and cache), and each camera pulled out as a
:class:`CameraDisconnected` event, exactly once each:

- a camera is one USB device (one port path; one node when it is not on
  USB), however many capture nodes it creates, and it leaves when its last
  capture node goes;
- a camera that leaves before its lookup finished is never reported, and a
  lookup overtaken by a re-plug is dropped;
- when the kernel's event buffer overflows, the devices are listed again and
  the difference is reported.

On Linux the events come from the kernel (:class:`KernelUevents`); only
messages the kernel itself sent are believed. Simulated devices are followed
through :meth:`~quor_camera_sdk.platform.SimulatedBackend.subscribe` and,
when they were read from a file, through the changes of that file.
"""

from __future__ import annotations

import ctypes
import enum
import errno
import functools
import logging
import math
import os
import select
import socket
import struct
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import asdict, dataclass
from pathlib import Path, PurePath
from types import TracebackType
from typing import Any, ClassVar, Final, Literal, Protocol, Self, TypeAlias

from quor_camera_sdk.cameras import camera_identity, discovery
from quor_camera_sdk.cameras.camera_identity import QuorCameraIdentity
from quor_camera_sdk.cameras.discovery import DEFAULT, CacheChoice, DeviceOutcome, DiscoveryReport, Status
from quor_camera_sdk.platform import (
    SIMULATED_DEVICES_ENV,
    DeviceEntry,
    PlatformBackend,
    SimulatedBackend,
    V4L2Backend,
    video_node_number,
)

__all__ = [
    "CameraConnected",
    "CameraDisconnected",
    "CameraEvent",
    "CameraWatcher",
    "EventSource",
    "KernelUevents",
    "Uevent",
    "watch_cameras",
]

_LOGGER = logging.getLogger(__name__)


# ---------------------------------------------------------------------------
# Events


@dataclass(frozen=True, slots=True)
class CameraConnected:
    """A camera was plugged in, or was there when the watch began.

    ``camera`` is its resolved record, None when it did not resolve;
    ``outcome`` says what its lookup gave and why; ``device`` is the
    platform's entry for it (its port path and USB identity).
    """

    kind: ClassVar[Literal["connected"]] = "connected"
    os_id: str
    serial: str
    camera: QuorCameraIdentity | None
    outcome: DeviceOutcome
    device: DeviceEntry

    def to_dict(self) -> dict[str, Any]:
        """The event as JSON values: ``kind``, ``os_id``, ``serial``,
        ``device``, ``camera`` (the record's ``to_dict()``, or None),
        ``status`` and ``reason``."""
        return {**_event_fields(self), "status": str(self.outcome.status), "reason": self.outcome.reason}


@dataclass(frozen=True, slots=True)
class CameraDisconnected:
    """A camera reported connected (or known when the watch began) was
    pulled out: its last capture node is gone.

    ``camera`` is the record its connected event carried; None when it did
    not resolve, or when the watch began with ``initial=False`` and the
    camera was already there.
    """

    kind: ClassVar[Literal["disconnected"]] = "disconnected"
    os_id: str
    serial: str
    camera: QuorCameraIdentity | None
    device: DeviceEntry

    def to_dict(self) -> dict[str, Any]:
        """The event as JSON values: ``kind``, ``os_id``, ``serial``,
        ``device`` and ``camera`` (the record's ``to_dict()``, or None)."""
        return _event_fields(self)


CameraEvent: TypeAlias = CameraConnected | CameraDisconnected


def _event_fields(event: CameraEvent) -> dict[str, Any]:
    return {
        "kind": event.kind,
        "os_id": event.os_id,
        "serial": event.serial,
        "device": asdict(event.device),
        "camera": None if event.camera is None else event.camera.to_dict(),
    }


# ---------------------------------------------------------------------------
# Kernel device events


@dataclass(frozen=True, slots=True)
class Uevent:
    """One device event of the kernel: its action (``add``, ``remove``,
    ``change``, ...), the device's path under /sys, and its properties
    (``SUBSYSTEM``, ``DEVNAME``, ...)."""

    action: str
    devpath: str
    properties: Mapping[str, str]

    @classmethod
    def parse(cls, data: bytes) -> Uevent | None:
        """The event of a kernel message (``ACTION@DEVPATH``, then
        ``KEY=VALUE`` fields, each ended by a NUL), None when it is not one."""
        header, *fields = data.decode("utf-8", errors="replace").split("\0")
        action, at, devpath = header.partition("@")
        if not (action and at and devpath):
            return None
        properties = dict(field.split("=", 1) for field in fields if "=" in field)
        return cls(action=action, devpath=devpath, properties=properties)


class EventSource(Protocol):
    """Where a watcher's device events come from.

    ``receive()`` is called when ``fileno()`` is readable and must not block;
    it returns the events that arrived, or None when some may have been lost
    (the watcher then lists the devices again). The watcher closes its
    source when it is closed.
    """

    def fileno(self) -> int: ...
    def receive(self) -> Sequence[Uevent] | None: ...
    def close(self) -> None: ...


NETLINK_KOBJECT_UEVENT: Final = 15
# The kernel's own group; udev re-broadcasts what it processed on group 2.
_KERNEL_GROUP = 1
_SO_RCVBUFFORCE = 33
# Room for a burst: a hub of cameras, each with several nodes, coming back at
# once after a reset.
_RECEIVE_BUFFER = 16 * 1024 * 1024
# The kernel builds a uevent in a 2 KiB buffer.
_MESSAGE_LIMIT = 8192
_CREDENTIALS = struct.Struct("iII")  # struct ucred: pid, uid, gid
_CREDENTIALS_SPACE = socket.CMSG_SPACE(_CREDENTIALS.size)
# Messages taken per call, so that a flood cannot keep the watcher from
# its other work.
_BATCH = 256


class KernelUevents:
    """The kernel's device events, from a ``NETLINK_KOBJECT_UEVENT`` socket.

    Only messages the kernel sent are returned: sender port id 0 and, passed
    with them (SO_PASSCRED), the credentials of uid 0. Anything a local
    process broadcasts on the group is dropped. When the socket's receive
    buffer overflowed (ENOBUFS), :meth:`receive` replaces the socket, so that
    no message older than the listing that follows is replayed after it, and
    returns None.
    """

    def __init__(self, *, receive_buffer: int = _RECEIVE_BUFFER):
        self._receive_buffer = receive_buffer
        self._socket = self._open()

    def _open(self) -> socket.socket:
        sock = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC | socket.SOCK_NONBLOCK,
                             NETLINK_KOBJECT_UEVENT)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
            try:
                # Beyond net.core.rmem_max, where the process may.
                sock.setsockopt(socket.SOL_SOCKET, _SO_RCVBUFFORCE, self._receive_buffer)
            except PermissionError:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self._receive_buffer)
            sock.bind((0, _KERNEL_GROUP))
        except BaseException:
            sock.close()
            raise
        return sock

    def fileno(self) -> int:
        return self._socket.fileno()

    def receive(self) -> list[Uevent] | None:
        events = []
        for _ in range(_BATCH):
            try:
                data, ancillary, flags, address = self._socket.recvmsg(_MESSAGE_LIMIT, _CREDENTIALS_SPACE)
            except BlockingIOError:
                break
            except OSError as error:
                if error.errno != errno.ENOBUFS:
                    raise
                _LOGGER.warning("device events were lost (the kernel's uevent buffer overflowed); "
                                "listing the devices again")
                # The new socket queues from now on; what the old one holds
                # is older than the listing and is dropped with it.
                replaced, self._socket = self._socket, self._open()
                replaced.close()
                return None
            if not _sent_by_kernel(address, ancillary):
                _LOGGER.debug("ignoring a uevent message from port id %s: not sent by the kernel", address[0])
            elif flags & socket.MSG_TRUNC:
                _LOGGER.debug("ignoring a truncated uevent message")
            elif (event := Uevent.parse(data)) is not None:
                events.append(event)
        return events

    def close(self) -> None:
        self._socket.close()


def _sent_by_kernel(address: tuple[int, int], ancillary: Iterable[tuple[int, int, bytes]]) -> bool:
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS and len(data) >= _CREDENTIALS.size:
            _pid, uid, _gid = _CREDENTIALS.unpack_from(data)
            return address[0] == 0 and uid == 0
    return False


# ---------------------------------------------------------------------------
# Changes of a simulated-devices file

_IN_CLOSE_WRITE = 0x8
_IN_MOVED_TO = 0x80
_IN_Q_OVERFLOW = 0x4000
_INOTIFY_EVENT = struct.Struct("iIII")  # wd, mask, cookie, len; then the name


class _DevicesFileChanges:
    """Reloads a simulated backend whenever its file was written or replaced
    (by rename, as editors and atomic writers do): inotify on the file's
    folder. The backend announces the changes itself."""

    def __init__(self, backend: SimulatedBackend, path: Path):
        libc = ctypes.CDLL(None, use_errno=True)
        self._fd: int = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self._fd < 0:
            raise OSError(ctypes.get_errno(), f"inotify: {os.strerror(ctypes.get_errno())}")
        folder = os.fsencode(path.parent)
        if libc.inotify_add_watch(self._fd, folder, _IN_CLOSE_WRITE | _IN_MOVED_TO) < 0:
            code = ctypes.get_errno()
            os.close(self._fd)
            raise OSError(code, os.strerror(code), os.fsdecode(folder))
        self._name = os.fsencode(path.name)
        self._backend = backend
        # An edit made since the file was read, before the watch began.
        self._reload()

    def fileno(self) -> int:
        return self._fd

    def receive(self) -> list[Uevent]:
        if self._file_changed():
            self._reload()
        return []

    def _file_changed(self) -> bool:
        changed = False
        for _ in range(_BATCH):
            try:
                data = os.read(self._fd, 64 * 1024)
            except BlockingIOError:
                break
            offset = 0
            while offset < len(data):
                _watch, mask, _cookie, length = _INOTIFY_EVENT.unpack_from(data, offset)
                start = offset + _INOTIFY_EVENT.size
                name = data[start:start + length].rstrip(b"\0")
                changed = changed or name == self._name or bool(mask & _IN_Q_OVERFLOW)
                offset = start + length
        return changed

    def _reload(self) -> None:
        try:
            self._backend.reload()
        except (OSError, ValueError) as error:
            _LOGGER.warning("keeping the simulated devices as they were: %s", error)

    def close(self) -> None:
        os.close(self._fd)


# ---------------------------------------------------------------------------
# The watcher

# The kernel announces a node once its attributes are in sysfs; the wait
# only covers a straggler, and is bounded.
_SETTLE_FIRST = 0.005
_SETTLE_STEP_LIMIT = 0.25
_SETTLE_LIMIT = 2.0


class _State(enum.Enum):
    LOOKING_UP = "looking up"  # its connected event is not reported yet
    REPORTED = "reported"
    KNOWN = "known"  # there when a watch with initial=False began


@dataclass(eq=False)
class _Camera:
    """One USB device (or one node off USB) and its capture nodes."""

    key: tuple[str, str]
    device: DeviceEntry  # its first node, which its events name
    state: _State
    nodes: dict[str, DeviceEntry]
    record: QuorCameraIdentity | None = None


def _camera_key(entry: DeviceEntry) -> tuple[str, str]:
    return ("usb", entry.port_path) if entry.port_path else ("node", entry.os_id)


@dataclass
class _Settling:
    """An arrival whose sysfs attributes are not there yet."""

    since: float
    retry_at: float
    step: float = _SETTLE_FIRST


_Lookup = Callable[[Sequence[DeviceEntry]], DiscoveryReport]


class CameraWatcher:
    """Cameras arriving and leaving, as :class:`CameraConnected` and
    :class:`CameraDisconnected` events; made by :func:`watch_cameras`.

    Iterate over it (each step blocks until the next event, and the
    iteration ends when the watcher is closed), or wait until ``fileno()`` is
    readable (``select``, asyncio's ``loop.add_reader``) and take the events
    with :meth:`poll`. Should the watcher itself fail, the next step raises
    RuntimeError, after the events that came before. :meth:`close` (also on
    leaving a ``with`` block) ends it from any thread.
    """

    def __init__(self, backend: PlatformBackend, source: EventSource | None, *, initial: bool, lookup: _Lookup,
                 subscribe: Callable[[Callable[[], object]], Callable[[], None]] | None = None):
        self._backend = backend
        self._source = source
        self._lookup = lookup
        # Engine state, touched by the engine thread only once it runs.
        self._cameras: dict[tuple[str, str], _Camera] = {}
        self._nodes: dict[str, _Camera] = {}
        self._settling: dict[str, _Settling] = {}
        self._unresolved: list[_Camera] = []
        self._held: list[tuple[_Camera, DeviceOutcome]] | None = None
        # Shared with the caller and the lookup threads, under the condition.
        self._condition = threading.Condition()
        self._events: deque[CameraEvent] = deque()
        self._tasks: list[Callable[[], object]] = []
        self._failure: BaseException | None = None
        self._stopped = False
        self._closed = False
        self._woken = False
        self._readable = False
        self._ready_r, self._ready_w = os.pipe()
        self._wake_r, self._wake_w = os.pipe()
        for descriptor in (self._ready_r, self._ready_w, self._wake_r, self._wake_w):
            os.set_blocking(descriptor, False)
        self._unsubscribe = subscribe(functools.partial(self._post, self._resync)) if subscribe else None
        try:
            self._resync(arrival=_State.LOOKING_UP if initial else _State.KNOWN)
        except BaseException:
            if self._unsubscribe is not None:
                self._unsubscribe()
            self._close_descriptors()
            raise
        self._engine = threading.Thread(target=self._run, name="quor-hotplug", daemon=True)
        self._engine.start()

    # -- the caller's side

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __iter__(self) -> Self:
        return self

    def __next__(self) -> CameraEvent:
        with self._condition:
            while not self._closed:
                if (event := self._take()) is not None:
                    return event
                if self._stopped:
                    break
                self._condition.wait()
            raise StopIteration

    def poll(self) -> CameraEvent | None:
        """The next event, or None when there is none yet (or the watcher is
        closed); never blocks."""
        with self._condition:
            return None if self._closed else self._take()

    def fileno(self) -> int:
        """A descriptor that is readable while :meth:`poll` has something to
        give; valid until :meth:`close`."""
        with self._condition:
            if self._closed:
                raise ValueError("the camera watcher is closed")
            return self._ready_r

    @property
    def closed(self) -> bool:
        """True once :meth:`close` was called."""
        return self._closed

    def close(self) -> None:
        """Ends the watch: the iteration stops, events not taken are dropped,
        the event source and the descriptors are released. Lookups still
        running end by their deadline, their answers unused. Closing again
        does nothing."""
        with self._condition:
            if self._closed:
                return
            self._wake_engine()
            self._closed = True
            self._events.clear()
            self._failure = None
            self._condition.notify_all()
        self._engine.join()
        self._close_descriptors()

    def _close_descriptors(self) -> None:
        for descriptor in (self._ready_r, self._ready_w, self._wake_r, self._wake_w):
            os.close(descriptor)

    def _take(self) -> CameraEvent | None:
        """Under the condition: the next event, raising the watcher's failure
        once all events before it are taken."""
        try:
            if self._events:
                return self._events.popleft()
            if self._failure is not None:
                failure, self._failure = self._failure, None
                raise RuntimeError(f"the camera watcher stopped: {failure!r}") from failure
            return None
        finally:
            self._update_readiness()

    def _update_readiness(self) -> None:
        # One byte in the pipe while there is something to take: a
        # level-triggered readiness that select and asyncio understand.
        readable = bool(self._events) or self._failure is not None
        if readable and not self._readable:
            os.write(self._ready_w, b"\0")
        elif self._readable and not readable:
            os.read(self._ready_r, 1)
        self._readable = readable

    # -- from the engine and lookup threads

    def _emit(self, event: CameraEvent) -> None:
        _LOGGER.info("%s %s serial=%s", event.kind, event.os_id, event.serial or "(none)")
        with self._condition:
            if self._closed:
                return
            self._events.append(event)
            self._update_readiness()
            self._condition.notify_all()

    def _post(self, task: Callable[[], object]) -> None:
        """Runs ``task`` on the engine thread."""
        with self._condition:
            if self._closed:
                return
            self._tasks.append(task)
            self._wake_engine()

    def _wake_engine(self) -> None:
        if not self._woken:
            os.write(self._wake_w, b"\0")
            self._woken = True

    # -- the engine thread

    def _run(self) -> None:
        try:
            self._start_lookups(initial=True)
            while True:
                source_ready = self._wait()
                with self._condition:
                    if self._closed:
                        return
                    if self._woken:
                        os.read(self._wake_r, 1)
                        self._woken = False
                    tasks, self._tasks = self._tasks, []
                for task in tasks:
                    task()
                if source_ready and self._source is not None:
                    self._handle(self._source.receive())
                self._settle()
                self._start_lookups(initial=False)
        except BaseException as error:
            with self._condition:
                if self._closed:
                    return
                self._failure = error
                self._stopped = True
                self._update_readiness()
                self._condition.notify_all()
        finally:
            self._release()

    def _release(self) -> None:
        if self._unsubscribe is not None:
            self._unsubscribe()
        if self._source is not None:
            self._source.close()

    def _wait(self) -> bool:
        """Waits for a task, a source event or the next settling retry; True
        when the source is readable."""
        poller = select.poll()
        poller.register(self._wake_r, select.POLLIN)
        if self._source is not None:
            poller.register(self._source.fileno(), select.POLLIN)
        timeout = None
        if self._settling:
            next_retry = min(settling.retry_at for settling in self._settling.values())
            timeout = max(0, math.ceil((next_retry - time.monotonic()) * 1000))
        ready = {descriptor for descriptor, _ in poller.poll(timeout)}
        return self._source is not None and self._source.fileno() in ready

    def _handle(self, events: Sequence[Uevent] | None) -> None:
        if events is None:
            self._resync(arrival=_State.LOOKING_UP)
            return
        for event in events:
            name = event.properties.get("DEVNAME", "")
            if event.properties.get("SUBSYSTEM") != "video4linux" or video_node_number(name) is None:
                continue
            if event.action == "add":
                now = time.monotonic()
                self._settling[name] = _Settling(since=now, retry_at=now)
            elif event.action == "remove":
                self._settling.pop(name, None)
                os_id = next((os_id for os_id in self._nodes if PurePath(os_id).name == name), None)
                if os_id is not None:
                    self._node_removed(os_id)

    def _settle(self) -> None:
        """Reads the arrivals whose retry is due."""
        if not self._settling:
            return
        assert isinstance(self._backend, V4L2Backend)  # device events come with the V4L2 backend only
        now = time.monotonic()
        for name, settling in list(self._settling.items()):
            if settling.retry_at > now:
                continue
            if (self._backend.node_path(name) / "index").exists():
                del self._settling[name]
                if (entry := self._backend.device(name)) is not None:
                    self._node_added(entry, _State.LOOKING_UP)
            elif now - settling.since >= _SETTLE_LIMIT:
                del self._settling[name]
                _LOGGER.debug("%s: no attributes in sysfs %g s after its arrival; not reported", name, _SETTLE_LIMIT)
            else:
                settling.retry_at = now + settling.step
                settling.step = min(2 * settling.step, _SETTLE_STEP_LIMIT)

    def _resync(self, arrival: _State = _State.LOOKING_UP) -> None:
        """Lists the devices and takes in the difference from what is known."""
        listed = {entry.os_id: entry for entry in self._backend.list_cameras()}
        for os_id in [os_id for os_id in self._nodes if os_id not in listed]:
            self._node_removed(os_id)
        for entry in listed.values():  # a node that changed devices is replaced here
            self._node_added(entry, arrival)

    def _node_added(self, entry: DeviceEntry, arrival: _State) -> None:
        known = self._nodes.get(entry.os_id)
        if known is not None:
            if known.nodes[entry.os_id] == entry:
                return  # announced twice, or listed after its event
            self._node_removed(entry.os_id)  # the node now belongs to another device
        key = _camera_key(entry)
        camera = self._cameras.get(key)
        if camera is None:
            camera = self._cameras[key] = _Camera(key=key, device=entry, state=arrival, nodes={})
            if arrival is _State.LOOKING_UP:
                self._unresolved.append(camera)
        camera.nodes[entry.os_id] = entry
        self._nodes[entry.os_id] = camera

    def _node_removed(self, os_id: str) -> None:
        camera = self._nodes.pop(os_id, None)
        if camera is None:
            return
        del camera.nodes[os_id]
        if camera.nodes:
            return
        del self._cameras[camera.key]
        if camera.state is _State.LOOKING_UP:
            _LOGGER.debug("%s left before its lookup finished: not reported", camera.device.os_id)
            if camera in self._unresolved:
                self._unresolved.remove(camera)
            return
        self._emit(CameraDisconnected(os_id=camera.device.os_id, serial=camera.device.serial, camera=camera.record,
                                      device=camera.device))

    def _start_lookups(self, *, initial: bool) -> None:
        """The cameras there at the start are looked up together and reported
        in the platform's order, before any other; each later one on its own,
        so that a slow lookup delays no other event."""
        cameras, self._unresolved = self._unresolved, []
        if initial and cameras:
            self._held = []
        batches = [cameras] if initial else [[camera] for camera in cameras]
        for batch in batches:
            if batch:
                threading.Thread(target=self._look_up, args=(batch, initial), name="quor-hotplug-lookup",
                                 daemon=True).start()

    def _look_up(self, cameras: list[_Camera], initial: bool) -> None:
        """On a lookup thread."""
        try:
            outcomes: Sequence[DeviceOutcome] = self._lookup([camera.device for camera in cameras]).outcomes
        except Exception as error:  # a camera must not stay unreported for a bug
            _LOGGER.exception("looking up %s failed", ", ".join(camera.device.os_id for camera in cameras))
            outcomes = [DeviceOutcome(os_id=camera.device.os_id, serial=camera.device.serial,
                                      status=Status.LOOKUP_FAILED, reason=f"lookup failed: {error!r}", seconds=0.0)
                        for camera in cameras]
        self._post(functools.partial(self._resolved, list(zip(cameras, outcomes, strict=True)), initial))

    def _resolved(self, results: list[tuple[_Camera, DeviceOutcome]], initial: bool) -> None:
        if self._held is not None and not initial:
            self._held.extend(results)
            return
        if initial and self._held is not None:
            results, self._held = results + self._held, None
        for camera, outcome in results:
            if self._cameras.get(camera.key) is not camera or camera.state is not _State.LOOKING_UP:
                _LOGGER.debug("dropping the lookup of %s: the device left or was plugged in again meanwhile",
                              camera.device.os_id)
                continue
            camera.state = _State.REPORTED
            camera.record = outcome.camera
            self._emit(CameraConnected(os_id=camera.device.os_id, serial=camera.device.serial, camera=outcome.camera,
                                       outcome=outcome, device=camera.device))


def _unsupported(what: str) -> NotImplementedError:
    return NotImplementedError(
        f"{what}: camera hot-plug events are supported on Linux (V4L2 devices, through kernel uevents) and "
        f"for simulated devices (--devices FILE, or {SIMULATED_DEVICES_ENV})"
    )


def watch_cameras(
    *,
    initial: bool = True,
    deadline: float = 15.0,
    cache: CacheChoice = DEFAULT,
    timeout: float = 10.0,
    offline: bool = False,
    backend: PlatformBackend | None = None,
    source: EventSource | None = None,
) -> CameraWatcher:
    """Watch cameras arrive and leave: a :class:`CameraWatcher` of
    :class:`CameraConnected` and :class:`CameraDisconnected` events.

    With ``initial=True`` the cameras already there come first, as connected
    events, looked up together and in the platform's order; with
    ``initial=False`` they are taken in without lookups, and only their
    departures are reported. Each arrival is looked up as
    :func:`~quor_camera_sdk.cameras.discovery.resolve_devices` does, with
    ``deadline``, ``cache``, ``timeout`` and ``offline``.

    ``backend`` defaults to the platform's (``current_backend()``):
    V4L2 devices, followed through the kernel's device events (``source``,
    by default a :class:`KernelUevents` socket, which the watcher owns), or
    simulated devices, followed through their changes and those of their
    file. Raises NotImplementedError for any other.
    """
    deadline = discovery._positive_seconds("deadline", deadline)
    timeout = discovery._positive_seconds("timeout", timeout)
    if backend is None:
        try:
            backend = camera_identity.current_backend()
        except NotImplementedError:
            raise _unsupported(f"no camera backend on {sys.platform!r}") from None
    lookup = functools.partial(discovery.resolve_devices, deadline=deadline, cache=cache, timeout=timeout,
                               offline=offline)
    if isinstance(backend, SimulatedBackend):
        if source is not None:
            raise ValueError("an event source is for the V4L2 backend; simulated devices announce their changes")
        if backend.path is not None and sys.platform.startswith("linux"):
            source = _DevicesFileChanges(backend, backend.path)
        elif backend.path is not None:
            _LOGGER.warning("changes of %s are not followed on %s (inotify is Linux's)", backend.path, sys.platform)
        return _watcher(backend, source, initial=initial, lookup=lookup, subscribe=backend.subscribe)
    if not isinstance(backend, V4L2Backend):
        raise _unsupported(f"no device events for a {type(backend).__name__}")
    if not sys.platform.startswith("linux"):
        raise _unsupported(f"no kernel device events on {sys.platform!r}")
    # Open before the devices are listed, so that nothing in between is lost.
    return _watcher(backend, source or KernelUevents(), initial=initial, lookup=lookup)


def _watcher(backend: PlatformBackend, source: EventSource | None, **options: Any) -> CameraWatcher:
    """A watcher over ``source``, which is closed should the watcher not
    come to be."""
    try:
        return CameraWatcher(backend, source, **options)
    except BaseException:
        if source is not None:
            source.close()
        raise
