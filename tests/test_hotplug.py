"""The hot-plug watcher: a fake sysfs tree with kernel-formatted messages
injected, the kernel's own uevent socket (as root), and simulated devices;
lookups go to a real HTTP server on 127.0.0.1."""

import json
import os
import queue
import select
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
import uuid

import pytest
from test_platform import FakeSysfs

from quor_camera_sdk.cameras import discovery, hotplug
from quor_camera_sdk.cameras.hotplug import CameraConnected, CameraDisconnected, KernelUevents, Uevent
from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN
from quor_camera_sdk.platform import DeviceEntry, SimulatedBackend, V4L2Backend

SKU = QUOR_ORIDAN.skus[0]
# Bounds for what should take milliseconds, generous for a loaded machine.
WAIT = 10.0
QUIET = 0.3
LOOPBACK_UEVENT = "/sys/class/net/lo/uevent"
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="triggering and forging kernel uevents needs root")


def uevent_message(action, devpath, **properties):
    fields = {"ACTION": action, "DEVPATH": devpath, **properties, "SEQNUM": "1"}
    return f"{action}@{devpath}\0".encode() + b"".join(f"{key}={value}\0".encode() for key, value in fields.items())


def node_message(action, name, port):
    devpath = f"/devices/pci0000:00/0000:00:14.0/usb1/{port}/{port}:1.0/video4linux/{name}"
    return uevent_message(action, devpath, SUBSYSTEM="video4linux", DEVNAME=name)


class Cameras(FakeSysfs):
    """The fake sysfs tree, with cameras plugged and unplugged by port, and
    the watcher's event source: each change is announced as the kernel
    announces it, unless told to be silent, and a loss of events is an empty
    datagram."""

    def __init__(self, root):
        super().__init__(root)
        self._ours, self._kernel = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._ours.setblocking(False)
        self._nodes = {}
        self.closed = False

    def plug(self, port, serial, nodes, *, announce=True):
        self.add_device(port, serial=serial, nodes=nodes)
        self._nodes[port] = list(nodes)
        for name in nodes if announce else ():
            self.send("add", name, port)

    def unplug(self, port, *, announce=True):
        for name in self._nodes.pop(port):
            self.node(name).unlink()
            if announce:
                self.send("remove", name, port)
        shutil.rmtree(self.root / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / port)

    def send(self, action, name, port):
        self._kernel.send(node_message(action, name, port))

    def overflow(self):
        self._kernel.send(b"")

    def fileno(self):
        return self._ours.fileno()

    def receive(self):
        events = []
        while True:
            try:
                data = self._ours.recv(8192)
            except BlockingIOError:
                return events
            if not data:
                return None
            events.append(Uevent.parse(data))

    def close(self):
        self.closed = True
        self._ours.close()
        self._kernel.close()


@pytest.fixture
def cameras(tmp_path):
    cameras = Cameras(tmp_path / "sys")
    yield cameras
    cameras.close()


@pytest.fixture
def document(make_device_info):
    """document(serial, model_name=...): a document of a real SKU, as bytes."""
    return lambda serial, **fields: json.dumps(make_device_info(serial=serial, sku=SKU, **fields)).encode()


@pytest.fixture
def service(device_info_service, document):
    """The server, answering the serials QC-0000 to QC-0009."""
    for number in range(10):
        device_info_service.respond(f"QC-000{number}", body=document(f"QC-000{number}"))
    return device_info_service


@pytest.fixture
def watch(service):
    watchers = []

    def start(**options):
        watchers.append(hotplug.watch_cameras(**options))
        return watchers[-1]

    yield start
    for watcher in watchers:
        watcher.close()


def watch_sysfs(watch, cameras, **options):
    options.setdefault("source", cameras)
    return watch(backend=V4L2Backend(sysfs_root=cameras.root), **options)


def next_event(watcher, timeout=WAIT):
    if not select.select([watcher], [], [], timeout)[0]:
        pytest.fail(f"no event within {timeout} s")
    return watcher.poll()


def take(watcher, count):
    return [summary(next_event(watcher)) for _ in range(count)]


def summary(event):
    """What a test compares: kind, node, serial, and the serial of the record."""
    return event.kind, event.os_id, event.serial, event.camera.serial if event.camera else None


def assert_quiet(watcher):
    assert not select.select([watcher], [], [], QUIET)[0], summary(watcher.poll())


def test_each_arrival_and_departure_is_reported_once(watch, cameras, service):
    cameras.plug("1-1", "QC-0001", {"video0": 0, "video1": 1}, announce=False)
    cameras.plug("1-2", "QC-0002", {"video2": 0}, announce=False)
    watcher = watch_sysfs(watch, cameras)

    assert take(watcher, 2) == [("connected", "/dev/video0", "QC-0001", "QC-0001"),
                                ("connected", "/dev/video2", "QC-0002", "QC-0002")]

    # A camera with two capture nodes and a metadata node, one announced twice.
    cameras.plug("1-3", "QC-0003", {"video4": 0, "video5": 1, "video6": 0})
    cameras.send("add", "video4", "1-3")
    event = next_event(watcher)
    assert isinstance(event, CameraConnected)
    assert summary(event) == ("connected", "/dev/video4", "QC-0003", "QC-0003")
    assert (event.device.port_path, event.outcome.status, event.camera.sku) == ("1-3", "resolved", SKU)

    cameras.unplug("1-3")
    cameras.unplug("1-1")
    departed = next_event(watcher)
    assert isinstance(departed, CameraDisconnected) and departed.camera == event.camera
    assert summary(next_event(watcher)) == ("disconnected", "/dev/video0", "QC-0001", "QC-0001")
    # Replugged on the same port: a new pair.
    cameras.plug("1-3", "QC-0003", {"video4": 0})
    assert take(watcher, 1) == [("connected", "/dev/video4", "QC-0003", "QC-0003")]
    assert_quiet(watcher)
    assert sorted(service.serials_requested) == ["QC-0001", "QC-0002", "QC-0003", "QC-0003"]


def test_the_cameras_there_at_the_start_come_first_in_the_platforms_order(watch, cameras, service, document):
    for slow in ("QC-0001", "QC-0003"):
        service.respond(slow, body=document(slow), delay=1.0)
    cameras.plug("1-1", "QC-0001", {"video0": 0}, announce=False)
    cameras.plug("1-2", "QC-0002", {"video2": 0}, announce=False)
    cameras.plug("1-3", "QC-0003", {"video4": 0}, announce=False)
    watcher = watch_sysfs(watch, cameras)
    cameras.unplug("1-3")  # gone before it was reported: never reported
    cameras.plug("1-4", "QC-0004", {"video6": 0})

    assert [event[1] for event in take(watcher, 3)] == ["/dev/video0", "/dev/video2", "/dev/video6"]
    assert_quiet(watcher)


def test_an_arrival_is_read_once_its_attributes_are_in_sysfs(watch, cameras):
    watcher = watch_sysfs(watch, cameras)
    cameras.send("add", "video0", "1-1")
    time.sleep(0.2)
    cameras.plug("1-1", "QC-0001", {"video0": 0}, announce=False)

    assert take(watcher, 1) == [("connected", "/dev/video0", "QC-0001", "QC-0001")]


def test_cameras_known_at_the_start_are_not_looked_up_but_their_departure_is_reported(watch, cameras, service):
    cameras.plug("1-1", "QC-0001", {"video0": 0}, announce=False)
    watcher = watch_sysfs(watch, cameras, initial=False)
    cameras.plug("1-2", "QC-0002", {"video2": 0})
    assert take(watcher, 1) == [("connected", "/dev/video2", "QC-0002", "QC-0002")]

    cameras.unplug("1-1")

    assert take(watcher, 1) == [("disconnected", "/dev/video0", "QC-0001", None)]
    assert service.serials_requested == ["QC-0002"]


def test_a_lookup_overtaken_by_a_replug_is_dropped(watch, cameras, service, document):
    watcher = watch_sysfs(watch, cameras)
    service.respond("QC-0001", body=document("QC-0001", model_name="first plug"), delay=1.0)
    cameras.plug("1-1", "QC-0001", {"video0": 0})
    deadline = time.monotonic() + WAIT
    while not service.requests and time.monotonic() < deadline:
        time.sleep(0.01)
    cameras.unplug("1-1")
    # Answered after the first lookup, which must not count.
    service.respond("QC-0001", body=document("QC-0001", model_name="second plug"), delay=2.0)
    cameras.plug("1-1", "QC-0001", {"video0": 0})

    connected = next_event(watcher)

    assert (connected.kind, connected.camera.model_name) == ("connected", "second plug")
    cameras.unplug("1-1")
    assert next_event(watcher).camera.model_name == "second plug"


def flood_kernel_uevents(watcher):
    """Real uevents, far more than a tiny receive buffer holds, until the
    watcher reports something."""
    for _ in range(10):
        subprocess.run(["sh", "-c", f"for i in $(seq 2000); do echo change > {LOOPBACK_UEVENT}; done"], check=True)
        if select.select([watcher], [], [], 0.5)[0]:
            return
    pytest.fail("no event after flooding the kernel's uevents")


@pytest.mark.parametrize("loss", ["injected", pytest.param("kernel", marks=needs_root)])
def test_events_lost_in_an_overflow_are_recovered_by_listing_again(watch, cameras, service, loss):
    cameras.plug("1-1", "QC-0001", {"video0": 0}, announce=False)
    cameras.plug("1-2", "QC-0002", {"video2": 0}, announce=False)
    source = cameras if loss == "injected" else KernelUevents(receive_buffer=1)
    watcher = watch_sysfs(watch, cameras, source=source)
    assert len(take(watcher, 2)) == 2
    # Changes whose messages are lost: a departure, an arrival, and a node
    # taken over by a camera on another port.
    cameras.unplug("1-1", announce=False)
    cameras.unplug("1-2", announce=False)
    cameras.plug("1-3", "QC-0003", {"video4": 0}, announce=False)
    cameras.plug("1-4", "QC-0004", {"video2": 0}, announce=False)

    if loss == "injected":
        cameras.overflow()
    else:
        flood_kernel_uevents(watcher)

    assert sorted(take(watcher, 4)) == [
        ("connected", "/dev/video2", "QC-0004", "QC-0004"), ("connected", "/dev/video4", "QC-0003", "QC-0003"),
        ("disconnected", "/dev/video0", "QC-0001", "QC-0001"), ("disconnected", "/dev/video2", "QC-0002", "QC-0002"),
    ]
    if loss == "injected":  # the messages queued behind the loss change nothing
        cameras.send("remove", "video0", "1-1")
        cameras.send("add", "video4", "1-3")
    assert_quiet(watcher)
    assert sorted(service.serials_requested) == ["QC-0001", "QC-0002", "QC-0003", "QC-0004"]


def forge(message):
    with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, hotplug.NETLINK_KOBJECT_UEVENT) as forger:
        forger.bind((0, 0))
        forger.sendto(message, (0, 1))


@needs_root
def test_the_kernel_source_passes_kernel_events_and_drops_forged_ones():
    source = KernelUevents()
    marker = f"/devices/forged-{uuid.uuid4()}"
    try:
        forge(uevent_message("add", marker, SUBSYSTEM="video4linux", DEVNAME="video0"))
        with open(LOOPBACK_UEVENT, "w") as trigger:
            trigger.write("change")
        received = []
        deadline = time.monotonic() + WAIT
        while not any(event.devpath == "/devices/virtual/net/lo" for event in received):
            assert select.select([source], [], [], deadline - time.monotonic())[0], "no kernel uevent arrived"
            received += source.receive()
    finally:
        source.close()

    assert marker not in [event.devpath for event in received]
    assert any(event.action == "change" and event.properties.get("SUBSYSTEM") == "net" for event in received)


@pytest.mark.parametrize("sender", [pytest.param("userspace", marks=needs_root), "kernel"])
def test_a_forged_arrival_gives_no_event(watch, cameras, service, sender):
    watcher = watch_sysfs(watch, cameras, source=KernelUevents() if sender == "userspace" else cameras)
    cameras.plug("1-1", "QC-0001", {"video0": 0}, announce=False)

    if sender == "userspace":
        forge(node_message("add", "video0", "1-1"))
        assert_quiet(watcher)
        assert service.requests == []
    else:  # the same message, coming from the kernel's side
        cameras.send("add", "video0", "1-1")
        assert take(watcher, 1) == [("connected", "/dev/video0", "QC-0001", "QC-0001")]


@pytest.mark.parametrize(
    ("port_id", "credentials", "believed"),
    [(0, (0, 0, 0), True), (4242, (4242, 0, 0), False), (0, (0, 1000, 1000), False), (0, None, False)],
    ids=["kernel", "root-process", "uid-1000", "no-credentials"],
)
def test_only_the_kernel_is_believed(port_id, credentials, believed):
    ancillary = [] if credentials is None else [
        (socket.SOL_SOCKET, socket.SCM_CREDENTIALS, hotplug._CREDENTIALS.pack(*credentials))]

    assert hotplug._sent_by_kernel((port_id, 1), ancillary) is believed


def test_simulated_devices_plugged_and_unplugged_are_followed(watch):
    backend = SimulatedBackend([])
    watcher = watch(backend=backend)
    backend.plug(DeviceEntry(serial="QC-0001", os_id="/dev/video0", port_path="1-1"))
    event = next_event(watcher)
    assert json.loads(json.dumps(event.to_dict()))["camera"]["serial_number"] == "QC-0001"
    assert not select.select([watcher], [], [], 0)[0]  # readable only while an event waits

    with pytest.raises(ValueError, match="already plugged in"):
        backend.plug(DeviceEntry(serial="QC-0002", os_id="/dev/video0"))
    backend.unplug("/dev/video0")
    with pytest.raises(LookupError, match="no simulated device /dev/video0"):
        backend.unplug("/dev/video0")

    assert summary(next_event(watcher)) == ("disconnected", "/dev/video0", "QC-0001", "QC-0001")
    assert_quiet(watcher)


def write_devices(path, serials, *, atomically):
    text = json.dumps([{"serial": serial, "os_id": f"/dev/video{2 * n}"} for n, serial in enumerate(serials)])
    target = path.with_suffix(".part") if atomically else path
    target.write_text(text)
    os.replace(target, path)


def test_a_devices_file_is_followed(watch, tmp_path, caplog):
    path = tmp_path / "devices.json"
    write_devices(path, ["QC-0001"], atomically=False)
    watcher = watch(backend=SimulatedBackend.from_file(path))
    assert take(watcher, 1) == [("connected", "/dev/video0", "QC-0001", "QC-0001")]

    write_devices(path, ["QC-0001", "QC-0002"], atomically=True)
    assert take(watcher, 1) == [("connected", "/dev/video2", "QC-0002", "QC-0002")]
    path.write_text("[{")
    assert_quiet(watcher)
    assert "keeping the simulated devices as they were" in caplog.text
    write_devices(path, ["QC-0003"], atomically=False)

    assert sorted(take(watcher, 3)) == [("connected", "/dev/video0", "QC-0003", "QC-0003"),
                                        ("disconnected", "/dev/video0", "QC-0001", "QC-0001"),
                                        ("disconnected", "/dev/video2", "QC-0002", "QC-0002")]


WATCH_COMMAND = textwrap.dedent("""
    import json, sys
    from quor_camera_sdk.cameras.discovery import watch_cameras

    try:
        with watch_cameras() as watcher:
            for event in watcher:
                print(json.dumps(event.to_dict()), flush=True)
    except KeyboardInterrupt:
        sys.exit(130)
""")


def test_a_command_watches_a_devices_file_until_interrupted(service, tmp_path):
    path = tmp_path / "devices.json"
    write_devices(path, ["QC-0001"], atomically=False)
    environment = {**os.environ, "QUOR_SIMULATED_DEVICES": str(path), "QUOR_SERVICE_URL": service.url}
    with subprocess.Popen([sys.executable, "-c", WATCH_COMMAND], env=environment, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as command:
        lines = queue.Queue()
        reader = threading.Thread(target=lambda: [lines.put(line) for line in command.stdout], daemon=True)
        reader.start()
        try:
            first = json.loads(lines.get(timeout=WAIT))
            write_devices(path, ["QC-0001", "QC-0002"], atomically=True)
            second = json.loads(lines.get(timeout=WAIT))
            command.send_signal(signal.SIGINT)
            command.wait(timeout=WAIT)
        finally:
            command.kill()
            reader.join(WAIT)
        errors = command.stderr.read()

    assert [(line["kind"], line["serial"], line["camera"]["sku"]) for line in (first, second)] == [
        ("connected", "QC-0001", SKU), ("connected", "QC-0002", SKU)]
    assert (command.returncode, errors) == (130, "")


def test_close_from_another_thread_ends_the_iteration_and_releases_all(watch, cameras):
    watcher = watch_sysfs(watch, cameras)
    iteration = threading.Thread(target=lambda: list(watcher))
    iteration.start()

    watcher.close()
    iteration.join(WAIT)

    assert not iteration.is_alive()
    assert cameras.closed
    assert "quor-hotplug" not in [thread.name for thread in threading.enumerate()]
    watcher.close()
    assert watcher.poll() is None
    with pytest.raises(ValueError, match="closed"):
        watcher.fileno()


class BrokenListing(V4L2Backend):
    broken = False

    def list_cameras(self):
        if self.broken:
            raise OSError("sysfs is gone")
        return super().list_cameras()


def test_a_failure_of_the_watcher_is_raised_after_the_events_before_it(watch, cameras):
    backend = BrokenListing(sysfs_root=cameras.root)
    watcher = watch(backend=backend, source=cameras)
    cameras.plug("1-1", "QC-0001", {"video0": 0})
    assert select.select([watcher], [], [], WAIT)[0]
    backend.broken = True
    cameras.overflow()
    time.sleep(QUIET)

    assert summary(next_event(watcher))[:2] == ("connected", "/dev/video0")
    with pytest.raises(RuntimeError, match="camera watcher stopped: OSError"):
        next_event(watcher)
    assert list(watcher) == []


def test_a_lookup_that_raises_is_reported_as_failed(watch, monkeypatch):
    def broken(devices, **options):
        raise RecursionError("a bug")

    monkeypatch.setattr(discovery, "resolve_devices", broken)
    watcher = watch(backend=SimulatedBackend([DeviceEntry(serial="QC-0001", os_id="/dev/video0")]))

    event = next_event(watcher)

    assert (event.os_id, event.camera, event.outcome.status) == ("/dev/video0", None, "lookup_failed")
    assert "a bug" in event.outcome.reason


@pytest.mark.parametrize(
    ("system", "backend", "message"),
    [
        ("darwin", None, "no camera backend on 'darwin'"),
        ("darwin", V4L2Backend(), "no kernel device events on 'darwin'"),
        ("linux", object(), "no device events for a object"),
    ],
    ids=["darwin-default", "darwin-v4l2", "unknown-backend"],
)
def test_unsupported_platforms_say_what_is_supported(monkeypatch, system, backend, message):
    monkeypatch.setattr(sys, "platform", system)

    with pytest.raises(NotImplementedError, match=f"^{message}: .* supported on Linux .* simulated devices"):
        hotplug.watch_cameras(backend=backend)
