"""The extension modules in isolated subinterpreters (concurrent.interpreters),
and imported afresh after removal from sys.modules."""

import importlib
import json
import sys
import textwrap
import threading

import pytest

from quor_camera_sdk.cameras import camera_spec, device_lookup, quor_oridan
from quor_camera_sdk.cameras.camera_identity import QuorCameraIdentity
from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN

interpreters = pytest.importorskip("concurrent.interpreters")

PACKAGE = "quor_camera_sdk.cameras"
MODULES = ("device_lookup", "camera_identity", "quor_oridan", "quor_pockel", "quor_sevrine")
SKU = QUOR_ORIDAN.skus[7]


@pytest.fixture
def run_isolated():
    """``run_isolated(code, **values)`` runs code in a new subinterpreter
    with the shareable values as globals and returns what the code passed
    to ``report(...)``, in order."""
    created = []

    def run(code, **values):
        interpreter = interpreters.create()
        created.append(interpreter)
        queue = interpreters.create_queue()
        interpreter.prepare_main(queue=queue, **values)
        interpreter.exec("report = queue.put\n" + textwrap.dedent(code))
        reports = []
        while not queue.empty():
            reports.append(queue.get())
        return reports

    yield run
    for interpreter in created:
        interpreter.close()


def test_modules_import_and_work_in_a_subinterpreter(run_isolated, device_info_server, make_device_info):
    document = make_device_info(serial="QS-1", sku=SKU)
    device_info_server.respond_json("QS-1", document)

    [tables, record, discovered] = run_isolated(
        """
        import json
        from quor_camera_sdk.cameras import camera_identity, device_lookup
        from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN, _build_windows_controls
        from quor_camera_sdk.cameras.quor_pockel import QUOR_POCKEL
        from quor_camera_sdk.cameras.quor_sevrine import QUOR_SEVRINE
        from quor_camera_sdk.platform import DeviceEntry, SimulatedBackend

        assert QUOR_POCKEL.modes is QUOR_ORIDAN.modes and QUOR_SEVRINE.controls is QUOR_ORIDAN.controls
        assert _build_windows_controls(QUOR_ORIDAN.controls) == QUOR_ORIDAN.windows_controls
        report((len(QUOR_ORIDAN.skus), len(QUOR_ORIDAN.modes), len(QUOR_ORIDAN.controls),
                len(QUOR_ORIDAN.windows_controls), len(QUOR_POCKEL.skus), len(QUOR_SEVRINE.skus)))

        record = camera_identity.QuorCameraIdentity.from_dict(json.loads(document), os_id="/dev/video0")
        report(json.dumps(record.to_dict()))

        device_lookup._CAMERA_IDENTITY_URL = service_url
        camera_identity.current_backend = lambda: SimulatedBackend([DeviceEntry("QS-1", "/dev/video2")])
        report(tuple((camera.serial, camera.os_id) for camera in camera_identity.list_connected_quor_cameras()))
        """,
        document=json.dumps(document),
        service_url=device_info_server.url,
    )

    assert tables == (56, 108, 13, 12, 12, 10)
    assert json.loads(record) == QuorCameraIdentity.from_dict(document, os_id="/dev/video0").to_dict()
    assert discovered == (("QS-1", "/dev/video2"),)
    assert device_info_server.serials_requested == ["QS-1"]


def test_each_interpreter_has_its_own_constants(run_isolated, shipped_service_url):
    main_url = device_lookup._CAMERA_IDENTITY_URL
    code = """
        from quor_camera_sdk.cameras import device_lookup, quor_oridan, quor_pockel
        report((id(quor_oridan.QUOR_ORIDAN), id(quor_pockel.QUOR_POCKEL.controls), id(quor_oridan)))
        report(device_lookup._CAMERA_IDENTITY_URL)
        device_lookup._CAMERA_IDENTITY_URL = "http://127.0.0.1:9/rebound?serial_number="
        quor_oridan.QUOR_ORIDAN = None
        """
    first_ids, first_url = run_isolated(code)
    second_ids, second_url = run_isolated(code)

    main_ids = (id(QUOR_ORIDAN), id(QUOR_ORIDAN.controls), id(quor_oridan))
    assert len({main_ids[0], first_ids[0], second_ids[0]}) == 3
    assert len({main_ids[1], first_ids[1], second_ids[1]}) == 3
    assert len({main_ids[2], first_ids[2], second_ids[2]}) == 3
    # The first interpreter's rebinding reached neither the main one nor the second.
    assert first_url == second_url == shipped_service_url
    assert device_lookup._CAMERA_IDENTITY_URL == main_url
    assert quor_oridan.QUOR_ORIDAN is QUOR_ORIDAN


def test_rebinding_in_the_main_interpreter_stays_there(run_isolated, monkeypatch, shipped_service_url):
    monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL", "http://127.0.0.1:9/main?serial_number=")

    [url] = run_isolated(
        """
        from quor_camera_sdk.cameras import device_lookup
        report(device_lookup._CAMERA_IDENTITY_URL)
        """
    )

    assert url == shipped_service_url


def test_interpreters_running_in_parallel_agree(make_device_info):
    # Each subinterpreter has its own GIL: the modules run truly in parallel.
    document = json.dumps(make_device_info(serial="QS-2", sku=SKU))
    code = textwrap.dedent(
        """
        import json
        from quor_camera_sdk.cameras.camera_identity import QuorCameraIdentity
        from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN, _build_windows_controls
        results = set()
        for _ in range(300):
            record = QuorCameraIdentity.from_dict(json.loads(document), os_id="/dev/video0")
            windows = _build_windows_controls(list(QUOR_ORIDAN.controls))
            results.add((json.dumps(record.to_dict()), repr(windows)))
        queue.put(tuple(results))
        """
    )
    queue = interpreters.create_queue()
    workers = [interpreters.create() for _ in range(3)]
    try:
        for worker in workers:
            worker.prepare_main(queue=queue, document=document)
        threads = [threading.Thread(target=worker.exec, args=(code,)) for worker in workers]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        reports = [queue.get(timeout=60) for _ in workers]
    finally:
        for worker in workers:
            worker.close()

    record = QuorCameraIdentity.from_dict(json.loads(document), os_id="/dev/video0")
    expected = ((json.dumps(record.to_dict()), repr(QUOR_ORIDAN.windows_controls)),)
    assert reports == [expected] * len(workers)


@pytest.fixture
def fresh_import(monkeypatch):
    """``fresh_import()`` removes the five modules from sys.modules (and the
    package) and imports them again; they are put back after the test."""
    package = importlib.import_module(PACKAGE)
    # Built now, from the modules in place, so that the registry does not
    # pick up the fresh copies for the tests that follow.
    camera_spec.spec_by_sku(SKU)

    def reimport():
        for name in MODULES:
            monkeypatch.delitem(sys.modules, f"{PACKAGE}.{name}")
            monkeypatch.delattr(package, name)
        return {name: importlib.import_module(f"{PACKAGE}.{name}") for name in MODULES}

    return reimport


def test_import_after_removal_builds_fresh_constants(fresh_import, make_device_info, device_info_server):
    old = {name: sys.modules[f"{PACKAGE}.{name}"] for name in MODULES}

    new = fresh_import()

    for name in MODULES:
        assert new[name] is not old[name]
    oridan, pockel = new["quor_oridan"], new["quor_pockel"]
    assert oridan.QUOR_ORIDAN is not QUOR_ORIDAN and oridan.QUOR_ORIDAN == QUOR_ORIDAN
    assert oridan._build_windows_controls is not quor_oridan._build_windows_controls
    assert pockel.QUOR_POCKEL.controls is oridan.QUOR_ORIDAN.controls
    assert oridan._build_windows_controls(oridan.QUOR_ORIDAN.controls) == QUOR_ORIDAN.windows_controls
    identity, lookup = new["camera_identity"], new["device_lookup"]
    assert identity.fetch_camera_identity_json is lookup.fetch_camera_identity_json
    record = identity.QuorCameraIdentity.from_dict(make_device_info(serial="QS-3", sku=SKU), os_id="/dev/video0")
    assert (type(record), record.serial) == (identity.QuorCameraIdentity, "QS-3")
    lookup._CAMERA_IDENTITY_URL = device_info_server.url
    device_info_server.respond_json("QS-3", {"serial_number": "QS-3"})
    assert lookup.fetch_camera_identity_json("QS-3") == {"serial_number": "QS-3"}
    # The module imported first is untouched.
    assert device_lookup._CAMERA_IDENTITY_URL != device_info_server.url


def test_import_after_removal_inside_a_subinterpreter(run_isolated):
    [fresh, first_is_alive] = run_isolated(
        """
        import importlib, sys
        names = [f"quor_camera_sdk.cameras.{name}" for name in
                 ("device_lookup", "camera_identity", "quor_oridan", "quor_pockel", "quor_sevrine")]
        first = [importlib.import_module(name) for name in names]
        for name in names:
            del sys.modules[name]
        again = [importlib.import_module(name) for name in names]
        oridan = again[2]
        report(all(a is not b for a, b in zip(first, again))
               and oridan.QUOR_ORIDAN is not first[2].QUOR_ORIDAN
               and oridan._build_windows_controls(oridan.QUOR_ORIDAN.controls) == oridan.QUOR_ORIDAN.windows_controls)
        report(first[2]._build_windows_controls(()) == ())
        """
    )

    assert fresh and first_is_alive
