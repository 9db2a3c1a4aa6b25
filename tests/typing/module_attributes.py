"""A caller of every attribute of the five extension modules, the names
they import included, each read with the type a caller is entitled to.

tests/test_typing.py checks this file with mypy --strict and basedpyright,
and runs it, so every statement is also true of the modules themselves.
Discovery and lookups go over the network: they are only type-checked.
An ignore comment marks a line that the checkers must reject: both report
an ignore comment that suppresses nothing.
"""

import dataclasses
import json
import logging
import typing
import urllib.parse
import urllib.request
from typing import Any, assert_type

import quor_camera_sdk
from quor_camera_sdk.calibration import Calibration
from quor_camera_sdk.cameras import camera_identity, device_lookup, quor_oridan, quor_pockel, quor_sevrine
from quor_camera_sdk.cameras.camera_identity import QuorCameraIdentity
from quor_camera_sdk.cameras.camera_spec import CameraControl, CameraSpec, CaptureMode
from quor_camera_sdk.platform import PlatformBackend

# The package
assert_type(quor_camera_sdk.__version__, str)

# device_lookup
assert device_lookup.json is json and device_lookup.logging is logging
assert device_lookup.urllib.parse is urllib.parse and device_lookup.urllib.request is urllib.request
assert_type(device_lookup.json.loads("[]"), Any)
assert_type(device_lookup.logging.getLogger(__name__), logging.Logger)
assert_type(device_lookup.urllib.parse.quote("QOR 21", safe="-_.~"), str)
assert_type(device_lookup.urllib.request.Request("http://127.0.0.1/"), urllib.request.Request)
assert_type(device_lookup._LOGGER, logging.Logger)
assert_type(device_lookup._CAMERA_IDENTITY_URL, str)
assert_type(device_lookup._user_agent(), str)
assert_type(device_lookup._USER_AGENT, str)
# Rebinding the service URL is how a program picks its service.
device_lookup._CAMERA_IDENTITY_URL = device_lookup._CAMERA_IDENTITY_URL

# camera_identity
assert camera_identity.logging is logging and camera_identity.dataclass is dataclasses.dataclass
assert camera_identity.Optional is typing.Optional
assert camera_identity.Calibration is Calibration and camera_identity.CameraSpec is CameraSpec
assert_type(camera_identity.logging.getLogger(__name__), logging.Logger)
unset_serial: camera_identity.Optional[str] = None
assert_type(camera_identity.current_backend(), PlatformBackend)
assert_type(camera_identity.spec_by_sku("STEREO-CAMERA-POCKEL-WIDE-LENSES-V21"), CameraSpec | None)
assert_type(camera_identity._LOGGER, logging.Logger)


@camera_identity.dataclass(frozen=True)
class Reading:
    serial: str


assert_type(Reading(serial="QOR21A0417").serial, str)


def not_run(payload: dict[str, Any], record: QuorCameraIdentity) -> None:
    # The package's module __getattr__ is hidden from checkers: a misspelt
    # name stays an error.
    print(quor_camera_sdk.__versoin__)  # type: ignore[attr-defined]
    assert_type(camera_identity.fetch_camera_identity_json("QOR21A0417"), dict[str, Any])
    assert_type(device_lookup.fetch_camera_identity_json("QOR21A0417", timeout=2.5), dict[str, Any])
    assert_type(camera_identity.list_connected_quor_cameras(), list[QuorCameraIdentity])
    assert_type(camera_identity.get_first_connected_quor_camera(), QuorCameraIdentity)
    assert_type(camera_identity.get_connected_quor_camera_by_serial("QOR21A0417"), QuorCameraIdentity | None)
    assert_type(QuorCameraIdentity.from_dict(payload, os_id="/dev/video0"), QuorCameraIdentity | None)
    assert_type(record.to_dict(), dict[str, Any])
    assert_type(record.os_id, str)
    assert_type(record.serial, str)
    assert_type(record.sku, str)
    assert_type(record.model_name, str)
    assert_type(record.spec, CameraSpec)
    assert_type(record.base_calibration, Calibration)


# quor_oridan
assert quor_oridan.replace is dataclasses.replace
assert quor_oridan.CameraControl is CameraControl and quor_oridan.CaptureMode is CaptureMode
assert quor_oridan.CameraSpec is CameraSpec
assert_type(quor_oridan.QUOR_ORIDAN, CameraSpec)
assert_type(quor_oridan.replace(quor_oridan.QUOR_ORIDAN, skus=()), CameraSpec)
assert_type(quor_oridan.CaptureMode(640, 480, 30, "MJPG", stereo=True), CaptureMode)
assert_type(quor_oridan.CameraSpec(skus=(), modes=(), controls=()), CameraSpec)
assert_type(quor_oridan.CameraControl(**dataclasses.asdict(quor_oridan.QUOR_ORIDAN.controls[0])), CameraControl)
assert_type(quor_oridan._build_windows_controls(quor_oridan.QUOR_ORIDAN.controls), tuple[CameraControl, ...])
assert_type(quor_oridan._build_windows_controls(list(quor_oridan.QUOR_ORIDAN.controls)), tuple[CameraControl, ...])

# quor_pockel and quor_sevrine
assert quor_pockel.QUOR_ORIDAN is quor_oridan.QUOR_ORIDAN and quor_sevrine.QUOR_ORIDAN is quor_oridan.QUOR_ORIDAN
assert quor_pockel.CameraSpec is CameraSpec and quor_sevrine.CameraSpec is CameraSpec
assert_type(quor_pockel.QUOR_ORIDAN, CameraSpec)
assert_type(quor_pockel._POCKEL_LENSES, tuple[str, ...])
assert_type(quor_pockel._POCKEL_MOUNTS, tuple[str, ...])
assert_type(quor_pockel.QUOR_POCKEL, CameraSpec)
assert_type(quor_sevrine.QUOR_ORIDAN, CameraSpec)
assert_type(quor_sevrine._SEVRINE_LENSES, tuple[str, ...])
assert_type(quor_sevrine.QUOR_SEVRINE, CameraSpec)
