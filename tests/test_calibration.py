"""Calibration blocks: exact round trip, and only the documented errors."""

import functools
import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quor_camera_sdk.calibration import Calibration

DELETE = object()
HUGE = 10**400  # valid JSON integer, beyond any float

def exact(value):
    # Distinguishes 1 from 1.0 and True, which == does not.
    return json.dumps(value, sort_keys=True)


def test_round_trip_keeps_every_field_but_the_timestamp(make_calibration_block):
    block = make_calibration_block()

    restored = Calibration.from_dict(block).to_dict()

    del block["calibrated_at"]
    assert exact(restored) == exact(block)


@pytest.mark.parametrize("coefficients", [4, 5, 8])
def test_round_trip_of_every_distortion_length(make_calibration_block, coefficients):
    block = make_calibration_block()
    block["cameras"][1]["distortion"] = [0.5, -1, 0.0, 2e-5, 0, 0, 0.25, -0][:coefficients]

    calibration = Calibration.from_dict(block)

    assert exact(calibration.to_dict()["cameras"][1]["distortion"]) == exact(block["cameras"][1]["distortion"])
    assert Calibration.from_dict(calibration.to_dict()) == calibration


def test_block_without_timestamp_is_accepted(make_calibration_block):
    block = make_calibration_block()
    del block["calibrated_at"]

    assert Calibration.from_dict(block).to_dict() == block


def set_path(block, path, value):
    *parents, last = path
    for key in parents:
        block = block[key]
    if value is DELETE:
        del block[last]
    else:
        block[last] = value


LEFT = ("cameras", 0)


@pytest.mark.parametrize(
    ("path", "value", "error"),
    [
        pytest.param(("version",), DELETE, KeyError, id="version-absent"),
        pytest.param(("version",), 2, ValueError, id="version-old"),
        pytest.param(("version",), "3", ValueError, id="version-text"),
        pytest.param(("version",), 3.0, ValueError, id="version-float"),
        pytest.param(("cameras",), DELETE, KeyError, id="cameras-absent"),
        pytest.param(("cameras",), {"left": {}}, TypeError, id="cameras-object"),
        pytest.param(("cameras",), None, TypeError, id="cameras-null"),
        pytest.param(("cameras",), [], ValueError, id="cameras-empty"),
        pytest.param(LEFT, "left", TypeError, id="camera-text"),
        pytest.param((*LEFT, "role"), DELETE, KeyError, id="role-absent"),
        pytest.param((*LEFT, "role"), "centre", ValueError, id="role-unknown"),
        pytest.param((*LEFT, "role"), ["left"], ValueError, id="role-list"),
        pytest.param(("cameras", 1, "role"), "left", ValueError, id="two-left"),
        pytest.param((*LEFT, "image_size"), DELETE, KeyError, id="size-absent"),
        pytest.param((*LEFT, "image_size"), "1280x720", TypeError, id="size-text"),
        pytest.param((*LEFT, "image_size"), [1280], ValueError, id="size-short"),
        pytest.param((*LEFT, "image_size"), [1280.0, 720], ValueError, id="size-float"),
        pytest.param((*LEFT, "image_size"), [0, 720], ValueError, id="size-zero"),
        pytest.param((*LEFT, "image_size"), [True, 720], TypeError, id="size-bool"),
        pytest.param((*LEFT, "intrinsics"), DELETE, KeyError, id="intrinsics-absent"),
        pytest.param((*LEFT, "intrinsics"), [700, 700, 640, 360], TypeError, id="intrinsics-list"),
        pytest.param((*LEFT, "intrinsics", "cy"), DELETE, KeyError, id="cy-absent"),
        pytest.param((*LEFT, "intrinsics", "fx"), "700", TypeError, id="fx-text"),
        pytest.param((*LEFT, "intrinsics", "fx"), None, TypeError, id="fx-null"),
        pytest.param((*LEFT, "intrinsics", "fx"), 0, ValueError, id="fx-zero"),
        pytest.param((*LEFT, "intrinsics", "fy"), -700.5, ValueError, id="fy-negative"),
        pytest.param((*LEFT, "intrinsics", "cx"), float("nan"), ValueError, id="cx-nan"),
        pytest.param((*LEFT, "intrinsics", "cy"), float("inf"), ValueError, id="cy-inf"),
        pytest.param((*LEFT, "intrinsics", "fx"), HUGE, ValueError, id="fx-huge"),
        pytest.param((*LEFT, "distortion"), DELETE, KeyError, id="distortion-absent"),
        pytest.param((*LEFT, "distortion"), None, ValueError, id="distortion-null"),
        pytest.param((*LEFT, "distortion"), [0.1, 0.2, 0.3], ValueError, id="distortion-3"),
        pytest.param((*LEFT, "distortion"), [0.0] * 6, ValueError, id="distortion-6"),
        pytest.param((*LEFT, "distortion", 0), "-0.17", TypeError, id="distortion-text"),
        pytest.param((*LEFT, "extrinsics"), DELETE, KeyError, id="extrinsics-absent"),
        pytest.param((*LEFT, "extrinsics"), "identity", TypeError, id="extrinsics-text"),
        pytest.param((*LEFT, "extrinsics", "rotation"), DELETE, KeyError, id="rotation-absent"),
        pytest.param((*LEFT, "extrinsics", "rotation"), [[1, 0, 0], [0, 1, 0]], ValueError, id="rotation-2x3"),
        pytest.param((*LEFT, "extrinsics", "rotation", 2), [0, 1], ValueError, id="rotation-3x2"),
        pytest.param((*LEFT, "extrinsics", "rotation", 2), 1, TypeError, id="rotation-row-number"),
        pytest.param((*LEFT, "extrinsics", "translation"), DELETE, KeyError, id="translation-absent"),
        pytest.param((*LEFT, "extrinsics", "translation"), [0, 0], ValueError, id="translation-short"),
        pytest.param(
            (*LEFT, "extrinsics", "translation"), [HUGE, 0, 0], ValueError, id="translation-huge"
        ),
    ],
)
def test_malformed_block_raises_a_documented_error(make_calibration_block, path, value, error):
    block = make_calibration_block()
    set_path(block, path, value)

    with pytest.raises((KeyError, TypeError, ValueError)) as failure:
        Calibration.from_dict(block)

    assert type(failure.value) is error


@pytest.mark.parametrize("block", [None, [], "version: 3", 3])
def test_block_that_is_not_an_object_raises_type_error(block):
    with pytest.raises(TypeError):
        Calibration.from_dict(block)


@functools.cache
def nested(kind, depth):
    """Valid JSON nested `depth` levels deep, as json.loads returns it
    (which reads some 65,000 levels); too deep for repr() of the dicts."""
    value = [] if kind == "list" else {}
    for _ in range(depth):
        value = [value] if kind == "list" else {"a": value}
    return value


DEEP = nested("dict", 60_000)


@pytest.mark.parametrize(
    ("path", "value", "message"),
    [
        (("version",), 2, "base_calibration.version: unsupported format 2"),
        (("version",), DEEP, "base_calibration.version: unsupported format {'a': {'a': {'a': {...}}}}"),
        ((*LEFT, "role"), "centre", "base_calibration.cameras[0].role: 'centre' is not one of ('left', 'right')"),
        ((*LEFT, "role"), DEEP, "base_calibration.cameras[0].role: {'a': {'a': {'a': {...}}}} is not one of ('left', 'right')"),
    ],
    ids=["version", "version-deep", "role", "role-deep"],
)
def test_error_messages_show_the_value(make_calibration_block, path, value, message):
    block = make_calibration_block()
    set_path(block, path, value)

    with pytest.raises(ValueError) as failure:
        Calibration.from_dict(block)

    assert str(failure.value) == message


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.sampled_from([HUGE, -HUGE]) | st.floats() | st.text(max_size=10),
    lambda children: st.lists(children, max_size=3) | st.dictionaries(st.text(max_size=6), children, max_size=3),
    max_leaves=8,
) | st.builds(nested, st.sampled_from(["list", "dict"]), st.sampled_from([1_000, 60_000]))


def positions(block):
    """(container, key) of every value of a block, not descending into
    what was put there: a value may be nested too deep to walk."""
    pending = [block]
    while pending:
        node = pending.pop()
        keys = node.keys() if isinstance(node, dict) else range(len(node)) if isinstance(node, list) else ()
        for key in keys:
            yield node, key
            pending.append(node[key])


@settings(derandomize=True, max_examples=300, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.data())
def test_any_json_anywhere_raises_only_documented_errors(make_calibration_block, data):
    block = make_calibration_block()
    # The block as positions are drawn from; replacing a node drops what was under it.
    original = list(positions(block))
    for parent, key in data.draw(st.lists(st.sampled_from(original), min_size=1, max_size=3)):
        parent[key] = data.draw(json_values)
    if data.draw(st.integers(0, 3)) == 0:
        block = data.draw(json_values)

    try:
        Calibration.from_dict(block)
    except (KeyError, TypeError, ValueError):
        pass
