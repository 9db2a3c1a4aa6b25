// What the models derived from QUOR Oridan have in common: they import the
// reference model's CameraSpec and publish a CameraSpec of their own SKUs over
// its tables, passed on as the same tuple objects.
#pragma once

#include "pysupport.hpp"

namespace quor::model {

using py::Ref;

// from .quor_oridan import QUOR_ORIDAN; from .camera_spec import CameraSpec
inline void import_reference_model(PyObject* module) {
    py::set_global(module, "QUOR_ORIDAN", py::import_from(module, "quor_oridan", "QUOR_ORIDAN", 1));
    py::set_global(module, "CameraSpec", py::import_from(module, "camera_spec", "CameraSpec", 1));
}

// CameraSpec(skus=skus, modes=QUOR_ORIDAN.modes, controls=QUOR_ORIDAN.controls,
//            windows_controls=QUOR_ORIDAN.windows_controls)
inline Ref derived_spec(PyObject* module, const Ref& skus) {
    Ref camera_spec = py::global(module, "CameraSpec");
    Ref reference = py::global(module, "QUOR_ORIDAN");
    Ref modes = py::attr(reference.get(), "modes");
    Ref controls = py::attr(reference.get(), "controls");
    Ref windows_controls = py::attr(reference.get(), "windows_controls");
    return py::call(camera_spec.get(), {},
                    {{"skus", skus.get()},
                     {"modes", modes.get()},
                     {"controls", controls.get()},
                     {"windows_controls", windows_controls.get()}});
}

}  // namespace quor::model
