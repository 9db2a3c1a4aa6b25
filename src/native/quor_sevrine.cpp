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

struct State : DerivedModelState {
    Name lenses, spec;
};

constexpr Interned<State> kOwnNames[] = {
    {&State::lenses, "_SEVRINE_LENSES"},
    {&State::spec, "QUOR_SEVRINE"},
};
constexpr auto kNames = join(kDerivedModelNames<State>, kOwnNames);
constexpr StateSpec<State> kStateSpec{kNames, kDerivedModelCalls<State>, {}};
static_assert(covers_every_reference(kStateSpec));

// Cameras first, then modules, each in lens order.
Ref make_skus(const State& st) {
    Ref lenses = items_of(st, st.lenses);
    Ref skus = Ref::checked(PyList_New(0));
    for (const char* format : {"STEREO-CAMERA-SEVRINE-%S-LENSES-V21", "STEREO-CAMERA-MODULE-SEVRINE-%S-LENSES-V21"}) {
        for (PyObject* lens : std::span(PySequence_Fast_ITEMS(lenses.get()), PyTuple_GET_SIZE(lenses.get()))) {
            Ref sku = Ref::checked(PyUnicode_FromFormat(format, lens));
            check(PyList_Append(skus.get(), sku.get()));
        }
    }
    return Ref::checked(PyList_AsTuple(skus.get()));
}

void exec_module(PyObject*, State& st) {
    import_reference_model(st);
    set_global(st, st.lenses, text_tuple(kLenses));
    set_global(st, st.spec, derived_spec(st, make_skus(st)));
}

PyModuleDef module_def =
    module_definition<State, kStateSpec, exec_module>("quor_camera_sdk.cameras.quor_sevrine", kModuleDoc);

}  // namespace

PyMODINIT_FUNC PyInit_quor_sevrine() { return PyModuleDef_Init(&module_def); }
