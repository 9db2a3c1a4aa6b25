// Support layer shared by the package's extension modules.
//
// - `Ref`, an owned strong reference. Raw `PyObject*` parameters and locals
//   are borrowed; anything that owns a reference is a `Ref`.
// - `PythonError`, thrown when a Python exception is set. `guarded()` turns
//   it back into the NULL or -1 that CPython expects at the module boundary,
//   so the code in between reads top to bottom and releases what it owns by
//   unwinding.
// - Call, attribute, import and module-namespace helpers.
// - `make_function()`, a callable that behaves like a `def`: the
//   interpreter's own argument errors, string annotations, `__doc__`,
//   `__qualname__`, `__signature__`, and binding as a method when stored on
//   a class. Its parameters are declared as constexpr data (`FunctionSpec`).
// - The module definition every extension shares: multi-phase init, the
//   function type kept in module state, no process-wide mutable state, so
//   the modules load in isolated subinterpreters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quor::py {

// ---------------------------------------------------------------------------
// Errors and references

class PythonError final : public std::exception {
public:
    const char* what() const noexcept override { return "a Python exception is set"; }
};

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError();
}

inline void check(int status) {
    if (status < 0) throw PythonError();
}

class Ref {
public:
    constexpr Ref() noexcept = default;
    // Takes over a reference the caller owns.
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }
    // Takes over the result of a C API call; NULL means a Python error is set.
    static Ref checked(PyObject* result) {
        if (result == nullptr) throw PythonError();
        return Ref(result);
    }

    Ref(const Ref& other) noexcept : object_(Py_XNewRef(other.object_)) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }

// Called in a catch block at a C API boundary: leaves the matching Python
// exception set. A PythonError already has one.
inline void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
}

// Runs `body`, which returns a Ref, where CPython expects a new reference
// or NULL with an exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// The same for slots that report failure as -1.
template <class Body>
int guarded_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

// Where Python code says `except <type>:` — takes the exception being
// raised out of the thread state if it is an instance of `type`, and lets
// any other exception propagate.
inline Ref take_error_if(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) throw PythonError();
    return Ref::steal(PyErr_GetRaisedException());
}

// Makes `exception` the one being handled (what `sys.exc_info()` reports)
// for the lifetime of the scope, as inside an `except` block: so that
// `logger.exception()` attaches it and anything raised meanwhile chains it.
class HandlingException {
public:
    explicit HandlingException(PyObject* exception) : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exception);
    }
    ~HandlingException() { PyErr_SetHandledException(previous_.get()); }
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;

private:
    Ref previous_;
};

// ---------------------------------------------------------------------------
// Objects

inline Ref text(const char* utf8) { return Ref::checked(PyUnicode_FromString(utf8)); }
inline Ref str(PyObject* object) { return Ref::checked(PyObject_Str(object)); }
inline Ref attr(PyObject* object, const char* name) { return Ref::checked(PyObject_GetAttrString(object, name)); }
inline bool truthy(PyObject* object) {
    const int result = PyObject_IsTrue(object);
    check(result);
    return result != 0;
}

inline Ref tuple(std::span<const Ref> items) {
    Ref result = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items[i].get()));
    }
    return result;
}

// The iterator's next item, or an empty Ref when it is exhausted.
inline Ref next(PyObject* iterator) {
    PyObject* item = nullptr;
    check(PyIter_NextItem(iterator, &item));
    return Ref::steal(item);
}

// list(iterable), as owned references.
inline std::vector<Ref> collect(PyObject* iterable) {
    Ref iterator = Ref::checked(PyObject_GetIter(iterable));
    std::vector<Ref> items;
    while (Ref item = next(iterator.get())) items.push_back(std::move(item));
    return items;
}

// A tuple of str from UTF-8 literals.
inline Ref text_tuple(std::span<const char* const> values) {
    std::vector<Ref> items;
    for (const char* value : values) items.push_back(text(value));
    return tuple(items);
}

inline void set_item(PyObject* mapping, const char* key, PyObject* value) {
    check(PyDict_SetItemString(mapping, key, value));
}

// ---------------------------------------------------------------------------
// Calls

struct Keyword {
    const char* name;
    PyObject* value;
};

// callable(*positional, **keywords), keywords in the order given.
inline Ref call(PyObject* callable, std::span<PyObject* const> positional, std::span<const Keyword> keywords) {
    // One spare slot in front lets the callee prepend a bound argument in place.
    std::vector<PyObject*> argv;
    argv.reserve(1 + positional.size() + keywords.size());
    argv.push_back(nullptr);
    argv.insert(argv.end(), positional.begin(), positional.end());
    Ref kwnames;
    if (!keywords.empty()) {
        kwnames = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
        Py_ssize_t index = 0;
        for (const Keyword& keyword : keywords) {
            PyObject* name = PyUnicode_InternFromString(keyword.name);
            if (name == nullptr) throw PythonError();
            PyTuple_SET_ITEM(kwnames.get(), index++, name);
            argv.push_back(keyword.value);
        }
    }
    return Ref::checked(PyObject_Vectorcall(callable, argv.data() + 1,
                                            positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

inline Ref call(PyObject* callable, std::initializer_list<PyObject*> positional,
                std::initializer_list<Keyword> keywords = {}) {
    return call(callable, std::span(positional.begin(), positional.size()),
                std::span(keywords.begin(), keywords.size()));
}

// object.name(*positional)
inline Ref call_method(PyObject* object, const char* name, std::initializer_list<PyObject*> positional = {}) {
    Ref method = attr(object, name);
    return call(method.get(), positional);
}

// `with manager as value: return body(value)`, with the interpreter's
// protocol: __enter__ and __exit__ looked up on the type, __exit__ told of
// an exception and allowed to suppress it. Returns an empty Ref when the
// exception was suppressed.
template <class Body>
Ref with_context(PyObject* manager, Body&& body) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(manager));
    Ref enter = attr(type, "__enter__");
    Ref exit = attr(type, "__exit__");
    Ref value = call(enter.get(), {manager});
    Ref result;
    try {
        result = body(value.get());
    } catch (const PythonError&) {
        Ref error = Ref::steal(PyErr_GetRaisedException());
        Ref error_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
        Ref traceback = Ref::steal(PyException_GetTraceback(error.get()));
        bool suppress;
        {
            HandlingException handling(error.get());
            Ref outcome = call(exit.get(), {manager, error_type.get(), error.get(), traceback ? traceback.get() : Py_None});
            suppress = truthy(outcome.get());
        }
        if (suppress) return Ref();
        PyErr_SetRaisedException(error.release());
        throw;
    }
    call(exit.get(), {manager, Py_None, Py_None, Py_None});
    return result;
}

// ---------------------------------------------------------------------------
// Imports and the module namespace

inline Ref import(const char* name) { return Ref::checked(PyImport_ImportModule(name)); }

// `from <module> import <name>`, resolved relative to `importer` (a module)
// when `level` is above zero.
inline Ref import_from(PyObject* importer, const char* module, const char* name, int level = 0) {
    Ref module_name = text(module);
    Ref fromlist = Ref::checked(Py_BuildValue("(s)", name));
    Ref imported = Ref::checked(PyImport_ImportModuleLevelObject(module_name.get(), PyModule_GetDict(importer),
                                                                 nullptr, fromlist.get(), level));
    PyObject* value = nullptr;
    check(PyObject_GetOptionalAttrString(imported.get(), name, &value));
    if (value == nullptr) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", name,
                     Ref::checked(PyModule_GetNameObject(imported.get())).get());
        throw PythonError();
    }
    return Ref::steal(value);
}

// The module global `name`, looked up at the moment of the call, so that
// rebinding a module attribute takes effect on the next call.
inline Ref global(PyObject* module, const char* name) {
    PyObject* value = nullptr;
    check(PyDict_GetItemStringRef(PyModule_GetDict(module), name, &value));
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw PythonError();
    }
    return Ref::steal(value);
}

inline void set_global(PyObject* module, const char* name, const Ref& value) {
    check(PyModule_AddObjectRef(module, name, value.get()));
}

// ---------------------------------------------------------------------------
// Functions

enum class ParamKind { positional_or_keyword, keyword_only };

struct Param {
    const char* name;
    const char* annotation = nullptr;  // as a string, like `from __future__ import annotations`
    ParamKind kind = ParamKind::positional_or_keyword;
    bool has_default = false;
};

inline constexpr std::size_t kMaxParams = 4;

// The bound arguments, one per parameter in declaration order, defaults
// filled in. Borrowed from the caller for the duration of the call.
using Args = std::span<PyObject* const>;
using Impl = Ref (*)(PyObject* module, Args args);

struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;
    std::span<const Param> params;
    const char* return_annotation;
    Impl impl;
};

// Checked with static_assert where each module declares its functions.
consteval bool well_formed(const FunctionSpec& spec) {
    if (spec.params.size() > kMaxParams) return false;
    bool keyword_only_seen = false;
    bool default_seen = false;
    for (const Param& param : spec.params) {
        if (param.kind == ParamKind::keyword_only) {
            keyword_only_seen = true;
        } else {
            if (keyword_only_seen) return false;
            // As in a def: no required positional parameter after an optional one.
            if (default_seen && !param.has_default) return false;
            default_seen = default_seen || param.has_default;
        }
    }
    return true;
}

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* module;       // the defining module, handed to the implementation
    PyObject* defaults;     // tuple: values of the parameters with a default, in order
    PyObject* annotations;  // dict of strings, exposed as __annotations__
    PyObject* weakreflist;
};

struct ModuleState {
    PyObject* function_type;
};

inline ModuleState& module_state(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

namespace detail {

inline FunctionObject& as_function(PyObject* self) { return *reinterpret_cast<FunctionObject*>(self); }

inline std::string quoted_list(const std::vector<std::string>& names) {
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c', as the interpreter writes it.
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

[[noreturn]] inline void raise_missing(const FunctionSpec& spec, const std::vector<std::string>& names,
                                       const char* kind) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s argument%s: %s", spec.qualname, names.size(), kind,
                 names.size() == 1 ? "" : "s", quoted_list(names).c_str());
    throw PythonError();
}

[[noreturn]] inline void raise_unexpected_keyword(const FunctionSpec& spec, PyObject* keyword) {
    // The interpreter suggests a close parameter name; so do we, with its
    // own suggestion engine when it has one.
    Ref suggestion;
    if (PyObject* engine = PyImport_ImportModule("_suggestions")) {
        Ref module = Ref::steal(engine);
        Ref candidates = Ref::checked(PyList_New(0));
        for (const Param& param : spec.params) check(PyList_Append(candidates.get(), text(param.name).get()));
        suggestion = Ref::steal(PyObject_CallMethod(module.get(), "_generate_suggestions", "OO", candidates.get(), keyword));
    }
    PyErr_Clear();
    if (suggestion && suggestion.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     spec.qualname, keyword, suggestion.get());
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", spec.qualname, keyword);
    }
    throw PythonError();
}

// Binds vectorcall arguments to parameters the way the interpreter binds
// them for a `def`, with the same checks in the same order and the same
// messages.
inline void bind_arguments(const FunctionObject& function, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, std::array<PyObject*, kMaxParams>& bound) {
    const FunctionSpec& spec = *function.spec;
    const auto params = spec.params;
    const auto positional_count = static_cast<Py_ssize_t>(
        std::ranges::count(params, ParamKind::positional_or_keyword, &Param::kind));

    for (Py_ssize_t i = 0; i < std::min(nargs, positional_count); ++i) bound[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const auto found = std::ranges::find_if(
            params, [&](const Param& param) { return PyUnicode_EqualToUTF8(keyword, param.name) != 0; });
        if (found == params.end()) raise_unexpected_keyword(spec, keyword);
        auto& slot = bound[static_cast<std::size_t>(found - params.begin())];
        if (slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.qualname, found->name);
            throw PythonError();
        }
        slot = args[nargs + k];
    }

    if (nargs > positional_count) {
        Py_ssize_t keyword_only_given = 0;
        for (std::size_t i = static_cast<std::size_t>(positional_count); i < params.size(); ++i) {
            keyword_only_given += bound[i] != nullptr;
        }
        const auto optional = std::ranges::count_if(params, [](const Param& param) {
            return param.kind == ParamKind::positional_or_keyword && param.has_default;
        });
        std::string takes = optional != 0 ? "from " + std::to_string(positional_count - optional) + " to " +
                                                std::to_string(positional_count) + " positional arguments"
                                          : std::to_string(positional_count) + " positional argument" +
                                                (positional_count == 1 ? "" : "s");
        std::string given = std::to_string(nargs);
        if (keyword_only_given != 0) {
            given += std::string(" positional argument") + (nargs == 1 ? "" : "s") + " (and " +
                     std::to_string(keyword_only_given) + " keyword-only argument" +
                     (keyword_only_given == 1 ? "" : "s") + ")";
        }
        PyErr_Format(PyExc_TypeError, "%s() takes %s but %s %s given", spec.qualname, takes.c_str(), given.c_str(),
                     nargs == 1 && keyword_only_given == 0 ? "was" : "were");
        throw PythonError();
    }

    // Missing required arguments first, positional before keyword-only, as
    // the interpreter reports them; then the defaults.
    for (const ParamKind kind : {ParamKind::positional_or_keyword, ParamKind::keyword_only}) {
        std::vector<std::string> missing;
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (params[i].kind == kind && !params[i].has_default && bound[i] == nullptr) {
                missing.emplace_back(params[i].name);
            }
        }
        if (!missing.empty()) {
            raise_missing(spec, missing, kind == ParamKind::keyword_only ? "keyword-only" : "positional");
        }
    }
    Py_ssize_t default_index = 0;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (!params[i].has_default) continue;
        if (bound[i] == nullptr) bound[i] = PyTuple_GET_ITEM(function.defaults, default_index);
        ++default_index;
    }
}

inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
    const FunctionObject& function = as_function(self);
    return guarded([&] {
        std::array<PyObject*, kMaxParams> bound{};
        bind_arguments(function, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
        return function.spec->impl(function.module, Args(bound.data(), function.spec->params.size()));
    });
}

// A plain function stored on a class binds like a `def`: instance access
// gives a bound method, class access gives the function itself.
inline PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject& function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function.module);
    Py_VISIT(function.defaults);
    Py_VISIT(function.annotations);
    return 0;
}

inline int function_clear(PyObject* self) noexcept {
    FunctionObject& function = as_function(self);
    Py_CLEAR(function.module);
    Py_CLEAR(function.defaults);
    Py_CLEAR(function.annotations);
    return 0;
}

inline void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self).weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %s at %p>", as_function(self).spec->qualname, self);
}

inline PyObject* get_name(PyObject* self, void*) noexcept { return PyUnicode_FromString(as_function(self).spec->name); }
inline PyObject* get_qualname(PyObject* self, void*) noexcept {
    return PyUnicode_FromString(as_function(self).spec->qualname);
}
inline PyObject* get_doc(PyObject* self, void*) noexcept { return PyUnicode_FromString(as_function(self).spec->doc); }
inline PyObject* get_module(PyObject* self, void*) noexcept {
    return PyModule_GetNameObject(as_function(self).module);
}
inline PyObject* get_annotations(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self).annotations); }
// The annotations are plain strings and need no evaluation, so there is no
// annotate function, as for a function compiled under
// `from __future__ import annotations` before 3.14.
inline PyObject* get_annotate(PyObject*, void*) noexcept { Py_RETURN_NONE; }

inline PyObject* get_signature(PyObject* self, void*) noexcept {
    const FunctionObject& function = as_function(self);
    return guarded([&] {
        Ref inspect = import("inspect");
        Ref parameter_type = attr(inspect.get(), "Parameter");
        Ref empty = attr(parameter_type.get(), "empty");
        Ref positional_or_keyword = attr(parameter_type.get(), "POSITIONAL_OR_KEYWORD");
        Ref keyword_only = attr(parameter_type.get(), "KEYWORD_ONLY");
        auto annotation = [&](const char* value) { return value ? text(value) : empty; };

        std::vector<Ref> parameters;
        Py_ssize_t default_index = 0;
        for (const Param& param : function.spec->params) {
            PyObject* default_value = param.has_default ? PyTuple_GET_ITEM(function.defaults, default_index++)
                                                        : empty.get();
            parameters.push_back(call(parameter_type.get(),
                                      {text(param.name).get(), param.kind == ParamKind::keyword_only
                                                                   ? keyword_only.get()
                                                                   : positional_or_keyword.get()},
                                      {{"default", default_value},
                                       {"annotation", annotation(param.annotation).get()}}));
        }
        Ref signature_type = attr(inspect.get(), "Signature");
        return call(signature_type.get(), {tuple(parameters).get()},
                    {{"return_annotation", annotation(function.spec->return_annotation).get()}});
    });
}

// Pickled by reference, like a `def`.
inline PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return get_qualname(self, nullptr); }

inline PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__annotate__", get_annotate, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

inline PyType_Spec function_type_spec = {
    .name = "quor_camera_sdk.native_function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

}  // namespace detail

// A new function of `module`. `defaults` holds the values of the parameters
// that have one, in declaration order.
inline Ref make_function(PyObject* module, const FunctionSpec& spec, std::initializer_list<PyObject*> defaults = {}) {
    auto* type = reinterpret_cast<PyTypeObject*>(module_state(module).function_type);
    Ref defaults_tuple = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
    Py_ssize_t index = 0;
    for (PyObject* value : defaults) PyTuple_SET_ITEM(defaults_tuple.get(), index++, Py_NewRef(value));
    if (index != std::ranges::count_if(spec.params, &Param::has_default)) {
        raise(PyExc_SystemError, "make_function: defaults do not match the parameters");
    }

    Ref annotations = Ref::checked(PyDict_New());
    for (const Param& param : spec.params) {
        if (param.annotation) set_item(annotations.get(), param.name, text(param.annotation).get());
    }
    if (spec.return_annotation) set_item(annotations.get(), "return", text(spec.return_annotation).get());

    auto* function = PyObject_GC_New(FunctionObject, type);
    if (function == nullptr) throw PythonError();
    function->vectorcall = detail::function_vectorcall;
    function->spec = &spec;
    function->module = Py_NewRef(module);
    function->defaults = defaults_tuple.release();
    function->annotations = annotations.release();
    function->weakreflist = nullptr;
    PyObject_GC_Track(function);
    return Ref::steal(reinterpret_cast<PyObject*>(function));
}

// Binds `spec` as a module attribute under its name.
inline void add_function(PyObject* module, const FunctionSpec& spec, std::initializer_list<PyObject*> defaults = {}) {
    set_global(module, spec.name, make_function(module, spec, defaults));
}

// ---------------------------------------------------------------------------
// Module definition pieces: every module has a ModuleState and runs
// `exec_support` as its first Py_mod_exec slot.

inline int exec_support(PyObject* module) noexcept {
    return guarded_status([&] {
        module_state(module).function_type =
            Ref::checked(PyType_FromModuleAndSpec(module, &detail::function_type_spec, nullptr)).release();
    });
}

inline int traverse_module(PyObject* module, visitproc visit, void* arg) noexcept {
    Py_VISIT(module_state(module).function_type);
    return 0;
}

inline int clear_module(PyObject* module) noexcept {
    Py_CLEAR(module_state(module).function_type);
    return 0;
}

inline void free_module(void* module) noexcept { clear_module(static_cast<PyObject*>(module)); }

// The slots of every module: the support layer first, then the module's
// own exec; isolated subinterpreters and free-threading are both fine, as
// no module keeps mutable state of its own.
template <int (*Exec)(PyObject*) noexcept>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_support)},
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

inline PyModuleDef module_definition(const char* name, const char* doc, PyModuleDef_Slot* slots) {
    return {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = name,
        .m_doc = doc,
        .m_size = sizeof(ModuleState),
        .m_methods = nullptr,
        .m_slots = slots,
        .m_traverse = traverse_module,
        .m_clear = clear_module,
        .m_free = free_module,
    };
}

}  // namespace quor::py
