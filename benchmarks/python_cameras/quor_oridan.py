"""QUOR Oridan — CameraSpec."""

from dataclasses import replace

from quor_camera_sdk.cameras.camera_spec import CameraControl, CameraSpec, CaptureMode


def _build_windows_controls(controls: "tuple[CameraControl, ...]") -> "tuple[CameraControl, ...]":
    out = []
    for control in controls:
        if control.name == "power_line_frequency":
            continue
        if control.name == "exposure":
            control = replace(control, min=-13, max=3, step=1, default=-5, unit="log2(s)")
        out.append(control)
    return tuple(out)


_ALL_RATES = (30, 25, 20, 15, 10, 7.5, 5)
# (pixel format, width, height, stereo, supported, rates), in enumeration order.
_MODE_RUNS = (
    ("MJPG", 1280, 720, False, True, _ALL_RATES),
    ("MJPG", 640, 480, False, False, _ALL_RATES),
    ("MJPG", 640, 360, False, True, _ALL_RATES),
    ("MJPG", 1280, 712, False, False, _ALL_RATES),
    ("MJPG", 640, 472, False, False, _ALL_RATES),
    ("MJPG", 640, 352, False, False, _ALL_RATES),
    ("MJPG", 2560, 720, True, True, _ALL_RATES),
    ("MJPG", 1280, 480, True, False, _ALL_RATES),
    ("MJPG", 1280, 360, True, True, _ALL_RATES),
    ("YUYV", 1280, 720, False, True, (10, 7.5, 5)),
    ("YUYV", 640, 480, False, False, _ALL_RATES),
    ("YUYV", 640, 360, False, True, _ALL_RATES),
    ("YUYV", 1280, 712, False, False, (10, 7.5, 5)),
    ("YUYV", 640, 472, False, False, _ALL_RATES),
    ("YUYV", 640, 352, False, False, _ALL_RATES),
    ("YUYV", 2560, 720, True, True, (5,)),
    ("YUYV", 1280, 480, True, False, (15, 10, 7.5, 5)),
    ("YUYV", 1280, 360, True, True, (25, 20, 15, 10, 7.5, 5)),
)


def _modes():
    for pixel_format, width, height, stereo, supported, rates in _MODE_RUNS:
        for fps in rates:
            flags = {"stereo": stereo}
            if not supported:
                flags["is_supported"] = False
            if (pixel_format, width, height, fps) == ("MJPG", 1280, 360, 30):
                flags["is_default"] = True
            yield CaptureMode(width, height, fps, pixel_format, **flags)


QUOR_ORIDAN = CameraSpec(
    skus=tuple(
        f"{line}-ORIDAN-{baseline}-BASELINE-{lens}-LENSES-V21"
        for line in ("STEREO-CAMERA", "STEREO-CAMERA-MODULE")
        for baseline in ("ULTRA-SHORT", "SHORT", "REGULAR", "LONG")
        for lens in ("NARROW", "REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE", "ULTRA-FISHEYE", "PANOPTIC")
    ),
    modes=tuple(_modes()),
    controls=(
        CameraControl(name="auto_exposure", label="Auto exposure", kind="enum", value_type="int",
                      enum_values=((1, "Manual"), (3, "Aperture Priority")), default=3, min=0, max=3, step=1),
        CameraControl(name="exposure", label="Exposure", kind="number", value_type="int", unit="100us",
                      auto_companion="auto_exposure", default=312, min=1, max=80000, step=1),
        CameraControl(name="gain", label="Gain", kind="number", value_type="int", auto_companion="auto_exposure",
                      default=32, min=0, max=130, step=1),
        CameraControl(name="brightness", label="Brightness", kind="number", value_type="int",
                      default=0, min=-64, max=64, step=1),
        CameraControl(name="contrast", label="Contrast", kind="number", value_type="int",
                      default=34, min=0, max=64, step=1),
        CameraControl(name="saturation", label="Saturation", kind="number", value_type="int",
                      default=62, min=0, max=78, step=1),
        CameraControl(name="hue", label="Hue", kind="number", value_type="int",
                      default=0, min=-2000, max=2000, step=1),
        CameraControl(name="gamma", label="Gamma", kind="number", value_type="int",
                      default=150, min=100, max=300, step=1),
        CameraControl(name="sharpness", label="Sharpness", kind="number", value_type="int",
                      default=4, min=1, max=7, step=1),
        CameraControl(name="white_balance_auto", label="Auto white balance", kind="boolean", value_type="bool",
                      default=1, min=0, max=1, step=1),
        CameraControl(name="white_balance", label="White balance (K)", kind="number", value_type="int", unit="K",
                      auto_companion="white_balance_auto", updatable_by_auto=False,
                      default=4600, min=2800, max=6500, step=1),
        CameraControl(name="power_line_frequency", label="Power-line frequency", kind="enum", value_type="int",
                      enum_values=((0, "Disabled"), (1, "50 Hz"), (2, "60 Hz")), default=1, min=0, max=2, step=1),
        CameraControl(name="backlight_compensation", label="Backlight compensation", kind="number",
                      value_type="int", default=0, min=0, max=1, step=1),
    ),
)
QUOR_ORIDAN = replace(QUOR_ORIDAN, windows_controls=_build_windows_controls(QUOR_ORIDAN.controls))
