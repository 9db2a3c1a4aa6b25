from typing import Final

from quor_camera_sdk.cameras.camera_spec import CameraControl, CameraSpec

QUOR_ORIDAN: Final[CameraSpec]

def _build_windows_controls(controls: tuple[CameraControl, ...]) -> tuple[CameraControl, ...]: ...
