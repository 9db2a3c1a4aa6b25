import logging
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Self

from quor_camera_sdk.calibration import Calibration as Calibration
from quor_camera_sdk.cameras.camera_spec import CameraSpec as CameraSpec
from quor_camera_sdk.cameras.camera_spec import spec_by_sku as spec_by_sku
from quor_camera_sdk.cameras.device_lookup import fetch_camera_identity_json as fetch_camera_identity_json
from quor_camera_sdk.platform import current_backend as current_backend

_LOGGER: logging.Logger

@dataclass(frozen=True, slots=True)
class QuorCameraIdentity:
    os_id: str
    serial: str
    sku: str
    model_name: str
    spec: CameraSpec
    base_calibration: Calibration
    @classmethod
    def from_dict(cls, payload: Mapping[str, Any], *, os_id: str) -> Self | None: ...
    def to_dict(self) -> dict[str, Any]: ...

def list_connected_quor_cameras() -> list[QuorCameraIdentity]: ...
def get_first_connected_quor_camera() -> QuorCameraIdentity: ...
def get_connected_quor_camera_by_serial(serial: str) -> QuorCameraIdentity | None: ...
