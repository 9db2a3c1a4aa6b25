// quor_camera_sdk.cameras.camera_identity: which supported cameras are
// plugged in, as immutable QuorCameraIdentity records.
//
// Collaborators (spec_by_sku, Calibration, current_backend,
// fetch_camera_identity_json, _LOGGER, the record class itself) are looked
// up in the module namespace at every call, so that rebinding one of them
// (a test double, another service) takes effect on the next call.
#include "pysupport.hpp"

#include <atomic>

namespace {

using namespace quor::py;

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

constexpr std::size_t kFieldCount = 6;

// How from_dict and to_dict reach the record's slots directly: the member of
// each field, and the class's version tag as the class was made.
struct RecordLayout {
    unsigned int version;  // 0: never reach the slots directly
    std::array<PyMemberDef*, kFieldCount> fields;
};

struct State : ModuleState {
    // Record fields, in declaration order; "sku" is also a document key.
    Name os_id, serial, sku, model_name, spec, base_calibration;
    // Document keys.
    Name serial_number;
    // Methods.
    Name get, from_dict, to_dict, list_cameras, warning, error, exception, get_logger;
    // Module globals.
    Name logging, dataclass, optional, calibration, current_backend, fetch_camera_identity_json, spec_by_sku,
        camera_spec, logger, record_class, list_connected_quor_cameras, get_first_connected_quor_camera,
        get_connected_quor_camera_by_serial;
    // Imported modules.
    Name dataclasses_module, typing_module, calibration_module, platform_module, device_lookup_module,
        camera_spec_module;
    // Parameters.
    Name cls, payload, self;
    // Log templates and messages.
    Name unknown_sku, no_calibration, bad_calibration, lookup_failed, no_camera, module_name;
    // The record class's namespace and options.
    Name dunder_module, dunder_qualname, dunder_doc, dunder_annotations, class_doc, frozen, slots;
    Name annotation_text;

    Keywords record_fields, os_id_keyword, dataclass_options;
    PyObject* record_type;  // QuorCameraIdentity as made at import
    RecordLayout layout;

    static PyModuleDef definition;
};

constexpr Interned<State> kNames[] = {
    {&State::os_id, "os_id"},
    {&State::serial, "serial"},
    {&State::sku, "sku"},
    {&State::model_name, "model_name"},
    {&State::spec, "spec"},
    {&State::base_calibration, "base_calibration"},
    {&State::serial_number, "serial_number"},
    {&State::get, "get"},
    {&State::from_dict, "from_dict"},
    {&State::to_dict, "to_dict"},
    {&State::list_cameras, "list_cameras"},
    {&State::warning, "warning"},
    {&State::error, "error"},
    {&State::exception, "exception"},
    {&State::get_logger, "getLogger"},
    {&State::logging, "logging"},
    {&State::dataclass, "dataclass"},
    {&State::optional, "Optional"},
    {&State::calibration, "Calibration"},
    {&State::current_backend, "current_backend"},
    {&State::fetch_camera_identity_json, "fetch_camera_identity_json"},
    {&State::spec_by_sku, "spec_by_sku"},
    {&State::camera_spec, "CameraSpec"},
    {&State::logger, "_LOGGER"},
    {&State::record_class, "QuorCameraIdentity"},
    {&State::list_connected_quor_cameras, "list_connected_quor_cameras"},
    {&State::get_first_connected_quor_camera, "get_first_connected_quor_camera"},
    {&State::get_connected_quor_camera_by_serial, "get_connected_quor_camera_by_serial"},
    {&State::dataclasses_module, "dataclasses"},
    {&State::typing_module, "typing"},
    {&State::calibration_module, "quor_camera_sdk.calibration"},
    {&State::platform_module, "quor_camera_sdk.platform"},
    {&State::device_lookup_module, "quor_camera_sdk.cameras.device_lookup"},
    {&State::camera_spec_module, "quor_camera_sdk.cameras.camera_spec"},
    {&State::cls, "cls"},
    {&State::payload, "payload"},
    {&State::self, "self"},
    {&State::unknown_sku,
     "camera serial=%s reports SKU %r which is not in the SDK device registry — ignoring this camera. "
     "Add the SKU to the matching CameraSpec.skus in cameras/quor_*."},
    {&State::no_calibration, "no base_calibration block for serial=%s"},
    {&State::bad_calibration, "calibration deserialize failed for serial=%s"},
    {&State::lookup_failed, "device-info lookup failed for serial=%s"},
    {&State::no_camera,
     "no QUOR camera connected (or no connected device's serial is registered in the device-info catalog). "
     "Plug one in, or use list_connected_quor_cameras() to inspect what's seen."},
    {&State::module_name, "quor_camera_sdk.cameras.camera_identity"},
    {&State::dunder_module, "__module__"},
    {&State::dunder_qualname, "__qualname__"},
    {&State::dunder_doc, "__doc__"},
    {&State::dunder_annotations, "__annotations__"},
    {&State::class_doc, kClassDoc},
    {&State::frozen, "frozen"},
    {&State::slots, "slots"},
    {&State::annotation_text, "str"},
};

// The record's fields in declaration order, with their annotations. Those
// of spec and base_calibration name the module globals CameraSpec and
// Calibration, which is what lets get_type_hints resolve them.
constexpr Name State::* kFields[] = {&State::os_id, &State::serial, &State::sku,
                                     &State::model_name, &State::spec, &State::base_calibration};
constexpr Name State::* kFieldAnnotations[] = {&State::annotation_text, &State::annotation_text,
                                               &State::annotation_text, &State::annotation_text,
                                               &State::camera_spec, &State::calibration};
static_assert(std::size(kFields) == kFieldCount && std::size(kFieldAnnotations) == kFieldCount);

constexpr Name State::* kOsIdKeyword[] = {&State::os_id};
constexpr Name State::* kDataclassOptions[] = {&State::frozen, &State::slots};

constexpr CallSite<State> kCalls[] = {
    {&State::record_fields, kFields},
    {&State::os_id_keyword, kOsIdKeyword},
    {&State::dataclass_options, kDataclassOptions},
};

constexpr PyObject* State::* kObjects[] = {&State::record_type};

constexpr StateSpec<State> kStateSpec{kNames, kCalls, kObjects};
static_assert(covers_every_reference(kStateSpec, sizeof(RecordLayout)));

// _LOGGER.<level>(template, *arguments): the logger formats the message.
template <class... Arguments>
void log(const State& st, Name level, Name message, Arguments... arguments) {
    call_method(global(st, st.logger).get(), level, message.object, arguments...);
}

// `except <type>: _LOGGER.exception(message, argument())`: the exception
// being raised is consumed if it matches `type` and propagates otherwise.
// `argument` is evaluated while the exception is being handled, as in the
// except block it stands for.
template <class Argument>
void log_caught(const State& st, PyObject* type, Name message, Argument&& argument) {
    Ref error = take_error_if(type);
    HandlingException handling(error.get());
    log(st, st.exception, message, argument().get());
}

// ---------------------------------------------------------------------------
// The record class

// Whether `type` is QuorCameraIdentity exactly as it was made at import.
// Any change to the class (an __init__ or a __new__ set on it, a field's
// descriptor replaced) gives it a new version tag; CPython's specialised
// instructions rely on the same guard.
bool is_pristine_record_class(const State& st, PyObject* type) {
    if (type != st.record_type || st.layout.version == 0) return false;
    auto& tag = reinterpret_cast<PyTypeObject*>(type)->tp_version_tag;
    return std::atomic_ref(tag).load(std::memory_order_relaxed) == st.layout.version;
}

// cls(os_id=..., serial=..., ...). For the class as made at import this is
// what its generated __init__ would do: store each field in its slot.
Ref make_record(const State& st, PyObject* cls, const std::array<PyObject*, kFieldCount>& fields) {
    if (!is_pristine_record_class(st, cls)) {
        return call_kw(cls, {}, st.record_fields, {fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]});
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    Ref record = Ref::checked(type->tp_alloc(type, 0));
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        check(PyMember_SetOne(reinterpret_cast<char*>(record.get()), st.layout.fields[i], fields[i]));
    }
    return record;
}

// record.<field>: straight from its slot when the record is of the class
// as made at import, where the descriptor lookup would find that slot.
Ref field_of(const State& st, PyObject* record, bool pristine, std::size_t index) {
    if (!pristine) return getattr(record, st.*kFields[index]);
    return Ref::checked(PyMember_GetOne(reinterpret_cast<const char*>(record), st.layout.fields[index]));
}

// payload.get(key). An exact dict's get cannot be overridden, so it is read
// directly; anything else answers through its own get.
Ref document_get(const State& st, PyObject* payload, Name key) {
    if (!PyDict_CheckExact(payload)) return call_method(payload, st.get, key.object);
    PyObject* value = nullptr;
    check(PyDict_GetItemRef(payload, key.object, &value));
    return value ? Ref::steal(value) : none();
}

// ---------------------------------------------------------------------------
// QuorCameraIdentity.from_dict(payload, *, os_id) -> Optional['QuorCameraIdentity']

Ref from_dict(const State& st, Args args) {
    PyObject* cls = args[0];
    PyObject* payload = args[1];
    PyObject* os_id = args[2];

    Ref serial = document_get(st, payload, st.serial_number);
    Ref sku = document_get(st, payload, st.sku);
    if (!truthy(serial.get()) || !truthy(sku.get())) return none();

    Ref spec = call(global(st, st.spec_by_sku).get(), str(sku.get()).get());
    if (spec.get() == Py_None) {
        log(st, st.warning, st.unknown_sku, serial.get(), sku.get());
        return none();
    }

    Ref calibration_block = document_get(st, payload, st.base_calibration);
    if (!PyDict_Check(calibration_block.get())) {
        log(st, st.error, st.no_calibration, serial.get());
        return none();
    }

    Ref calibration;
    try {
        calibration = call_method(global(st, st.calibration).get(), st.from_dict, calibration_block.get());
    } catch (const PythonError&) {
        // A malformed block is the camera's problem, not the caller's; any
        // other failure is a bug and propagates.
        Ref expected = Ref::checked(PyTuple_Pack(3, PyExc_ValueError, PyExc_KeyError, PyExc_TypeError));
        log_caught(st, expected.get(), st.bad_calibration, [&] { return serial; });
        return none();
    }

    Ref serial_text = str(serial.get());
    Ref sku_text = str(sku.get());
    Ref model_name = document_get(st, payload, st.model_name);
    Ref model_name_text = truthy(model_name.get()) ? str(model_name.get()) : empty_text();
    return make_record(st, cls,
                       {os_id, serial_text.get(), sku_text.get(), model_name_text.get(), spec.get(), calibration.get()});
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

constexpr Param<State> kFromDictParams[] = {
    {.name = &State::cls},
    {.name = &State::payload, .annotation = "dict"},
    {.name = &State::os_id, .annotation = "str", .kind = ParamKind::keyword_only},
};

constexpr FunctionSpec<State> kFromDict{
    .name = &State::from_dict,
    .qualname = "QuorCameraIdentity.from_dict",
    .doc = kFromDictDoc,
    .params = kFromDictParams,
    .return_annotation = "Optional['QuorCameraIdentity']",
    .impl = from_dict,
};
static_assert(well_formed(kFromDict));

// ---------------------------------------------------------------------------
// QuorCameraIdentity.to_dict(self) -> dict

Ref to_dict(const State& st, Args args) {
    PyObject* self = args[0];
    const bool pristine = is_pristine_record_class(st, reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Ref serial = field_of(st, self, pristine, 1);
    Ref sku = field_of(st, self, pristine, 2);
    Ref model_name = field_of(st, self, pristine, 3);
    Ref calibration = field_of(st, self, pristine, 5);
    Ref block = call_method(calibration.get(), st.to_dict);
    Ref result = Ref::checked(PyDict_New());
    check(PyDict_SetItem(result.get(), st.serial_number.object, serial.get()));
    check(PyDict_SetItem(result.get(), st.sku.object, sku.get()));
    check(PyDict_SetItem(result.get(), st.model_name.object, model_name.get()));
    check(PyDict_SetItem(result.get(), st.base_calibration.object, block.get()));
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

constexpr Param<State> kToDictParams[] = {{.name = &State::self}};

constexpr FunctionSpec<State> kToDict{
    .name = &State::to_dict,
    .qualname = "QuorCameraIdentity.to_dict",
    .doc = kToDictDoc,
    .params = kToDictParams,
    .return_annotation = "dict",
    .impl = to_dict,
};
static_assert(well_formed(kToDict));

// ---------------------------------------------------------------------------
// Discovery

// `try: payload = fetch_camera_identity_json(serial())` with any Exception
// logged; a document that is not a JSON object (nothing with a get) fails
// the lookup too. An empty Ref tells the caller that the lookup failed.
// `serial` is read inside the try, and read again for the log record.
template <class Serial>
Ref lookup(const State& st, Serial&& serial) {
    try {
        Ref payload = call(global(st, st.fetch_camera_identity_json).get(), serial().get());
        if (!PyDict_Check(payload.get())) {
            const int has_get = PyObject_HasAttrWithError(payload.get(), st.get.object);
            check(has_get);
            if (has_get == 0) {
                PyErr_Format(PyExc_TypeError, "device-information document is a %T, not a JSON object",
                             payload.get());
                throw PythonError();
            }
        }
        return payload;
    } catch (const PythonError&) {
        log_caught(st, PyExc_Exception, st.lookup_failed, serial);
        return Ref();
    }
}

// QuorCameraIdentity.from_dict(payload, os_id=device.os_id). A document too
// deeply nested to convert to text fails that camera's lookup, logged like
// the others; anything else from_dict raises propagates.
template <class Serial>
Ref resolve(const State& st, PyObject* payload, PyObject* device, Serial&& serial) {
    Ref factory = getattr(global(st, st.record_class).get(), st.from_dict);
    Ref os_id = getattr(device, st.os_id);
    try {
        return call_kw(factory.get(), {payload}, st.os_id_keyword, {os_id.get()});
    } catch (const PythonError&) {
        log_caught(st, PyExc_RecursionError, st.lookup_failed, serial);
        return none();
    }
}

Ref list_connected_quor_cameras(const State& st, Args) {
    Ref backend = call(global(st, st.current_backend).get());
    Ref devices = call_method(backend.get(), st.list_cameras);
    Ref iterator = iterate(devices.get());
    Ref cameras = Ref::checked(PyList_New(0));
    while (Ref device = next(iterator.get())) {
        if (!truthy(getattr(device.get(), st.serial).get())) continue;
        auto serial = [&] { return getattr(device.get(), st.serial); };
        Ref payload = lookup(st, serial);
        if (!payload) continue;
        Ref camera = resolve(st, payload.get(), device.get(), serial);
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

constexpr FunctionSpec<State> kList{
    .name = &State::list_connected_quor_cameras,
    .qualname = nullptr,
    .doc = kListDoc,
    .params = {},
    .return_annotation = "list[QuorCameraIdentity]",
    .impl = list_connected_quor_cameras,
};
static_assert(well_formed(kList));

Ref get_first_connected_quor_camera(const State& st, Args) {
    Ref cameras = call(global(st, st.list_connected_quor_cameras).get());
    if (!truthy(cameras.get())) raise(PyExc_RuntimeError, st.no_camera.object);
    return Ref::checked(PySequence_GetItem(cameras.get(), 0));
}

constexpr char kFirstDoc[] =
    "The first connected camera, for applications that use a single camera.\n"
    "\n"
    "Runs the full list_connected_quor_cameras() enumeration and returns its\n"
    "first record. Raises RuntimeError with an explanation, rather than an\n"
    "IndexError, when no registered camera is connected.";

constexpr FunctionSpec<State> kFirst{
    .name = &State::get_first_connected_quor_camera,
    .qualname = nullptr,
    .doc = kFirstDoc,
    .params = {},
    .return_annotation = "QuorCameraIdentity",
    .impl = get_first_connected_quor_camera,
};
static_assert(well_formed(kFirst));

Ref get_connected_quor_camera_by_serial(const State& st, Args args) {
    PyObject* serial = args[0];
    Ref backend = call(global(st, st.current_backend).get());
    Ref devices = call_method(backend.get(), st.list_cameras);
    Ref iterator = iterate(devices.get());
    Ref match;
    while (Ref device = next(iterator.get())) {
        if (equal(getattr(device.get(), st.serial).get(), serial)) {
            match = device;
            break;
        }
    }
    if (!match) return none();
    auto wanted = [&] { return Ref::borrow(serial); };
    Ref payload = lookup(st, wanted);
    if (!payload) return none();
    return resolve(st, payload.get(), match.get(), wanted);
}

constexpr char kBySerialDoc[] =
    "The connected camera with this serial number, or None.\n"
    "\n"
    "For a caller that already knows which camera it wants: finds the first\n"
    "video device reporting exactly this serial (case and blanks count) and\n"
    "makes a single lookup, instead of one per device. Returns None when no\n"
    "device reports the serial, when the lookup fails (logged), or when the\n"
    "payload does not resolve.";

constexpr Param<State> kBySerialParams[] = {{.name = &State::serial, .annotation = "str"}};

constexpr FunctionSpec<State> kBySerial{
    .name = &State::get_connected_quor_camera_by_serial,
    .qualname = nullptr,
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
Ref make_record_class(PyObject* module, const State& st) {
    Ref annotations = Ref::checked(PyDict_New());
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        check(PyDict_SetItem(annotations.get(), (st.*kFields[i]).object, (st.*kFieldAnnotations[i]).object));
    }
    Ref namespace_ = Ref::checked(PyDict_New());
    check(PyDict_SetItem(namespace_.get(), st.dunder_module.object, st.module_name.object));
    check(PyDict_SetItem(namespace_.get(), st.dunder_qualname.object, st.record_class.object));
    check(PyDict_SetItem(namespace_.get(), st.dunder_doc.object, st.class_doc.object));
    check(PyDict_SetItem(namespace_.get(), st.dunder_annotations.object, annotations.get()));
    Ref factory = call(reinterpret_cast<PyObject*>(&PyClassMethod_Type), make_function<kFromDict>(module, st).get());
    check(PyDict_SetItem(namespace_.get(), st.from_dict.object, factory.get()));
    check(PyDict_SetItem(namespace_.get(), st.to_dict.object, make_function<kToDict>(module, st).get()));

    Ref bases = Ref::checked(PyTuple_New(0));
    Ref plain_class = call(reinterpret_cast<PyObject*>(&PyType_Type), st.record_class.object, bases.get(),
                           namespace_.get());
    return call_kw(global(st, st.dataclass).get(), {plain_class.get()}, st.dataclass_options, {Py_True, Py_True});
}

// Where each field's slot is, and the class's version tag now that it is
// complete. A layout other than the one dataclasses makes for slots leaves
// the direct path unused.
RecordLayout record_layout(const State& st, PyObject* record_type) {
    RecordLayout layout{};
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        Ref descriptor = getattr(record_type, st.*kFields[i]);
        if (!Py_IS_TYPE(descriptor.get(), &PyMemberDescr_Type)) return {};
        PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor.get())->d_member;
        if (member->type != Py_T_OBJECT_EX || (member->flags & Py_READONLY) != 0) return {};
        layout.fields[i] = member;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(record_type);
    if (type->tp_new != PyBaseObject_Type.tp_new || !PyUnstable_Type_AssignVersionTag(type)) return {};
    layout.version = type->tp_version_tag;
    return layout;
}

void exec_module(PyObject* module, State& st) {
    set_global(st, st.logging, import(st, st.logging));
    set_global(st, st.dataclass, import_from(st, st.dataclasses_module, st.dataclass));
    set_global(st, st.optional, import_from(st, st.typing_module, st.optional));
    set_global(st, st.calibration, import_from(st, st.calibration_module, st.calibration));
    set_global(st, st.current_backend, import_from(st, st.platform_module, st.current_backend));
    set_global(st, st.fetch_camera_identity_json,
               import_from(st, st.device_lookup_module, st.fetch_camera_identity_json));
    set_global(st, st.spec_by_sku, import_from(st, st.camera_spec_module, st.spec_by_sku));
    set_global(st, st.camera_spec, import_from(st, st.camera_spec_module, st.camera_spec));

    Ref logging = global(st, st.logging);
    set_global(st, st.logger, call_method(logging.get(), st.get_logger, st.module_name.object));
    Ref record_type = make_record_class(module, st);
    set_global(st, st.record_class, record_type);
    add_function<kList>(module, st);
    add_function<kFirst>(module, st);
    add_function<kBySerial>(module, st);
    st.layout = record_layout(st, record_type.get());
    st.record_type = record_type.release();
}

}  // namespace

PyModuleDef State::definition =
    module_definition<State, kStateSpec, exec_module>("quor_camera_sdk.cameras.camera_identity", kModuleDoc);

PyMODINIT_FUNC PyInit_camera_identity() { return PyModuleDef_Init(&State::definition); }
