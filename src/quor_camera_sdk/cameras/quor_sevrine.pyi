"""QUOR Sevrine — CameraSpec.

The wide-field stereo model. Same firmware class as QUOR Oridan: identical
capture modes and UVC control inventory, so it reuses QUOR_ORIDAN's
tables and only its SKU catalogue differs. Its lens range adds
ULTRA-FISHEYE, and its module SKUs carry no mount.
"""

from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN as QUOR_ORIDAN
from quor_camera_sdk.cameras.camera_spec import CameraSpec as CameraSpec

# For the annotations only; not attributes of the module.
from typing import Final

_SEVRINE_LENSES: Final[tuple[str, ...]]
QUOR_SEVRINE: Final[CameraSpec]
