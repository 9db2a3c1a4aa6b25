// Support layer shared by the package's extension modules.
//
// - `Ref`, an owned strong reference. Raw `PyObject*` parameters and locals
//   are borrowed; anything that owns a reference is a `Ref`.
// - `PythonError`, thrown when a Python exception is set. `guarded()` turns
//   it back into the NULL or -1 that CPython expects at the module boundary,
//   so the code in between reads top to bottom and releases what it owns by
//   unwinding.
// - Module state. Each module declares the strings it uses (attribute
//   names, keys, method names, globals, constant log templates), the
//   keyword names of its call sites and the objects it makes at import, as
//   tables of members of its `State`. Py_mod_exec creates them once, as
//   CPython's own modules keep `str_write` and friends in their state; code
//   reaches them as typed members (`Name`, `Keywords`), so no call makes a
//   name from a C string.
// - Calls through vectorcall with the arguments on the stack, methods
//   through PyObject_VectorcallMethod (no bound method in between), and
//   `with_context()`, the `with` statement as the interpreter runs it.
// - `make_function()`: a real Python function object whose calls run C++
//   (PyFunction_SetVectorcall). Its code object only declares the
//   signature, so inspect, typing, functools, pydoc and unittest.mock see
//   the def it stands for; the arguments are bound as the interpreter binds
//   them, with its messages and the function's current defaults. The code
//   object never runs: assigning another __code__ changes what inspect
//   reports, not what a call does.
// - The module definition every extension shares: multi-phase init, no
//   process-wide mutable state, so the modules load in isolated
//   subinterpreters and without the GIL.
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
#include <type_traits>
#include <utility>

namespace quor::py {

// ---------------------------------------------------------------------------
// Errors and references

class PythonError final : public std::exception {
public:
    const char* what() const noexcept override { return "a Python exception is set"; }
};

inline void check(int status) {
    if (status < 0) throw PythonError();
}

[[noreturn]] inline void raise(PyObject* type, PyObject* message) {
    PyErr_SetObject(type, message);
    throw PythonError();
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
inline Ref empty_text() { return Ref::steal(Py_GetConstant(Py_CONSTANT_EMPTY_STR)); }

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
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "a C++ exception of unknown type");
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
// Module state

// An interned str in module state. Borrowed by the code that uses it; it
// lives as long as the module.
struct Name {
    PyObject* object;
};

// The keyword names of one call site: a tuple of interned strings.
struct Keywords {
    PyObject* tuple;
};

// What every module's state begins with.
struct ModuleState {
    // The module's namespace. Borrowed: the module owns it and outlives its
    // state; null once the module has been cleared.
    PyObject* globals;
    // Names the support layer itself uses.
    Name enter, exit, async_enter, async_exit;
    Name suggestions_module, generate_suggestions;
};

template <class State>
struct Interned {
    Name State::*slot;
    const char* text;
};

template <class State>
struct CallSite {
    Keywords State::*slot;
    std::span<Name State::* const> names;
};

// The tables of a module's state. Every member of the State that holds a
// reference appears in exactly one of them, so that exec fills it and
// traverse and clear find it.
template <class State>
struct StateSpec {
    std::span<const Interned<State>> names;
    std::span<const CallSite<State>> calls;
    // Made by the module's own exec.
    std::span<PyObject* State::* const> objects;
};

// Checked with static_assert where each module declares its tables: they
// name each reference member once and leave none out, `plain` being the
// size of the members that hold no reference.
template <class State>
consteval bool covers_every_reference(const StateSpec<State>& spec, std::size_t plain = 0) {
    auto distinct = [](auto entries, auto slot) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            for (std::size_t j = 0; j < i; ++j) {
                if (slot(entries[i]) == slot(entries[j])) return false;
            }
        }
        return true;
    };
    const std::size_t references = spec.names.size() + spec.calls.size() + spec.objects.size();
    return distinct(spec.names, [](const Interned<State>& name) { return name.slot; }) &&
           distinct(spec.calls, [](const CallSite<State>& call) { return call.slot; }) &&
           distinct(spec.objects, [](PyObject* State::*object) { return object; }) &&
           sizeof(State) == sizeof(ModuleState) + references * sizeof(PyObject*) + plain;
}

// Joins name tables, for modules that share part of their names.
template <class State, std::size_t N, std::size_t M>
consteval std::array<Interned<State>, N + M> join(const Interned<State> (&first)[N],
                                                 const Interned<State> (&second)[M]) {
    std::array<Interned<State>, N + M> joined{};
    std::ranges::copy(first, joined.begin());
    std::ranges::copy(second, joined.begin() + N);
    return joined;
}

template <class State>
State& state_of(PyObject* module) {
    static_assert(std::is_trivial_v<State>, "module state is zeroed memory owned by CPython");
    return *static_cast<State*>(PyModule_GetState(module));
}

inline constexpr Interned<ModuleState> kSupportNames[] = {
    {&ModuleState::enter, "__enter__"},
    {&ModuleState::exit, "__exit__"},
    {&ModuleState::async_enter, "__aenter__"},
    {&ModuleState::async_exit, "__aexit__"},
    {&ModuleState::suggestions_module, "_suggestions"},
    {&ModuleState::generate_suggestions, "_generate_suggestions"},
};

namespace detail {

inline Name intern(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw PythonError();
    return {name};
}

template <class State>
void intern_all(State& state, std::span<const Interned<State>> names) {
    for (const Interned<State>& name : names) state.*name.slot = intern(name.text);
}

template <class State>
void fill_state(PyObject* module, State& state, const StateSpec<State>& spec) {
    state.globals = PyModule_GetDict(module);
    intern_all<ModuleState>(state, kSupportNames);
    intern_all(state, spec.names);
    for (const CallSite<State>& call : spec.calls) {
        PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(call.names.size()));
        if (tuple == nullptr) throw PythonError();
        (state.*call.slot).tuple = tuple;
        Py_ssize_t index = 0;
        for (Name State::*name : call.names) PyTuple_SET_ITEM(tuple, index++, Py_NewRef((state.*name).object));
    }
}

template <class State, class Visit>
void for_each_reference(State& state, const StateSpec<State>& spec, Visit&& visit) {
    for (const Interned<ModuleState>& name : kSupportNames) visit((state.*name.slot).object);
    for (const Interned<State>& name : spec.names) visit((state.*name.slot).object);
    for (const CallSite<State>& call : spec.calls) visit((state.*call.slot).tuple);
    for (PyObject* State::*object : spec.objects) visit(state.*object);
}

template <class State, const StateSpec<State>& spec>
int traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    int status = 0;
    for_each_reference(state_of<State>(module), spec, [&](PyObject* object) {
        if (status == 0 && object != nullptr) status = visit(object, arg);
    });
    return status;
}

template <class State, const StateSpec<State>& spec>
int clear(PyObject* module) noexcept {
    State& state = state_of<State>(module);
    for_each_reference(state, spec, [](PyObject*& object) { Py_CLEAR(object); });
    state.globals = nullptr;
    return 0;
}

template <class State, const StateSpec<State>& spec>
void free_module(void* module) noexcept {
    clear<State, spec>(static_cast<PyObject*>(module));
}

template <class State, const StateSpec<State>& spec, void (*exec)(PyObject*, State&)>
int exec_module(PyObject* module) noexcept {
    return guarded_status([&] {
        State& state = state_of<State>(module);
        fill_state(module, state, spec);
        exec(module, state);
    });
}

// Isolated subinterpreters and free-threading are both fine: module state
// is all there is, and it does not change after exec.
template <class State, const StateSpec<State>& spec, void (*exec)(PyObject*, State&)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module<State, spec, exec>)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

}  // namespace detail

// `exec` runs after the state's tables are filled in.
template <class State, const StateSpec<State>& spec, void (*exec)(PyObject*, State&)>
constexpr PyModuleDef module_definition(const char* name, const char* doc) {
    return {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = name,
        .m_doc = doc,
        .m_size = sizeof(State),
        .m_methods = nullptr,
        .m_slots = detail::module_slots<State, spec, exec>,
        .m_traverse = detail::traverse<State, spec>,
        .m_clear = detail::clear<State, spec>,
        .m_free = detail::free_module<State, spec>,
    };
}

// ---------------------------------------------------------------------------
// Objects

inline Ref getattr(PyObject* object, Name name) { return Ref::checked(PyObject_GetAttr(object, name.object)); }
inline Ref str(PyObject* object) { return Ref::checked(PyObject_Str(object)); }
inline bool truthy(PyObject* object) {
    const int result = PyObject_IsTrue(object);
    check(result);
    return result != 0;
}
// `left == right`, truth-tested, without the identity shortcut of
// PyObject_RichCompareBool: the interpreter's `==` asks the objects.
inline bool equal(PyObject* left, PyObject* right) {
    if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) return PyUnicode_Equal(left, right) == 1;
    return truthy(Ref::checked(PyObject_RichCompare(left, right, Py_EQ)).get());
}

inline Ref iterate(PyObject* iterable) { return Ref::checked(PyObject_GetIter(iterable)); }

// The iterator's next item, or an empty Ref when it is exhausted.
inline Ref next(PyObject* iterator) {
    PyObject* item = nullptr;
    check(PyIter_NextItem(iterator, &item));
    return Ref::steal(item);
}

inline Ref tuple(std::span<const Ref> items) {
    Ref result = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items[i].get()));
    }
    return result;
}

inline Ref tuple_of(std::span<const Name> names) {
    Ref result = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names[i].object));
    }
    return result;
}

// For data built at import.
inline Ref text(const char* utf8) { return Ref::checked(PyUnicode_FromString(utf8)); }
inline Ref integer(long value) { return Ref::checked(PyLong_FromLong(value)); }

// ---------------------------------------------------------------------------
// Calls

// callable(*args)
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    static_assert((std::is_convertible_v<Args, PyObject*> && ...));
    // One spare slot in front lets the callee prepend a bound argument in place.
    PyObject* argv[] = {nullptr, args...};
    return Ref::checked(
        PyObject_Vectorcall(callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self.name(*args)
template <class... Args>
Ref call_method(PyObject* self, Name name, Args... args) {
    static_assert((std::is_convertible_v<Args, PyObject*> && ...));
    PyObject* argv[] = {nullptr, self, args...};
    return Ref::checked(PyObject_VectorcallMethod(name.object, argv + 1,
                                                  (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

namespace detail {

inline constexpr std::size_t kMaxCallArguments = 16;

// [spare slot, self?, positional..., keyword values...], for a vectorcall.
class Arguments {
public:
    Arguments(PyObject* self, std::initializer_list<PyObject*> positional, Keywords keywords,
              std::initializer_list<PyObject*> values) {
        const auto keyword_count = static_cast<std::size_t>(PyTuple_GET_SIZE(keywords.tuple));
        positional_ = (self != nullptr) + positional.size();
        if (values.size() != keyword_count || positional_ + values.size() > kMaxCallArguments) {
            PyErr_SetString(PyExc_SystemError, "a call's keyword values do not match its keyword names");
            throw PythonError();
        }
        auto out = argv_.begin() + 1;
        if (self != nullptr) *out++ = self;
        std::ranges::copy(values, std::ranges::copy(positional, out).out);
    }
    PyObject* const* args() const { return argv_.data() + 1; }
    std::size_t nargsf() const { return positional_ | PY_VECTORCALL_ARGUMENTS_OFFSET; }

private:
    std::array<PyObject*, 1 + kMaxCallArguments> argv_{};
    std::size_t positional_;
};

}  // namespace detail

// callable(*positional, **dict(zip(keywords, values)))
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional, Keywords keywords,
                   std::initializer_list<PyObject*> values) {
    const detail::Arguments arguments(nullptr, positional, keywords, values);
    return Ref::checked(PyObject_Vectorcall(callable, arguments.args(), arguments.nargsf(), keywords.tuple));
}

// self.name(*positional, **dict(zip(keywords, values)))
inline Ref call_method_kw(PyObject* self, Name name, std::initializer_list<PyObject*> positional, Keywords keywords,
                          std::initializer_list<PyObject*> values) {
    const detail::Arguments arguments(self, positional, keywords, values);
    return Ref::checked(
        PyObject_VectorcallMethod(name.object, arguments.args(), arguments.nargsf(), keywords.tuple));
}

// A special method as the interpreter finds it for `with`: looked up on
// the type, not the instance, and bound to the object through the
// descriptor protocol. A method descriptor (a def, a method of a C type)
// is called with the object prepended instead, as the interpreter does,
// without a bound method in between.
class SpecialMethod {
public:
    // Empty when the type does not have it.
    static SpecialMethod lookup(PyObject* object, Name name) {
        SpecialMethod method;
        PyTypeObject* type = Py_TYPE(object);
        // The interpreter's own lookup through the MRO, which neither sets
        // an exception nor binds (getattr on the type would bind a
        // descriptor to the class). NULL: the type has no such attribute.
        method.callable_ = Ref::steal(_PyType_LookupRef(type, name.object));
        if (!method.callable_) return method;
        PyTypeObject* descriptor_type = Py_TYPE(method.callable_.get());
        if (PyType_HasFeature(descriptor_type, Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            method.self_ = object;
        } else if (descrgetfunc bind = descriptor_type->tp_descr_get) {
            method.callable_ =
                Ref::checked(bind(method.callable_.get(), object, reinterpret_cast<PyObject*>(type)));
        }
        return method;
    }

    explicit operator bool() const noexcept { return static_cast<bool>(callable_); }

    template <class... Args>
    Ref operator()(Args... args) const {
        if (self_ != nullptr) return call(callable_.get(), self_, args...);
        return call(callable_.get(), args...);
    }

private:
    Ref callable_;
    PyObject* self_ = nullptr;  // borrowed from the caller, who holds the object
};

namespace detail {

// The interpreter's TypeError for an object that lacks `missing`.
[[noreturn]] inline void raise_not_a_context_manager(const ModuleState& state, PyObject* object,
                                                     const char* missing) {
    auto has = [&](Name name) { return static_cast<bool>(Ref::steal(_PyType_LookupRef(Py_TYPE(object), name.object))); };
    const bool asynchronous = has(state.async_enter) && has(state.async_exit);
    PyErr_Format(PyExc_TypeError,
                 asynchronous ? "'%T' object does not support the context manager protocol (missed %s method) but "
                                "it supports the asynchronous context manager protocol. Did you mean to use "
                                "'async with'?"
                              : "'%T' object does not support the context manager protocol (missed %s method)",
                 object, missing);
    throw PythonError();
}

}  // namespace detail

// `with manager as value: return body(value)`, as the interpreter runs it:
// __exit__ then __enter__ looked up as special methods, __enter__()
// called, __exit__ told of an exception and allowed to suppress it.
// Returns an empty Ref when the exception was suppressed.
template <class Body>
Ref with_context(const ModuleState& state, PyObject* manager, Body&& body) {
    const SpecialMethod exit = SpecialMethod::lookup(manager, state.exit);
    if (!exit) detail::raise_not_a_context_manager(state, manager, "__exit__");
    const SpecialMethod enter = SpecialMethod::lookup(manager, state.enter);
    if (!enter) detail::raise_not_a_context_manager(state, manager, "__enter__");
    Ref value = enter();
    Ref result;
    try {
        result = body(value.get());
    } catch (const PythonError&) {
        Ref error = Ref::steal(PyErr_GetRaisedException());
        Ref traceback = Ref::steal(PyException_GetTraceback(error.get()));
        bool suppress;
        {
            HandlingException handling(error.get());
            Ref outcome = exit(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get(),
                               traceback ? traceback.get() : Py_None);
            suppress = truthy(outcome.get());
        }
        if (suppress) return Ref();
        PyErr_SetRaisedException(error.release());
        throw;
    }
    exit(Py_None, Py_None, Py_None);
    return result;
}

// ---------------------------------------------------------------------------
// Imports and the module namespace

// The module global `name`, looked up at the moment of the call, so that
// rebinding a module attribute takes effect on the next call.
inline Ref global(const ModuleState& state, Name name) {
    PyObject* value = nullptr;
    check(PyDict_GetItemRef(state.globals, name.object, &value));
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.object);
        throw PythonError();
    }
    return Ref::steal(value);
}

inline void set_global(const ModuleState& state, Name name, const Ref& value) {
    check(PyDict_SetItem(state.globals, name.object, value.get()));
}

// `import <name>`: binds what the statement binds, the top-level package.
inline Ref import(const ModuleState& state, Name name) {
    return Ref::checked(PyImport_ImportModuleLevelObject(name.object, state.globals, nullptr, nullptr, 0));
}

namespace detail {

inline Ref optional_attribute(PyObject* object, const char* name) {
    PyObject* value = nullptr;
    check(PyObject_GetOptionalAttrString(object, name, &value));
    return Ref::steal(value);
}

// Where a module was loaded from, for the message: its spec's origin when
// that is a location, else its __file__.
inline Ref import_origin(PyObject* module, PyObject* spec) {
    if (Ref has_location = optional_attribute(spec, "has_location"); has_location && truthy(has_location.get())) {
        if (Ref origin = optional_attribute(spec, "origin"); origin && PyUnicode_Check(origin.get())) return origin;
    }
    if (!PyModule_Check(module)) return Ref();
    if (PyObject* file = PyModule_GetFilenameObject(module)) return Ref::steal(file);
    if (!PyErr_ExceptionMatches(PyExc_SystemError)) throw PythonError();
    PyErr_Clear();
    return Ref();
}

// The ImportError of a failed `from <module> import <name>`, with the
// message, name, name_from and path that the interpreter gives it.
[[noreturn]] inline void raise_cannot_import(PyObject* module, PyObject* name) {
    Ref module_name = optional_attribute(module, "__name__");
    if (module_name && !PyUnicode_Check(module_name.get())) module_name = Ref();
    Ref shown_name = module_name ? module_name : Ref::checked(PyUnicode_FromString("<unknown module name>"));
    Ref spec = optional_attribute(module, "__spec__");
    Ref origin = spec ? import_origin(module, spec.get()) : Ref();
    Ref initializing = spec ? optional_attribute(spec.get(), "_initializing") : Ref();
    Ref message;
    if (initializing && truthy(initializing.get())) {
        message = Ref::checked(
            origin ? PyUnicode_FromFormat("cannot import name %R from partially initialized module %R (most likely "
                                          "due to a circular import) (%S)",
                                          name, shown_name.get(), origin.get())
                   : PyUnicode_FromFormat("cannot import name %R from partially initialized module %R (most likely "
                                          "due to a circular import)",
                                          name, shown_name.get()));
    } else {
        message = Ref::checked(
            origin ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, shown_name.get(), origin.get())
                   : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                          shown_name.get()));
    }
    Ref error = Ref::checked(PyObject_CallOneArg(PyExc_ImportError, message.get()));
    check(PyObject_SetAttrString(error.get(), "name", module_name ? module_name.get() : Py_None));
    check(PyObject_SetAttrString(error.get(), "path", origin ? origin.get() : Py_None));
    check(PyObject_SetAttrString(error.get(), "name_from", name));
    PyErr_SetRaisedException(error.release());
    throw PythonError();
}

}  // namespace detail

// `from <module> import <name>`, resolved relative to the importing module
// when `level` is above zero; as the interpreter runs it, the fallback to
// a submodule in sys.modules included.
inline Ref import_from(const ModuleState& state, Name module, Name name, int level = 0) {
    Ref fromlist = tuple_of(std::span(&name, 1));
    Ref imported = Ref::checked(
        PyImport_ImportModuleLevelObject(module.object, state.globals, nullptr, fromlist.get(), level));
    PyObject* value = nullptr;
    check(PyObject_GetOptionalAttr(imported.get(), name.object, &value));
    if (value != nullptr) return Ref::steal(value);
    // A circular import may not have bound the submodule on its package yet.
    if (Ref package = detail::optional_attribute(imported.get(), "__name__"); package && PyUnicode_Check(package.get())) {
        Ref submodule_name = Ref::checked(PyUnicode_FromFormat("%U.%U", package.get(), name.object));
        if (PyObject* submodule = PyImport_GetModule(submodule_name.get())) return Ref::steal(submodule);
        if (PyErr_Occurred()) throw PythonError();
    }
    detail::raise_cannot_import(imported.get(), name.object);
}

// ---------------------------------------------------------------------------
// Functions

enum class ParamKind { positional_or_keyword, keyword_only };

template <class State>
struct Param {
    Name State::*name;
    const char* annotation = nullptr;  // as a string, like `from __future__ import annotations`
    ParamKind kind = ParamKind::positional_or_keyword;
    bool has_default = false;
};

inline constexpr std::size_t kMaxParams = 4;

// The bound arguments, one per parameter in declaration order, defaults
// filled in. Borrowed for the duration of the call.
using Args = std::span<PyObject* const>;

template <class State>
struct FunctionSpec {
    using StateType = State;
    Name State::*name;
    const char* qualname;  // null: the name
    const char* doc;
    std::span<const Param<State>> params;
    const char* return_annotation;
    Ref (*impl)(const State& state, Args args);
};

// Checked with static_assert where each module declares its functions.
template <class State>
consteval bool well_formed(const FunctionSpec<State>& spec) {
    if (spec.params.size() > kMaxParams) return false;
    bool keyword_only_seen = false;
    bool default_seen = false;
    for (const Param<State>& param : spec.params) {
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

namespace detail {

inline PyObject* qualname_of(PyObject* function) {
    return reinterpret_cast<PyFunctionObject*>(function)->func_qualname;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c', as the interpreter lists them.
inline Ref quoted_list(std::span<PyObject* const> names) {
    Ref out = Ref::checked(PyUnicode_FromStringAndSize(nullptr, 0));
    for (std::size_t i = 0; i < names.size(); ++i) {
        const char* separator = i == 0 ? "" : names.size() == 2 ? " and " : i + 1 == names.size() ? ", and " : ", ";
        out = Ref::checked(PyUnicode_FromFormat("%U%s'%U'", out.get(), separator, names[i]));
    }
    return out;
}

[[noreturn]] inline void raise_missing(PyObject* function, std::span<PyObject* const> names, const char* kind) {
    PyErr_Format(PyExc_TypeError, "%U() missing %zu required %s argument%s: %U", qualname_of(function),
                 names.size(), kind, names.size() == 1 ? "" : "s", quoted_list(names).get());
    throw PythonError();
}

// The interpreter suggests a close parameter name; so do we, with its own
// suggestion engine.
[[noreturn]] inline void raise_unexpected_keyword(const ModuleState& state, PyObject* function,
                                                  std::span<PyObject* const> candidates, PyObject* keyword) {
    Ref suggestion;
    if (PyObject* engine = PyImport_Import(state.suggestions_module.object)) {
        Ref module = Ref::steal(engine);
        Ref names = Ref::checked(PyList_New(0));
        for (PyObject* name : candidates) check(PyList_Append(names.get(), name));
        suggestion = Ref::steal(
            PyObject_CallMethodObjArgs(module.get(), state.generate_suggestions.object, names.get(), keyword, nullptr));
    }
    PyErr_Clear();
    if (suggestion && suggestion.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     qualname_of(function), keyword, suggestion.get());
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", qualname_of(function), keyword);
    }
    throw PythonError();
}

[[noreturn]] inline void raise_too_many_positional(PyObject* function, Py_ssize_t positional_count,
                                                   Py_ssize_t default_count, Py_ssize_t given,
                                                   Py_ssize_t keyword_only_given) {
    const Ref takes = Ref::checked(
        default_count != 0
            ? PyUnicode_FromFormat("from %zd to %zd", positional_count - default_count, positional_count)
            : PyUnicode_FromFormat("%zd", positional_count));
    const Ref also = Ref::checked(
        keyword_only_given != 0
            ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)", given != 1 ? "s" : "",
                                   keyword_only_given, keyword_only_given != 1 ? "s" : "")
            : PyUnicode_FromStringAndSize(nullptr, 0));
    const bool plural = default_count != 0 || positional_count != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", qualname_of(function),
                 takes.get(), plural ? "s" : "", given, also.get(),
                 given == 1 && keyword_only_given == 0 ? "was" : "were");
    throw PythonError();
}

// Binds vectorcall arguments to the parameters the way the interpreter
// binds them for a def: the same checks in the same order, the same
// messages, and the function's current __defaults__ and __kwdefaults__.
template <class State>
class Binding {
public:
    Binding(const State& state, const FunctionSpec<State>& spec, PyObject* function, PyObject* const* args,
            std::size_t nargsf, PyObject* kwnames)
        : size_(spec.params.size()) {
        const auto params = spec.params;
        const auto nargs = PyVectorcall_NARGS(nargsf);
        const auto positional_count = static_cast<Py_ssize_t>(
            std::ranges::count(params, ParamKind::positional_or_keyword, &Param<State>::kind));
        const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        std::array<PyObject*, kMaxParams> names{};
        for (std::size_t i = 0; i < params.size(); ++i) names[i] = (state.*params[i].name).object;
        const std::span<PyObject* const> parameter_names(names.data(), params.size());

        for (Py_ssize_t i = 0; i < std::min(nargs, positional_count); ++i) bound_[static_cast<std::size_t>(i)] = args[i];
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            const std::size_t index = parameter_index(parameter_names, keyword);
            if (index == params.size()) raise_unexpected_keyword(state, function, parameter_names, keyword);
            if (bound_[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", qualname_of(function),
                             keyword);
                throw PythonError();
            }
            bound_[index] = args[nargs + k];
        }

        defaults_ = Ref::borrow(PyFunction_GetDefaults(function));
        const Py_ssize_t default_count = defaults_ ? PyTuple_GET_SIZE(defaults_.get()) : 0;
        if (nargs > positional_count) {
            Py_ssize_t keyword_only_given = 0;
            for (std::size_t i = static_cast<std::size_t>(positional_count); i < params.size(); ++i) {
                keyword_only_given += bound_[i] != nullptr;
            }
            raise_too_many_positional(function, positional_count, default_count, nargs, keyword_only_given);
        }

        // Positional parameters from the first with a default on take the
        // last values of __defaults__.
        const Py_ssize_t first_default = positional_count - default_count;
        std::array<PyObject*, kMaxParams> missing{};
        std::size_t missing_count = 0;
        for (Py_ssize_t i = nargs; i < first_default; ++i) {
            if (bound_[static_cast<std::size_t>(i)] == nullptr) missing[missing_count++] = names[static_cast<std::size_t>(i)];
        }
        if (missing_count != 0) raise_missing(function, std::span(missing.data(), missing_count), "positional");
        for (Py_ssize_t i = std::max<Py_ssize_t>(first_default, 0); i < positional_count; ++i) {
            auto& slot = bound_[static_cast<std::size_t>(i)];
            if (slot == nullptr) slot = PyTuple_GET_ITEM(defaults_.get(), i - first_default);
        }

        PyObject* keyword_defaults = PyFunction_GetKwDefaults(function);
        for (std::size_t i = static_cast<std::size_t>(positional_count); i < params.size(); ++i) {
            if (bound_[i] != nullptr) continue;
            PyObject* value = nullptr;
            if (keyword_defaults != nullptr) check(PyDict_GetItemRef(keyword_defaults, names[i], &value));
            if (value == nullptr) {
                missing[missing_count++] = names[i];
                continue;
            }
            owned_[i] = Ref::steal(value);
            bound_[i] = value;
        }
        if (missing_count != 0) raise_missing(function, std::span(missing.data(), missing_count), "keyword-only");
    }

    Args args() const { return Args(bound_.data(), size_); }

private:
    // The interpreter compares identities first (keywords at a call site
    // are interned, like parameter names), then values.
    static std::size_t parameter_index(std::span<PyObject* const> names, PyObject* keyword) {
        if (const auto found = std::ranges::find(names, keyword); found != names.end()) {
            return static_cast<std::size_t>(found - names.begin());
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            const int same = PyObject_RichCompareBool(names[i], keyword, Py_EQ);
            check(same);
            if (same) return i;
        }
        return names.size();
    }

    std::size_t size_;
    std::array<PyObject*, kMaxParams> bound_{};
    Ref defaults_;                          // keeps the positional defaults alive through the call
    std::array<Ref, kMaxParams> owned_{};  // the keyword-only defaults
};

// The module a function was made in, which its closure holds. Checked, as
// Python code can rebind a cell's contents.
template <class State>
Ref defining_module(PyObject* function) {
    PyObject* cell = PyTuple_GET_ITEM(PyFunction_GetClosure(function), 0);
    Ref module = Ref::steal(PyCell_Get(cell));
    if (!module || !PyModule_Check(module.get()) || PyModule_GetDef(module.get()) != &State::definition ||
        state_of<State>(module.get()).globals == nullptr) {
        PyErr_Format(PyExc_SystemError, "%U() has lost its module", qualname_of(function));
        throw PythonError();
    }
    return module;
}

template <const auto& spec>
PyObject* vectorcall(PyObject* function, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    using State = typename std::remove_cvref_t<decltype(spec)>::StateType;
    constexpr bool all_positional = std::ranges::none_of(
        spec.params, [](const Param<State>& param) { return param.kind == ParamKind::keyword_only; });
    return guarded([&] {
        const Ref module = defining_module<State>(function);
        const State& state = state_of<State>(module.get());
        // Every parameter given by position: nothing to bind.
        if (all_positional && kwnames == nullptr && PyVectorcall_NARGS(nargsf) == std::ssize(spec.params)) {
            return spec.impl(state, Args(args, spec.params.size()));
        }
        const Binding<State> binding(state, spec, function, args, nargsf, kwnames);
        return spec.impl(state, binding.args());
    });
}

// A code object that declares the function's signature, the parameters as
// its arguments and the module as its one free variable, which is all that
// inspect and the interpreter read of it; the calls never run it (if
// executed directly, it raises AssertionError).
template <class State>
Ref signature_code(PyObject* module, const State& state, const FunctionSpec<State>& spec, PyObject* qualname) {
    Ref filename = Ref::steal(PyModule_GetFilenameObject(module));
    if (!filename) {
        PyErr_Clear();
        filename = Ref::checked(PyModule_GetNameObject(module));
    }
    const char* filename_utf8 = PyUnicode_AsUTF8(filename.get());
    const char* name_utf8 = PyUnicode_AsUTF8((state.*spec.name).object);
    if (filename_utf8 == nullptr || name_utf8 == nullptr) throw PythonError();
    Ref empty = Ref::checked(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename_utf8, name_utf8, 1)));

    std::array<Name, kMaxParams> names{};
    for (std::size_t i = 0; i < spec.params.size(); ++i) names[i] = state.*spec.params[i].name;
    const auto keyword_only = std::ranges::count(spec.params, ParamKind::keyword_only, &Param<State>::kind);
    const auto parameter_count = static_cast<long>(spec.params.size());
    Ref argcount = integer(parameter_count - keyword_only);
    Ref kwonlyargcount = integer(keyword_only);
    Ref nlocals = integer(parameter_count);
    Ref varnames = tuple_of(std::span(names.data(), spec.params.size()));
    Ref freevars = Ref::checked(Py_BuildValue("(s)", "module"));
    Ref flags = integer(CO_OPTIMIZED | CO_NEWLOCALS);
    Ref keywords = Ref::checked(Py_BuildValue("(sssssss)", "co_argcount", "co_kwonlyargcount", "co_nlocals",
                                              "co_varnames", "co_freevars", "co_flags", "co_qualname"));
    Ref replace = Ref::checked(PyObject_GetAttrString(empty.get(), "replace"));
    PyObject* argv[] = {argcount.get(), kwonlyargcount.get(), nlocals.get(), varnames.get(),
                        freevars.get(), flags.get(),          qualname};
    return Ref::checked(PyObject_Vectorcall(replace.get(), argv, 0, keywords.get()));
}

}  // namespace detail

// A new function of `module`, a plain Python function object to everything
// that looks at it. `defaults` holds the values of the parameters that have
// one, in declaration order.
template <const auto& spec, class State>
Ref make_function(PyObject* module, const State& state, std::initializer_list<PyObject*> defaults = {}) {
    static_assert(std::is_same_v<State, typename std::remove_cvref_t<decltype(spec)>::StateType>);
    if (std::cmp_not_equal(defaults.size(), std::ranges::count_if(spec.params, &Param<State>::has_default))) {
        PyErr_SetString(PyExc_SystemError, "make_function: defaults do not match the parameters");
        throw PythonError();
    }
    Ref qualname = spec.qualname ? Ref::steal(detail::intern(spec.qualname).object)
                                 : Ref::borrow((state.*spec.name).object);
    Ref code = detail::signature_code(module, state, spec, qualname.get());
    Ref function = Ref::checked(PyFunction_NewWithQualName(code.get(), state.globals, qualname.get()));

    if (defaults.size() != 0) {
        Ref values = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
        Py_ssize_t index = 0;
        for (PyObject* value : defaults) PyTuple_SET_ITEM(values.get(), index++, Py_NewRef(value));
        check(PyFunction_SetDefaults(function.get(), values.get()));
    }
    Ref cell = Ref::checked(PyCell_New(module));
    Ref closure = Ref::checked(PyTuple_Pack(1, cell.get()));
    check(PyFunction_SetClosure(function.get(), closure.get()));

    Ref annotations = Ref::checked(PyDict_New());
    auto annotate = [&](PyObject* key, const char* annotation) {
        if (annotation == nullptr) return;
        Ref text = Ref::checked(PyUnicode_FromString(annotation));
        check(PyDict_SetItem(annotations.get(), key, text.get()));
    };
    for (const Param<State>& param : spec.params) annotate((state.*param.name).object, param.annotation);
    Ref return_key = Ref::steal(detail::intern("return").object);
    annotate(return_key.get(), spec.return_annotation);
    check(PyFunction_SetAnnotations(function.get(), annotations.get()));

    Ref doc = Ref::checked(PyUnicode_FromString(spec.doc));
    check(PyObject_SetAttrString(function.get(), "__doc__", doc.get()));
    PyFunction_SetVectorcall(reinterpret_cast<PyFunctionObject*>(function.get()), detail::vectorcall<spec>);
    return function;
}

// Binds a new function as the module global of its name.
template <const auto& spec, class State>
void add_function(PyObject* module, const State& state, std::initializer_list<PyObject*> defaults = {}) {
    set_global(state, state.*spec.name, make_function<spec>(module, state, defaults));
}

}  // namespace quor::py
