"""Identity of the QUOR cameras attached to this machine."""

from __future__ import annotations

import logging
from dataclasses import dataclass
from typing import Optional

from quor_camera_sdk.calibration import Calibration
from quor_camera_sdk.cameras.camera_spec import CameraSpec, spec_by_sku
from quor_camera_sdk.platform import current_backend

from .device_lookup import fetch_camera_identity_json

_LOGGER = logging.getLogger("quor_camera_sdk.cameras.camera_identity")


@dataclass(frozen=True, slots=True)
class QuorCameraIdentity:
    """One attached QUOR camera, fully resolved."""

    os_id: str
    serial: str
    sku: str
    model_name: str
    spec: CameraSpec
    base_calibration: Calibration

    @classmethod
    def from_dict(cls, payload: dict, *, os_id: str) -> Optional["QuorCameraIdentity"]:
        serial = payload.get("serial_number")
        sku = payload.get("sku")
        if not serial or not sku:
            return None
        spec = spec_by_sku(str(sku))
        if spec is None:
            _LOGGER.warning(
                "camera serial=%s reports SKU %r which is not in the SDK device registry — ignoring this camera. "
                "Add the SKU to the matching CameraSpec.skus in cameras/quor_*.",
                serial,
                sku,
            )
            return None
        cal_block = payload.get("base_calibration")
        if not isinstance(cal_block, dict):
            _LOGGER.error("no base_calibration block for serial=%s", serial)
            return None
        try:
            cal = Calibration.from_dict(cal_block)
        except (ValueError, KeyError, TypeError):
            _LOGGER.exception("calibration deserialize failed for serial=%s", serial)
            return None
        model_name = payload.get("model_name")
        return cls(
            os_id=os_id,
            serial=str(serial),
            sku=str(sku),
            model_name=str(model_name) if model_name else "",
            spec=spec,
            base_calibration=cal,
        )

    def to_dict(self) -> dict:
        return {
            "serial_number": self.serial,
            "sku": self.sku,
            "model_name": self.model_name,
            "base_calibration": self.base_calibration.to_dict(),
        }


def _identify(serial, device) -> QuorCameraIdentity | None:
    try:
        payload = fetch_camera_identity_json(serial)
        if not hasattr(payload, "get"):
            raise TypeError(f"device-information document is a {type(payload).__name__}, not a JSON object")
    except Exception:
        _LOGGER.exception("device-info lookup failed for serial=%s", serial)
        return None
    os_id = device.os_id
    try:
        return QuorCameraIdentity.from_dict(payload, os_id=os_id)
    except RecursionError:
        _LOGGER.exception("device-info lookup failed for serial=%s", serial)
        return None


def list_connected_quor_cameras() -> list[QuorCameraIdentity]:
    cameras = []
    for device in current_backend().list_cameras():
        if not device.serial:
            continue
        camera = _identify(device.serial, device)
        if camera is not None:
            cameras.append(camera)
    return cameras


def get_first_connected_quor_camera() -> QuorCameraIdentity:
    cameras = list_connected_quor_cameras()
    if not cameras:
        raise RuntimeError(
            "no QUOR camera connected (or no connected device's serial is registered in the device-info catalog). "
            "Plug one in, or use list_connected_quor_cameras() to inspect what's seen."
        )
    return cameras[0]


def get_connected_quor_camera_by_serial(serial: str) -> Optional[QuorCameraIdentity]:
    for device in current_backend().list_cameras():
        if device.serial == serial:
            return _identify(serial, device)
    return None
