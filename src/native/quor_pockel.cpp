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

struct State : DerivedModelState {
    Name lenses, mounts, spec;
};

constexpr Interned<State> kOwnNames[] = {
    {&State::lenses, "_POCKEL_LENSES"},
    {&State::mounts, "_POCKEL_MOUNTS"},
    {&State::spec, "QUOR_POCKEL"},
};
constexpr auto kNames = join(kDerivedModelNames<State>, kOwnNames);
constexpr StateSpec<State> kStateSpec{kNames, kDerivedModelCalls<State>, {}};
static_assert(covers_every_reference(kStateSpec));

// Cameras first ("STEREO-CAMERA-POCKEL-<lens>-LENSES-V21"), then modules with
// the two mounts of each lens side by side.
Ref make_skus(const State& st) {
    Ref lenses = items_of(st, st.lenses);
    Ref mounts = items_of(st, st.mounts);
    Ref skus = Ref::checked(PyList_New(0));
    for (PyObject* lens : std::span(PySequence_Fast_ITEMS(lenses.get()), PyTuple_GET_SIZE(lenses.get()))) {
        Ref sku = Ref::checked(PyUnicode_FromFormat("STEREO-CAMERA-POCKEL-%S-LENSES-V21", lens));
        check(PyList_Append(skus.get(), sku.get()));
    }
    for (PyObject* lens : std::span(PySequence_Fast_ITEMS(lenses.get()), PyTuple_GET_SIZE(lenses.get()))) {
        for (PyObject* mount : std::span(PySequence_Fast_ITEMS(mounts.get()), PyTuple_GET_SIZE(mounts.get()))) {
            Ref sku = Ref::checked(PyUnicode_FromFormat("STEREO-CAMERA-MODULE-POCKEL-%S-LENSES-%S-V21", lens, mount));
            check(PyList_Append(skus.get(), sku.get()));
        }
    }
    return Ref::checked(PyList_AsTuple(skus.get()));
}

void exec_module(PyObject*, State& st) {
    import_reference_model(st);
    set_global(st, st.lenses, text_tuple(kLenses));
    set_global(st, st.mounts, text_tuple(kMounts));
    set_global(st, st.spec, derived_spec(st, make_skus(st)));
}

PyModuleDef module_def =
    module_definition<State, kStateSpec, exec_module>("quor_camera_sdk.cameras.quor_pockel", kModuleDoc);

}  // namespace

PyMODINIT_FUNC PyInit_quor_pockel() { return PyModuleDef_Init(&module_def); }
