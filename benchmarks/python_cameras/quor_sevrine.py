"""QUOR Sevrine — CameraSpec."""

from quor_camera_sdk.cameras.camera_spec import CameraSpec

from .quor_oridan import QUOR_ORIDAN

_SEVRINE_LENSES = ("REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE", "ULTRA-FISHEYE")

QUOR_SEVRINE = CameraSpec(
    skus=(
        *(f"STEREO-CAMERA-SEVRINE-{lens}-LENSES-V21" for lens in _SEVRINE_LENSES),
        *(f"STEREO-CAMERA-MODULE-SEVRINE-{lens}-LENSES-V21" for lens in _SEVRINE_LENSES),
    ),
    modes=QUOR_ORIDAN.modes,
    controls=QUOR_ORIDAN.controls,
    windows_controls=QUOR_ORIDAN.windows_controls,
)
