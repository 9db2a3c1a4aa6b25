"""The extension modules' functions and imports, as the tools that look at
a def and at a from-import see them."""

import functools
import importlib
import inspect
import pydoc
import sys
import types
import typing
import urllib.request
from typing import Optional
from unittest import mock

import pytest

from quor_camera_sdk.cameras import camera_identity, device_lookup, quor_oridan
from quor_camera_sdk.cameras.camera_identity import QuorCameraIdentity
from quor_camera_sdk.cameras.camera_spec import CameraControl

from_dict = QuorCameraIdentity.__dict__["from_dict"].__func__

# Each exported function, the hints its annotations resolve to, and a
# valid call (positional arguments, keyword arguments).
FUNCTIONS = {
    "fetch_camera_identity_json": (
        device_lookup.fetch_camera_identity_json,
        {"camera_serial": str, "timeout": float, "return": dict},
        (("QC-1", 1.0), {}),
    ),
    "_user_agent": (device_lookup._user_agent, {"return": str}, ((), {})),
    "list_connected_quor_cameras": (
        camera_identity.list_connected_quor_cameras,
        {"return": list[QuorCameraIdentity]},
        ((), {}),
    ),
    "get_first_connected_quor_camera": (
        camera_identity.get_first_connected_quor_camera,
        {"return": QuorCameraIdentity},
        ((), {}),
    ),
    "get_connected_quor_camera_by_serial": (
        camera_identity.get_connected_quor_camera_by_serial,
        {"serial": str, "return": Optional[QuorCameraIdentity]},
        (("QC-1",), {}),
    ),
    "from_dict": (
        from_dict,
        {"payload": dict, "os_id": str, "return": Optional[QuorCameraIdentity]},
        ((QuorCameraIdentity, {}), {"os_id": "/dev/video0"}),
    ),
    "to_dict": (QuorCameraIdentity.to_dict, {"return": dict}, ((None,), {})),
    "_build_windows_controls": (
        quor_oridan._build_windows_controls,
        {"controls": tuple[CameraControl, ...], "return": tuple[CameraControl, ...]},
        (((),), {}),
    ),
}
each_function = pytest.mark.parametrize(("function", "hints", "call"), FUNCTIONS.values(), ids=FUNCTIONS)


@each_function
def test_annotations_resolve_in_the_module_namespace(function, hints, call):
    assert function.__globals__ is sys.modules[function.__module__].__dict__
    assert typing.get_type_hints(function) == hints

    evaluated = inspect.signature(function, eval_str=True)

    assert evaluated == inspect.signature(function).replace(
        parameters=[parameter.replace(annotation=eval(parameter.annotation, function.__globals__))
                    if parameter.annotation is not parameter.empty else parameter
                    for parameter in inspect.signature(function).parameters.values()],
        return_annotation=eval(function.__annotations__["return"], function.__globals__),
    )


@each_function
def test_autospec_checks_the_real_signature(function, hints, call):
    args, kwargs = call
    mocked = mock.create_autospec(function)

    with pytest.raises(TypeError):
        mocked(*args, "one too many", **kwargs)
    mocked(*args, **kwargs)
    mocked.assert_called_once_with(*args, **kwargs)


@each_function
def test_pydoc_documents_it_as_the_def_it_stands_for(function, hints, call):
    signature = inspect.signature(function)

    def reference(*args, **kwargs): ...

    reference.__signature__ = signature
    for attribute in ("__name__", "__qualname__", "__module__", "__doc__"):
        setattr(reference, attribute, getattr(function, attribute))

    assert pydoc.render_doc(function) == pydoc.render_doc(reference)


@each_function
def test_wraps_copies_from_it(function, hints, call):
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)

    assert wrapper.__wrapped__ is function
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__) == (
        function.__name__,
        function.__qualname__,
        function.__doc__,
    )
    assert inspect.signature(wrapper) == inspect.signature(function)


@pytest.fixture
def restored():
    """Puts back every attribute that update_wrapper changes on the
    functions passed to it."""
    saved = []

    def save(function):
        copied = [name for name in functools.WRAPPER_ASSIGNMENTS if name != "__annotate__"]
        saved.append((function, {name: getattr(function, name) for name in copied},
                      dict(function.__annotations__), dict(function.__dict__)))
        return function

    yield save
    for function, attributes, annotations, namespace in saved:
        for name, value in attributes.items():
            setattr(function, name, value)
        function.__annotations__ = annotations  # drops the __annotate__ copied in
        function.__dict__.clear()
        function.__dict__.update(namespace)


def test_update_wrapper_copies_onto_it(restored):
    native = restored(quor_oridan._build_windows_controls)

    def logged(controls: "list[CameraControl]") -> "tuple[CameraControl, ...]":
        """Logged derivation."""

    logged.version = 2

    functools.update_wrapper(native, logged)

    assert (native.__name__, native.__qualname__, native.__doc__) == ("logged", logged.__qualname__, logged.__doc__)
    assert native.__wrapped__ is logged and native.version == 2
    assert inspect.signature(native) == inspect.signature(logged)
    # Still the native function underneath.
    assert native(()) == ()


def test_defaults_are_read_at_each_call_as_a_def_reads_them(monkeypatch, make_device_info):
    fetch = device_lookup.fetch_camera_identity_json
    assert (fetch.__defaults__, fetch.__kwdefaults__, from_dict.__defaults__, from_dict.__kwdefaults__) == (
        (10.0,), None, None, None,
    )
    timeouts = []
    response = mock.MagicMock(**{"__enter__.return_value.read.return_value": b"{}"})
    monkeypatch.setattr(urllib.request, "urlopen", lambda request, timeout: timeouts.append(timeout) or response)
    monkeypatch.setattr(fetch, "__defaults__", (2.5,))
    monkeypatch.setattr(from_dict, "__kwdefaults__", {"os_id": "/dev/video9"})

    fetch("QC-1")
    document = make_device_info(sku=quor_oridan.QUOR_ORIDAN.skus[0])

    assert timeouts == [2.5]
    assert QuorCameraIdentity.from_dict(document).os_id == "/dev/video9"
    assert str(inspect.signature(fetch)) == "(camera_serial: 'str', timeout: 'float' = 2.5) -> 'dict'"


def test_doc_and_attributes_are_writable(monkeypatch):
    fetch = device_lookup.fetch_camera_identity_json
    monkeypatch.setattr(fetch, "__doc__", "Fetch, as the application documents it.")
    monkeypatch.setattr(fetch, "cache_hint", "none", raising=False)

    assert fetch.__doc__ == "Fetch, as the application documents it."
    assert vars(fetch) == {"cache_hint": "none"}


# ---------------------------------------------------------------------------
# A from-import that fails


def stub_module(name):
    """A module object with no spec and no file, made by hand."""
    return types.ModuleType(name)


IMPORT_FAILURES = {
    "name-missing": ("quor_camera_sdk.cameras.camera_spec", "CaptureMode", "quor_camera_sdk.cameras.quor_oridan", None),
    "stub-module": ("quor_camera_sdk.platform", "current_backend", "quor_camera_sdk.cameras.camera_identity",
                    stub_module),
    "not-a-module": ("quor_camera_sdk.calibration", "Calibration", "quor_camera_sdk.cameras.camera_identity",
                     lambda name: object()),
}


@pytest.mark.parametrize(("module", "name", "importer", "replacement"), IMPORT_FAILURES.values(),
                         ids=IMPORT_FAILURES)
def test_a_failed_from_import_raises_what_the_interpreter_raises(monkeypatch, module, name, importer, replacement):
    if replacement is None:
        monkeypatch.delattr(sys.modules[module], name)
    else:
        monkeypatch.setitem(sys.modules, module, replacement(module))
    monkeypatch.delitem(sys.modules, importer)
    with pytest.raises(ImportError) as reference:
        exec(f"from {module} import {name}", {})

    with pytest.raises(ImportError) as native:
        importlib.import_module(importer)

    assert type(native.value) is type(reference.value)
    assert (str(native.value), native.value.name, native.value.name_from, native.value.path) == (
        str(reference.value), reference.value.name, reference.value.name_from, reference.value.path,
    )


@pytest.mark.parametrize("contents", [object(), sys, None], ids=["object", "another-module", "emptied"])
def test_a_closure_rebound_from_python_fails_cleanly(monkeypatch, contents):
    fetch = device_lookup.fetch_camera_identity_json
    [cell] = fetch.__closure__
    if contents is None:
        monkeypatch.delattr(cell, "cell_contents")
    else:
        monkeypatch.setattr(cell, "cell_contents", contents)

    with pytest.raises(SystemError, match=r"fetch_camera_identity_json\(\) has lost its module"):
        fetch("QC-1")
