// quor_camera_sdk.cameras.quor_sevrine: the wide-field stereo model.
//
// Same firmware class as the reference model: it shares QUOR_ORIDAN's mode
// and control tables (the very tuples) and differs only in its SKUs.
#include "derived_model.hpp"
#include "pysupport.hpp"

namespace {

using namespace quor::py;
using namespace quor::model;

constexpr char kModuleDoc[] =
    "QUOR Sevrine — CameraSpec.\n"
    "\n"
    "The wide-field stereo model. Same firmware class as QUOR Oridan: identical\n"
    "capture modes and UVC control inventory, so it reuses QUOR_ORIDAN's\n"
    "tables and only its SKU catalogue differs. Its lens range adds\n"
    "ULTRA-FISHEYE, and its module SKUs carry no mount.";

constexpr const char* kLenses[] = {"REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE", "ULTRA-FISHEYE"};

// Cameras first, then modules, each in lens order.
Ref make_skus(PyObject* module) {
    const std::vector<Ref> lenses = collect(global(module, "_SEVRINE_LENSES").get());
    std::vector<Ref> skus;
    for (const char* format : {"STEREO-CAMERA-SEVRINE-%S-LENSES-V21", "STEREO-CAMERA-MODULE-SEVRINE-%S-LENSES-V21"}) {
        for (const Ref& lens : lenses) skus.push_back(Ref::checked(PyUnicode_FromFormat(format, lens.get())));
    }
    return tuple(skus);
}

int exec_module(PyObject* module) noexcept {
    return guarded_status([&] {
        import_reference_model(module);
        set_global(module, "_SEVRINE_LENSES", text_tuple(kLenses));
        set_global(module, "QUOR_SEVRINE", derived_spec(module, make_skus(module)));
    });
}

PyModuleDef module_def =
    module_definition("quor_camera_sdk.cameras.quor_sevrine", kModuleDoc, module_slots<exec_module>);

}  // namespace

PyMODINIT_FUNC PyInit_quor_sevrine() { return PyModuleDef_Init(&module_def); }
