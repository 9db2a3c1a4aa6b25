"""Platform backends: sysfs enumeration, simulated devices and the selection."""

import json
import os
import sys

import pytest

from quor_camera_sdk import platform
from quor_camera_sdk.platform import DeviceEntry, SimulatedBackend, V4L2Backend, current_backend, use_simulated_devices


class FakeSysfs:
    """A /sys tree laid out as the kernel does for UVC cameras: the class
    entry links to the node under its USB interface, whose parent is the USB
    device carrying idVendor and serial."""

    def __init__(self, root):
        self.root = root
        self.class_dir = root / "class" / "video4linux"

    def add_device(self, port, *, serial, nodes, usb=True):
        """``nodes`` maps node names (video0, ...) to their index attribute."""
        device = self.root / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / port
        device.mkdir(parents=True)
        if usb:
            (device / "idVendor").write_text("2b03\n")
        if serial is not None:
            (device / "serial").write_text(f"{serial}\n")
        interface = device / f"{port}:1.0"
        for name, index in nodes.items():
            node = interface / "video4linux" / name
            node.mkdir(parents=True)
            (node / "index").write_text(f"{index}\n")
            (node / "device").symlink_to(os.path.relpath(interface, node))
            self.class_dir.mkdir(parents=True, exist_ok=True)
            (self.class_dir / name).symlink_to(os.path.relpath(node, self.class_dir))


@pytest.fixture
def sysfs(tmp_path):
    return FakeSysfs(tmp_path / "sys")


def backend_for(sysfs):
    return V4L2Backend(sysfs_root=sysfs.root, dev_root="/dev")


def test_capture_node_is_listed_with_the_usb_serial(sysfs):
    sysfs.add_device("1-1", serial="QC-0001", nodes={"video0": 0, "video1": 1})

    assert backend_for(sysfs).list_cameras() == [DeviceEntry(serial="QC-0001", os_id="/dev/video0")]


@pytest.mark.parametrize(
    "device", [{"serial": None}, {"serial": None, "usb": False}, {"serial": "QC-0001", "usb": False}],
    ids=["usb-without-serial", "not-usb", "serial-outside-usb"],
)
def test_device_without_usb_serial_has_empty_serial(sysfs, device):
    sysfs.add_device("1-1", nodes={"video0": 0}, **device)

    assert backend_for(sysfs).list_cameras() == [DeviceEntry(serial="", os_id="/dev/video0")]


def test_nodes_are_in_numeric_order(sysfs):
    sysfs.add_device("1-1", serial="QC-0010", nodes={"video10": 0, "video11": 1})
    sysfs.add_device("1-2", serial="QC-0002", nodes={"video2": 0, "video3": 1})

    assert [entry.os_id for entry in backend_for(sysfs).list_cameras()] == ["/dev/video2", "/dev/video10"]


def test_os_id_is_under_the_device_root(sysfs, tmp_path):
    sysfs.add_device("1-1", serial="QC-0001", nodes={"video0": 0})

    [entry] = V4L2Backend(sysfs_root=sysfs.root, dev_root=tmp_path / "dev").list_cameras()

    assert entry.os_id == str(tmp_path / "dev" / "video0")


def test_no_video4linux_class_lists_nothing(tmp_path):
    assert V4L2Backend(sysfs_root=tmp_path, dev_root="/dev").list_cameras() == []


def write_devices(path, document):
    path.write_text(json.dumps(document) if not isinstance(document, str) else document, encoding="utf-8")
    return path


def test_simulated_devices_from_file(tmp_path):
    path = write_devices(
        tmp_path / "devices.json",
        [
            {"serial": "QC-0001", "os_id": "/dev/video0"},
            {"os_id": "/dev/video2"},
            {"serial": None, "os_id": "/dev/video4", "note": "ignored"},
        ],
    )

    assert SimulatedBackend.from_file(path).list_cameras() == [
        DeviceEntry(serial="QC-0001", os_id="/dev/video0"),
        DeviceEntry(serial="", os_id="/dev/video2"),
        DeviceEntry(serial="", os_id="/dev/video4"),
    ]


@pytest.mark.parametrize(
    ("document", "error"),
    [
        pytest.param({"serial": "QC-0001", "os_id": "/dev/video0"}, ValueError, id="object"),
        pytest.param(["/dev/video0"], ValueError, id="entry-text"),
        pytest.param([{"serial": "QC-0001"}], ValueError, id="os-id-absent"),
        pytest.param([{"serial": "QC-0001", "os_id": 0}], ValueError, id="os-id-number"),
        pytest.param([{"serial": 1234, "os_id": "/dev/video0"}], ValueError, id="serial-number"),
        pytest.param([{"serial": 0, "os_id": "/dev/video0"}], ValueError, id="serial-0"),
        pytest.param([{"serial": False, "os_id": "/dev/video0"}], ValueError, id="serial-F"),
        pytest.param("[{", json.JSONDecodeError, id="not-json"),
        pytest.param("", json.JSONDecodeError, id="empty"),
    ],
)
def test_invalid_devices_file_raises(tmp_path, document, error):
    path = write_devices(tmp_path / "devices.json", document)

    with pytest.raises(error):
        SimulatedBackend.from_file(path)


def test_missing_devices_file_raises(tmp_path):
    with pytest.raises(FileNotFoundError):
        SimulatedBackend.from_file(tmp_path / "absent.json")


@pytest.fixture
def native_selection(monkeypatch):
    """No simulated devices selected, by call or by environment."""
    monkeypatch.setattr(platform, "_selected", None)
    monkeypatch.delenv(platform.SIMULATED_DEVICES_ENV, raising=False)
    return monkeypatch


@pytest.fixture
def devices_file(tmp_path):
    return write_devices(tmp_path / "devices.json", [{"serial": "QC-ENV", "os_id": "/dev/video0"}])


def test_native_backend_by_default_on_linux(native_selection):
    native_selection.setattr(sys, "platform", "linux")

    assert isinstance(current_backend(), V4L2Backend)


def test_empty_environment_variable_selects_nothing(native_selection):
    native_selection.setattr(sys, "platform", "linux")
    native_selection.setenv(platform.SIMULATED_DEVICES_ENV, "")

    assert isinstance(current_backend(), V4L2Backend)


def test_no_native_backend_elsewhere_says_how_to_simulate(native_selection):
    native_selection.setattr(sys, "platform", "darwin")

    with pytest.raises(NotImplementedError, match="QUOR_SIMULATED_DEVICES"):
        current_backend()


def test_environment_variable_selects_simulated_devices(native_selection, devices_file):
    native_selection.setattr(sys, "platform", "linux")
    assert isinstance(current_backend(), V4L2Backend)
    native_selection.setenv("QUOR_SIMULATED_DEVICES", str(devices_file))

    assert current_backend().list_cameras() == [DeviceEntry(serial="QC-ENV", os_id="/dev/video0")]


def test_explicit_selection_wins_over_the_environment(native_selection, devices_file, tmp_path):
    native_selection.setenv("QUOR_SIMULATED_DEVICES", str(devices_file))
    chosen = write_devices(tmp_path / "chosen.json", [{"serial": "QC-CHOSEN", "os_id": "/dev/video6"}])

    use_simulated_devices(chosen)
    assert [entry.serial for entry in current_backend().list_cameras()] == ["QC-CHOSEN"]

    use_simulated_devices(None)
    assert [entry.serial for entry in current_backend().list_cameras()] == ["QC-ENV"]


@pytest.mark.parametrize("content", ["{not json", '{"serial": "QC-0001"}', None], ids=["not-json", "object", "absent"])
def test_bad_devices_file_in_environment_raises(native_selection, tmp_path, content):
    path = tmp_path / "devices.json"
    if content is not None:
        path.write_text(content, encoding="utf-8")
    native_selection.setenv("QUOR_SIMULATED_DEVICES", str(path))

    with pytest.raises((ValueError, OSError)):
        current_backend()


def test_bad_devices_file_is_refused_and_keeps_the_selection(native_selection, devices_file, tmp_path):
    use_simulated_devices(devices_file)
    bad = write_devices(tmp_path / "bad.json", "{not json")

    with pytest.raises(ValueError):
        use_simulated_devices(bad)

    assert [entry.serial for entry in current_backend().list_cameras()] == ["QC-ENV"]
