"""The quor-cameras command line, run as a user runs it: a separate process,
talking HTTP to a local device-information service on 127.0.0.1."""

from __future__ import annotations

import dataclasses
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
from collections.abc import Iterator
from importlib import resources
from pathlib import Path
from typing import Any

import pytest

from quor_camera_sdk.cameras import quor_oridan, quor_pockel, quor_sevrine
from quor_camera_sdk.cameras.service import DeviceInfoServer
from quor_camera_sdk.platform import SIMULATED_DEVICES_ENV

# The demo's documents: three cameras that resolve, one with an SKU no model
# lists, one whose calibration block is malformed.
RESOLVED = {"QOR21A0417": "/dev/video0", "QPK21C0093": "/dev/video4", "QSV21D0342": "/dev/video8"}
UNREGISTERED_SKU = "QOR22B1188"
BROKEN_CALIBRATION = "QPK21C0107"
MALFORMED_JSON = "QBAD000001"
NOT_AT_SERVICE = "QNONE00001"
TIMEOUT = 60


@pytest.fixture
def documents(tmp_path: Path) -> Path:
    folder = tmp_path / "documents"
    with resources.as_file(resources.files("quor_camera_sdk.cameras") / "demo") as demo:
        shutil.copytree(demo, folder)
    (folder / f"{MALFORMED_JSON}.json").write_text('{"serial_number": "QBAD000001", "sku": ')
    return folder


@pytest.fixture
def service_url(documents: Path) -> Iterator[str]:
    with DeviceInfoServer(documents) as server:
        worker = threading.Thread(target=server.serve_forever, daemon=True)
        worker.start()
        yield server.url
        server.shutdown()
        worker.join()


@pytest.fixture
def devices(tmp_path: Path):
    """devices(serial, ...) -> path of a simulated-devices file."""

    def write(*serials: str) -> str:
        path = tmp_path / "devices.json"
        path.write_text(json.dumps([
            {"serial": serial, "os_id": RESOLVED.get(serial, f"/dev/video{10 + index}")}
            for index, serial in enumerate(serials)
        ]))
        return str(path)

    return write


def quor_cameras(*args: str, timeout: float = TIMEOUT) -> subprocess.CompletedProcess[str]:
    environment = {name: value for name, value in os.environ.items() if name != SIMULATED_DEVICES_ENV}
    return subprocess.run(
        [sys.executable, "-m", "quor_camera_sdk.cameras", *args],
        capture_output=True, text=True, timeout=timeout, env=environment,
    )


def document(serial: str, folder: Path) -> dict[str, Any]:
    return json.loads((folder / f"{serial}.json").read_text())


# ---------------------------------------------------------------------------
# list and show


def test_list_prints_resolved_cameras_and_says_why_others_were_left_out(service_url: str, devices) -> None:
    result = quor_cameras(
        "--service-url", service_url, "--devices", devices(*RESOLVED, UNREGISTERED_SKU, BROKEN_CALIBRATION), "list"
    )
    assert result.returncode == 0, result.stderr
    table, notes = result.stdout.split("\n\n")
    header, *rows = table.splitlines()
    assert header.split()[:3] == ["OS", "ID", "SERIAL"]
    assert [row.split()[:2] for row in rows] == [[os_id, serial] for serial, os_id in RESOLVED.items()]
    assert notes.splitlines()[0] == "3 of 5 devices resolved to a QUOR camera:"
    assert re.search(rf"^/dev/video13 +{UNREGISTERED_SKU} +unknown_sku +SKU 'STEREO-.*-V22' is not in the SDK", notes,
                     re.MULTILINE)
    assert re.search(rf"^/dev/video14 +{BROKEN_CALIBRATION} +bad_calibration +.*ValueError: .*distortion", notes,
                     re.MULTILINE)
    # The library's own records say the same, and show with -v.
    assert result.stderr == ""
    verbose = quor_cameras(
        "-v", "--service-url", service_url, "--devices", devices(*RESOLVED, UNREGISTERED_SKU, BROKEN_CALIBRATION), "list"
    )
    assert re.search(rf"^WARNING .*serial={UNREGISTERED_SKU} reports SKU", verbose.stderr, re.MULTILINE)
    assert re.search(rf"^ERROR .*serial={BROKEN_CALIBRATION}: ValueError: .*distortion", verbose.stderr, re.MULTILINE)
    assert verbose.stderr.count("INFO quor_camera_sdk.cameras.discovery: fetching camera-identity from") == 5
    assert "Traceback" not in verbose.stderr


def test_list_json_is_the_records_with_their_os_ids(service_url: str, devices, documents: Path) -> None:
    # Options after the command name work as well as before it.
    result = quor_cameras("list", "--json", "--service-url", service_url, "--devices", devices(*RESOLVED))
    assert result.returncode == 0, result.stderr
    cameras = json.loads(result.stdout)
    assert [camera["os_id"] for camera in cameras] == list(RESOLVED.values())
    for camera in cameras:
        sent = document(camera["serial_number"], documents)
        del sent["base_calibration"]["calibrated_at"]
        assert camera == {**sent, "os_id": RESOLVED[camera["serial_number"]]}


@pytest.mark.parametrize(
    ("serial", "service", "output", "reason", "status"),
    [
        ("QOR21A0417", "refused", "table", r"lookup_failed +cannot reach 127.0.0.1:\d+: ConnectionRefusedError", 4),
        (NOT_AT_SERVICE, "local", "json", r"lookup_failed +the service answered 404", 3),
        (MALFORMED_JSON, "local", "table", r"not_a_document +the answer is not a JSON document: JSONDecodeError", 3),
        (UNREGISTERED_SKU, "local", "json", r"unknown_sku +SKU 'STEREO-CAMERA-ORIDAN-REGULAR-BASELINE-WIDE-LENSES-V22'", 3),
    ],
    ids=["service-down", "unknown-serial", "malformed-document", "unregistered-sku"],
)
def test_list_exits_3_or_4_when_no_camera_resolves(
    serial: str, service: str, output: str, reason: str, status: int, service_url: str, refused_service_url: str,
    devices,
) -> None:
    url = service_url if service == "local" else refused_service_url
    json_option = ["--json"] if output == "json" else []
    result = quor_cameras("--service-url", url, "--devices", devices(serial), "list", *json_option)
    assert result.returncode == status
    assert re.search(reason, result.stderr)
    assert result.stdout == ("[]\n" if output == "json" else "")
    last_line = result.stderr.splitlines()[-1]
    if status == 4:
        assert last_line.startswith("quor-cameras: no connected QUOR camera resolved: "
                                    "the device-information service could not be reached for any device")
    else:
        assert last_line == "quor-cameras: no connected QUOR camera resolved"


def test_timeout_applies_to_each_lookup(devices) -> None:
    # Accepts connections (the kernel does, from the backlog) and never
    # answers. The run is cut off well before the default 10 s time-out
    # could end the lookup.
    with socket.create_server(("127.0.0.1", 0)) as silent:
        port = silent.getsockname()[1]
        result = quor_cameras(
            "--service-url", f"http://127.0.0.1:{port}", "--timeout", "0.5", "--devices", devices(*RESOLVED), "list",
            timeout=9,
        )
    assert result.returncode == 4
    assert len(re.findall(r"timed_out +no answer in time: TimeoutError: timed out", result.stderr)) == len(RESOLVED)


@pytest.mark.parametrize("form", ["base", "base-slash", "full-prefix"])
def test_service_url_forms(form: str, service_url: str, devices) -> None:
    url = {
        "base": service_url,
        "base-slash": service_url + "/",
        "full-prefix": service_url + "/api/public/camera-identity?serial_number=",
    }[form]
    result = quor_cameras("--service-url", url, "--devices", devices(*RESOLVED), "list", "--json")
    assert result.returncode == 0, result.stderr
    assert len(json.loads(result.stdout)) == len(RESOLVED)


def test_show_prints_the_camera_with_its_model_tables(service_url: str, devices) -> None:
    result = quor_cameras("--service-url", service_url, "--devices", devices(*RESOLVED), "show", "QSV21D0342", "--json")
    assert result.returncode == 0, result.stderr
    shown = json.loads(result.stdout)
    assert (shown["serial_number"], shown["os_id"], shown["model"]) == ("QSV21D0342", "/dev/video8", "QUOR_SEVRINE")
    assert shown["modes"] == [dataclasses.asdict(mode) for mode in quor_sevrine.QUOR_SEVRINE.modes]
    assert [control["name"] for control in shown["controls"]] == [c.name for c in quor_sevrine.QUOR_SEVRINE.controls]

    table = quor_cameras("--service-url", service_url, "--devices", devices(*RESOLVED), "show", "QSV21D0342")
    assert table.returncode == 0, table.stderr
    assert f"Capture modes ({len(quor_sevrine.QUOR_SEVRINE.modes)})" in table.stdout


@pytest.mark.parametrize(
    ("connected", "serial"),
    [
        ((UNREGISTERED_SKU,), "QOR21A0417"),
        ((NOT_AT_SERVICE,), NOT_AT_SERVICE),
        ((BROKEN_CALIBRATION,), BROKEN_CALIBRATION),
    ],
    ids=["not-connected", "unknown-at-service", "unresolvable"],
)
def test_show_exits_3_when_the_camera_is_not_found(
    connected: tuple[str, ...], serial: str, service_url: str, devices
) -> None:
    result = quor_cameras("--service-url", service_url, "--devices", devices(*connected), "show", serial)
    assert result.returncode == 3
    assert serial in result.stderr
    assert result.stdout == ""


# ---------------------------------------------------------------------------
# Specifications


@pytest.mark.parametrize(
    ("name", "spec"),
    [
        ("oridan", quor_oridan.QUOR_ORIDAN),
        ("QUOR_POCKEL", quor_pockel.QUOR_POCKEL),
        ("Sevrine", quor_sevrine.QUOR_SEVRINE),
    ],
)
def test_model_tables_as_json(name: str, spec) -> None:
    modes = quor_cameras("modes", name, "--json")
    controls = quor_cameras("controls", name, "--windows", "--json")
    assert modes.returncode == controls.returncode == 0
    assert json.loads(modes.stdout) == [dataclasses.asdict(mode) for mode in spec.modes]
    assert [control["name"] for control in json.loads(controls.stdout)] == [c.name for c in spec.windows_controls]


def test_models_lists_every_model_with_its_skus() -> None:
    result = quor_cameras("models", "--json")
    assert result.returncode == 0
    assert {entry["model"]: entry["skus"] for entry in json.loads(result.stdout)} == {
        "QUOR_ORIDAN": list(quor_oridan.QUOR_ORIDAN.skus),
        "QUOR_POCKEL": list(quor_pockel.QUOR_POCKEL.skus),
        "QUOR_SEVRINE": list(quor_sevrine.QUOR_SEVRINE.skus),
    }


@pytest.mark.parametrize(
    "args",
    [
        ["modes", "quor"],
        ["controls", "QUOR_ORIDAN_X"],
        ["--service-url", "ftp://127.0.0.1/", "models"],
        ["--timeout", "0", "models"],
        ["list", "--deadline", "-1"],
        ["list", "--jobs", "0"],
        ["list", "--offline", "--no-cache"],
        [],
    ],
)
def test_usage_errors_exit_2_in_one_line(args: list[str]) -> None:
    result = quor_cameras(*args)
    assert result.returncode == 2
    assert len(result.stderr.splitlines()) == 1, result.stderr


def test_unknown_model_lists_the_choices() -> None:
    assert "QUOR_ORIDAN, QUOR_POCKEL, QUOR_SEVRINE, or oridan, pockel, sevrine" in quor_cameras("modes", "x").stderr


# ---------------------------------------------------------------------------
# mirror, serve and the demo


def test_mirror_then_serve_answers_like_the_original(
    service_url: str, documents: Path, devices, tmp_path: Path
) -> None:
    offline = tmp_path / "offline"
    mirrored = quor_cameras(
        "--service-url", service_url, "mirror", *RESOLVED, "../escape", NOT_AT_SERVICE, "--to", str(offline)
    )
    assert mirrored.returncode == 1
    assert "'../escape' is not a serial number that can be stored" in mirrored.stderr
    assert not list(tmp_path.rglob("escape*"))
    assert sorted(path.name for path in offline.iterdir()) == sorted(f"{serial}.json" for serial in RESOLVED)
    for serial in RESOLVED:
        assert document(serial, offline) == document(serial, documents)

    server = subprocess.Popen(
        [sys.executable, "-m", "quor_camera_sdk.cameras", "serve", "--documents", str(offline), "--port", "0"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        url = re.search(r"http://127\.0\.0\.1:\d+", server.stdout.readline()).group()
        listed = quor_cameras("--service-url", url, "--devices", devices(*RESOLVED), "list", "--json")
    finally:
        server.send_signal(signal.SIGTERM)
        _, server_log = server.communicate(timeout=TIMEOUT)
    assert listed.returncode == 0, listed.stderr
    assert [camera["serial_number"] for camera in json.loads(listed.stdout)] == list(RESOLVED)
    assert server.returncode == 0
    assert server_log.count("GET /api/public/camera-identity?serial_number=") == len(RESOLVED)


def test_demo() -> None:
    result = quor_cameras("demo")
    assert result.returncode == 0, result.stderr
    assert all(serial in result.stdout for serial in RESOLVED)
    assert f"{len(RESOLVED)} of 5 devices resolved to a QUOR camera:" in result.stdout
    assert re.search(rf"{UNREGISTERED_SKU} +unknown_sku", result.stdout)
    assert re.search(rf"{BROKEN_CALIBRATION} +bad_calibration", result.stdout)
    assert result.stderr == ""
