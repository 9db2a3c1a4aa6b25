// What the models derived from QUOR Oridan have in common: they import the
// reference model's CameraSpec and publish a CameraSpec of their own SKUs over
// its tables, passed on as the same tuple objects.
#pragma once

#include "pysupport.hpp"

namespace quor::model {

using py::Name;
using py::Ref;

struct DerivedModelState : py::ModuleState {
    Name quor_oridan_module, camera_spec_module, quor_oridan, camera_spec;
    Name skus, modes, controls, windows_controls;
    py::Keywords spec_fields;
};

template <class State>
inline constexpr py::Interned<State> kDerivedModelNames[] = {
    {&State::quor_oridan_module, "quor_oridan"},
    {&State::camera_spec_module, "camera_spec"},
    {&State::quor_oridan, "QUOR_ORIDAN"},
    {&State::camera_spec, "CameraSpec"},
    {&State::skus, "skus"},
    {&State::modes, "modes"},
    {&State::controls, "controls"},
    {&State::windows_controls, "windows_controls"},
};

template <class State>
inline constexpr Name State::* kSpecFields[] = {&State::skus, &State::modes, &State::controls,
                                                &State::windows_controls};

template <class State>
inline constexpr py::CallSite<State> kDerivedModelCalls[] = {{&State::spec_fields, kSpecFields<State>}};

// from .quor_oridan import QUOR_ORIDAN; from .camera_spec import CameraSpec
inline void import_reference_model(const DerivedModelState& st) {
    py::set_global(st, st.quor_oridan, py::import_from(st, st.quor_oridan_module, st.quor_oridan, 1));
    py::set_global(st, st.camera_spec, py::import_from(st, st.camera_spec_module, st.camera_spec, 1));
}

// A tuple of str from UTF-8 literals.
inline Ref text_tuple(std::span<const char* const> values) {
    Ref result = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), py::text(values[i]).release());
    }
    return result;
}

// The items of a module global, whatever iterable it is.
inline Ref items_of(const DerivedModelState& st, Name global) {
    return Ref::checked(PySequence_Tuple(py::global(st, global).get()));
}

// CameraSpec(skus=skus, modes=QUOR_ORIDAN.modes, controls=QUOR_ORIDAN.controls,
//            windows_controls=QUOR_ORIDAN.windows_controls)
inline Ref derived_spec(const DerivedModelState& st, const Ref& skus) {
    Ref camera_spec = py::global(st, st.camera_spec);
    Ref reference = py::global(st, st.quor_oridan);
    Ref modes = py::getattr(reference.get(), st.modes);
    Ref controls = py::getattr(reference.get(), st.controls);
    Ref windows_controls = py::getattr(reference.get(), st.windows_controls);
    return py::call_kw(camera_spec.get(), {}, st.spec_fields,
                       {skus.get(), modes.get(), controls.get(), windows_controls.get()});
}

}  // namespace quor::model
