// quor_camera_sdk.cameras.quor_pockel: the compact stereo model.
//
// Same firmware class as the reference model: it shares QUOR_ORIDAN's mode
// and control tables (the very tuples) and differs only in its SKUs.
#include "derived_model.hpp"
#include "pysupport.hpp"

namespace {

using namespace quor::py;
using namespace quor::model;

constexpr char kModuleDoc[] =
    "QUOR Pockel — CameraSpec.\n"
    "\n"
    "The compact stereo model. Same firmware class as QUOR Oridan: identical\n"
    "capture modes and UVC control inventory, so it reuses QUOR_ORIDAN's\n"
    "tables and only its SKU catalogue differs.";

constexpr const char* kLenses[] = {"REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE"};
constexpr const char* kMounts[] = {"NO-MOUNT", "SIDE-MOUNTS"};

// Cameras first ("STEREO-CAMERA-POCKEL-<lens>-LENSES-V21"), then modules with
// the two mounts of each lens side by side.
Ref make_skus(PyObject* module) {
    const std::vector<Ref> lenses = collect(global(module, "_POCKEL_LENSES").get());
    const std::vector<Ref> mounts = collect(global(module, "_POCKEL_MOUNTS").get());
    std::vector<Ref> skus;
    for (const Ref& lens : lenses) {
        skus.push_back(Ref::checked(PyUnicode_FromFormat("STEREO-CAMERA-POCKEL-%S-LENSES-V21", lens.get())));
    }
    for (const Ref& lens : lenses) {
        for (const Ref& mount : mounts) {
            skus.push_back(Ref::checked(
                PyUnicode_FromFormat("STEREO-CAMERA-MODULE-POCKEL-%S-LENSES-%S-V21", lens.get(), mount.get())));
        }
    }
    return tuple(skus);
}

int exec_module(PyObject* module) noexcept {
    return guarded_status([&] {
        import_reference_model(module);
        set_global(module, "_POCKEL_LENSES", text_tuple(kLenses));
        set_global(module, "_POCKEL_MOUNTS", text_tuple(kMounts));
        set_global(module, "QUOR_POCKEL", derived_spec(module, make_skus(module)));
    });
}

PyModuleDef module_def = module_definition("quor_camera_sdk.cameras.quor_pockel", kModuleDoc, module_slots<exec_module>);

}  // namespace

PyMODINIT_FUNC PyInit_quor_pockel() { return PyModuleDef_Init(&module_def); }
