"""The reference model: capture modes, V4L2 controls, Windows controls, SKUs."""

import annotationlib
import dataclasses
import inspect
from collections import Counter

import pytest

import quor_camera_sdk.cameras.quor_oridan as oridan
from quor_camera_sdk.cameras.camera_spec import CameraControl, CameraSpec, CaptureMode
from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN, _build_windows_controls

MODES = QUOR_ORIDAN.modes
CONTROLS = QUOR_ORIDAN.controls
STEREO_SIZES = {(2560, 720), (1280, 480), (1280, 360)}
UNSUPPORTED_SIZES = {(640, 480), (1280, 712), (640, 472), (640, 352), (1280, 480)}


def test_module_namespace_holds_only_the_published_names():
    public = [name for name in vars(oridan) if not name.startswith("__")]
    assert public == ["replace", "CameraControl", "CameraSpec", "CaptureMode", "_build_windows_controls", "QUOR_ORIDAN"]
    assert oridan.replace is dataclasses.replace
    assert (oridan.CameraControl, oridan.CameraSpec, oridan.CaptureMode) == (CameraControl, CameraSpec, CaptureMode)
    assert oridan.__doc__.startswith("QUOR Oridan — CameraSpec.")


# --- capture modes -----------------------------------------------------------


@pytest.mark.parametrize(
    "index, expected",
    [
        (0, CaptureMode(1280, 720, 30, "MJPG", stereo=False)),
        (7, CaptureMode(640, 480, 30, "MJPG", stereo=False, is_supported=False)),
        (56, CaptureMode(1280, 360, 30, "MJPG", stereo=True, is_default=True)),
        (63, CaptureMode(1280, 720, 10, "YUYV", stereo=False)),
        (97, CaptureMode(2560, 720, 5, "YUYV", stereo=True)),
        (107, CaptureMode(1280, 360, 5, "YUYV", stereo=True)),
    ],
)
def test_singled_out_modes(index, expected):
    assert MODES[index] == expected


def test_mode_totals():
    assert isinstance(MODES, tuple) and len(MODES) == 108
    assert Counter(mode.pixel_format for mode in MODES) == {"MJPG": 63, "YUYV": 45}
    assert sum(mode.stereo for mode in MODES) == 32
    assert Counter((mode.pixel_format, mode.is_supported) for mode in MODES) == {
        ("MJPG", True): 28,
        ("MJPG", False): 35,
        ("YUYV", True): 17,
        ("YUYV", False): 28,
    }
    assert len({(m.width, m.height, m.fps, m.pixel_format) for m in MODES}) == 108


def test_exactly_one_default_mode():
    assert [index for index, mode in enumerate(MODES) if mode.is_default] == [56]


def test_rates_are_ints_except_seven_and_a_half():
    fractional = [mode for mode in MODES if type(mode.fps) is float]
    assert len(fractional) == 17 and all(mode.fps == 7.5 for mode in fractional)
    assert all(type(mode.fps) is int for mode in MODES if mode not in fractional)


def test_support_and_stereo_go_by_frame_size():
    for mode in MODES:
        size = (mode.width, mode.height)
        assert mode.stereo == (size in STEREO_SIZES), mode
        assert mode.is_supported == (size not in UNSUPPORTED_SIZES), mode


def test_yuyv_offers_exactly_the_rates_within_usb_bandwidth():
    sizes = {(mode.width, mode.height) for mode in MODES}
    yuyv = {(m.width, m.height, m.fps) for m in MODES if m.pixel_format == "YUYV"}
    for width, height in sizes:
        for fps in (30, 25, 20, 15, 10, 7.5, 5):
            within = width * height * 2 * fps <= 23_040_000
            assert ((width, height, fps) in yuyv) == within, (width, height, fps)
    assert max(fps for w, h, fps in yuyv if (w, h) == (1280, 360)) == 25
    assert max(fps for w, h, fps in yuyv if (w, h) == (2560, 720)) == 5


# --- V4L2 controls -----------------------------------------------------------

CONTROL_NAMES = [
    "auto_exposure", "exposure", "gain", "brightness", "contrast", "saturation", "hue",
    "gamma", "sharpness", "white_balance_auto", "white_balance", "power_line_frequency",
    "backlight_compensation",
]


def control(name):
    return next(entry for entry in CONTROLS if entry.name == name)


def test_control_names_in_order():
    assert isinstance(CONTROLS, tuple)
    assert [entry.name for entry in CONTROLS] == CONTROL_NAMES


@pytest.mark.parametrize(
    "name, fields",
    [
        ("auto_exposure", dict(kind="enum", value_type="int", enum_values=((1, "Manual"), (3, "Aperture Priority")), default=3, min=0, max=3)),
        ("exposure", dict(kind="number", unit="100us", auto_companion="auto_exposure", default=312, min=1, max=80000)),
        ("gain", dict(auto_companion="auto_exposure", default=32, min=0, max=130)),
        ("contrast", dict(default=34, min=0, max=64)),
        ("white_balance_auto", dict(kind="boolean", value_type="bool", default=1, min=0, max=1)),
        ("white_balance", dict(label="White balance (K)", unit="K", auto_companion="white_balance_auto", updatable_by_auto=False)),
        ("power_line_frequency", dict(kind="enum", enum_values=((0, "Disabled"), (1, "50 Hz"), (2, "60 Hz")), default=1, min=0, max=2)),
        ("backlight_compensation", dict(kind="number", value_type="int", default=0, min=0, max=1)),
    ],
)
def test_singled_out_controls(name, fields):
    entry = control(name)
    assert {key: getattr(entry, key) for key in fields} == fields


def test_white_balance_auto_default_is_an_int_not_a_bool():
    assert type(control("white_balance_auto").default) is int


def test_only_given_fields_leave_the_record_defaults():
    defaults = CameraControl(name="x", label="x", kind="number", value_type="int", default=0, min=0, max=0, step=1)
    given = {"exposure": {"unit", "auto_companion"}, "gain": {"auto_companion"},
             "white_balance": {"unit", "auto_companion", "updatable_by_auto"},
             "auto_exposure": {"enum_values"}, "power_line_frequency": {"enum_values"}}
    for entry in CONTROLS:
        for field in ("unit", "auto_companion", "updatable_by_auto", "enum_values"):
            if field not in given.get(entry.name, set()):
                assert getattr(entry, field) == getattr(defaults, field), (entry.name, field)


def test_control_invariants():
    names = [entry.name for entry in CONTROLS]
    for index, entry in enumerate(CONTROLS):
        assert entry.min <= entry.default <= entry.max and entry.step == 1, entry.name
        if entry.kind == "enum":
            assert entry.default in dict(entry.enum_values)
        if entry.auto_companion:
            assert entry.auto_companion in names[:index]


# --- Windows controls --------------------------------------------------------

WINDOWS_EXPOSURE = dict(unit="log2(s)", min=-13, max=3, step=1, default=-5)


def test_windows_table_shares_all_entries_but_exposure():
    windows = QUOR_ORIDAN.windows_controls
    assert [entry.name for entry in windows] == [n for n in CONTROL_NAMES if n != "power_line_frequency"]
    v4l2 = [entry for entry in CONTROLS if entry.name != "power_line_frequency"]
    for position, (derived, original) in enumerate(zip(windows, v4l2, strict=True)):
        if position == 1:
            assert derived is not original
            assert derived == dataclasses.replace(original, **WINDOWS_EXPOSURE)
            assert (derived.label, derived.auto_companion) == ("Exposure", "auto_exposure")
        else:
            assert derived is original
    assert windows == _build_windows_controls(CONTROLS)


def make_control(name, **fields):
    values = dict(label=name, kind="number", value_type="int", default=0, min=0, max=10, step=1) | fields
    return CameraControl(name=name, **values)


@pytest.mark.parametrize(
    "names, expected",
    [
        ([], []),
        (["gain", "hue"], ["gain", "hue"]),
        (["exposure", "gain", "exposure"], ["exposure*", "gain", "exposure*"]),
        (["power_line_frequency", "gain", "power_line_frequency"], ["gain"]),
        (["Exposure", "POWER_LINE_FREQUENCY", "exposure "], ["Exposure", "POWER_LINE_FREQUENCY", "exposure "]),
    ],
    ids=["empty", "untouched", "every-exposure", "every-power-line", "case-and-blanks-count"],
)
@pytest.mark.parametrize("container", [tuple, list, iter], ids=["tuple", "list", "iterator"])
def test_windows_derivation(names, expected, container):
    table = [make_control(name) for name in names]
    derived = _build_windows_controls(container(table))
    assert type(derived) is tuple
    survivors = iter(entry for entry in table if entry.name != "power_line_frequency")
    for entry, label in zip(derived, expected, strict=True):
        original = next(survivors)
        if label.endswith("*"):
            assert entry == dataclasses.replace(original, **WINDOWS_EXPOSURE)
        else:
            assert entry is original


def test_windows_derivation_leaves_its_argument_alone_and_is_idempotent():
    before = list(CONTROLS)
    once = _build_windows_controls(CONTROLS)
    assert list(CONTROLS) == before and control("exposure").unit == "100us"
    assert _build_windows_controls(once) == once


@pytest.mark.parametrize(
    "argument, error",
    [
        ([object()], AttributeError),
        ([make_control("gain"), 5], AttributeError),
        ([type("Named", (), {"name": "exposure"})()], TypeError),
        (5, TypeError),
    ],
)
def test_windows_derivation_errors_propagate(argument, error):
    with pytest.raises(error):
        _build_windows_controls(argument)


def test_windows_derivation_looks_replace_up_at_call_time(monkeypatch):
    calls = []
    monkeypatch.setattr(oridan, "replace", lambda record, **changes: calls.append(list(changes)) or record)
    _build_windows_controls([make_control("exposure")])
    assert calls == [["min", "max", "step", "default", "unit"]]


def test_windows_derivation_behaves_like_a_def():
    def _build_windows_controls(controls: "tuple[CameraControl, ...]") -> "tuple[CameraControl, ...]": ...

    _build_windows_controls.__qualname__ = "_build_windows_controls"

    native = oridan._build_windows_controls
    assert inspect.signature(native) == inspect.signature(_build_windows_controls)
    assert annotationlib.get_annotations(native) == {
        "controls": "tuple[CameraControl, ...]",
        "return": "tuple[CameraControl, ...]",
    }
    assert "Derive the Windows/DirectShow control table from the V4L2 table." in native.__doc__
    for args, kwargs in [((), {}), ((1, 2), {}), ((), {"control": 1}), ((1,), {"controls": 1})]:
        with pytest.raises(TypeError) as native_error:
            native(*args, **kwargs)
        with pytest.raises(TypeError) as python_error:
            _build_windows_controls(*args, **kwargs)
        assert str(native_error.value) == str(python_error.value)


# --- SKUs ----------------------------------------------------------------------


def test_sku_catalogue():
    skus = QUOR_ORIDAN.skus
    assert isinstance(skus, tuple) and len(skus) == len(set(skus)) == 56
    assert skus[0] == "STEREO-CAMERA-ORIDAN-ULTRA-SHORT-BASELINE-NARROW-LENSES-V21"
    assert skus[15] == "STEREO-CAMERA-ORIDAN-REGULAR-BASELINE-REGULAR-LENSES-V21"
    assert skus[27] == "STEREO-CAMERA-ORIDAN-LONG-BASELINE-PANOPTIC-LENSES-V21"
    assert skus[28] == "STEREO-CAMERA-MODULE-ORIDAN-ULTRA-SHORT-BASELINE-NARROW-LENSES-V21"
    assert skus[-1] == "STEREO-CAMERA-MODULE-ORIDAN-LONG-BASELINE-PANOPTIC-LENSES-V21"
    assert all(sku.endswith("-LENSES-V21") and sku.count("-ORIDAN-") == 1 for sku in skus)
    assert sum(sku.startswith("STEREO-CAMERA-MODULE-") for sku in skus) == 28


def test_spec_keeps_the_record_defaults_elsewhere():
    expected = CameraSpec(skus=QUOR_ORIDAN.skus, modes=MODES, controls=CONTROLS)
    assert dataclasses.replace(QUOR_ORIDAN, windows_controls=()) == expected
