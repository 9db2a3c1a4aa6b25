// quor_camera_sdk.cameras.device_lookup: the SDK's only network client.
//
// One HTTP GET per camera serial to the maker's device-information service,
// returning the parsed JSON document unchanged. No cache, no retry, nothing
// caught: the caller decides what a failed lookup means.
#include "pysupport.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <cctype>
#include <optional>
#include <string_view>

namespace {

using namespace quor::py;

constexpr char kModuleDoc[] =
    "Client of the maker's device-information web service.\n"
    "\n"
    "fetch_camera_identity_json(serial) returns the JSON document that describes\n"
    "one camera unit. The service URL is the module attribute _CAMERA_IDENTITY_URL\n"
    "and the User-Agent the attribute _USER_AGENT; both are read at every call,\n"
    "so rebinding them redirects later lookups.";

struct State : ModuleState {
    // Modules and module globals.
    Name json, logging, urllib, urllib_parse, urllib_request, importlib_metadata, logger, service_url,
        user_agent_function, user_agent, fetch_camera_identity_json, version;
    // Attributes and methods.
    Name parse, request, quote, request_type, urlopen, getproxies, build_opener, proxy_handler, open, read, decode,
        loads, info, get_logger, lower;
    // Parameters.
    Name camera_serial, timeout;
    // Constants.
    Name safe, headers, safe_characters, fetching, user_agent_header, accept_header, json_media_type, utf_8, distribution,
        contact_suffix, module_name, service_url_text, no_document;

    Keywords safe_keyword, headers_keyword, timeout_keyword;

    static PyModuleDef definition;
};

constexpr Interned<State> kNames[] = {
    {&State::json, "json"},
    {&State::logging, "logging"},
    {&State::urllib, "urllib"},
    {&State::urllib_parse, "urllib.parse"},
    {&State::urllib_request, "urllib.request"},
    {&State::importlib_metadata, "importlib.metadata"},
    {&State::logger, "_LOGGER"},
    {&State::service_url, "_CAMERA_IDENTITY_URL"},
    {&State::user_agent_function, "_user_agent"},
    {&State::user_agent, "_USER_AGENT"},
    {&State::fetch_camera_identity_json, "fetch_camera_identity_json"},
    {&State::version, "version"},
    {&State::parse, "parse"},
    {&State::request, "request"},
    {&State::quote, "quote"},
    {&State::request_type, "Request"},
    {&State::urlopen, "urlopen"},
    {&State::getproxies, "getproxies"},
    {&State::build_opener, "build_opener"},
    {&State::proxy_handler, "ProxyHandler"},
    {&State::open, "open"},
    {&State::read, "read"},
    {&State::decode, "decode"},
    {&State::loads, "loads"},
    {&State::info, "info"},
    {&State::get_logger, "getLogger"},
    {&State::lower, "lower"},
    {&State::camera_serial, "camera_serial"},
    {&State::timeout, "timeout"},
    {&State::safe, "safe"},
    {&State::headers, "headers"},
    {&State::safe_characters, "-_.~"},
    {&State::fetching, "fetching camera-identity from %s"},
    {&State::user_agent_header, "User-Agent"},
    {&State::accept_header, "Accept"},
    {&State::json_media_type, "application/json"},
    {&State::utf_8, "utf-8"},
    {&State::distribution, "quor-camera-sdk"},
    {&State::contact_suffix, " (+https://devices.quor.example)"},
    {&State::module_name, "quor_camera_sdk.cameras.device_lookup"},
    // The maker's service host is configured by deployment: rebind
    // `_CAMERA_IDENTITY_URL` (the command line's --service-url does) to reach
    // the real service or a local one.
    {&State::service_url_text, "https://devices.quor.example/api/public/camera-identity?serial_number="},
    {&State::no_document, "cannot access local variable 'text' where it is not associated with a value"},
};

constexpr Name State::* kSafeKeyword[] = {&State::safe};
constexpr Name State::* kHeadersKeyword[] = {&State::headers};
constexpr Name State::* kTimeoutKeyword[] = {&State::timeout};

constexpr CallSite<State> kCalls[] = {
    {&State::safe_keyword, kSafeKeyword},
    {&State::headers_keyword, kHeadersKeyword},
    {&State::timeout_keyword, kTimeoutKeyword},
};

constexpr StateSpec<State> kStateSpec{kNames, kCalls, {}};
static_assert(covers_every_reference(kStateSpec));

// ---------------------------------------------------------------------------
// _user_agent() -> str

Ref user_agent(const State& st, Args) {
    try {
        Ref version = import_from(st, st.importlib_metadata, st.version);
        Ref installed = call(version.get(), st.distribution.object);
        Ref formatted = Ref::checked(PyObject_Format(installed.get(), nullptr));
        return Ref::checked(
            PyUnicode_FromFormat("%U/%U%U", st.distribution.object, formatted.get(), st.contact_suffix.object));
    } catch (const PythonError&) {
        // Not installed, or unreadable metadata: identify without a version.
        take_error_if(PyExc_Exception);
        return Ref::checked(PyUnicode_Concat(st.distribution.object, st.contact_suffix.object));
    }
}

constexpr char kUserAgentDoc[] =
    "_user_agent() -> str\n"
    "\n"
    "The User-Agent of the SDK's requests: \"quor-camera-sdk/<version>\" with the\n"
    "installed distribution's version, or \"quor-camera-sdk\" when the distribution's\n"
    "metadata cannot be read, followed by the maker's contact URL.";

constexpr FunctionSpec<State> kUserAgent{
    .name = &State::user_agent_function,
    .qualname = nullptr,
    .doc = kUserAgentDoc,
    .params = {},
    .return_annotation = "str",
    .impl = user_agent,
};
static_assert(well_formed(kUserAgent));

// ---------------------------------------------------------------------------
// fetch_camera_identity_json(camera_serial: str, timeout: float = 10.0) -> dict

// Whether `host` names this machine: localhost, 127.0.0.0/8 (in any form
// the resolver reads, "127.1" too), ::1, or 127.0.0.0/8 mapped into IPv6.
bool is_loopback(const char* host) {
    if (strcasecmp(host, "localhost") == 0) return true;
    if (in_addr v4{}; inet_aton(host, &v4) != 0) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host, &v6) != 1) return false;
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

bool is_hex(char digit) { return std::isxdigit(static_cast<unsigned char>(digit)) != 0; }
int hex_value(char digit) {
    return std::isdigit(static_cast<unsigned char>(digit)) ? digit - '0'
                                                           : std::tolower(static_cast<unsigned char>(digit)) - 'a' + 10;
}

// The scheme of `url` if its host is a loopback address, read as urllib
// reads it: "scheme://authority/...", the authority percent-decoded, then
// without user information, port and IPv6 brackets.
std::optional<std::string_view> loopback_scheme(PyObject* url) {
    if (!PyUnicode_Check(url)) return std::nullopt;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(url, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();  // not encodable: urllib will say so itself
        return std::nullopt;
    }
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    const std::size_t colon = text.find(':');
    if (colon == 0 || colon == std::string_view::npos || text.substr(0, colon).find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view after_scheme = text;
    after_scheme.remove_prefix(colon + 1);
    if (!after_scheme.starts_with("//")) return std::nullopt;
    after_scheme.remove_prefix(2);
    const std::string_view authority = after_scheme.substr(0, after_scheme.find_first_of("/?#"));

    // A loopback host is short; a longer one is not.
    std::array<char, 256> host{};
    std::size_t length = 0;
    for (std::size_t i = 0; i < authority.size(); ++i) {
        if (length + 1 == host.size()) return std::nullopt;
        if (authority[i] == '%' && i + 2 < authority.size() && is_hex(authority[i + 1]) && is_hex(authority[i + 2])) {
            host[length++] = static_cast<char>(hex_value(authority[i + 1]) * 16 + hex_value(authority[i + 2]));
            i += 2;
        } else {
            host[length++] = authority[i];
        }
    }
    std::string_view name(host.data(), length);
    if (const std::size_t at = name.rfind('@'); at != std::string_view::npos) name.remove_prefix(at + 1);
    const std::size_t port = name.rfind(':');
    const std::size_t bracket = name.rfind(']');
    if (port != std::string_view::npos && (bracket == std::string_view::npos || port > bracket)) {
        name = name.substr(0, port);
    }
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name.remove_prefix(1);
        name.remove_suffix(1);
    }
    std::array<char, 256> terminated{};
    std::ranges::copy(name, terminated.begin());
    if (!is_loopback(terminated.data())) return std::nullopt;
    return text.substr(0, colon);
}

// urllib.request.urlopen(request, timeout=timeout). Except that a request
// to a loopback service does not go through a proxy that the environment
// names for its scheme: the proxy would see the serials, and could answer
// in the service's place.
Ref open_request(const State& st, PyObject* request_module, PyObject* url, PyObject* request, PyObject* timeout) {
    if (const auto scheme = loopback_scheme(url)) {
        Ref proxies = call_method(request_module, st.getproxies);
        Ref raw_scheme = Ref::checked(PyUnicode_FromStringAndSize(scheme->data(), static_cast<Py_ssize_t>(scheme->size())));
        Ref scheme_text = call_method(raw_scheme.get(), st.lower);
        const int proxied = PySequence_Contains(proxies.get(), scheme_text.get());
        check(proxied);
        if (proxied) {
            Ref no_proxies = Ref::checked(PyDict_New());
            Ref handler = call_method(request_module, st.proxy_handler, no_proxies.get());
            Ref opener = call_method(request_module, st.build_opener, handler.get());
            return call_method_kw(opener.get(), st.open, {request}, st.timeout_keyword, {timeout});
        }
    }
    return call_method_kw(request_module, st.urlopen, {request}, st.timeout_keyword, {timeout});
}

Ref fetch_camera_identity_json(const State& st, Args args) {
    PyObject* camera_serial = args[0];
    PyObject* timeout = args[1];

    Ref urllib = global(st, st.urllib);
    Ref parse = getattr(urllib.get(), st.parse);
    Ref quoted = call_method_kw(parse.get(), st.quote, {camera_serial}, st.safe_keyword, {st.safe_characters.object});
    Ref url = Ref::checked(PyNumber_Add(global(st, st.service_url).get(), quoted.get()));

    call_method(global(st, st.logger).get(), st.info, st.fetching.object, url.get());

    Ref request_module = getattr(urllib.get(), st.request);
    Ref request_type = getattr(request_module.get(), st.request_type);
    Ref headers = Ref::checked(PyDict_New());
    check(PyDict_SetItem(headers.get(), st.user_agent_header.object, global(st, st.user_agent).get()));
    check(PyDict_SetItem(headers.get(), st.accept_header.object, st.json_media_type.object));
    Ref request = call_kw(request_type.get(), {url.get()}, st.headers_keyword, {headers.get()});

    Ref response = open_request(st, request_module.get(), url.get(), request.get(), timeout);
    Ref document = with_context(st, response.get(), [&](PyObject* opened) {
        Ref body = call_method(opened, st.read);
        return call_method(body.get(), st.decode, st.utf_8.object);
    });
    // Only a response whose __exit__ swallows the read error gets here
    // without a body to parse.
    if (!document) raise(PyExc_UnboundLocalError, st.no_document.object);

    return call_method(global(st, st.json).get(), st.loads, document.get());
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

constexpr Param<State> kFetchParams[] = {
    {.name = &State::camera_serial, .annotation = "str"},
    {.name = &State::timeout, .annotation = "float", .has_default = true},
};

constexpr FunctionSpec<State> kFetch{
    .name = &State::fetch_camera_identity_json,
    .qualname = nullptr,
    .doc = kFetchDoc,
    .params = kFetchParams,
    .return_annotation = "dict",
    .impl = fetch_camera_identity_json,
};
static_assert(well_formed(kFetch));

// ---------------------------------------------------------------------------
// Module

void exec_module(PyObject* module, State& st) {
    set_global(st, st.json, import(st, st.json));
    set_global(st, st.logging, import(st, st.logging));
    import(st, st.urllib_parse);
    set_global(st, st.urllib, import(st, st.urllib_request));

    Ref logging = global(st, st.logging);
    set_global(st, st.logger, call_method(logging.get(), st.get_logger, st.module_name.object));
    set_global(st, st.service_url, Ref::borrow(st.service_url_text.object));
    add_function<kUserAgent>(module, st);
    set_global(st, st.user_agent, call(global(st, st.user_agent_function).get()));
    Ref default_timeout = Ref::checked(PyFloat_FromDouble(10.0));
    add_function<kFetch>(module, st, {default_timeout.get()});
}

}  // namespace

PyModuleDef State::definition =
    module_definition<State, kStateSpec, exec_module>("quor_camera_sdk.cameras.device_lookup", kModuleDoc);

PyMODINIT_FUNC PyInit_device_lookup() { return PyModuleDef_Init(&State::definition); }
