// quor_camera_sdk.cameras.camera_identity: which supported cameras are
// plugged in, as immutable QuorCameraIdentity records.
//
// Collaborators (spec_by_sku, Calibration, current_backend,
// fetch_camera_identity_json, _LOGGER, the record class itself) are looked
// up in the module namespace at every call, so that rebinding one of them
// (a test double, another service) takes effect on the next call.
#include "pysupport.hpp"

namespace {

using namespace quor::py;

constexpr char kModuleName[] = "quor_camera_sdk.cameras.camera_identity";

constexpr char kModuleDoc[] =
    "Identity of the QUOR cameras attached to this machine.\n"
    "\n"
    "list_connected_quor_cameras() enumerates the platform's video devices, looks\n"
    "each serial up at the device-information service, and returns one\n"
    "QuorCameraIdentity per camera that resolves to a registered model. Cameras\n"
    "that do not resolve are left out with one log record on this module's\n"
    "logger saying why.";

constexpr char kClassDoc[] =
    "One attached QUOR camera, fully resolved.\n"
    "\n"
    "While a camera is in use, its record is the single source of truth for\n"
    "the unit's identity (os_id, serial, sku, model_name), its model's\n"
    "capability (spec) and its factory calibration (base_calibration).\n"
    "Records are built by from_dict() or by the discovery functions of this\n"
    "module, and are never mutated.";

constexpr char kUnknownSkuTemplate[] =
    "camera serial=%s reports SKU %r which is not in the SDK device registry — ignoring this camera. "
    "Add the SKU to the matching CameraSpec.skus in cameras/quor_*.";
constexpr char kNoCalibrationTemplate[] = "no base_calibration block for serial=%s";
constexpr char kBadCalibrationTemplate[] = "calibration deserialize failed for serial=%s";
constexpr char kLookupFailedTemplate[] = "device-info lookup failed for serial=%s";
constexpr char kNoCameraMessage[] =
    "no QUOR camera connected (or no connected device's serial is registered in the device-info catalog). "
    "Plug one in, or use list_connected_quor_cameras() to inspect what's seen.";

// Fields of the record, in declaration order, with their annotations.
struct Field {
    const char* name;
    const char* annotation;
};
constexpr Field kFields[] = {
    {"os_id", "str"},         {"serial", "str"}, {"sku", "str"}, {"model_name", "str"},
    {"spec", "CameraSpec"}, {"base_calibration", "Calibration"},
};
static_assert(std::size(kFields) == 6);

// _LOGGER.<level>(message, *arguments): the logger formats the message.
void log(PyObject* module, const char* level, const char* message, std::initializer_list<PyObject*> arguments) {
    Ref template_text = text(message);
    std::vector<PyObject*> positional{template_text.get()};
    positional.insert(positional.end(), arguments.begin(), arguments.end());
    Ref logger = global(module, "_LOGGER");
    Ref method = attr(logger.get(), level);
    call(method.get(), positional, {});
}

// `except <type>: _LOGGER.exception(message, argument())`: the exception
// being raised is consumed if it matches `type` and propagates otherwise.
// `argument` is evaluated while the exception is being handled, as in the
// except block it stands for.
template <class Argument>
void log_caught(PyObject* module, PyObject* type, const char* message, Argument&& argument) {
    Ref error = take_error_if(type);
    HandlingException handling(error.get());
    log(module, "exception", message, {argument().get()});
}

// ---------------------------------------------------------------------------
// QuorCameraIdentity.from_dict(payload, *, os_id) -> Optional['QuorCameraIdentity']

Ref from_dict(PyObject* module, Args args) {
    PyObject* cls = args[0];
    PyObject* payload = args[1];
    PyObject* os_id = args[2];

    Ref serial = call_method(payload, "get", {text("serial_number").get()});
    Ref sku = call_method(payload, "get", {text("sku").get()});
    if (!truthy(serial.get()) || !truthy(sku.get())) return none();

    Ref spec = call(global(module, "spec_by_sku").get(), {str(sku.get()).get()});
    if (spec.get() == Py_None) {
        log(module, "warning", kUnknownSkuTemplate, {serial.get(), sku.get()});
        return none();
    }

    Ref calibration_block = call_method(payload, "get", {text("base_calibration").get()});
    if (!PyDict_Check(calibration_block.get())) {
        log(module, "error", kNoCalibrationTemplate, {serial.get()});
        return none();
    }

    Ref calibration;
    try {
        Ref calibration_type = global(module, "Calibration");
        calibration = call_method(calibration_type.get(), "from_dict", {calibration_block.get()});
    } catch (const PythonError&) {
        // A malformed block is the camera's problem, not the caller's; any
        // other failure is a bug and propagates.
        Ref expected = Ref::checked(PyTuple_Pack(3, PyExc_ValueError, PyExc_KeyError, PyExc_TypeError));
        log_caught(module, expected.get(), kBadCalibrationTemplate, [&] { return serial; });
        return none();
    }

    Ref serial_text = str(serial.get());
    Ref sku_text = str(sku.get());
    Ref model_name = call_method(payload, "get", {text("model_name").get()});
    Ref model_name_text = truthy(model_name.get()) ? str(model_name.get()) : text("");
    return call(cls, {},
                {{"os_id", os_id},
                 {"serial", serial_text.get()},
                 {"sku", sku_text.get()},
                 {"model_name", model_name_text.get()},
                 {"spec", spec.get()},
                 {"base_calibration", calibration.get()}});
}

constexpr char kFromDictDoc[] =
    "Build a record from a device-information payload.\n"
    "\n"
    "payload is the document of the device-information service (anything with\n"
    "a get() method); os_id is the operating system's identifier of the video\n"
    "device, stored unchanged. Returns an instance of the class it is called on,\n"
    "or None when the camera cannot be resolved: no serial number or SKU (not\n"
    "logged), a SKU that no registered model lists (warning), or a missing or\n"
    "malformed base_calibration block (error). Any other failure propagates.";

constexpr Param kFromDictParams[] = {
    {.name = "cls"},
    {.name = "payload", .annotation = "dict"},
    {.name = "os_id", .annotation = "str", .kind = ParamKind::keyword_only},
};

constexpr FunctionSpec kFromDict{
    .name = "from_dict",
    .qualname = "QuorCameraIdentity.from_dict",
    .doc = kFromDictDoc,
    .params = kFromDictParams,
    .return_annotation = "Optional['QuorCameraIdentity']",
    .impl = from_dict,
};
static_assert(well_formed(kFromDict));

// ---------------------------------------------------------------------------
// QuorCameraIdentity.to_dict(self) -> dict

Ref to_dict(PyObject*, Args args) {
    PyObject* self = args[0];
    Ref result = Ref::checked(PyDict_New());
    set_item(result.get(), "serial_number", attr(self, "serial").get());
    set_item(result.get(), "sku", attr(self, "sku").get());
    set_item(result.get(), "model_name", attr(self, "model_name").get());
    Ref calibration = attr(self, "base_calibration");
    set_item(result.get(), "base_calibration", call_method(calibration.get(), "to_dict").get());
    return result;
}

constexpr char kToDictDoc[] =
    "The record's serialised form, the one a recording embeds.\n"
    "\n"
    "A new dict with the keys \"serial_number\", \"sku\", \"model_name\" and\n"
    "\"base_calibration\" (the calibration's own to_dict()). os_id and spec are\n"
    "not included: from_dict() takes os_id separately and finds spec again\n"
    "from the SKU, so from_dict(record.to_dict(), os_id=record.os_id) rebuilds\n"
    "an equal record.";

constexpr Param kToDictParams[] = {{.name = "self"}};

constexpr FunctionSpec kToDict{
    .name = "to_dict",
    .qualname = "QuorCameraIdentity.to_dict",
    .doc = kToDictDoc,
    .params = kToDictParams,
    .return_annotation = "dict",
    .impl = to_dict,
};
static_assert(well_formed(kToDict));

// ---------------------------------------------------------------------------
// Discovery

// `try: return fetch_camera_identity_json(serial())` with any Exception
// logged; an empty Ref tells the caller that the lookup failed. `serial` is
// read inside the try, and read again for the log record.
template <class Serial>
Ref lookup(PyObject* module, Serial&& serial) {
    try {
        Ref fetch = global(module, "fetch_camera_identity_json");
        return call(fetch.get(), {serial().get()});
    } catch (const PythonError&) {
        log_caught(module, PyExc_Exception, kLookupFailedTemplate, serial);
        return Ref();
    }
}

// QuorCameraIdentity.from_dict(payload, os_id=device.os_id)
Ref resolve(PyObject* module, PyObject* payload, PyObject* device) {
    Ref record_type = global(module, "QuorCameraIdentity");
    Ref factory = attr(record_type.get(), "from_dict");
    Ref os_id = attr(device, "os_id");
    return call(factory.get(), {payload}, {{"os_id", os_id.get()}});
}

Ref list_connected_quor_cameras(PyObject* module, Args) {
    Ref backend = call(global(module, "current_backend").get(), {});
    Ref devices = call_method(backend.get(), "list_cameras");
    Ref iterator = Ref::checked(PyObject_GetIter(devices.get()));
    Ref cameras = Ref::checked(PyList_New(0));
    while (Ref device = next(iterator.get())) {
        if (!truthy(attr(device.get(), "serial").get())) continue;
        Ref payload = lookup(module, [&] { return attr(device.get(), "serial"); });
        if (!payload) continue;
        Ref camera = resolve(module, payload.get(), device.get());
        if (camera.get() != Py_None) check(PyList_Append(cameras.get(), camera.get()));
    }
    return cameras;
}

constexpr char kListDoc[] =
    "Every connected camera that the device-information service recognises.\n"
    "\n"
    "Enumerates the platform's video devices, looks each serial number up at\n"
    "the device-information service (one request per device), and keeps the\n"
    "devices for which QuorCameraIdentity.from_dict succeeds, in the platform's\n"
    "order. Devices without a serial are skipped silently; failed lookups and\n"
    "unresolvable payloads are logged and skipped.";

constexpr FunctionSpec kList{
    .name = "list_connected_quor_cameras",
    .qualname = "list_connected_quor_cameras",
    .doc = kListDoc,
    .params = {},
    .return_annotation = "list[QuorCameraIdentity]",
    .impl = list_connected_quor_cameras,
};
static_assert(well_formed(kList));

Ref get_first_connected_quor_camera(PyObject* module, Args) {
    Ref cameras = call(global(module, "list_connected_quor_cameras").get(), {});
    if (!truthy(cameras.get())) raise(PyExc_RuntimeError, kNoCameraMessage);
    return Ref::checked(PySequence_GetItem(cameras.get(), 0));
}

constexpr char kFirstDoc[] =
    "The first connected camera, for applications that use a single camera.\n"
    "\n"
    "Runs the full list_connected_quor_cameras() enumeration and returns its\n"
    "first record. Raises RuntimeError with an explanation, rather than an\n"
    "IndexError, when no registered camera is connected.";

constexpr FunctionSpec kFirst{
    .name = "get_first_connected_quor_camera",
    .qualname = "get_first_connected_quor_camera",
    .doc = kFirstDoc,
    .params = {},
    .return_annotation = "QuorCameraIdentity",
    .impl = get_first_connected_quor_camera,
};
static_assert(well_formed(kFirst));

Ref get_connected_quor_camera_by_serial(PyObject* module, Args args) {
    PyObject* serial = args[0];
    Ref backend = call(global(module, "current_backend").get(), {});
    Ref devices = call_method(backend.get(), "list_cameras");
    Ref iterator = Ref::checked(PyObject_GetIter(devices.get()));
    Ref match;
    while (Ref device = next(iterator.get())) {
        Ref device_serial = attr(device.get(), "serial");
        if (truthy(Ref::checked(PyObject_RichCompare(device_serial.get(), serial, Py_EQ)).get())) {
            match = device;
            break;
        }
    }
    if (!match) return none();
    Ref payload = lookup(module, [&] { return Ref::borrow(serial); });
    if (!payload) return none();
    return resolve(module, payload.get(), match.get());
}

constexpr char kBySerialDoc[] =
    "The connected camera with this serial number, or None.\n"
    "\n"
    "For a caller that already knows which camera it wants: finds the first\n"
    "video device reporting exactly this serial (case and blanks count) and\n"
    "makes a single lookup, instead of one per device. Returns None when no\n"
    "device reports the serial, when the lookup fails (logged), or when the\n"
    "payload does not resolve.";

constexpr Param kBySerialParams[] = {{.name = "serial", .annotation = "str"}};

constexpr FunctionSpec kBySerial{
    .name = "get_connected_quor_camera_by_serial",
    .qualname = "get_connected_quor_camera_by_serial",
    .doc = kBySerialDoc,
    .params = kBySerialParams,
    .return_annotation = "Optional[QuorCameraIdentity]",
    .impl = get_connected_quor_camera_by_serial,
};
static_assert(well_formed(kBySerial));

// ---------------------------------------------------------------------------
// Module

// The record class: a frozen, slotted dataclass made by the dataclasses
// module, with from_dict and to_dict from this file.
Ref make_record_class(PyObject* module) {
    Ref annotations = Ref::checked(PyDict_New());
    for (const Field& field : kFields) set_item(annotations.get(), field.name, text(field.annotation).get());

    Ref namespace_ = Ref::checked(PyDict_New());
    set_item(namespace_.get(), "__module__", text(kModuleName).get());
    set_item(namespace_.get(), "__qualname__", text("QuorCameraIdentity").get());
    set_item(namespace_.get(), "__doc__", text(kClassDoc).get());
    set_item(namespace_.get(), "__annotations__", annotations.get());
    Ref factory = make_function(module, kFromDict);
    set_item(namespace_.get(), "from_dict",
             call(reinterpret_cast<PyObject*>(&PyClassMethod_Type), {factory.get()}).get());
    set_item(namespace_.get(), "to_dict", make_function(module, kToDict).get());

    Ref bases = Ref::checked(PyTuple_New(0));
    Ref plain_class = call(reinterpret_cast<PyObject*>(&PyType_Type),
                           {text("QuorCameraIdentity").get(), bases.get(), namespace_.get()});
    return call(global(module, "dataclass").get(), {plain_class.get()},
                {{"frozen", Py_True}, {"slots", Py_True}});
}

int exec_module(PyObject* module) noexcept {
    return guarded_status([&] {
        set_global(module, "logging", import("logging"));
        set_global(module, "dataclass", import_from(module, "dataclasses", "dataclass"));
        set_global(module, "Optional", import_from(module, "typing", "Optional"));
        set_global(module, "Calibration", import_from(module, "quor_camera_sdk.calibration", "Calibration"));
        set_global(module, "current_backend", import_from(module, "quor_camera_sdk.platform", "current_backend"));
        set_global(module, "fetch_camera_identity_json",
                   import_from(module, "quor_camera_sdk.cameras.device_lookup", "fetch_camera_identity_json"));
        set_global(module, "spec_by_sku", import_from(module, "quor_camera_sdk.cameras.camera_spec", "spec_by_sku"));
        set_global(module, "CameraSpec", import_from(module, "quor_camera_sdk.cameras.camera_spec", "CameraSpec"));

        Ref get_logger = attr(global(module, "logging").get(), "getLogger");
        set_global(module, "_LOGGER", call(get_logger.get(), {text(kModuleName).get()}));
        set_global(module, "QuorCameraIdentity", make_record_class(module));
        add_function(module, kList);
        add_function(module, kFirst);
        add_function(module, kBySerial);
    });
}

PyModuleDef module_def = module_definition(kModuleName, kModuleDoc, module_slots<exec_module>);

}  // namespace

PyMODINIT_FUNC PyInit_camera_identity() { return PyModuleDef_Init(&module_def); }
