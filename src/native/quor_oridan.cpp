// quor_camera_sdk.cameras.quor_oridan: the reference stereo model.
//
// The capture modes and the V4L2 control table are literal data, checked at
// compile time against the rules they follow, and turned into camera_spec
// records when the module is imported.
#include "pysupport.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <tuple>

namespace {

using namespace quor::py;

constexpr char kModuleDoc[] =
    "QUOR Oridan — CameraSpec.\n"
    "\n"
    "The reference stereo model. Filled from a run-time probe of an attached\n"
    "unit: the capture modes from `v4l2-ctl --list-formats-ext` on Linux, the\n"
    "controls inventory through VIDIOC_QUERYCTRL. The compact and wide-field\n"
    "models share these tables.";

struct State : ModuleState {
    // Module globals, and the module they come from.
    Name replace, camera_control, camera_spec, capture_mode, build_windows_controls_name, quor_oridan,
        dataclasses_module, camera_spec_module;
    // CameraSpec fields.
    Name skus, modes, controls, windows_controls;
    // CaptureMode flags, and the pixel formats.
    Name stereo, is_supported, is_default, mjpg, yuyv;
    // CameraControl fields.
    Name name, label, kind, value_type, unit, auto_companion, updatable_by_auto, enum_values, default_value, min, max,
        step;
    // The controls that DirectShow has differently, and its exposure unit.
    Name exposure, power_line_frequency, log2_seconds;

    Keywords spec_fields, windows_controls_keyword, exposure_changes, stereo_flag, unsupported_flags, default_flags;
    // DirectShow's exposure range: -13 to 3, step 1, default -5.
    PyObject* exposure_min;
    PyObject* exposure_max;
    PyObject* exposure_step;
    PyObject* exposure_default;

    static PyModuleDef definition;
};

constexpr Interned<State> kNames[] = {
    {&State::replace, "replace"},
    {&State::camera_control, "CameraControl"},
    {&State::camera_spec, "CameraSpec"},
    {&State::capture_mode, "CaptureMode"},
    {&State::build_windows_controls_name, "_build_windows_controls"},
    {&State::quor_oridan, "QUOR_ORIDAN"},
    {&State::dataclasses_module, "dataclasses"},
    {&State::camera_spec_module, "camera_spec"},
    {&State::skus, "skus"},
    {&State::modes, "modes"},
    {&State::controls, "controls"},
    {&State::windows_controls, "windows_controls"},
    {&State::stereo, "stereo"},
    {&State::is_supported, "is_supported"},
    {&State::is_default, "is_default"},
    {&State::mjpg, "MJPG"},
    {&State::yuyv, "YUYV"},
    {&State::name, "name"},
    {&State::label, "label"},
    {&State::kind, "kind"},
    {&State::value_type, "value_type"},
    {&State::unit, "unit"},
    {&State::auto_companion, "auto_companion"},
    {&State::updatable_by_auto, "updatable_by_auto"},
    {&State::enum_values, "enum_values"},
    {&State::default_value, "default"},
    {&State::min, "min"},
    {&State::max, "max"},
    {&State::step, "step"},
    {&State::exposure, "exposure"},
    {&State::power_line_frequency, "power_line_frequency"},
    {&State::log2_seconds, "log2(s)"},
};

constexpr Name State::* kSpecFields[] = {&State::skus, &State::modes, &State::controls};
constexpr Name State::* kWindowsControlsKeyword[] = {&State::windows_controls};
// The order in which DirectShow's exposure range is given.
constexpr Name State::* kExposureChanges[] = {&State::min, &State::max, &State::step, &State::default_value,
                                              &State::unit};
constexpr Name State::* kStereoFlag[] = {&State::stereo};
constexpr Name State::* kUnsupportedFlags[] = {&State::stereo, &State::is_supported};
constexpr Name State::* kDefaultFlags[] = {&State::stereo, &State::is_default};

constexpr CallSite<State> kCalls[] = {
    {&State::spec_fields, kSpecFields},
    {&State::windows_controls_keyword, kWindowsControlsKeyword},
    {&State::exposure_changes, kExposureChanges},
    {&State::stereo_flag, kStereoFlag},
    {&State::unsupported_flags, kUnsupportedFlags},
    {&State::default_flags, kDefaultFlags},
};

constexpr PyObject* State::* kObjects[] = {&State::exposure_min, &State::exposure_max, &State::exposure_step,
                                           &State::exposure_default};

constexpr StateSpec<State> kStateSpec{kNames, kCalls, kObjects};
static_assert(covers_every_reference(kStateSpec));

// ---------------------------------------------------------------------------
// SKU catalogue: line + "-ORIDAN-" + baseline + "-BASELINE-" + lens + "-LENSES-V21"

constexpr const char* kLines[] = {"STEREO-CAMERA", "STEREO-CAMERA-MODULE"};
constexpr const char* kBaselines[] = {"ULTRA-SHORT", "SHORT", "REGULAR", "LONG"};
constexpr const char* kLenses[] = {"NARROW", "REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE", "ULTRA-FISHEYE", "PANOPTIC"};
static_assert(std::size(kLines) * std::size(kBaselines) * std::size(kLenses) == 56);

Ref make_skus() {
    std::array<Ref, std::size(kLines) * std::size(kBaselines) * std::size(kLenses)> skus;
    std::size_t count = 0;
    for (const char* line : kLines) {
        for (const char* baseline : kBaselines) {
            for (const char* lens : kLenses) {
                skus[count++] = Ref::checked(
                    PyUnicode_FromFormat("%s-ORIDAN-%s-BASELINE-%s-LENSES-V21", line, baseline, lens));
            }
        }
    }
    return tuple(skus);
}

// ---------------------------------------------------------------------------
// Capture modes, as the camera enumerates them

enum class Format { mjpg, yuyv };
enum class View { mono, stereo };
enum class Support { supported, unsupported };
enum class Role { regular, default_mode };

struct Mode {
    int width;
    int height;
    double fps;
    Format format;
    View view;
    Support support = Support::supported;
    Role role = Role::regular;
};

constexpr auto mjpg = Format::mjpg;
constexpr auto yuyv = Format::yuyv;
constexpr auto mono = View::mono;
constexpr auto stereo = View::stereo;
constexpr auto supported = Support::supported;
constexpr auto unsupported = Support::unsupported;
constexpr auto default_mode = Role::default_mode;

constexpr Mode kModes[] = {
    // MJPG 1280x720, mono
    {1280, 720, 30, mjpg, mono},
    {1280, 720, 25, mjpg, mono},
    {1280, 720, 20, mjpg, mono},
    {1280, 720, 15, mjpg, mono},
    {1280, 720, 10, mjpg, mono},
    {1280, 720, 7.5, mjpg, mono},
    {1280, 720, 5, mjpg, mono},
    // MJPG 640x480, mono, not supported
    {640, 480, 30, mjpg, mono, unsupported},
    {640, 480, 25, mjpg, mono, unsupported},
    {640, 480, 20, mjpg, mono, unsupported},
    {640, 480, 15, mjpg, mono, unsupported},
    {640, 480, 10, mjpg, mono, unsupported},
    {640, 480, 7.5, mjpg, mono, unsupported},
    {640, 480, 5, mjpg, mono, unsupported},
    // MJPG 640x360, mono
    {640, 360, 30, mjpg, mono},
    {640, 360, 25, mjpg, mono},
    {640, 360, 20, mjpg, mono},
    {640, 360, 15, mjpg, mono},
    {640, 360, 10, mjpg, mono},
    {640, 360, 7.5, mjpg, mono},
    {640, 360, 5, mjpg, mono},
    // MJPG 1280x712, mono, not supported
    {1280, 712, 30, mjpg, mono, unsupported},
    {1280, 712, 25, mjpg, mono, unsupported},
    {1280, 712, 20, mjpg, mono, unsupported},
    {1280, 712, 15, mjpg, mono, unsupported},
    {1280, 712, 10, mjpg, mono, unsupported},
    {1280, 712, 7.5, mjpg, mono, unsupported},
    {1280, 712, 5, mjpg, mono, unsupported},
    // MJPG 640x472, mono, not supported
    {640, 472, 30, mjpg, mono, unsupported},
    {640, 472, 25, mjpg, mono, unsupported},
    {640, 472, 20, mjpg, mono, unsupported},
    {640, 472, 15, mjpg, mono, unsupported},
    {640, 472, 10, mjpg, mono, unsupported},
    {640, 472, 7.5, mjpg, mono, unsupported},
    {640, 472, 5, mjpg, mono, unsupported},
    // MJPG 640x352, mono, not supported
    {640, 352, 30, mjpg, mono, unsupported},
    {640, 352, 25, mjpg, mono, unsupported},
    {640, 352, 20, mjpg, mono, unsupported},
    {640, 352, 15, mjpg, mono, unsupported},
    {640, 352, 10, mjpg, mono, unsupported},
    {640, 352, 7.5, mjpg, mono, unsupported},
    {640, 352, 5, mjpg, mono, unsupported},
    // MJPG 2560x720, stereo
    {2560, 720, 30, mjpg, stereo},
    {2560, 720, 25, mjpg, stereo},
    {2560, 720, 20, mjpg, stereo},
    {2560, 720, 15, mjpg, stereo},
    {2560, 720, 10, mjpg, stereo},
    {2560, 720, 7.5, mjpg, stereo},
    {2560, 720, 5, mjpg, stereo},
    // MJPG 1280x480, stereo, not supported
    {1280, 480, 30, mjpg, stereo, unsupported},
    {1280, 480, 25, mjpg, stereo, unsupported},
    {1280, 480, 20, mjpg, stereo, unsupported},
    {1280, 480, 15, mjpg, stereo, unsupported},
    {1280, 480, 10, mjpg, stereo, unsupported},
    {1280, 480, 7.5, mjpg, stereo, unsupported},
    {1280, 480, 5, mjpg, stereo, unsupported},
    // MJPG 1280x360, stereo
    {1280, 360, 30, mjpg, stereo, supported, default_mode},
    {1280, 360, 25, mjpg, stereo},
    {1280, 360, 20, mjpg, stereo},
    {1280, 360, 15, mjpg, stereo},
    {1280, 360, 10, mjpg, stereo},
    {1280, 360, 7.5, mjpg, stereo},
    {1280, 360, 5, mjpg, stereo},
    // YUYV 1280x720, mono
    {1280, 720, 10, yuyv, mono},
    {1280, 720, 7.5, yuyv, mono},
    {1280, 720, 5, yuyv, mono},
    // YUYV 640x480, mono, not supported
    {640, 480, 30, yuyv, mono, unsupported},
    {640, 480, 25, yuyv, mono, unsupported},
    {640, 480, 20, yuyv, mono, unsupported},
    {640, 480, 15, yuyv, mono, unsupported},
    {640, 480, 10, yuyv, mono, unsupported},
    {640, 480, 7.5, yuyv, mono, unsupported},
    {640, 480, 5, yuyv, mono, unsupported},
    // YUYV 640x360, mono
    {640, 360, 30, yuyv, mono},
    {640, 360, 25, yuyv, mono},
    {640, 360, 20, yuyv, mono},
    {640, 360, 15, yuyv, mono},
    {640, 360, 10, yuyv, mono},
    {640, 360, 7.5, yuyv, mono},
    {640, 360, 5, yuyv, mono},
    // YUYV 1280x712, mono, not supported
    {1280, 712, 10, yuyv, mono, unsupported},
    {1280, 712, 7.5, yuyv, mono, unsupported},
    {1280, 712, 5, yuyv, mono, unsupported},
    // YUYV 640x472, mono, not supported
    {640, 472, 30, yuyv, mono, unsupported},
    {640, 472, 25, yuyv, mono, unsupported},
    {640, 472, 20, yuyv, mono, unsupported},
    {640, 472, 15, yuyv, mono, unsupported},
    {640, 472, 10, yuyv, mono, unsupported},
    {640, 472, 7.5, yuyv, mono, unsupported},
    {640, 472, 5, yuyv, mono, unsupported},
    // YUYV 640x352, mono, not supported
    {640, 352, 30, yuyv, mono, unsupported},
    {640, 352, 25, yuyv, mono, unsupported},
    {640, 352, 20, yuyv, mono, unsupported},
    {640, 352, 15, yuyv, mono, unsupported},
    {640, 352, 10, yuyv, mono, unsupported},
    {640, 352, 7.5, yuyv, mono, unsupported},
    {640, 352, 5, yuyv, mono, unsupported},
    // YUYV 2560x720, stereo
    {2560, 720, 5, yuyv, stereo},
    // YUYV 1280x480, stereo, not supported
    {1280, 480, 15, yuyv, stereo, unsupported},
    {1280, 480, 10, yuyv, stereo, unsupported},
    {1280, 480, 7.5, yuyv, stereo, unsupported},
    {1280, 480, 5, yuyv, stereo, unsupported},
    // YUYV 1280x360, stereo
    {1280, 360, 25, yuyv, stereo},
    {1280, 360, 20, yuyv, stereo},
    {1280, 360, 15, yuyv, stereo},
    {1280, 360, 10, yuyv, stereo},
    {1280, 360, 7.5, yuyv, stereo},
    {1280, 360, 5, yuyv, stereo},
};

// What the table must satisfy. A mistyped row fails the build.
namespace mode_rules {

struct Size {
    int width;
    int height;
};
// Per pixel format, the sizes come in this order; the last three hold both
// views side by side.
constexpr Size kSizeOrder[] = {{1280, 720}, {640, 480}, {640, 360}, {1280, 712}, {640, 472},
                               {640, 352},  {2560, 720}, {1280, 480}, {1280, 360}};
constexpr double kRates[] = {30, 25, 20, 15, 10, 7.5, 5};
// The kit supports these sizes only.
constexpr Size kSupportedSizes[] = {{1280, 720}, {640, 360}, {2560, 720}, {1280, 360}};
// Uncompressed YUYV (2 bytes a pixel) is offered up to this rate of bytes.
constexpr double kYuyvBytesPerSecond = 23'040'000;

constexpr bool has_size(const Mode& mode, const Size& size) {
    return mode.width == size.width && mode.height == size.height;
}
constexpr std::size_t size_rank(const Mode& mode) {
    const auto found = std::ranges::find_if(kSizeOrder, [&](const Size& size) { return has_size(mode, size); });
    return static_cast<std::size_t>(found - std::begin(kSizeOrder));
}
constexpr std::size_t rate_rank(const Mode& mode) {
    return static_cast<std::size_t>(std::ranges::find(kRates, mode.fps) - std::begin(kRates));
}
constexpr bool is_stereo_size(const Mode& mode) { return size_rank(mode) >= 6; }
constexpr bool is_supported_size(const Mode& mode) {
    return std::ranges::any_of(kSupportedSizes, [&](const Size& size) { return has_size(mode, size); });
}
constexpr double yuyv_bytes_per_second(int width, int height, double fps) { return width * height * 2 * fps; }

constexpr bool listed(Format format, const Size& size, double fps) {
    return std::ranges::any_of(kModes, [&](const Mode& mode) {
        return mode.format == format && has_size(mode, size) && mode.fps == fps;
    });
}

constexpr auto count(auto predicate) { return std::ranges::count_if(kModes, predicate); }

// Sorted by format, then size order, then falling rate: also rules out
// duplicates, as equal keys would not be strictly increasing.
constexpr bool strictly_ordered() {
    for (std::size_t i = 0; i < std::size(kModes); ++i) {
        const Mode& mode = kModes[i];
        if (size_rank(mode) == std::size(kSizeOrder) || rate_rank(mode) == std::size(kRates)) return false;
        if (i == 0) continue;
        const Mode& previous = kModes[i - 1];
        auto key = [](const Mode& m) { return std::tuple(m.format, size_rank(m), rate_rank(m)); };
        if (!(key(previous) < key(mode))) return false;
    }
    return true;
}

// MJPG offers every rate at every size; YUYV exactly those within the
// bandwidth, and the nearest rate it leaves out needs 24,576,000 bytes/s.
constexpr bool rates_follow_bandwidth() {
    for (const Size& size : kSizeOrder) {
        for (double fps : kRates) {
            const double bytes = yuyv_bytes_per_second(size.width, size.height, fps);
            if (!listed(Format::mjpg, size, fps)) return false;
            if (listed(Format::yuyv, size, fps) != (bytes <= kYuyvBytesPerSecond)) return false;
            if (!listed(Format::yuyv, size, fps) && bytes < 24'576'000) return false;
        }
    }
    return true;
}

static_assert(std::size(kModes) == 108);
static_assert(count([](const Mode& m) { return m.format == Format::mjpg; }) == 63);
static_assert(count([](const Mode& m) { return m.format == Format::yuyv; }) == 45);
static_assert(count([](const Mode& m) { return m.support == Support::unsupported; }) == 63);
static_assert(count([](const Mode& m) { return m.view == View::stereo; }) == 32);
static_assert(count([](const Mode& m) { return m.fps == 7.5; }) == 17);
static_assert(count([](const Mode& m) { return m.role == Role::default_mode; }) == 1);
static_assert(kModes[56].role == Role::default_mode && kModes[56].width == 1280 && kModes[56].height == 360 &&
              kModes[56].fps == 30 && kModes[56].format == Format::mjpg && kModes[56].view == View::stereo);
static_assert(std::ranges::all_of(kModes, [](const Mode& m) { return (m.view == View::stereo) == is_stereo_size(m); }));
static_assert(std::ranges::all_of(kModes, [](const Mode& m) {
    return (m.support == Support::supported) == is_supported_size(m);
}));
static_assert(std::ranges::none_of(kModes, [](const Mode& m) {
    return m.role == Role::default_mode && m.support == Support::unsupported;
}));
static_assert(strictly_ordered());
static_assert(rates_follow_bandwidth());

}  // namespace mode_rules

Ref make_modes(const State& st) {
    Ref capture_mode = global(st, st.capture_mode);
    std::array<Ref, std::size(kModes)> modes;
    for (std::size_t i = 0; i < std::size(kModes); ++i) {
        const Mode& mode = kModes[i];
        Ref width = integer(mode.width);
        Ref height = integer(mode.height);
        // Whole rates are ints; only 7.5 is a float.
        Ref fps = mode.fps == static_cast<long>(mode.fps) ? integer(static_cast<long>(mode.fps))
                                                         : Ref::checked(PyFloat_FromDouble(mode.fps));
        PyObject* format = (mode.format == Format::mjpg ? st.mjpg : st.yuyv).object;
        PyObject* stereo = mode.view == View::stereo ? Py_True : Py_False;
        // Only the exceptions are spelled out; the rest keep the record's defaults.
        if (mode.support == Support::unsupported) {
            modes[i] = call_kw(capture_mode.get(), {width.get(), height.get(), fps.get(), format},
                               st.unsupported_flags, {stereo, Py_False});
        } else if (mode.role == Role::default_mode) {
            modes[i] = call_kw(capture_mode.get(), {width.get(), height.get(), fps.get(), format}, st.default_flags,
                               {stereo, Py_True});
        } else {
            modes[i] = call_kw(capture_mode.get(), {width.get(), height.get(), fps.get(), format}, st.stereo_flag,
                               {stereo});
        }
    }
    return tuple(modes);
}

// ---------------------------------------------------------------------------
// V4L2 controls, as VIDIOC_QUERYCTRL reports them

struct MenuItem {
    int value;
    const char* label;
};

// V4L2 EXPOSURE_AUTO: 1 manual, 3 automatic time with a fixed aperture. The
// Windows backend maps its on/off flag onto these two values.
constexpr MenuItem kExposureAutoMenu[] = {{1, "Manual"}, {3, "Aperture Priority"}};
constexpr MenuItem kPowerLineMenu[] = {{0, "Disabled"}, {1, "50 Hz"}, {2, "60 Hz"}};

struct Control {
    const char* name;
    const char* label;
    const char* kind;
    const char* value_type;
    const char* unit = nullptr;
    const char* auto_companion = nullptr;
    std::optional<bool> updatable_by_auto = std::nullopt;
    std::span<const MenuItem> enum_values = {};
    int default_value;
    int min;
    int max;
    int step;
};

// Values as the camera reports them, irregular ones included: auto_exposure
// spans 0..3 although its menu has 1 and 3; exposure counts 100 µs units
// from 1; white_balance_auto is a boolean with integer limits.
constexpr Control kControls[] = {
    {.name = "auto_exposure", .label = "Auto exposure", .kind = "enum", .value_type = "int",
     .enum_values = kExposureAutoMenu, .default_value = 3, .min = 0, .max = 3, .step = 1},
    {.name = "exposure", .label = "Exposure", .kind = "number", .value_type = "int", .unit = "100us",
     .auto_companion = "auto_exposure", .default_value = 312, .min = 1, .max = 80000, .step = 1},
    {.name = "gain", .label = "Gain", .kind = "number", .value_type = "int", .auto_companion = "auto_exposure",
     .default_value = 32, .min = 0, .max = 130, .step = 1},
    {.name = "brightness", .label = "Brightness", .kind = "number", .value_type = "int",
     .default_value = 0, .min = -64, .max = 64, .step = 1},
    {.name = "contrast", .label = "Contrast", .kind = "number", .value_type = "int",
     .default_value = 34, .min = 0, .max = 64, .step = 1},
    {.name = "saturation", .label = "Saturation", .kind = "number", .value_type = "int",
     .default_value = 62, .min = 0, .max = 78, .step = 1},
    {.name = "hue", .label = "Hue", .kind = "number", .value_type = "int",
     .default_value = 0, .min = -2000, .max = 2000, .step = 1},
    {.name = "gamma", .label = "Gamma", .kind = "number", .value_type = "int",
     .default_value = 150, .min = 100, .max = 300, .step = 1},
    {.name = "sharpness", .label = "Sharpness", .kind = "number", .value_type = "int",
     .default_value = 4, .min = 1, .max = 7, .step = 1},
    {.name = "white_balance_auto", .label = "Auto white balance", .kind = "boolean", .value_type = "bool",
     .default_value = 1, .min = 0, .max = 1, .step = 1},
    {.name = "white_balance", .label = "White balance (K)", .kind = "number", .value_type = "int", .unit = "K",
     .auto_companion = "white_balance_auto", .updatable_by_auto = false,
     .default_value = 4600, .min = 2800, .max = 6500, .step = 1},
    {.name = "power_line_frequency", .label = "Power-line frequency", .kind = "enum", .value_type = "int",
     .enum_values = kPowerLineMenu, .default_value = 1, .min = 0, .max = 2, .step = 1},
    {.name = "backlight_compensation", .label = "Backlight compensation", .kind = "number", .value_type = "int",
     .default_value = 0, .min = 0, .max = 1, .step = 1},
};

namespace control_rules {

constexpr bool same(const char* a, const char* b) { return std::string_view(a) == std::string_view(b); }

constexpr bool names_unique() {
    for (std::size_t i = 0; i < std::size(kControls); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (same(kControls[i].name, kControls[j].name)) return false;
        }
    }
    return true;
}

// A companion is named earlier in the table, never the entry itself.
constexpr bool companions_precede() {
    for (std::size_t i = 0; i < std::size(kControls); ++i) {
        const char* companion = kControls[i].auto_companion;
        if (companion == nullptr) continue;
        if (std::none_of(kControls, kControls + i, [&](const Control& c) { return same(c.name, companion); })) {
            return false;
        }
    }
    return true;
}

constexpr bool values_consistent(const Control& c) {
    const bool in_range = c.min <= c.default_value && c.default_value <= c.max && c.step == 1;
    const bool is_enum = same(c.kind, "enum");
    if (is_enum != !c.enum_values.empty()) return false;
    if (is_enum && (c.unit || c.auto_companion)) return false;
    const bool default_in_menu = !is_enum || std::ranges::any_of(c.enum_values, [&](const MenuItem& item) {
        return item.value == c.default_value;
    });
    return in_range && default_in_menu;
}

static_assert(std::size(kControls) == 13);
static_assert(names_unique());
static_assert(companions_precede());
static_assert(std::ranges::all_of(kControls, values_consistent));
static_assert(std::ranges::count_if(kControls, [](const Control& c) { return c.updatable_by_auto.has_value(); }) == 1);

}  // namespace control_rules

Ref make_menu(std::span<const MenuItem> menu) {
    std::array<Ref, 4> items;
    for (std::size_t i = 0; i < menu.size(); ++i) {
        items[i] = Ref::checked(Py_BuildValue("(is)", menu[i].value, menu[i].label));
    }
    return tuple(std::span(items.data(), menu.size()));
}

Ref make_controls(const State& st) {
    Ref camera_control = global(st, st.camera_control);
    std::array<Ref, std::size(kControls)> controls;
    for (std::size_t i = 0; i < std::size(kControls); ++i) {
        const Control& control = kControls[i];
        // Keyword order as in the table; optional fields only where given.
        constexpr std::size_t kMaxFields = 12;
        std::array<Name, kMaxFields> names{};
        std::array<Ref, kMaxFields> values;
        std::array<PyObject*, kMaxFields> argv{};
        std::size_t count = 0;
        auto add = [&](Name name, Ref value) {
            names[count] = name;
            argv[count] = value.get();
            values[count++] = std::move(value);
        };
        add(st.name, Ref::checked(PyUnicode_InternFromString(control.name)));
        add(st.label, text(control.label));
        add(st.kind, text(control.kind));
        add(st.value_type, text(control.value_type));
        if (control.unit) add(st.unit, text(control.unit));
        if (control.auto_companion) add(st.auto_companion, text(control.auto_companion));
        if (control.updatable_by_auto) add(st.updatable_by_auto, Ref::checked(PyBool_FromLong(*control.updatable_by_auto)));
        if (!control.enum_values.empty()) add(st.enum_values, make_menu(control.enum_values));
        add(st.default_value, integer(control.default_value));
        add(st.min, integer(control.min));
        add(st.max, integer(control.max));
        add(st.step, integer(control.step));
        Ref keywords = tuple_of(std::span(names.data(), count));
        controls[i] = Ref::checked(PyObject_Vectorcall(camera_control.get(), argv.data(), 0, keywords.get()));
    }
    return tuple(controls);
}

// ---------------------------------------------------------------------------
// _build_windows_controls(controls: tuple[CameraControl, ...]) -> tuple[CameraControl, ...]

bool name_is(const State& st, PyObject* control, Name name) {
    Ref control_name = getattr(control, st.name);
    return equal(control_name.get(), name.object);
}

// The entry as DirectShow sees it: the same record, a copy in DirectShow's
// units, or an empty Ref when DirectShow has no such control.
Ref windows_entry(const State& st, PyObject* control) {
    if (name_is(st, control, st.power_line_frequency)) return Ref();
    if (!name_is(st, control, st.exposure)) return Ref::borrow(control);
    // CameraControl_Exposure counts log2(seconds): 2^-5 s ≈ 31 ms, the V4L2
    // default of 312 × 100 µs.
    Ref replace = global(st, st.replace);
    return call_kw(replace.get(), {control}, st.exposure_changes,
                   {st.exposure_min, st.exposure_max, st.exposure_step, st.exposure_default, st.log2_seconds.object});
}

Ref build_windows_controls(const State& st, Args args) {
    PyObject* controls = args[0];
    Ref out = Ref::checked(PyList_New(0));
    auto take = [&](PyObject* control) {
        if (Ref entry = windows_entry(st, control)) check(PyList_Append(out.get(), entry.get()));
    };
    if (PyTuple_CheckExact(controls)) {
        // Immutable, and kept alive by the caller for the whole call.
        const auto size = static_cast<std::size_t>(PyTuple_GET_SIZE(controls));
        for (PyObject* control : std::span(PySequence_Fast_ITEMS(controls), size)) take(control);
    } else {
        // Lists too: their iterator copes with the list changing under us,
        // from a callback or from another thread.
        Ref iterator = iterate(controls);
        while (Ref control = next(iterator.get())) take(control.get());
    }
    return Ref::checked(PyList_AsTuple(out.get()));
}

constexpr char kBuildWindowsControlsDoc[] =
    "_build_windows_controls(controls: tuple[CameraControl, ...]) -> tuple[CameraControl, ...]\n"
    "\n"
    "Derive the Windows/DirectShow control table from the V4L2 table.\n"
    "\n"
    "Most UVC controls report the same raw ranges through DirectShow's\n"
    "IAMVideoProcAmp as through V4L2's QUERYCTRL: a range probe on a unit found\n"
    "brightness, contrast, saturation, hue, gain, gamma, white_balance,\n"
    "sharpness and backlight_compensation to match, so those entries are\n"
    "carried over as the same records. Two controls differ:\n"
    "\n"
    "- exposure: DirectShow's CameraControl_Exposure counts in log2(seconds),\n"
    "  not in V4L2's units of 100 us. The probed range is -13 to 3 with default\n"
    "  -5 (2^-5 s is about 31 ms, the V4L2 default of 312 x 100 us); the entry is\n"
    "  copied with that range and the unit \"log2(s)\".\n"
    "- power_line_frequency: DirectShow has no IAMVideoProcAmp property for it,\n"
    "  so the entry is dropped and a user interface shows no control that does\n"
    "  nothing.\n"
    "\n"
    "auto_exposure is unchanged: the Windows backend maps its on/off automatic\n"
    "flag onto the V4L2 menu values 1 and 3. Returns a new tuple; the argument\n"
    "may be any iterable of CameraControl records and is not modified.";

constexpr Param<State> kBuildWindowsControlsParams[] = {
    {.name = &State::controls, .annotation = "tuple[CameraControl, ...]"}};

constexpr FunctionSpec<State> kBuildWindowsControls{
    .name = &State::build_windows_controls_name,
    .qualname = nullptr,
    .doc = kBuildWindowsControlsDoc,
    .params = kBuildWindowsControlsParams,
    .return_annotation = "tuple[CameraControl, ...]",
    .impl = build_windows_controls,
};
static_assert(well_formed(kBuildWindowsControls));

// ---------------------------------------------------------------------------
// Module

void exec_module(PyObject* module, State& st) {
    set_global(st, st.replace, import_from(st, st.dataclasses_module, st.replace));
    for (Name name : {st.camera_control, st.camera_spec, st.capture_mode}) {
        set_global(st, name, import_from(st, st.camera_spec_module, name, 1));
    }
    add_function<kBuildWindowsControls>(module, st);
    st.exposure_min = integer(-13).release();
    st.exposure_max = integer(3).release();
    st.exposure_step = integer(1).release();
    st.exposure_default = integer(-5).release();

    Ref skus = make_skus();
    Ref modes = make_modes(st);
    Ref controls = make_controls(st);
    Ref camera_spec = global(st, st.camera_spec);
    set_global(st, st.quor_oridan, call_kw(camera_spec.get(), {}, st.spec_fields, {skus.get(), modes.get(), controls.get()}));

    // The Windows table is derived from the finished V4L2 table, and the
    // spec rebound to a copy that carries it.
    Ref replace = global(st, st.replace);
    Ref reference = global(st, st.quor_oridan);
    Ref build = global(st, st.build_windows_controls_name);
    Ref windows_controls = call(build.get(), getattr(reference.get(), st.controls).get());
    set_global(st, st.quor_oridan,
               call_kw(replace.get(), {reference.get()}, st.windows_controls_keyword, {windows_controls.get()}));
}

}  // namespace

PyModuleDef State::definition =
    module_definition<State, kStateSpec, exec_module>("quor_camera_sdk.cameras.quor_oridan", kModuleDoc);

PyMODINIT_FUNC PyInit_quor_oridan() { return PyModuleDef_Init(&State::definition); }
