"""QuorCameraIdentity records and connected-camera discovery.

The record tests bind ``fake_sku_registry`` so that they do not depend on
the model catalogues; the tests near the end go through the real registry
and, for discovery, the real lookup over HTTP.
"""

import annotationlib
import dataclasses
import importlib
import logging
import sys
import urllib.error

import pytest

from quor_camera_sdk.calibration import Calibration
from quor_camera_sdk.cameras import camera_identity
from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN
from quor_camera_sdk.cameras.quor_pockel import QUOR_POCKEL
from quor_camera_sdk.cameras.quor_sevrine import QUOR_SEVRINE
from quor_camera_sdk.cameras.camera_identity import (
    QuorCameraIdentity,
    get_connected_quor_camera_by_serial,
    get_first_connected_quor_camera,
    list_connected_quor_cameras,
)

LOGGER_NAME = "quor_camera_sdk.cameras.camera_identity"
FIELDS = ("os_id", "serial", "sku", "model_name", "spec", "base_calibration")
MISSING = object()


def only_record(caplog, level):
    [record] = caplog.records
    assert (record.name, record.levelno) == (LOGGER_NAME, level)
    return record


# ---------------------------------------------------------------------------
# The record


def test_from_dict_resolves_every_field(fake_sku_registry, make_device_info):
    document = make_device_info(serial="QC-0001", model_name="QUOR Test Unit")

    record = QuorCameraIdentity.from_dict(document, os_id="/dev/video0")

    assert type(record) is QuorCameraIdentity
    assert (record.os_id, record.serial, record.sku, record.model_name) == (
        "/dev/video0",
        "QC-0001",
        fake_sku_registry.sku,
        "QUOR Test Unit",
    )
    assert record.spec is fake_sku_registry.spec
    assert record.base_calibration == Calibration.from_dict(document["base_calibration"])


def test_record_is_a_frozen_slotted_dataclass(fake_sku_registry, make_device_info):
    record = QuorCameraIdentity.from_dict(make_device_info(), os_id="/dev/video0")

    assert tuple(field.name for field in dataclasses.fields(QuorCameraIdentity)) == FIELDS
    assert QuorCameraIdentity.__slots__ == FIELDS
    assert not hasattr(record, "__dict__")
    with pytest.raises(dataclasses.FrozenInstanceError):
        record.serial = "QC-9999"
    assert record.serial == "QC-0001"


def test_record_annotations_and_doc():
    assert annotationlib.get_annotations(QuorCameraIdentity) == {
        "os_id": "str",
        "serial": "str",
        "sku": "str",
        "model_name": "str",
        "spec": "CameraSpec",
        "base_calibration": "Calibration",
    }
    assert QuorCameraIdentity.__doc__.startswith("One attached QUOR camera, fully resolved.")
    assert QuorCameraIdentity.__module__ == LOGGER_NAME


def test_records_compare_and_hash_by_value(fake_sku_registry, make_device_info):
    first = QuorCameraIdentity.from_dict(make_device_info(), os_id="/dev/video0")
    same = QuorCameraIdentity.from_dict(make_device_info(), os_id="/dev/video0")
    elsewhere = QuorCameraIdentity.from_dict(make_device_info(), os_id="/dev/video2")

    assert first == same and hash(first) == hash(same)
    assert first != elsewhere
    assert len({first, same, elsewhere}) == 2
    assert repr(first).startswith(
        "QuorCameraIdentity(os_id='/dev/video0', serial='QC-0001', sku='QTEST-0001', "
        "model_name='QUOR Test Unit', spec=CameraSpec("
    )


@pytest.mark.parametrize("key", ["serial_number", "sku"])
@pytest.mark.parametrize("value", [MISSING, None, "", 0], ids=["absent", "none", "empty", "zero"])
def test_document_without_serial_or_sku_is_ignored_silently(
    caplog, fake_sku_registry, make_device_info, key, value
):
    document = make_device_info()
    if value is MISSING:
        del document[key]
    else:
        document[key] = value

    assert QuorCameraIdentity.from_dict(document, os_id="/dev/video0") is None
    assert caplog.records == []
    assert fake_sku_registry.lookups == []


@pytest.mark.parametrize(("sku", "quoted"), [("QX-404", "'QX-404'"), (404, "404")])
def test_unknown_sku_is_ignored_with_a_warning(caplog, fake_sku_registry, make_device_info, sku, quoted):
    document = make_device_info(serial="QC-0001", sku=sku)

    assert QuorCameraIdentity.from_dict(document, os_id="/dev/video0") is None

    record = only_record(caplog, logging.WARNING)
    assert record.args == ("QC-0001", sku)
    assert f"camera serial=QC-0001 reports SKU {quoted} which is not in the SDK device registry" in record.getMessage()
    assert fake_sku_registry.lookups == [str(sku)]


@pytest.mark.parametrize("block", [MISSING, None, [], "calibrated"], ids=["absent", "none", "list", "text"])
def test_document_without_calibration_block_is_ignored_with_an_error(
    caplog, fake_sku_registry, make_device_info, block
):
    document = make_device_info(serial=1234)
    if block is MISSING:
        del document["base_calibration"]
    else:
        document["base_calibration"] = block

    assert QuorCameraIdentity.from_dict(document, os_id="/dev/video0") is None

    record = only_record(caplog, logging.ERROR)
    assert (record.msg, record.args) == ("no base_calibration block for serial=%s", (1234,))
    assert record.exc_info is None


@pytest.mark.parametrize(
    ("break_block", "error"),
    [
        (lambda block: block.pop("version"), KeyError),
        (lambda block: block.update(cameras="left,right"), TypeError),
        (lambda block: block.update(version=2), ValueError),
        (lambda block: block["cameras"].pop(), ValueError),
        (lambda block: block["cameras"][0]["intrinsics"].update(fx=10**400), ValueError),
    ],
    ids=["missing-version", "cameras-not-a-list", "old-version", "one-camera", "huge-number"],
)
def test_malformed_calibration_is_ignored_with_the_exception_logged(
    caplog, fake_sku_registry, make_device_info, break_block, error
):
    document = make_device_info(serial="QC-0001")
    break_block(document["base_calibration"])

    assert QuorCameraIdentity.from_dict(document, os_id="/dev/video0") is None

    record = only_record(caplog, logging.ERROR)
    assert record.getMessage() == "calibration deserialize failed for serial=QC-0001"
    assert record.exc_info[0] is error


def test_unexpected_calibration_failure_propagates(caplog, fake_sku_registry, make_device_info, monkeypatch):
    class BrokenCalibration:
        @classmethod
        def from_dict(cls, block):
            raise AttributeError("bug in the calibration reader")

    monkeypatch.setattr(camera_identity, "Calibration", BrokenCalibration)

    with pytest.raises(AttributeError, match="bug in the calibration reader"):
        QuorCameraIdentity.from_dict(make_device_info(), os_id="/dev/video0")
    assert caplog.records == []


def test_numeric_fields_become_text(fake_sku_registry, make_device_info):
    fake_sku_registry.specs["42"] = fake_sku_registry.spec

    record = QuorCameraIdentity.from_dict(make_device_info(serial=1234, sku=42, model_name=7), os_id="/dev/video0")

    assert (record.serial, record.sku, record.model_name) == ("1234", "42", "7")
    assert fake_sku_registry.lookups == ["42"]


@pytest.mark.parametrize("model_name", [MISSING, None, "", 0], ids=["absent", "none", "empty", "zero"])
def test_missing_model_name_becomes_empty_text(fake_sku_registry, make_device_info, model_name):
    document = make_device_info()
    if model_name is MISSING:
        del document["model_name"]
    else:
        document["model_name"] = model_name

    assert QuorCameraIdentity.from_dict(document, os_id="/dev/video0").model_name == ""


@pytest.mark.parametrize("os_id", ["/dev/video0", "", 3, None, ("usb", 1)])
def test_os_id_is_stored_unchanged(fake_sku_registry, make_device_info, os_id):
    record = QuorCameraIdentity.from_dict(make_device_info(), os_id=os_id)

    assert record.os_id is os_id


def test_from_dict_on_a_subclass_builds_the_subclass(fake_sku_registry, make_device_info):
    class LabelledCamera(QuorCameraIdentity):
        pass

    record = LabelledCamera.from_dict(make_device_info(), os_id="/dev/video0")

    assert type(record) is LabelledCamera


class QuorCameraIdentityDef:
    """The same methods as plain Python, for the interpreter's own wording."""

    @classmethod
    def from_dict(cls, payload: dict, *, os_id: str): ...


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        (({},), {}),
        (({}, "/dev/video0"), {}),
        (({}, "/dev/video0"), {"os_id": "/dev/video0"}),
        ((), {"os_id": "/dev/video0"}),
        (({},), {"osid": "/dev/video0"}),
        (({},), {"os_id": "/dev/video0", "payload": {}}),
    ],
)
def test_from_dict_argument_errors_read_like_a_classmethod(args, kwargs):
    with pytest.raises(TypeError) as native:
        QuorCameraIdentity.from_dict(*args, **kwargs)
    with pytest.raises(TypeError) as reference:
        QuorCameraIdentityDef.from_dict(*args, **kwargs)

    assert str(native.value) == str(reference.value).replace("QuorCameraIdentityDef.", "QuorCameraIdentity.")


def test_to_dict_is_the_document_without_os_id_and_spec(fake_sku_registry, make_device_info):
    document = make_device_info()
    record = QuorCameraIdentity.from_dict(document, os_id="/dev/video0")

    serialised = record.to_dict()

    assert list(serialised) == ["serial_number", "sku", "model_name", "base_calibration"]
    assert serialised["base_calibration"] == record.base_calibration.to_dict()
    assert serialised == {**document, "base_calibration": record.base_calibration.to_dict()}
    assert record.to_dict() is not serialised


def test_to_dict_round_trips(fake_sku_registry, make_device_info):
    record = QuorCameraIdentity.from_dict(make_device_info(serial=987, model_name=None), os_id="/dev/video4")

    assert QuorCameraIdentity.from_dict(record.to_dict(), os_id=record.os_id) == record


def test_real_registry_resolves_a_model_sku(make_device_info):
    sku = QUOR_ORIDAN.skus[0]

    record = QuorCameraIdentity.from_dict(make_device_info(sku=sku), os_id="/dev/video0")

    assert record.spec is QUOR_ORIDAN
    assert QuorCameraIdentity.from_dict(record.to_dict(), os_id=record.os_id) == record


def test_real_registry_ignores_an_unknown_sku(caplog, make_device_info):
    assert QuorCameraIdentity.from_dict(make_device_info(sku="NOT-A-QUOR-SKU"), os_id="/dev/video0") is None
    assert only_record(caplog, logging.WARNING).args[1] == "NOT-A-QUOR-SKU"


# ---------------------------------------------------------------------------
# Discovery


@pytest.fixture
def three_cameras(fake_backend, fake_lookup, fake_sku_registry, make_device_info):
    """Three plugged-in cameras that all resolve."""
    for serial in ("QC-0001", "QC-0002", "QC-0003"):
        fake_backend.plug(serial)
        fake_lookup.documents[serial] = make_device_info(serial=serial)
    return fake_backend


def test_no_devices_lists_nothing_and_looks_nothing_up(fake_backend, fake_lookup):
    assert list_connected_quor_cameras() == []
    assert fake_lookup.calls == []
    assert fake_backend.list_calls == 1


def test_first_camera_with_nothing_connected_explains(fake_backend, fake_lookup):
    with pytest.raises(RuntimeError) as failure:
        get_first_connected_quor_camera()

    assert str(failure.value) == (
        "no QUOR camera connected (or no connected device's serial is registered in the device-info catalog). "
        "Plug one in, or use list_connected_quor_cameras() to inspect what's seen."
    )


def test_devices_without_serial_are_skipped_silently(
    caplog, fake_backend, fake_lookup, fake_sku_registry, make_device_info
):
    fake_backend.plug("", os_id="/dev/video0")
    fake_backend.plug("QC-0001", os_id="/dev/video2")
    fake_lookup.documents["QC-0001"] = make_device_info(serial="QC-0001")

    cameras = list_connected_quor_cameras()

    assert [camera.os_id for camera in cameras] == ["/dev/video2"]
    assert fake_lookup.calls == ["QC-0001"]
    assert caplog.records == []


def test_all_cameras_listed_in_platform_order(three_cameras):
    cameras = list_connected_quor_cameras()

    assert [(camera.serial, camera.os_id) for camera in cameras] == [
        ("QC-0001", "/dev/video0"),
        ("QC-0002", "/dev/video2"),
        ("QC-0003", "/dev/video4"),
    ]


def test_failed_lookup_leaves_out_that_camera_only(caplog, three_cameras, fake_lookup):
    fake_lookup.documents["QC-0002"] = urllib.error.URLError("service down")

    cameras = list_connected_quor_cameras()

    assert [camera.serial for camera in cameras] == ["QC-0001", "QC-0003"]
    record = only_record(caplog, logging.ERROR)
    assert record.getMessage() == "device-info lookup failed for serial=QC-0002"
    assert record.exc_info[0] is urllib.error.URLError


def test_unknown_sku_leaves_out_that_camera_with_a_warning(caplog, three_cameras, fake_lookup, make_device_info):
    fake_lookup.documents["QC-0003"] = make_device_info(serial="QC-0003", sku="QX-404")

    cameras = list_connected_quor_cameras()

    assert [camera.serial for camera in cameras] == ["QC-0001", "QC-0002"]
    assert only_record(caplog, logging.WARNING).args == ("QC-0003", "QX-404")


def test_registry_failure_aborts_the_listing(three_cameras, fake_sku_registry):
    fake_sku_registry.specs[fake_sku_registry.sku] = RuntimeError("SKU listed by two models")

    with pytest.raises(RuntimeError, match="SKU listed by two models"):
        list_connected_quor_cameras()


def test_first_camera_is_returned_after_every_device_is_looked_up(three_cameras, fake_lookup):
    camera = get_first_connected_quor_camera()

    assert (camera.serial, camera.os_id) == ("QC-0001", "/dev/video0")
    assert fake_lookup.calls == ["QC-0001", "QC-0002", "QC-0003"]


@pytest.mark.parametrize(
    "discover",
    [
        list_connected_quor_cameras,
        get_first_connected_quor_camera,
        lambda: get_connected_quor_camera_by_serial("QC-0002"),
    ],
    ids=["list", "first", "by-serial"],
)
def test_devices_are_enumerated_once(three_cameras, discover):
    discover()

    assert three_cameras.list_calls == 1


def test_by_serial_looks_up_only_that_camera(three_cameras, fake_lookup):
    camera = get_connected_quor_camera_by_serial("QC-0002")

    assert (camera.serial, camera.os_id) == ("QC-0002", "/dev/video2")
    assert fake_lookup.calls == ["QC-0002"]


@pytest.mark.parametrize("serial", ["QC-9999", "qc-0002", " QC-0002", "QC-0002 "])
def test_by_serial_without_exact_match_is_none_without_lookup(three_cameras, fake_lookup, serial):
    assert get_connected_quor_camera_by_serial(serial) is None
    assert fake_lookup.calls == []


def test_by_serial_uses_the_first_device_reporting_the_serial(
    fake_backend, fake_lookup, fake_sku_registry, make_device_info
):
    fake_backend.plug("QC-0001", os_id="/dev/video0")
    fake_backend.plug("QC-0002", os_id="/dev/video2")
    fake_backend.plug("QC-0002", os_id="/dev/video4")
    fake_lookup.documents["QC-0002"] = make_device_info(serial="QC-0002")

    assert get_connected_quor_camera_by_serial("QC-0002").os_id == "/dev/video2"
    assert fake_lookup.calls == ["QC-0002"]


class Serial(str):
    """Equal to the plain text, but a distinct object."""


def test_by_serial_looks_up_the_argument_itself(three_cameras, fake_lookup):
    serial = Serial("QC-0002")

    get_connected_quor_camera_by_serial(serial)

    assert fake_lookup.calls[0] is serial


def test_by_serial_failed_lookup_is_none_and_logged(caplog, three_cameras, fake_lookup):
    fake_lookup.documents["QC-0002"] = TimeoutError("timed out")
    serial = Serial("QC-0002")

    assert get_connected_quor_camera_by_serial(serial) is None

    record = only_record(caplog, logging.ERROR)
    assert record.msg == "device-info lookup failed for serial=%s"
    assert record.args[0] is serial
    assert record.exc_info[0] is TimeoutError


def test_by_serial_unresolvable_document_is_none(caplog, three_cameras, fake_lookup):
    fake_lookup.documents["QC-0002"] = {"serial_number": "QC-0002"}

    assert get_connected_quor_camera_by_serial("QC-0002") is None
    assert caplog.records == []


def test_discovery_through_the_device_information_service(
    caplog, device_info_service, fake_backend, fake_sku_registry, make_device_info
):
    for serial in ("QC 0001", "QC-0002", "QC/0003"):
        fake_backend.plug(serial)
    device_info_service.respond_json("QC 0001", make_device_info(serial="QC 0001"))
    device_info_service.respond("QC-0002", status=500, body=b"")
    device_info_service.respond_json("QC/0003", make_device_info(serial="QC/0003"))

    cameras = list_connected_quor_cameras()

    assert [(camera.serial, camera.os_id) for camera in cameras] == [
        ("QC 0001", "/dev/video0"),
        ("QC/0003", "/dev/video4"),
    ]
    assert device_info_service.serials_requested == ["QC 0001", "QC-0002", "QC/0003"]
    [error] = [record for record in caplog.records if record.levelno >= logging.WARNING]
    error.exc_info[1].close()
    assert error.getMessage() == "device-info lookup failed for serial=QC-0002"
    assert error.exc_info[0] is urllib.error.HTTPError


def test_discovery_resolves_every_model_over_http(caplog, fake_backend, device_info_service, make_device_info):
    cameras = {
        "QO-1": ("STEREO-CAMERA-MODULE-ORIDAN-LONG-BASELINE-FISHEYE-LENSES-V21", QUOR_ORIDAN),
        "QP-1": ("STEREO-CAMERA-POCKEL-WIDE-LENSES-V21", QUOR_POCKEL),
        "QX-1": ("STEREO-CAMERA-FUTURE-V99", None),
        "QS-1": ("STEREO-CAMERA-MODULE-SEVRINE-ULTRA-FISHEYE-LENSES-V21", QUOR_SEVRINE),
    }
    for serial, (sku, _) in cameras.items():
        fake_backend.plug(serial)
        device_info_service.respond_json(serial, make_device_info(serial=serial, sku=sku))

    records = list_connected_quor_cameras()

    resolved = {serial: spec for serial, (_, spec) in cameras.items() if spec is not None}
    assert [(record.serial, record.spec) for record in records] == list(resolved.items())
    assert [record.os_id for record in records] == ["/dev/video0", "/dev/video2", "/dev/video6"]
    assert device_info_service.serials_requested == list(cameras)
    [warning] = [record for record in caplog.records if record.levelno >= logging.WARNING]
    assert warning.args == ("QX-1", "STEREO-CAMERA-FUTURE-V99")


# ---------------------------------------------------------------------------
# Documents that discovery cannot use


def deeply_nested(depth=100_000):
    """A JSON value whose text conversion exceeds the interpreter's recursion limit."""
    value = []
    for _ in range(depth):
        value = [value]
    return value


UNUSABLE_DOCUMENTS = {
    "list": ([{"serial_number": "QC-0002"}], TypeError, "device-information document is a list, not a JSON object"),
    "text": ("QC-0002", TypeError, "device-information document is a str, not a JSON object"),
    "number": (42, TypeError, "device-information document is a int, not a JSON object"),
    "boolean": (True, TypeError, "device-information document is a bool, not a JSON object"),
    "null": (None, TypeError, "device-information document is a NoneType, not a JSON object"),
    "too-deep": ({"serial_number": "QC-0002", "sku": deeply_nested()}, RecursionError, None),
}


@pytest.mark.parametrize(("document", "error", "message"), UNUSABLE_DOCUMENTS.values(), ids=UNUSABLE_DOCUMENTS)
def test_an_unusable_document_fails_that_lookup_only(caplog, three_cameras, fake_lookup, document, error, message):
    fake_lookup.documents["QC-0002"] = document

    cameras = list_connected_quor_cameras()

    assert [camera.serial for camera in cameras] == ["QC-0001", "QC-0003"]
    record = only_record(caplog, logging.ERROR)
    assert (record.msg, record.args) == ("device-info lookup failed for serial=%s", ("QC-0002",))
    assert record.exc_info[0] is error
    if message:
        assert str(record.exc_info[1]) == message


@pytest.mark.parametrize(("document", "error", "message"), UNUSABLE_DOCUMENTS.values(), ids=UNUSABLE_DOCUMENTS)
def test_by_serial_with_an_unusable_document_is_none(caplog, three_cameras, fake_lookup, document, error, message):
    fake_lookup.documents["QC-0002"] = document
    serial = Serial("QC-0002")

    assert get_connected_quor_camera_by_serial(serial) is None

    record = only_record(caplog, logging.ERROR)
    assert record.args[0] is serial
    assert record.exc_info[0] is error


class Document:
    """A mapping that is no dict: anything with a get resolves."""

    def __init__(self, items):
        self.items = items
        self.keys_read = []

    def get(self, key, default=None):
        self.keys_read.append(key)
        return self.items.get(key, default)


class RecordingDict(dict):
    def get(self, key, default=None):
        self.keys_read = [*getattr(self, "keys_read", []), key]
        return super().get(key, default)


@pytest.mark.parametrize("wrap", [Document, RecordingDict], ids=["mapping", "dict-subclass"])
def test_a_document_with_its_own_get_is_read_through_it(three_cameras, fake_lookup, make_device_info, wrap):
    document = wrap(make_device_info(serial="QC-0002"))
    fake_lookup.documents["QC-0002"] = document

    assert [camera.serial for camera in list_connected_quor_cameras()] == ["QC-0001", "QC-0002", "QC-0003"]
    assert document.keys_read == ["serial_number", "sku", "base_calibration", "model_name"]


# ---------------------------------------------------------------------------
# A record class changed after import is built as it now says


def test_an_init_set_on_the_class_builds_the_record(fake_sku_registry, make_device_info, monkeypatch):
    generated = QuorCameraIdentity.__init__
    seen = []

    def init(self, **fields):
        seen.append(sorted(fields))
        generated(self, **fields)

    monkeypatch.setattr(QuorCameraIdentity, "__init__", init)

    record = QuorCameraIdentity.from_dict(make_device_info(), os_id="/dev/video0")

    assert seen == [sorted(FIELDS)]
    assert record.os_id == "/dev/video0"


def test_a_new_set_on_the_class_builds_the_record(make_device_info, monkeypatch):
    # On a class of its own: the interpreter cannot take a __new__ back
    # (the class keeps calling object.__new__ with the fields).
    monkeypatch.delitem(sys.modules, camera_identity.__name__)
    record_class = importlib.import_module(camera_identity.__name__).QuorCameraIdentity
    made = []

    def new(cls, **fields):
        made.append(cls)
        return object.__new__(cls)

    record_class.__new__ = new

    record_class.from_dict(make_device_info(sku=QUOR_ORIDAN.skus[0]), os_id="/dev/video0")

    assert made == [record_class]


def test_to_dict_reads_a_field_through_a_descriptor_set_on_the_class(fake_sku_registry, make_device_info, monkeypatch):
    record = QuorCameraIdentity.from_dict(make_device_info(serial="QC-0001"), os_id="/dev/video0")
    monkeypatch.setattr(QuorCameraIdentity, "serial", property(lambda self: "QC-RELABELLED"))

    assert record.to_dict()["serial_number"] == "QC-RELABELLED"


def test_to_dict_of_a_record_never_initialised_fails_as_attribute_access(fake_sku_registry):
    blank = object.__new__(QuorCameraIdentity)

    with pytest.raises(AttributeError) as native:
        blank.to_dict()
    with pytest.raises(AttributeError) as reference:
        blank.serial

    assert str(native.value) == str(reference.value)
