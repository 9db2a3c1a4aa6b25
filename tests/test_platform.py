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

    def add_device(self, port, *, serial, nodes, usb=True, vendor="FFEE", product_id="f582", product="QUOR Oridan"):
        """``nodes`` maps node names (video0, ...) to their index attribute.
        Returns the USB device's folder."""
        device = self.root / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / port
        device.mkdir(parents=True)
        if usb:
            (device / "idVendor").write_text(f"{vendor}\n")
            (device / "idProduct").write_text(f"{product_id}\n")
            (device / "product").write_text(f"{product}\n")
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
        return device

    def node(self, name):
        return self.class_dir / name


@pytest.fixture
def sysfs(tmp_path):
    return FakeSysfs(tmp_path / "sys")


def backend_for(sysfs):
    return V4L2Backend(sysfs_root=sysfs.root, dev_root="/dev")


def test_capture_node_is_listed_with_its_usb_device(sysfs):
    sysfs.add_device("1-1.4", serial="QC-0001", nodes={"video0": 0, "video1": 1})

    assert backend_for(sysfs).list_cameras() == [
        DeviceEntry(
            serial="QC-0001", os_id="/dev/video0",
            vendor_id="ffee", product_id="f582", product="QUOR Oridan", port_path="1-1.4",
        )
    ]


@pytest.mark.parametrize(
    ("device", "usb_fields"),
    [
        ({"serial": None}, {"vendor_id": "ffee", "product_id": "f582", "product": "QUOR Oridan", "port_path": "1-1"}),
        ({"serial": None, "usb": False}, {}),
        ({"serial": "QC-0001", "usb": False}, {}),
    ],
    ids=["usb-without-serial", "not-usb", "serial-outside-usb"],
)
def test_device_without_usb_serial_has_empty_serial(sysfs, device, usb_fields):
    sysfs.add_device("1-1", nodes={"video0": 0}, **device)

    assert backend_for(sysfs).list_cameras() == [DeviceEntry(serial="", os_id="/dev/video0", **usb_fields)]


def test_port_path_follows_the_port_not_the_node(sysfs):
    """Two identical cameras whose nodes swap places on re-plugging keep
    their port paths."""
    sysfs.add_device("1-2", serial="", nodes={"video2": 0})
    sysfs.add_device("1-3", serial="", nodes={"video0": 0})

    assert [(entry.os_id, entry.port_path) for entry in backend_for(sysfs).list_cameras()] == [
        ("/dev/video0", "1-3"), ("/dev/video2", "1-2"),
    ]


@pytest.mark.parametrize(
    ("vendor_ids", "environment", "listed"),
    [
        (None, None, ["QC-QUOR", "QC-WEBCAM", ""]),
        (["ffee"], None, ["QC-QUOR"]),
        ([0xFFEE, "0x0EEF"], None, ["QC-QUOR", "QC-WEBCAM"]),
        (None, "FFEE", ["QC-QUOR"]),
        (None, " ffee, eef ", ["QC-QUOR", "QC-WEBCAM"]),
        (None, "", ["QC-QUOR", "QC-WEBCAM", ""]),
        (["0eef"], "ffee", ["QC-WEBCAM"]),
    ],
    ids=["all", "one", "int-and-0x", "environment", "environment-list", "environment-empty", "argument-wins"],
)
def test_vendor_filter(sysfs, monkeypatch, vendor_ids, environment, listed):
    sysfs.add_device("1-1", serial="QC-QUOR", nodes={"video0": 0})
    sysfs.add_device("1-2", serial="QC-WEBCAM", nodes={"video2": 0}, vendor="0eef")
    sysfs.add_device("1-3", serial="QC-NOT-USB", nodes={"video4": 0}, usb=False)
    if environment is not None:
        monkeypatch.setenv(platform.USB_VENDOR_IDS_ENV, environment)

    backend = V4L2Backend(sysfs_root=sysfs.root, vendor_ids=vendor_ids)

    assert [entry.serial for entry in backend.list_cameras()] == listed


@pytest.mark.parametrize("vendor_ids", [["ffeex"], [0x10000], ["12345"]])
def test_bad_vendor_id_is_refused(sysfs, vendor_ids):
    with pytest.raises(ValueError, match="not a USB vendor ID"):
        V4L2Backend(sysfs_root=sysfs.root, vendor_ids=vendor_ids)


def test_bad_vendor_id_in_the_environment_names_the_variable(sysfs, monkeypatch):
    monkeypatch.setenv(platform.USB_VENDOR_IDS_ENV, "ffee,quor")

    with pytest.raises(ValueError, match=f"^{platform.USB_VENDOR_IDS_ENV}: 'quor' is not a USB vendor ID"):
        V4L2Backend(sysfs_root=sysfs.root)


def make_fifo(path):
    path.unlink(missing_ok=True)
    os.mkfifo(path)


def replace_with_loop(path):
    path.unlink()
    path.symlink_to(path.name)


def replace_with_device(path):
    path.unlink()
    path.symlink_to("/dev/zero")


def make_oversized(path):
    path.write_text("Q" * 10_000)


@pytest.mark.parametrize(
    ("spoil", "attribute"),
    [
        (make_fifo, "serial"),
        (make_fifo, "index"),
        (replace_with_device, "serial"),
        (make_oversized, "serial"),
        (replace_with_loop, "device"),
        (replace_with_loop, "serial"),
    ],
    ids=["fifo-serial", "fifo-index", "device-serial", "oversized-serial", "device-link-loop", "serial-link-loop"],
)
def test_a_node_that_cannot_be_read_is_skipped_without_blocking(sysfs, caplog, spoil, attribute):
    usb_device = sysfs.add_device("1-1", serial="QC-BAD", nodes={"video0": 0})
    sysfs.add_device("1-2", serial="QC-GOOD", nodes={"video2": 0})
    node = (sysfs.node("video0")).resolve()
    spoil({"serial": usb_device / "serial", "index": node / "index", "device": node / "device"}[attribute])

    with caplog.at_level("DEBUG", logger=platform.__name__):
        listed = backend_for(sysfs).list_cameras()

    assert [entry.serial for entry in listed] == ["QC-GOOD"]
    assert any("video0" in record.getMessage() for record in caplog.records)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their permissions")
def test_an_unreadable_attribute_skips_its_node(sysfs):
    usb_device = sysfs.add_device("1-1", serial="QC-BAD", nodes={"video0": 0})
    (usb_device / "serial").chmod(0)

    assert backend_for(sysfs).list_cameras() == []


def test_odd_node_names_are_skipped(sysfs, caplog):
    sysfs.add_device("1-1", serial="QC-0001", nodes={"video²": 0, "video0": 0, "videoX": 0, "v4l-subdev0": 0})
    sysfs.node(os.fsdecode(b"video\xff")).symlink_to("video0")

    with caplog.at_level("DEBUG", logger=platform.__name__):
        listed = backend_for(sysfs).list_cameras()

    assert [entry.os_id for entry in listed] == ["/dev/video0"]
    assert backend_for(sysfs).device("video²") is None
    assert "video²" in caplog.text


@pytest.mark.parametrize("spoil", [lambda path: path.write_text("not a folder"), replace_with_loop],
                         ids=["a-file", "a-link-loop"])
def test_a_class_folder_that_is_no_folder_lists_nothing(sysfs, spoil):
    sysfs.class_dir.parent.mkdir(parents=True)
    sysfs.class_dir.touch()
    spoil(sysfs.class_dir)

    assert backend_for(sysfs).list_cameras() == []


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
            {"serial": "QC-0006", "os_id": "/dev/video6", "vendor_id": "ffee", "product_id": "f582",
             "product": "QUOR Oridan", "port_path": "1-2"},
        ],
    )

    assert SimulatedBackend.from_file(path).list_cameras() == [
        DeviceEntry(serial="QC-0001", os_id="/dev/video0"),
        DeviceEntry(serial="", os_id="/dev/video2"),
        DeviceEntry(serial="", os_id="/dev/video4"),
        DeviceEntry(serial="QC-0006", os_id="/dev/video6", vendor_id="ffee", product_id="f582",
                    product="QUOR Oridan", port_path="1-2"),
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
        pytest.param([{"os_id": "/dev/video0", "port_path": 1}], ValueError, id="port-path-number"),
        pytest.param("[{", ValueError, id="not-json"),
        pytest.param("", ValueError, id="empty"),
        pytest.param(b"[\xff]", ValueError, id="not-utf8"),
    ],
)
def test_invalid_devices_file_raises_naming_the_file(tmp_path, document, error):
    path = tmp_path / "devices.json"
    if isinstance(document, bytes):
        path.write_bytes(document)
    else:
        write_devices(path, document)

    with pytest.raises(error, match=f"^{path}: "):
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

    with pytest.raises((ValueError, OSError), match=f"^QUOR_SIMULATED_DEVICES: {path}: "):
        current_backend()


def test_bad_devices_file_is_refused_and_keeps_the_selection(native_selection, devices_file, tmp_path):
    use_simulated_devices(devices_file)
    bad = write_devices(tmp_path / "bad.json", "{not json")

    with pytest.raises(ValueError):
        use_simulated_devices(bad)

    assert [entry.serial for entry in current_backend().list_cameras()] == ["QC-ENV"]
