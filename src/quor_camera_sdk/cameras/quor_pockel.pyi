"""QUOR Pockel — CameraSpec.

The compact stereo model. Same firmware class as QUOR Oridan: identical
capture modes and UVC control inventory, so it reuses QUOR_ORIDAN's
tables and only its SKU catalogue differs.
"""

from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN as QUOR_ORIDAN
from quor_camera_sdk.cameras.camera_spec import CameraSpec as CameraSpec

# For the annotations only; not attributes of the module.
from typing import Final

_POCKEL_LENSES: Final[tuple[str, ...]]
_POCKEL_MOUNTS: Final[tuple[str, ...]]
QUOR_POCKEL: Final[CameraSpec]
