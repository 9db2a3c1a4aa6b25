"""quor-cameras in the field: a service that stalls or is gone, proxies,
text from devices and the service that tries to drive the terminal, and
the user's mistakes, each ending in one line and a documented status."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import pytest
from misbehaving import MisbehavingService, answer, document, stall, trickle

from quor_camera_sdk.platform import DeviceEntry

TIMEOUT = 60


def quor_cameras(*args: str, timeout: float = TIMEOUT, env: dict[str, str] | None = None,
                 **options: Any) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "quor_camera_sdk.cameras", *args],
        capture_output="stdout" not in options, text=True, timeout=timeout, env={**os.environ, **(env or {})},
        **options,
    )


def devices_file(path: Path, *entries: dict[str, Any]) -> str:
    path.write_text(json.dumps(list(entries)), encoding="utf-8")
    return str(path)


def simulated(path: Path, *serials: str) -> str:
    return devices_file(path, *({"serial": serial, "os_id": f"/dev/video{2 * index}"}
                               for index, serial in enumerate(serials)))


@pytest.fixture
def service():
    with MisbehavingService() as running:
        yield running


UNREACHABLE_PROXY = {"http_proxy": "http://127.0.0.1:9", "https_proxy": "http://127.0.0.1:9",
                     "HTTP_PROXY": "http://127.0.0.1:9", "HTTPS_PROXY": "http://127.0.0.1:9"}


# ---------------------------------------------------------------------------
# Discovery from the command line


def test_list_returns_by_its_deadline_and_says_why(service, tmp_path):
    stalled = [f"QT-STALL-{index}" for index in range(6)]
    for serial in stalled:
        service.behaviours[serial] = stall
    service.behaviours["QT-TRICKLE"] = trickle
    service.documents("QT-GOOD")
    devices = simulated(tmp_path / "devices.json", "QT-GOOD", *stalled, "QT-TRICKLE")

    started = time.monotonic()
    result = quor_cameras("--service-url", service.origin, "--devices", devices, "list", "--deadline", "2")
    elapsed = time.monotonic() - started

    assert result.returncode == 0, result.stderr
    assert elapsed < 2 + 5  # the deadline, and the start-up of an interpreter on a loaded machine
    assert result.stdout.splitlines()[1].split()[:2] == ["/dev/video0", "QT-GOOD"]
    assert len(re.findall(r"timed_out +no answer within the deadline of 2 s", result.stdout)) == 7


def test_list_offline_shows_the_cameras_of_the_last_listing(service, tmp_path):
    service.documents("QT-1", "QT-2")
    devices = simulated(tmp_path / "devices.json", "QT-1", "QT-2")
    online = quor_cameras("--service-url", service.origin, "--devices", devices, "list", "--json")
    assert online.returncode == 0, online.stderr
    service.__exit__()

    offline = quor_cameras("--service-url", service.origin, "--devices", devices, "list", "--json", "--offline")
    down = quor_cameras("--service-url", service.origin, "--devices", devices, "list", "--json")

    assert offline.returncode == down.returncode == 0, offline.stderr + down.stderr
    assert json.loads(offline.stdout) == json.loads(down.stdout) == json.loads(online.stdout)
    assert offline.stderr.count("cached") == 2
    assert "cannot reach 127.0.0.1" in down.stderr


def test_no_cache_neither_reads_nor_fills_it(service, tmp_path):
    service.documents("QT-1")
    devices = simulated(tmp_path / "devices.json", "QT-1")
    quor_cameras("--service-url", service.origin, "--devices", devices, "list", "--no-cache")

    offline = quor_cameras("--service-url", service.origin, "--devices", devices, "list", "--offline")

    assert offline.returncode == 4
    assert "offline, and no document of this serial is cached" in offline.stdout + offline.stderr


@pytest.mark.parametrize("command", [["demo"], ["list"], ["show", "QT-1"]])
def test_loopback_lookups_ignore_an_unreachable_proxy(service, tmp_path, command):
    service.documents("QT-1")
    devices = simulated(tmp_path / "devices.json", "QT-1")

    result = quor_cameras("--service-url", service.origin, "--devices", devices, *command, env=UNREACHABLE_PROXY)

    assert result.returncode == 0, result.stderr
    assert "QT-1" in result.stdout or command == ["demo"]


def test_devices_lists_the_usb_identity_without_a_request(service, tmp_path):
    entry = {"serial": "QT-1", "os_id": "/dev/video0", "vendor_id": "ffee", "product_id": "0001",
             "product": "QUOR Oridan", "port_path": "3-1.2"}
    devices = devices_file(tmp_path / "devices.json", entry, {"os_id": "/dev/video2"})

    listed = quor_cameras("--service-url", service.origin, "--devices", devices, "devices", "--json")
    table = quor_cameras("--service-url", service.origin, "--devices", devices, "devices")

    assert listed.returncode == table.returncode == 0
    assert json.loads(listed.stdout) == [entry, {**vars_of(DeviceEntry(serial="", os_id="/dev/video2"))}]
    assert table.stdout.splitlines()[1].split() == ["/dev/video0", "QT-1", "ffee", "0001", "QUOR", "Oridan", "3-1.2"]
    assert service.requests == []


def vars_of(entry: DeviceEntry) -> dict[str, str]:
    return {name: getattr(entry, name) for name in entry.__slots__}


def test_service_url_may_name_the_lookup_path(service, tmp_path):
    service.documents("QT-1")
    devices = simulated(tmp_path / "devices.json", "QT-1")

    result = quor_cameras("--service-url", f"{service.origin}/api/public/camera-identity", "--devices", devices,
                          "list")

    assert result.returncode == 0, result.stderr
    assert [serial for serial, _ in service.requests] == ["QT-1"]


def test_the_service_may_be_chosen_by_the_environment(service, tmp_path):
    service.documents("QT-1")
    devices = simulated(tmp_path / "devices.json", "QT-1")

    result = quor_cameras("--devices", devices, "list", env={"QUOR_SERVICE_URL": service.origin})

    assert result.returncode == 0, result.stderr


def test_verbose_levels(service, tmp_path):
    service.documents("QT-1")
    devices = simulated(tmp_path / "devices.json", "QT-1", "", "QT-NO-SKU")
    service.behaviours["QT-NO-SKU"] = answer({"serial_number": "QT-NO-SKU"})
    arguments = ["--service-url", service.origin, "--devices", devices, "list"]

    quiet, verbose, debug = (quor_cameras(*flags, *arguments) for flags in ([], ["-v"], ["-vv"]))

    assert "fetching camera-identity from" not in quiet.stderr
    assert verbose.stderr.count("INFO quor_camera_sdk.cameras.discovery: fetching camera-identity from") == 2
    assert "DEBUG" not in verbose.stderr
    assert "DEBUG quor_camera_sdk.cameras.discovery: device /dev/video2 reports no serial number" in debug.stderr
    assert "DEBUG quor_camera_sdk.cameras.discovery: serial=QT-NO-SKU: the document names no SKU" in debug.stderr


# ---------------------------------------------------------------------------
# What devices and the service report cannot drive the terminal

HOSTILE = "QT-1\x1b]0;owned\x07\n\x1b[2J\u009b31m\u202e"


def test_hostile_text_is_escaped_in_tables_logs_and_json(service, tmp_path):
    service.behaviours["QT-1"] = answer(document("QT-1", model_name=HOSTILE))
    service.behaviours[HOSTILE] = answer(document(HOSTILE, sku=HOSTILE))
    devices = devices_file(tmp_path / "devices.json", {"serial": "QT-1", "os_id": f"/dev/video0{HOSTILE}"},
                           {"serial": HOSTILE, "os_id": "/dev/video2"})
    arguments = ["-v", "--service-url", service.origin, "--devices", devices]

    table = quor_cameras(*arguments, "list")
    as_json = quor_cameras(*arguments, "list", "--json")

    assert table.returncode == as_json.returncode == 0, table.stderr
    for output in (table.stdout, table.stderr, as_json.stdout, as_json.stderr):
        assert not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f\u202e]", output)
    assert r"QT-1\x1b]0;owned\x07\n\x1b[2J\x9b31m\u202e" in table.stdout
    # Each log record stays one line: every line of stderr starts as a record.
    assert all(re.match(r"(INFO|WARNING|ERROR) ", line) for line in table.stderr.splitlines())
    [camera] = json.loads(as_json.stdout)
    assert (camera["model_name"], camera["os_id"]) == (HOSTILE, f"/dev/video0{HOSTILE}")


@pytest.mark.parametrize("output", [[], ["--json"]], ids=["table", "json"])
def test_an_os_id_that_is_not_utf8_is_printed(service, tmp_path, output):
    service.documents("QT-1")
    devices = devices_file(tmp_path / "devices.json", {"serial": "QT-1", "os_id": "/dev/video\udcff"})

    result = quor_cameras("--service-url", service.origin, "--devices", devices, "list", *output)

    assert result.returncode == 0, result.stderr
    assert "/dev/video\\udcff" in result.stdout


def test_mirror_stores_what_it_can_and_names_each_failure(service, tmp_path):
    def bad_status_line(handler, stopping):
        handler.wfile.write(b"HTTP/1.1 200 \x00\r\n\r\n" + b"x" * 70000)

    def truncated(handler, stopping):
        handler.send_response(200)
        handler.send_header("Content-Length", "1000")
        handler.end_headers()
        handler.wfile.write(b'{"serial_number"')
        handler.close_connection = True

    service.documents("QT-1", "QT-4")
    service.behaviours["QT-2"] = bad_status_line
    service.behaviours["QT-3"] = truncated
    service.behaviours["QT-5"] = answer([1, 2])

    result = quor_cameras("--service-url", service.origin, "mirror", "QT-1", "QT-2", "QT-3", "QT-4", "QT-5",
                          "--to", str(tmp_path / "mirror"))

    assert result.returncode == 1
    assert sorted(path.name for path in (tmp_path / "mirror").iterdir()) == ["QT-1.json", "QT-4.json"]
    failures = result.stderr.splitlines()
    assert [line.split(":")[1].strip() for line in failures[:3]] == ["QT-2", "QT-3", "QT-5"]
    assert "IncompleteRead" in failures[1] and "not a document" in failures[2]
    assert failures[3] == "quor-cameras mirror: 3 of 5 documents not stored"
    assert "Traceback" not in result.stderr


# ---------------------------------------------------------------------------
# Mistakes and failures: one line, a documented status, no traceback


def broken_devices_file(tmp_path: Path) -> str:
    path = tmp_path / "broken.json"
    path.write_text("[{")
    return str(path)


def under_a_file(tmp_path: Path) -> str:
    (tmp_path / "a-file").write_text("")
    return str(tmp_path / "a-file" / "folder")


# Each case: (tmp_path -> (arguments, environment, what the line must name)), status.
MISTAKES = {
    "serve-port-negative": (lambda tmp: (["serve", "--documents", str(tmp), "--port", "-1"], {}, "--port"), 2),
    "serve-port-big": (lambda tmp: (["serve", "--documents", str(tmp), "--port", "99999"], {}, "--port"), 2),
    "mirror-to-unwritable": (lambda tmp: (["mirror", "QT-1", "--to", (to := under_a_file(tmp))], {}, to), 1),
    "env-devices-file": (lambda tmp: (["devices"], {"QUOR_SIMULATED_DEVICES": (path := broken_devices_file(tmp))},
                                      path), 2),
    "devices-file": (lambda tmp: (["--devices", (path := broken_devices_file(tmp)), "devices"], {}, path), 2),
    "devices-missing": (lambda tmp: (["--devices", str(tmp / "absent.json"), "list"], {}, "absent.json"), 2),
    "env-service-url": (lambda tmp: (["list"], {"QUOR_SERVICE_URL": "devices.lan"}, "QUOR_SERVICE_URL"), 2),
    "env-vendor-ids": (lambda tmp: (["list"], {"QUOR_USB_VENDOR_IDS": "quor"}, "QUOR_USB_VENDOR_IDS"), 2),
    "service-url": (lambda tmp: (["--service-url", "devices.lan", "list"], {}, "--service-url"), 2),
}


@pytest.mark.parametrize(("case", "status"), MISTAKES.values(), ids=MISTAKES.keys())
def test_a_mistake_ends_in_one_line_that_names_the_thing(tmp_path, case, status):
    arguments, environment, named = case(tmp_path)

    result = quor_cameras(*arguments, env=environment)

    assert result.returncode == status, result.stderr
    assert len(result.stderr.splitlines()) == 1, result.stderr
    assert named in result.stderr


def test_a_full_output_device_is_one_line_and_status_1(tmp_path):
    with open("/dev/full", "w") as full:
        result = quor_cameras("modes", "oridan", stdout=full, stderr=subprocess.PIPE)

    assert result.returncode == 1
    assert result.stderr == "quor-cameras: cannot write the output: No space left on device\n"


def test_ctrl_c_during_list_exits_130_quietly(service, tmp_path):
    service.behaviours["QT-1"] = stall
    devices = simulated(tmp_path / "devices.json", "QT-1")
    process = subprocess.Popen(
        [sys.executable, "-m", "quor_camera_sdk.cameras", "--service-url", service.origin, "--devices", devices,
         "list"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        deadline = time.monotonic() + TIMEOUT
        while not service.requests and time.monotonic() < deadline:
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=TIMEOUT)
    finally:
        process.kill()

    assert process.returncode == 130
    assert (stdout, stderr) == ("", "")


# ---------------------------------------------------------------------------
# watch


def read_json_line(process: subprocess.Popen[str]) -> dict[str, Any]:
    line = process.stdout.readline() if process.stdout else ""
    assert line, "the watcher ended early"
    return json.loads(line)


def test_watch_prints_one_json_line_per_event_and_exits_130_on_ctrl_c(service, tmp_path):
    service.documents("QT-1", "QT-2")
    first = {"serial": "QT-1", "os_id": "/dev/video0", "port_path": "1-1"}
    second = {"serial": "QT-2", "os_id": "/dev/video2", "port_path": "1-2"}
    devices = devices_file(tmp_path / "devices.json", first)
    process = subprocess.Popen(
        [sys.executable, "-m", "quor_camera_sdk.cameras", "--service-url", service.origin, "--devices", devices,
         "watch", "--json"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        events = [read_json_line(process)]
        # A developer edits the file; an editor replaces it by renaming.
        devices_file(tmp_path / "devices.new", first, second)
        os.replace(tmp_path / "devices.new", devices)
        events.append(read_json_line(process))
        devices_file(tmp_path / "devices.json", second)
        events.append(read_json_line(process))
        process.send_signal(signal.SIGINT)
        rest, stderr = process.communicate(timeout=TIMEOUT)
    finally:
        process.kill()

    assert [(event["kind"], event["serial"], event["device"]["port_path"]) for event in events] == [
        ("connected", "QT-1", "1-1"), ("connected", "QT-2", "1-2"), ("disconnected", "QT-1", "1-1"),
    ]
    assert [event["camera"]["serial_number"] for event in events] == ["QT-1", "QT-2", "QT-1"]
    assert events[0]["status"] == "resolved"
    assert (process.returncode, rest, stderr) == (130, "", "")


def test_watch_stops_cleanly_on_sigterm(service, tmp_path):
    devices = simulated(tmp_path / "devices.json", "QT-UNKNOWN")
    process = subprocess.Popen(
        [sys.executable, "-m", "quor_camera_sdk.cameras", "--service-url", service.origin, "--devices", devices,
         "watch"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        line = process.stdout.readline() if process.stdout else ""
        process.send_signal(signal.SIGTERM)
        _, stderr = process.communicate(timeout=TIMEOUT)
    finally:
        process.kill()

    assert re.match(r"connected +/dev/video0 +QT-UNKNOWN +- +lookup_failed: the service answered 404", line)
    assert (process.returncode, stderr) == (0, "")


def test_the_command_line_loads_the_service_and_the_watcher_only_when_used():
    code = "import sys, quor_camera_sdk.cameras.cli; print(sorted({'asyncio', 'ctypes'} & set(sys.modules)))"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=TIMEOUT, check=True)

    assert result.stdout.strip() == "[]"
