"""Many threads at once through the extension modules.

Each test computes the expected results sequentially, then makes the same
calls from many threads released together, with the interpreter switching
threads as often as it can, and compares.
"""

import copy
import logging
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from quor_camera_sdk.cameras import camera_identity, device_lookup
from quor_camera_sdk.cameras.camera_identity import QuorCameraIdentity
from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN, _build_windows_controls

THREADS = 16
ROUNDS = 20
SKU = QUOR_ORIDAN.skus[5]


@pytest.fixture(autouse=True)
def frequent_thread_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def concurrently(calls):
    """Runs every call of `calls` (zero-argument callables) on THREADS
    threads that start together; returns the results in the order given."""
    start = threading.Barrier(THREADS)

    def run(index):
        if index < THREADS:
            start.wait()
        return calls[index]()

    with ThreadPoolExecutor(THREADS) as pool:
        return list(pool.map(run, range(len(calls))))


@pytest.fixture
def payloads(make_device_info, make_calibration_block):
    """Documents that resolve, and documents that take each None path."""
    malformed = make_calibration_block()
    del malformed["cameras"][1]["intrinsics"]
    return [
        make_device_info(serial="QC-1", sku=SKU),
        make_device_info(serial="QC-2", sku=QUOR_ORIDAN.skus[-1], model_name=None),
        make_device_info(serial=""),
        make_device_info(serial="QC-3", sku="NO-SUCH-SKU"),
        make_device_info(serial="QC-4", sku=SKU, base_calibration=[]),
        make_device_info(serial="QC-5", sku=SKU, base_calibration=malformed),
    ]


def test_from_dict_and_to_dict_from_many_threads(payloads, caplog):
    calls = [
        lambda payload=payload, index=index: QuorCameraIdentity.from_dict(
            copy.deepcopy(payload), os_id=f"/dev/video{index}"
        )
        for index, payload in enumerate(payloads)
    ] * ROUNDS
    expected = [call() for call in calls]
    records = [record for record in expected if record is not None]
    assert len(records) == 2 * ROUNDS
    caplog.clear()

    with caplog.at_level(logging.WARNING, logger="quor_camera_sdk.cameras.camera_identity"):
        assert concurrently(calls) == expected
        assert concurrently([record.to_dict for record in records]) == [record.to_dict() for record in records]

    # One record per unresolved document with a serial and SKU, none lost.
    assert len(caplog.records) == 3 * ROUNDS


def test_lookups_from_many_threads(device_info_service):
    serials = [f"QC-{index}" for index in range(THREADS)]
    for serial in serials:
        device_info_service.respond_json(serial, {"serial_number": serial, "index": serials.index(serial)})
    calls = [lambda serial=serial: device_lookup.fetch_camera_identity_json(serial) for serial in serials] * 4
    expected = [call() for call in calls]

    assert concurrently(calls) == expected
    assert sorted(device_info_service.serials_requested) == sorted(serials * 8)


def test_discovery_from_many_threads(device_info_service, fake_backend, make_device_info):
    for index in range(6):
        serial = f"QC-{index}"
        fake_backend.plug(serial)
        if index != 3:  # that one is unknown to the service: a failed lookup
            device_info_service.respond_json(serial, make_device_info(serial=serial, sku=SKU))
    calls = [
        camera_identity.list_connected_quor_cameras,
        camera_identity.get_first_connected_quor_camera,
        lambda: camera_identity.get_connected_quor_camera_by_serial("QC-4"),
        lambda: camera_identity.get_connected_quor_camera_by_serial("QC-3"),
    ] * 8
    expected = [call() for call in calls]
    assert [camera.serial for camera in expected[0]] == ["QC-0", "QC-1", "QC-2", "QC-4", "QC-5"]

    assert concurrently(calls) == expected


def test_windows_controls_of_a_list_that_another_thread_changes():
    # The function reads a plain list by index while it may change under
    # it: each result holds only table entries, never more than the list
    # ever held, and nothing crashes.
    controls = list(QUOR_ORIDAN.controls)
    shared = list(controls)
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            shared.append(shared.pop(0))
            del shared[len(shared) // 2 :]
            shared.extend(controls[len(shared) :])

    churner = threading.Thread(target=churn)
    churner.start()
    try:
        results = concurrently([lambda: _build_windows_controls(shared)] * (THREADS * ROUNDS))
    finally:
        stop.set()
        churner.join()

    allowed = set(QUOR_ORIDAN.windows_controls)
    for result in results:
        assert set(result) <= allowed
        assert len(result) <= len(controls)
