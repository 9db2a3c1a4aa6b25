from typing import Final

from quor_camera_sdk.cameras.camera_spec import CameraSpec

QUOR_SEVRINE: Final[CameraSpec]
