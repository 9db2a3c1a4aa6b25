"""The compact and wide-field models, and the SKU registry over all three."""

import pytest

import quor_camera_sdk.cameras.quor_pockel as pockel
import quor_camera_sdk.cameras.quor_sevrine as sevrine
from quor_camera_sdk.cameras import camera_spec
from quor_camera_sdk.cameras.camera_spec import CameraSpec, build_registry, spec_by_sku
from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN
from quor_camera_sdk.cameras.quor_pockel import QUOR_POCKEL
from quor_camera_sdk.cameras.quor_sevrine import QUOR_SEVRINE

MODELS = {"oridan": QUOR_ORIDAN, "pockel": QUOR_POCKEL, "sevrine": QUOR_SEVRINE}


@pytest.mark.parametrize(
    "module, names",
    [
        (pockel, ["QUOR_ORIDAN", "CameraSpec", "_POCKEL_LENSES", "_POCKEL_MOUNTS", "QUOR_POCKEL"]),
        (sevrine, ["QUOR_ORIDAN", "CameraSpec", "_SEVRINE_LENSES", "QUOR_SEVRINE"]),
    ],
)
def test_module_namespace(module, names):
    assert [name for name in vars(module) if not name.startswith("__")] == names
    assert module.QUOR_ORIDAN is QUOR_ORIDAN and module.CameraSpec is CameraSpec


def test_component_tuples():
    assert pockel._POCKEL_LENSES == ("REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE")
    assert pockel._POCKEL_MOUNTS == ("NO-MOUNT", "SIDE-MOUNTS")
    assert sevrine._SEVRINE_LENSES == ("REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE", "ULTRA-FISHEYE")


@pytest.mark.parametrize("spec", [QUOR_POCKEL, QUOR_SEVRINE], ids=["pockel", "sevrine"])
def test_tables_are_the_reference_tuples(spec):
    assert spec.modes is QUOR_ORIDAN.modes
    assert spec.controls is QUOR_ORIDAN.controls
    assert spec.windows_controls is QUOR_ORIDAN.windows_controls


def test_pockel_skus():
    skus = QUOR_POCKEL.skus
    assert isinstance(skus, tuple) and len(skus) == 12
    assert skus[:4] == tuple(f"STEREO-CAMERA-POCKEL-{lens}-LENSES-V21" for lens in pockel._POCKEL_LENSES)
    assert skus[4:6] == (
        "STEREO-CAMERA-MODULE-POCKEL-REGULAR-LENSES-NO-MOUNT-V21",
        "STEREO-CAMERA-MODULE-POCKEL-REGULAR-LENSES-SIDE-MOUNTS-V21",
    )
    assert skus[-1] == "STEREO-CAMERA-MODULE-POCKEL-FISHEYE-LENSES-SIDE-MOUNTS-V21"


def test_sevrine_skus():
    skus = QUOR_SEVRINE.skus
    assert isinstance(skus, tuple) and len(skus) == 10
    lenses = sevrine._SEVRINE_LENSES
    assert skus == tuple(f"STEREO-CAMERA-SEVRINE-{lens}-LENSES-V21" for lens in lenses) + tuple(
        f"STEREO-CAMERA-MODULE-SEVRINE-{lens}-LENSES-V21" for lens in lenses
    )


def test_registry_resolves_every_sku_to_its_own_model():
    all_skus = [sku for spec in MODELS.values() for sku in spec.skus]
    assert len(all_skus) == len(set(all_skus)) == 78
    for spec in MODELS.values():
        assert all(spec_by_sku(sku) is spec for sku in spec.skus)


@pytest.mark.parametrize(
    "sku",
    ["", "STEREO-CAMERA", "stereo-camera-pockel-wide-lenses-v21", " STEREO-CAMERA-POCKEL-WIDE-LENSES-V21"],
)
def test_registry_matches_whole_texts_only(sku):
    assert spec_by_sku(sku) is None


def test_registry_refuses_a_sku_listed_by_two_models():
    clash = CameraSpec(skus=("X", QUOR_POCKEL.skus[3]), modes=(), controls=())
    with pytest.raises(RuntimeError, match="STEREO-CAMERA-POCKEL-FISHEYE-LENSES-V21"):
        build_registry([QUOR_POCKEL, clash])
    assert build_registry([QUOR_POCKEL, QUOR_POCKEL]) == dict.fromkeys(QUOR_POCKEL.skus, QUOR_POCKEL)
    assert camera_spec._registry() == build_registry(MODELS.values())
