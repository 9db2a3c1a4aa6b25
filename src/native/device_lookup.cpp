// quor_camera_sdk.cameras.device_lookup: the SDK's only network client.
//
// One HTTP GET per camera serial to the maker's device-information service,
// returning the parsed JSON document unchanged. No cache, no retry, nothing
// caught: the caller decides what a failed lookup means.
#include "pysupport.hpp"

namespace {

using namespace quor::py;

// The maker's service host is configured by deployment: rebind
// `_CAMERA_IDENTITY_URL` (the command line's --service-url does) to reach
// the real service or a local one.
constexpr char kServiceUrl[] = "https://devices.quor.example/api/public/camera-identity?serial_number=";
constexpr char kContactSuffix[] = " (+https://devices.quor.example)";
constexpr char kDistribution[] = "quor-camera-sdk";

constexpr char kModuleDoc[] =
    "Client of the maker's device-information web service.\n"
    "\n"
    "fetch_camera_identity_json(serial) returns the JSON document that describes\n"
    "one camera unit. The service URL is the module attribute _CAMERA_IDENTITY_URL\n"
    "and the User-Agent the attribute _USER_AGENT; both are read at every call,\n"
    "so rebinding them redirects later lookups.";

// ---------------------------------------------------------------------------
// _user_agent() -> str

Ref user_agent(PyObject* module, Args) {
    try {
        Ref version = import_from(module, "importlib.metadata", "version");
        Ref installed = call(version.get(), {text(kDistribution).get()});
        Ref formatted = Ref::checked(PyObject_Format(installed.get(), nullptr));
        return Ref::checked(PyUnicode_FromFormat("%s/%U%s", kDistribution, formatted.get(), kContactSuffix));
    } catch (const PythonError&) {
        // Not installed, or unreadable metadata: identify without a version.
        take_error_if(PyExc_Exception);
        return Ref::checked(PyUnicode_FromFormat("%s%s", kDistribution, kContactSuffix));
    }
}

constexpr char kUserAgentDoc[] =
    "_user_agent() -> str\n"
    "\n"
    "The User-Agent of the SDK's requests: \"quor-camera-sdk/<version>\" with the\n"
    "installed distribution's version, or \"quor-camera-sdk\" when the distribution's\n"
    "metadata cannot be read, followed by the maker's contact URL.";

constexpr FunctionSpec kUserAgent{
    .name = "_user_agent",
    .qualname = "_user_agent",
    .doc = kUserAgentDoc,
    .params = {},
    .return_annotation = "str",
    .impl = user_agent,
};
static_assert(well_formed(kUserAgent));

// ---------------------------------------------------------------------------
// fetch_camera_identity_json(camera_serial: str, timeout: float = 10.0) -> dict

Ref fetch_camera_identity_json(PyObject* module, Args args) {
    PyObject* camera_serial = args[0];
    PyObject* timeout = args[1];

    Ref urllib = global(module, "urllib");
    Ref parse = attr(urllib.get(), "parse");
    Ref quote = attr(parse.get(), "quote");
    Ref quoted = call(quote.get(), {camera_serial}, {{"safe", text("-_.~").get()}});
    Ref url = Ref::checked(PyNumber_Add(global(module, "_CAMERA_IDENTITY_URL").get(), quoted.get()));

    call_method(global(module, "_LOGGER").get(), "info", {text("fetching camera-identity from %s").get(), url.get()});

    Ref request_module = attr(urllib.get(), "request");
    Ref request_type = attr(request_module.get(), "Request");
    Ref headers = Ref::checked(PyDict_New());
    set_item(headers.get(), "User-Agent", global(module, "_USER_AGENT").get());
    set_item(headers.get(), "Accept", text("application/json").get());
    Ref request = call(request_type.get(), {url.get()}, {{"headers", headers.get()}});

    Ref urlopen = attr(request_module.get(), "urlopen");
    Ref response = call(urlopen.get(), {request.get()}, {{"timeout", timeout}});
    Ref document = with_context(response.get(), [](PyObject* opened) {
        Ref body = call_method(opened, "read");
        return call_method(body.get(), "decode", {text("utf-8").get()});
    });
    if (!document) {
        // Only a response whose __exit__ swallows the read error gets here,
        // and there is no body to parse.
        raise(PyExc_UnboundLocalError, "cannot access local variable 'text' where it is not associated with a value");
    }

    Ref json = global(module, "json");
    return call_method(json.get(), "loads", {document.get()});
}

constexpr char kFetchDoc[] =
    "fetch_camera_identity_json(camera_serial: str, timeout: float = 10.0) -> dict\n"
    "\n"
    "Query the device-information endpoint for one camera by its serial number.\n"
    "\n"
    "Sends GET _CAMERA_IDENTITY_URL + the percent-encoded serial with the SDK's\n"
    "User-Agent and \"Accept: application/json\", and returns the parsed JSON\n"
    "payload as a dict in the SDK's shape: \"serial_number\", \"sku\", \"model_name\"\n"
    "and \"base_calibration\", with base_calibration at the top level as the\n"
    "server emits it. The payload is not checked; missing fields are the\n"
    "caller's to handle.\n"
    "\n"
    "Raises if the network call fails (connection, TLS, HTTP error status,\n"
    "time-out), if the body is not UTF-8, or if it is malformed JSON.";

constexpr Param kFetchParams[] = {
    {.name = "camera_serial", .annotation = "str"},
    {.name = "timeout", .annotation = "float", .has_default = true},
};

constexpr FunctionSpec kFetch{
    .name = "fetch_camera_identity_json",
    .qualname = "fetch_camera_identity_json",
    .doc = kFetchDoc,
    .params = kFetchParams,
    .return_annotation = "dict",
    .impl = fetch_camera_identity_json,
};
static_assert(well_formed(kFetch));

// ---------------------------------------------------------------------------
// Module

int exec_module(PyObject* module) noexcept {
    return guarded_status([&] {
        set_global(module, "json", import("json"));
        set_global(module, "logging", import("logging"));
        import("urllib.parse");
        import("urllib.request");
        set_global(module, "urllib", import("urllib"));

        Ref get_logger = attr(global(module, "logging").get(), "getLogger");
        set_global(module, "_LOGGER", call(get_logger.get(), {text("quor_camera_sdk.cameras.device_lookup").get()}));
        set_global(module, "_CAMERA_IDENTITY_URL", text(kServiceUrl));
        add_function(module, kUserAgent);
        set_global(module, "_USER_AGENT", call(global(module, "_user_agent").get(), {}));
        Ref default_timeout = Ref::checked(PyFloat_FromDouble(10.0));
        add_function(module, kFetch, {default_timeout.get()});
    });
}

PyModuleDef module_def = module_definition("quor_camera_sdk.cameras.device_lookup", kModuleDoc, module_slots<exec_module>);

}  // namespace

PyMODINIT_FUNC PyInit_device_lookup() { return PyModuleDef_Init(&module_def); }
