"""discover(): the deadline, the outcomes, the cache, proxies and the
service configuration, against a real HTTP server on 127.0.0.1 that
misbehaves per serial."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterator

import pytest
from misbehaving import MisbehavingService, answer, document, reset, stall, trickle

from quor_camera_sdk.cameras import camera_identity, device_lookup, discovery
from quor_camera_sdk.cameras.discovery import DocumentCache, Status, discover, resolve_devices
from quor_camera_sdk.platform import DeviceEntry

SERVICE_PATH = "/api/public/camera-identity"
SHIPPED_URL = device_lookup._CAMERA_IDENTITY_URL  # read before any test rebinds it


@pytest.fixture
def service(monkeypatch: pytest.MonkeyPatch) -> Iterator[MisbehavingService]:
    with MisbehavingService() as running:
        monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL", running.url)
        yield running


@pytest.fixture
def plug(fake_backend) -> Callable[..., None]:
    """plug(serial, ...): devices at /dev/video0, /dev/video2, ..."""

    def plug_all(*serials: str) -> None:
        for serial in serials:
            fake_backend.plug(serial)

    return plug_all


def statuses(report: discovery.DiscoveryReport) -> list[str]:
    return [outcome.status.value for outcome in report.outcomes]


# ---------------------------------------------------------------------------
# The deadline


def test_stalled_and_trickling_devices_time_out_by_the_deadline(service, plug):
    service.documents("QT-GOOD-1", "QT-GOOD-2")
    stalled = [f"QT-STALL-{index}" for index in range(6)]
    for serial in stalled:
        service.behaviours[serial] = stall
    service.behaviours["QT-TRICKLE"] = trickle
    plug("QT-GOOD-1", *stalled[:3], "QT-TRICKLE", *stalled[3:], "QT-GOOD-2", "")

    started = time.monotonic()
    report = discover(deadline=2, cache=None)
    elapsed = time.monotonic() - started

    assert elapsed < 2.5
    assert [camera.serial for camera in report.cameras] == ["QT-GOOD-1", "QT-GOOD-2"]
    assert statuses(report) == ["resolved", *["timed_out"] * 7, "resolved", "no_serial"]
    assert all("deadline of 2 s" in outcome.reason for outcome in report.outcomes if outcome.status == "timed_out")
    # The stalled lookups were cut, not left running behind the caller.
    time.sleep(0.5)
    assert [thread for thread in threading.enumerate() if thread.name == "quor-discovery"] == []


def test_lookups_beyond_the_workers_wait_their_turn(service, plug):
    serials = [f"QT-SLOW-{index}" for index in range(6)]

    def slow(handler, stopping):
        stopping.wait(0.3)
        answer(document(urllib.parse.parse_qs(urllib.parse.urlsplit(handler.path).query)["serial_number"][0]))(
            handler, stopping)

    for serial in serials:
        service.behaviours[serial] = slow
    plug(*serials)

    report = discover(deadline=10, max_workers=2, cache=None)

    assert [camera.serial for camera in report.cameras] == serials
    assert service.most_running == 2


def test_a_lookup_not_begun_by_the_deadline_says_so(service, plug):
    service.behaviours["QT-STALL"] = stall
    service.documents("QT-QUEUED")
    plug("QT-STALL", "QT-QUEUED")

    report = discover(deadline=0.5, max_workers=1, cache=None)

    assert statuses(report) == ["timed_out", "timed_out"]
    assert "not looked up before the deadline" in report.outcomes[1].reason
    assert [serial for serial, _ in service.requests] == ["QT-STALL"]


def test_timeout_bounds_each_lookup_within_the_deadline(service, plug):
    service.behaviours["QT-STALL"] = stall
    plug("QT-STALL")

    started = time.monotonic()
    [outcome] = discover(deadline=30, timeout=0.3, cache=None).outcomes

    assert time.monotonic() - started < 5
    assert outcome.status == "timed_out"
    assert "no answer in time" in outcome.reason


def test_an_https_service_that_never_answers_is_cut_at_the_deadline(plug, monkeypatch):
    # Accepts the connection (the kernel does, from the backlog) and never
    # completes the TLS handshake.
    with socket.create_server(("127.0.0.1", 0)) as silent:
        monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL",
                            f"https://127.0.0.1:{silent.getsockname()[1]}/lookup?serial_number=")
        plug("QT-1", "QT-2")

        started = time.monotonic()
        report = discover(deadline=1, cache=None)

    assert time.monotonic() - started < 1.5
    assert statuses(report) == ["timed_out", "timed_out"]


# ---------------------------------------------------------------------------
# One bad device never loses another

NESTED = b'{"serial_number": ' + b"[" * 100_000 + b"]" * 100_000 + b', "sku": "x"}'


@pytest.mark.parametrize(
    ("behaviour", "status", "reason"),
    [
        (answer(None), "not_a_document", "a JSON null, not an object"),
        (answer([1, 2]), "not_a_document", "a JSON array, not an object"),
        (answer("text"), "not_a_document", "a JSON string, not an object"),
        (answer(42), "not_a_document", "a JSON number, not an object"),
        (answer(True), "not_a_document", "a JSON boolean, not an object"),
        (answer(b"\xff\xfe"), "not_a_document", "UnicodeDecodeError"),
        (answer(b'{"serial_number": '), "not_a_document", "JSONDecodeError"),
        (answer({"serial_number": "QT-BAD"}), "not_a_document", "names no SKU"),
        (answer(NESTED), "not_a_document", "nested too deeply"),
        (answer(document("QT-BAD", sku="NO-SUCH-SKU")), "unknown_sku", "'NO-SUCH-SKU' is not in the SDK device registry"),
        (answer(document("QT-BAD", base_calibration=[])), "bad_calibration", "no base_calibration block"),
        (answer(document("QT-BAD", base_calibration={"version": 2})), "bad_calibration", "unsupported format 2"),
        (answer({"detail": "down"}, 500), "lookup_failed", "the service answered 500"),
        (answer({"detail": "unknown"}, 404), "lookup_failed", "the service answered 404"),
        (reset, "lookup_failed", "cannot reach 127.0.0.1"),
    ],
    ids=["null", "list", "text", "number", "boolean", "not-utf8", "not-json", "no-sku", "nested",
         "unknown-sku", "no-calibration", "bad-calibration", "500", "404", "reset"],
)
def test_each_fault_costs_only_its_own_device(service, plug, behaviour, status, reason):
    service.documents("QT-GOOD-1", "QT-GOOD-2")
    service.behaviours["QT-BAD"] = behaviour
    plug("QT-GOOD-1", "QT-BAD", "QT-GOOD-2")

    report = discover(deadline=10, cache=None)

    assert [camera.serial for camera in report.cameras] == ["QT-GOOD-1", "QT-GOOD-2"]
    bad = report.outcomes[1]
    assert (bad.os_id, bad.serial, bad.status) == ("/dev/video2", "QT-BAD", status)
    assert reason in bad.reason
    assert "\n" not in bad.reason


def test_records_equal_those_of_list_connected_quor_cameras(service, plug):
    service.documents("QT-1", "QT-3")
    service.behaviours["QT-2"] = answer(document("QT-2", model_name=None))
    service.behaviours["QT-4"] = answer({"detail": "unknown"}, 404)
    plug("QT-1", "QT-2", "", "QT-4", "QT-3")

    report = discover(cache=None)

    assert report.cameras == camera_identity.list_connected_quor_cameras()
    assert [camera.os_id for camera in report.cameras] == ["/dev/video0", "/dev/video2", "/dev/video8"]


def test_outcomes_are_immutable_and_progress_follows_each_device(service, plug):
    service.documents("QT-1", "QT-2")
    plug("QT-1", "", "QT-2")
    seen = []

    report = discover(cache=None, progress=lambda done, total, outcome: seen.append((done, total, outcome.serial)))

    # The device without a serial is done at once; the lookups as they end.
    assert [(done, total) for done, total, _ in seen] == [(1, 3), (2, 3), (3, 3)]
    assert seen[0][2] == "" and {serial for _, _, serial in seen[1:]} == {"QT-1", "QT-2"}
    with pytest.raises(AttributeError):
        report.outcomes[0].status = Status.RESOLVED  # type: ignore[misc]
    assert all(outcome.seconds >= 0 for outcome in report.outcomes)


def test_lookups_carry_the_sdk_user_agent(service, plug):
    service.documents("QT-1")
    plug("QT-1")

    discover(cache=None)

    assert service.requests == [("QT-1", device_lookup._USER_AGENT)]


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ({"deadline": 0}, "deadline must be a positive number"),
        ({"deadline": float("nan")}, "deadline must be a positive number"),
        ({"deadline": "2"}, "deadline must be a positive number"),
        ({"timeout": -1}, "timeout must be a positive number"),
        ({"max_workers": 0}, "max_workers must be a whole number"),
        ({"max_workers": True}, "max_workers must be a whole number"),
    ],
)
def test_bad_arguments_are_refused_in_one_line(fake_backend, arguments, message):
    with pytest.raises(ValueError, match=message):
        discover(**arguments)


# ---------------------------------------------------------------------------
# The cache


def test_a_lookup_fills_the_cache_with_the_document_as_sent(service, plug, tmp_path):
    body = json.dumps(document("QT-1"), indent=3).encode()
    service.behaviours["QT-1"] = answer(body)
    plug("QT-1")

    discover(cache=tmp_path / "cache")

    assert (tmp_path / "cache" / "QT-1.json").read_bytes() == body
    assert [path.name for path in (tmp_path / "cache").iterdir()] == ["QT-1.json"]  # no temporary file left


def test_the_default_cache_is_under_the_users_cache_folder(service, plug, tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    service.documents("QT-1")
    plug("QT-1")

    discover()

    assert (tmp_path / "xdg" / "quor-camera-sdk" / "device-info" / "QT-1.json").is_file()


@pytest.mark.parametrize("offline", [True, False], ids=["offline", "service-down"])
def test_the_cache_stands_in_for_the_service(service, plug, tmp_path, monkeypatch, offline):
    service.documents("QT-1", "QT-2")
    plug("QT-1", "QT-2", "QT-NEVER-SEEN")
    cache = DocumentCache(tmp_path / "cache")
    first = discover(cache=cache)
    if not offline:
        monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL", "http://127.0.0.1:9/?serial_number=")
    requests_before = len(service.requests)

    report = discover(cache=cache, offline=offline)

    assert report.cameras == first.cameras
    assert statuses(report) == ["cached", "cached", "lookup_failed"]
    assert "from the cache (stored " in report.outcomes[0].reason
    assert ("offline" if offline else "cannot reach 127.0.0.1:9") in report.outcomes[0].reason
    if offline:
        assert len(service.requests) == requests_before
        assert "no document of this serial is cached" in report.outcomes[2].reason


def test_the_cache_stands_in_for_a_lookup_that_times_out(service, plug, tmp_path):
    cache = DocumentCache(tmp_path / "cache")
    cache.store("QT-1", json.dumps(document("QT-1")).encode())
    service.behaviours["QT-1"] = stall
    plug("QT-1")

    [outcome] = discover(deadline=0.5, cache=cache).outcomes

    assert outcome.status == "cached" and outcome.camera is not None
    assert "deadline" in outcome.reason


@pytest.mark.parametrize("serial", ["../QT-1", "QT/1", "QT 1", ".", "..", "QT-1\x00", "é", "Q" * 129])
def test_the_cache_never_takes_an_unsafe_serial(service, plug, tmp_path, serial):
    service.behaviours[serial] = answer(document(serial))
    plug(serial)
    cache = tmp_path / "cache"

    report = discover(cache=cache)

    assert report.outcomes[0].status == "resolved"
    assert not cache.exists() or list(cache.iterdir()) == []
    assert DocumentCache(cache).load(serial) is None


def test_a_cached_entry_that_is_not_a_plain_file_is_not_read(tmp_path):
    cache = DocumentCache(tmp_path)
    (tmp_path / "outside.json").write_text(json.dumps(document("QT-1")))
    (tmp_path / "QT-1.json").symlink_to(tmp_path / "outside.json")
    os.mkfifo(tmp_path / "QT-2.json")

    assert cache.load("QT-1") is None
    assert cache.load("QT-2") is None


def test_no_cache_writes_nothing(service, plug, tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    service.documents("QT-1")
    plug("QT-1")

    discover(cache=None)

    assert list(tmp_path.iterdir()) == []


# ---------------------------------------------------------------------------
# Reachability and proxies


def test_an_unreachable_service_is_told_from_a_service_that_knows_no_camera(service, plug, monkeypatch):
    plug("QT-1", "QT-2")
    assert discover(cache=None).service_unreachable is False  # both 404

    monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL", "http://127.0.0.1:9/?serial_number=")
    report = discover(cache=None)

    assert report.service_unreachable is True
    assert all("cannot reach 127.0.0.1:9" in outcome.reason for outcome in report.outcomes)


@pytest.mark.parametrize("host", ["127.0.0.1", "localhost"])
def test_a_loopback_service_is_never_asked_through_a_proxy(service, plug, monkeypatch, host):
    monkeypatch.setenv("http_proxy", "http://127.0.0.1:9")
    monkeypatch.setenv("https_proxy", "http://127.0.0.1:9")
    monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL",
                        f"{service.origin.replace('127.0.0.1', host)}{SERVICE_PATH}?serial_number=")
    service.documents("QT-1")
    plug("QT-1")

    assert [camera.serial for camera in discover(cache=None).cameras] == ["QT-1"]


def test_a_remote_service_goes_through_the_proxy_and_a_failure_says_so(service, plug, monkeypatch):
    # The misbehaving service plays the proxy: it gets the absolute URL.
    monkeypatch.setenv("http_proxy", service.origin)
    monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL", "http://devices.quor.example/lookup?serial_number=")
    service.documents("QT-1")
    plug("QT-1", "QT-2")

    report = discover(cache=None)

    assert [camera.serial for camera in report.cameras] == ["QT-1"]
    assert report.outcomes[1].reason == f"the service answered 404 Not Found (through the proxy {service.origin})"


# ---------------------------------------------------------------------------
# Choosing the service


@pytest.mark.parametrize(
    ("given", "lookup_url"),
    [
        ("http://127.0.0.1:8080", "http://127.0.0.1:8080/api/public/camera-identity?serial_number="),
        ("http://127.0.0.1:8080/", "http://127.0.0.1:8080/api/public/camera-identity?serial_number="),
        ("https://devices.lan/api/public/camera-identity", "https://devices.lan/api/public/camera-identity?serial_number="),
        ("https://devices.lan/api/public/camera-identity/", "https://devices.lan/api/public/camera-identity?serial_number="),
        ("https://devices.lan/api/public/camera-identity?serial_number=",
         "https://devices.lan/api/public/camera-identity?serial_number="),
        ("http://[::1]:8080", "http://[::1]:8080/api/public/camera-identity?serial_number="),
        ("https://mirror.lan/quor/", "https://mirror.lan/quor/"),
    ],
)
def test_service_url_forms(given, lookup_url, monkeypatch):
    monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL", device_lookup._CAMERA_IDENTITY_URL)

    assert discovery.use_service(given) == lookup_url
    assert device_lookup._CAMERA_IDENTITY_URL == lookup_url


@pytest.mark.parametrize("given", ["ftp://host/", "127.0.0.1:8080", "http://", "http://host:99999/", ""])
def test_a_bad_service_url_is_refused(given):
    with pytest.raises(ValueError, match="URL"):
        discovery.service_lookup_url(given)


def test_the_service_is_chosen_by_the_environment_when_discovery_starts():
    code = ("from quor_camera_sdk.cameras import discovery, device_lookup; "
            "print(device_lookup._CAMERA_IDENTITY_URL); discovery.resolve_devices([])")
    environment = {**os.environ, "QUOR_SERVICE_URL": "http://127.0.0.1:8080"}
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environment, check=True)

    assert result.stdout.strip() == "http://127.0.0.1:8080/api/public/camera-identity?serial_number="

    environment["QUOR_SERVICE_URL"] = "devices.lan"
    failed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environment)
    # The import works and keeps the shipped service; the discovery refuses.
    assert failed.stdout.strip() == SHIPPED_URL
    assert "ValueError: QUOR_SERVICE_URL: expected an http:// or https:// URL" in failed.stderr


def test_resolve_devices_takes_any_entries(service):
    service.documents("QT-1")

    report = resolve_devices([DeviceEntry(serial="QT-1", os_id="/dev/video7")], cache=None)

    assert [(camera.os_id, camera.serial) for camera in report.cameras] == [("/dev/video7", "QT-1")]
