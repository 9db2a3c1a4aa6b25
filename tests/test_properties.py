"""Properties of the extension modules over generated inputs.

CI runs a fixed, bounded set of examples: the profile below is derandomized
(the same examples on every run) and applied to each test here only.
"""

import copy
import dataclasses
import logging
import urllib.parse

import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

from quor_camera_sdk.calibration import Calibration
from quor_camera_sdk.cameras import device_lookup
from quor_camera_sdk.cameras.camera_identity import QuorCameraIdentity
from quor_camera_sdk.cameras.camera_spec import CameraControl, spec_by_sku
from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN, _build_windows_controls
from quor_camera_sdk.cameras.quor_pockel import QUOR_POCKEL
from quor_camera_sdk.cameras.quor_sevrine import QUOR_SEVRINE

settings.register_profile(
    "quor-properties",
    derandomize=True,
    max_examples=150,
    deadline=None,
    database=None,
    # The servers and documents of the fixtures are reset by each example.
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
PROFILE = settings.get_profile("quor-properties")

REAL_SKUS = QUOR_ORIDAN.skus + QUOR_POCKEL.skus + QUOR_SEVRINE.skus
FIELDS = ("serial_number", "sku", "model_name", "base_calibration")

# ---------------------------------------------------------------------------
# Documents: JSON values, with real SKUs and calibration blocks mixed in

json_scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    # Beyond the range of a float, which json.loads reads all the same.
    | st.sampled_from([10**400, -(10**400)])
    # json.loads reads NaN and Infinity too.
    | st.floats()
    | st.text(max_size=20)
)
json_values = st.recursive(
    json_scalars,
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=8), children, max_size=4),
    max_leaves=12,
)


@st.composite
def calibration_blocks(draw, make_calibration_block):
    """A valid block, or one with subtrees replaced by junk."""
    block = make_calibration_block()
    for _ in range(draw(st.integers(0, 3)) if draw(st.booleans()) else 0):
        parent, key = draw(st.sampled_from(list(_slots(block))))
        parent[key] = draw(json_values)
    return block


def _slots(node):
    """(container, key) of every value nested in node."""
    keys = node.keys() if isinstance(node, dict) else range(len(node)) if isinstance(node, list) else ()
    for key in keys:
        yield node, key
        yield from _slots(node[key])


@st.composite
def payloads(draw, make_calibration_block):
    """A plausible document with some fields dropped or replaced by junk,
    beside keys of no meaning."""
    payload = draw(st.dictionaries(st.text(max_size=8), json_values, max_size=3))
    payload.update(
        serial_number=draw(st.text(max_size=12)),
        sku=draw(st.sampled_from(REAL_SKUS)),
        model_name=draw(st.text(max_size=12)),
        base_calibration=draw(calibration_blocks(make_calibration_block)),
    )
    for field in draw(st.sets(st.sampled_from(FIELDS))):
        if draw(st.booleans()):
            payload[field] = draw(json_values)
        else:
            del payload[field]
    return payload


def resolved_by_reference(payload):
    """Whether from_dict resolves the payload, by the documented steps."""
    serial, sku = payload.get("serial_number"), payload.get("sku")
    if not serial or not sku or spec_by_sku(str(sku)) is None:
        return False
    block = payload.get("base_calibration")
    if not isinstance(block, dict):
        return False
    try:
        Calibration.from_dict(block)
    except (ValueError, KeyError, TypeError):
        return False
    return True


@pytest.fixture
def identity_log():
    """Records of the camera_identity logger, without pytest's caplog (which
    hypothesis would share across examples)."""
    records = []
    handler = logging.Handler(logging.DEBUG)
    handler.emit = records.append
    logger = logging.getLogger("quor_camera_sdk.cameras.camera_identity")
    logger.addHandler(handler)
    level = logger.level
    logger.setLevel(logging.DEBUG)
    yield records
    logger.setLevel(level)
    logger.removeHandler(handler)


@PROFILE
@given(data=st.data())
def test_from_dict_resolves_json_payloads_or_returns_none(data, make_calibration_block, identity_log):
    payload = data.draw(payloads(make_calibration_block))
    untouched = copy.deepcopy(payload)
    identity_log.clear()

    record = QuorCameraIdentity.from_dict(payload, os_id="/dev/video0")

    assert payload == untouched
    resolved = resolved_by_reference(payload)
    event("resolved" if resolved else "not resolved")
    if not resolved:
        assert record is None
        # Nothing logged only when there is no serial or SKU to speak of.
        assert len(identity_log) == (1 if payload.get("serial_number") and payload.get("sku") else 0)
        return
    assert identity_log == []
    assert isinstance(record, QuorCameraIdentity)
    assert (record.serial, record.sku) == (str(payload["serial_number"]), str(payload["sku"]))
    assert record.spec is spec_by_sku(record.sku)
    model_name = payload.get("model_name")
    assert record.model_name == (str(model_name) if model_name else "")
    assert QuorCameraIdentity.from_dict(record.to_dict(), os_id=record.os_id) == record


# ---------------------------------------------------------------------------
# Serials on the wire

serials = st.text(
    alphabet=st.characters(exclude_categories=["Cs"]) | st.sampled_from("/?#%&=+; \t\r\n\x00\x7f"), max_size=40
)


@PROFILE
@given(serial=serials)
@example(serial="")
@example(serial="a/b?c=d&serial_number=e#f %41")
def test_serial_reaches_the_service_unchanged(serial, device_info_service):
    device_info_service.requests.clear()
    device_info_service.respond_json(serial, {"serial_number": serial})

    assert device_lookup.fetch_camera_identity_json(serial) == {"serial_number": serial}

    [request] = device_info_service.requests
    path, _, query = request.path.partition("?")
    assert path == "/api/public/camera-identity"
    if serial:
        assert urllib.parse.parse_qs(query, keep_blank_values=True, strict_parsing=True) == {"serial_number": [serial]}
    else:
        assert query == "serial_number="


# ---------------------------------------------------------------------------
# The Windows control table

CONTROL_NAMES = [control.name for control in QUOR_ORIDAN.controls]
controls = st.builds(
    CameraControl,
    name=st.sampled_from(CONTROL_NAMES) | st.text(max_size=8),
    label=st.text(max_size=8),
    kind=st.sampled_from(["number", "enum", "boolean"]),
    value_type=st.sampled_from(["int", "bool"]),
    default=st.integers(),
    min=st.integers(),
    max=st.integers(),
    step=st.integers(),
    unit=st.none() | st.text(max_size=5),
    auto_companion=st.none() | st.sampled_from(CONTROL_NAMES),
    updatable_by_auto=st.booleans(),
    enum_values=st.lists(st.tuples(st.integers(), st.text(max_size=5)), max_size=3).map(tuple),
)


def windows_controls_by_reference(entries):
    out = []
    for control in entries:
        if control.name == "power_line_frequency":
            continue
        if control.name == "exposure":
            control = dataclasses.replace(control, min=-13, max=3, step=1, default=-5, unit="log2(s)")
        out.append(control)
    return tuple(out)


@PROFILE
@given(
    entries=st.lists(controls | st.sampled_from(QUOR_ORIDAN.controls), max_size=12),
    container=st.sampled_from([tuple, list, iter]),
)
def test_windows_controls_follow_the_documented_rule(entries, container):
    argument = container(entries)

    result = _build_windows_controls(argument)

    expected = windows_controls_by_reference(entries)
    assert type(result) is tuple
    assert result == expected
    assert all(got is kept for got, kept in zip(result, expected) if kept.name != "exposure")
    if container is list:
        assert argument == entries
