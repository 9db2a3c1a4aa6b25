"""QUOR Pockel — CameraSpec."""

from quor_camera_sdk.cameras.camera_spec import CameraSpec

from .quor_oridan import QUOR_ORIDAN

_POCKEL_LENSES = ("REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE")
_POCKEL_MOUNTS = ("NO-MOUNT", "SIDE-MOUNTS")

QUOR_POCKEL = CameraSpec(
    skus=(
        *(f"STEREO-CAMERA-POCKEL-{lens}-LENSES-V21" for lens in _POCKEL_LENSES),
        *(f"STEREO-CAMERA-MODULE-POCKEL-{lens}-LENSES-{mount}-V21" for lens in _POCKEL_LENSES for mount in _POCKEL_MOUNTS),
    ),
    modes=QUOR_ORIDAN.modes,
    controls=QUOR_ORIDAN.controls,
    windows_controls=QUOR_ORIDAN.windows_controls,
)
