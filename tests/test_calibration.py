"""Calibration blocks: exact round trip, and only the documented errors."""

import json

import pytest

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
