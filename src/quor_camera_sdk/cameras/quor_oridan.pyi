"""QUOR Oridan — CameraSpec.

The reference stereo model. Filled from a run-time probe of an attached
unit: the capture modes from `v4l2-ctl --list-formats-ext` on Linux, the
controls inventory through VIDIOC_QUERYCTRL. The compact and wide-field
models share these tables.
"""

from dataclasses import replace as replace

from quor_camera_sdk.cameras.camera_spec import CameraControl as CameraControl
from quor_camera_sdk.cameras.camera_spec import CameraSpec as CameraSpec
from quor_camera_sdk.cameras.camera_spec import CaptureMode as CaptureMode

# For the annotations only; not attributes of the module.
from collections.abc import Iterable
from typing import Final

def _build_windows_controls(controls: Iterable[CameraControl]) -> tuple[CameraControl, ...]:
    """_build_windows_controls(controls: tuple[CameraControl, ...]) -> tuple[CameraControl, ...]

    Derive the Windows/DirectShow control table from the V4L2 table.

    Most UVC controls report the same raw ranges through DirectShow's
    IAMVideoProcAmp as through V4L2's QUERYCTRL: a range probe on a unit found
    brightness, contrast, saturation, hue, gain, gamma, white_balance,
    sharpness and backlight_compensation to match, so those entries are
    carried over as the same records. Two controls differ:

    - exposure: DirectShow's CameraControl_Exposure counts in log2(seconds),
      not in V4L2's units of 100 us. The probed range is -13 to 3 with default
      -5 (2^-5 s is about 31 ms, the V4L2 default of 312 x 100 us); the entry is
      copied with that range and the unit "log2(s)".
    - power_line_frequency: DirectShow has no IAMVideoProcAmp property for it,
      so the entry is dropped and a user interface shows no control that does
      nothing.

    auto_exposure is unchanged: the Windows backend maps its on/off automatic
    flag onto the V4L2 menu values 1 and 3. Returns a new tuple; the argument
    may be any iterable of CameraControl records and is not modified.
    """

QUOR_ORIDAN: Final[CameraSpec]
