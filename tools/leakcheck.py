"""Reference and memory-block leak check of the five extension modules.

Runs on the debug interpreter against the debug build of the modules
(tools/build-debug.sh lays it out; `make leaks` runs both):

    PYTHONPATH=build/debug/site python3.14d tools/leakcheck.py

Every scenario below drives public entry points of the modules on one kind
of path, error paths included, many times per round. After warm-up rounds
(caches, interned strings, lazily imported modules settle), each scenario
runs several measured rounds; sys.gettotalrefcount() and
sys.getallocatedblocks() are read before and after each round. As in
CPython's `regrtest -R`, a scenario leaks when a counter grew in every
measured round: a one-off delta is noise, a real leak repeats.

The device-information service is a local HTTP server on 127.0.0.1 in a
child process (its own allocations stay out of the counts).
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import functools
import gc
import http.server
import importlib
import importlib.metadata
import inspect
import json
import logging
import os
import pickle
import socket
import subprocess
import sys
import threading
import types
import typing
import urllib.error
import urllib.parse
import urllib.request
import warnings
import weakref
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from importlib import resources
from unittest import mock

MODULES = ("device_lookup", "camera_identity", "quor_oridan", "quor_pockel", "quor_sevrine")
PACKAGE = "quor_camera_sdk.cameras"

SERVICE_PATH = "/api/public/camera-identity"
# A reference-model unit's document, as the demo serves it: the package data
# travels with the package copy the debug build lays out.
SAMPLE = json.loads(resources.files(PACKAGE).joinpath("demo", "QOR21A0417.json").read_text(encoding="utf-8"))
REAL_SKU = SAMPLE["sku"]
CALIBRATION_BLOCK = SAMPLE["base_calibration"]


def document(serial: str, **changes: object) -> dict:
    doc = {
        "serial_number": serial,
        "sku": REAL_SKU,
        "model_name": SAMPLE["model_name"],
        "base_calibration": copy.deepcopy(CALIBRATION_BLOCK),
    }
    doc.update(changes)
    return {key: value for key, value in doc.items() if value is not None}


def malformed_calibration(kind: str) -> dict:
    """A calibration block that makes Calibration.from_dict raise `kind`."""
    block = copy.deepcopy(CALIBRATION_BLOCK)
    if kind == "ValueError":
        block["version"] = 2
    elif kind == "KeyError":
        del block["cameras"][0]["intrinsics"]["fx"]
    else:
        block["cameras"][1]["intrinsics"]["fy"] = "701"
    return block


# Serial -> (status, body) of the local service; anything else is a 404.
RESPONSES: dict[str, tuple[int, bytes]] = {
    "QL-OK": (200, json.dumps(document("QL-OK")).encode()),
    "QL-OK-2": (200, json.dumps(document("QL-OK-2", model_name=7)).encode()),
    "QL-UNKNOWN-SKU": (200, json.dumps(document("QL-UNKNOWN-SKU", sku="NO-SUCH-SKU")).encode()),
    "QL-NO-CALIBRATION": (200, json.dumps(document("QL-NO-CALIBRATION", base_calibration=[])).encode()),
    "QL-BAD-CALIBRATION": (
        200,
        json.dumps(document("QL-BAD-CALIBRATION", base_calibration=malformed_calibration("KeyError"))).encode(),
    ),
    "QL-NO-SKU": (200, json.dumps({"serial_number": "QL-NO-SKU"}).encode()),
    "QL-NOT-UTF8": (200, b'{"serial_number": "\xff"}'),
    "QL-BAD-JSON": (200, b'{"serial_number": '),
    "QL-500": (500, b'{"detail": "down"}'),
}


# ---------------------------------------------------------------------------
# The local service (child process)


class ServiceHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self) -> None:
        query = urllib.parse.urlsplit(self.path).query
        serial = urllib.parse.parse_qs(query, keep_blank_values=True).get("serial_number", [""])[0]
        status, body = RESPONSES.get(serial, (404, b'{"detail": "unknown serial number"}'))
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        pass


def serve() -> None:
    """Child process: serves until its standard input closes."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), ServiceHandler)
    print(server.server_address[1], flush=True)
    threading.Thread(target=lambda: (sys.stdin.read(), server.shutdown()), daemon=True).start()
    server.serve_forever(poll_interval=0.05)


@contextlib.contextmanager
def local_service() -> Iterator[str]:
    """The service URL (to which a quoted serial is appended)."""
    child = subprocess.Popen(
        [sys.executable, __file__, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    try:
        port = int(child.stdout.readline())
        yield f"http://127.0.0.1:{port}{SERVICE_PATH}?serial_number="
    finally:
        child.stdin.close()
        child.wait(timeout=30)
        child.stdout.close()


# ---------------------------------------------------------------------------
# Helpers of the scenarios


def raises(expected: type[BaseException] | tuple[type[BaseException], ...], function: Callable, *args, **kwargs):
    """Calls function and checks that it raises `expected`; returns nothing,
    so the exception and its traceback die here."""
    try:
        function(*args, **kwargs)
    except expected as error:
        if isinstance(error, urllib.error.HTTPError):
            error.close()
        return
    raise AssertionError(f"{function!r}{args} did not raise {expected}")


class Failure(Exception):
    """An error the modules do not expect: it must propagate."""


class Interrupt(BaseException):
    """Not an Exception: nothing in the modules may catch it."""


MISSING = object()


@contextlib.contextmanager
def rebound(module: types.ModuleType, **values: object) -> Iterator[None]:
    """Module attributes rebound for the duration (as monkeypatch does)."""
    saved = {name: getattr(module, name, MISSING) for name in values}
    for name, value in values.items():
        if value is MISSING:
            delattr(module, name)
        else:
            setattr(module, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is MISSING:
                if hasattr(module, name):
                    delattr(module, name)
            else:
                setattr(module, name, value)


@contextlib.contextmanager
def proxied_environment() -> Iterator[None]:
    """An unreachable proxy named for http; urlopen's cached opener, which
    holds the proxies it read, is dropped on the way in and out."""
    saved = os.environ.get("http_proxy")
    os.environ["http_proxy"] = "http://127.0.0.1:9"
    urllib.request._opener = None
    try:
        yield
    finally:
        if saved is None:
            del os.environ["http_proxy"]
        else:
            os.environ["http_proxy"] = saved
        urllib.request._opener = None


def deeply_nested(depth: int) -> list:
    value: list = []
    for _ in range(depth):
        value = [value]
    return value


@dataclass(frozen=True)
class Device:
    serial: object
    os_id: str


@dataclass
class Backend:
    devices: object

    def list_cameras(self) -> object:
        return self.devices


class NamedBadly:
    """A control whose name cannot be read."""

    @property
    def name(self) -> str:
        raise Failure("unreadable name")


class NameComparesBadly:
    class Name:
        def __eq__(self, other: object) -> bool:
            raise Failure("uncomparable name")

    name = Name()


class NotADataclass:
    name = "exposure"


class SerialTruthFails:
    def __bool__(self) -> bool:
        raise Failure("no truth value")


class SerialFails(SerialTruthFails):
    def __eq__(self, other: object) -> bool:
        raise Failure("uncomparable")

    __hash__ = None


# What a broken platform backend makes discovery raise.
BACKEND_ERRORS = (Failure, TypeError, AttributeError)


class TextFails:
    def __str__(self) -> str:
        raise Failure("no text")


# Context managers standing for urlopen's response.
class Response:
    def __init__(self, body: object = b"{}", suppress: bool = False, exit_error: BaseException | None = None):
        self.body, self.suppress, self.exit_error = body, suppress, exit_error

    def __enter__(self) -> Response:
        return self

    def __exit__(self, *exc_info: object) -> bool:
        if self.exit_error is not None:
            raise self.exit_error
        return self.suppress

    def read(self) -> object:
        if isinstance(self.body, BaseException):
            raise self.body
        return self.body


class EnterFails(Response):
    def __enter__(self) -> Response:
        raise Failure("cannot enter")


class OnlyExit:
    def __exit__(self, *exc_info: object) -> None:
        pass


class OnlyEnter:
    def __enter__(self) -> None:
        pass


class StaticEnter(Response):
    """__enter__ a staticmethod, as the interpreter allows: it gets no self."""

    @staticmethod
    def __enter__() -> Response:
        return Response(b"{}")


def fake_urllib(response_factory: Callable[[], object]) -> types.SimpleNamespace:
    """`urllib` with the real parse and Request, no proxies, and urlopen
    answering `response_factory()`."""
    request = types.SimpleNamespace(
        Request=urllib.request.Request, getproxies=dict, urlopen=lambda request, timeout: response_factory()
    )
    return types.SimpleNamespace(parse=urllib.parse, request=request)


# ---------------------------------------------------------------------------
# Scenarios


@dataclass
class Scenario:
    name: str
    run: Callable[[], None]
    # Runs of `run` per round; lower for the expensive ones.
    weight: float = 1.0
    refs: list[int] = field(default_factory=list)
    blocks: list[int] = field(default_factory=list)

    @property
    def leaks(self) -> bool:
        return leaking(self.refs) or leaking(self.blocks)


def leaking(deltas: list[int]) -> bool:
    # regrtest's rule: growth in every measured round. [3, 0, 0] or
    # [8, -8, 1] is noise; [5, 5, 6] or [10, 1, 1] is a leak.
    return bool(deltas) and all(delta >= 1 for delta in deltas)


def scenarios(service_url: str, refused_url: str) -> list[Scenario]:
    from quor_camera_sdk.cameras import camera_identity, device_lookup, quor_oridan

    fetch = device_lookup.fetch_camera_identity_json
    Record = camera_identity.QuorCameraIdentity
    reference = quor_oridan.QUOR_ORIDAN

    def fetch_paths() -> None:
        with rebound(device_lookup, _CAMERA_IDENTITY_URL=service_url):
            assert fetch("QL-OK")["serial_number"] == "QL-OK"
            assert fetch("QL-OK", timeout=5)["sku"] == REAL_SKU
            assert fetch(camera_serial="QL-OK", timeout=5.0)["model_name"] == "QUOR Oridan"
            raises(urllib.error.HTTPError, fetch, "QL-MISSING")
            raises(urllib.error.HTTPError, fetch, "QL-500")
            raises(UnicodeDecodeError, fetch, "QL-NOT-UTF8")
            raises(json.JSONDecodeError, fetch, "QL-BAD-JSON")
            raises(TypeError, fetch, 1234)
        with rebound(device_lookup, _CAMERA_IDENTITY_URL=refused_url):
            raises(urllib.error.URLError, fetch, "QL-OK")
        with rebound(device_lookup, _CAMERA_IDENTITY_URL=42):
            raises(TypeError, fetch, "QL-OK")
        with rebound(device_lookup, _CAMERA_IDENTITY_URL=service_url), proxied_environment():
            assert fetch("QL-OK")["serial_number"] == "QL-OK"
            raises(urllib.error.HTTPError, fetch, "QL-500")

    def fetch_collaborators() -> None:
        # Every module attribute fetch reads, rebound to something that fails.
        with rebound(device_lookup, urllib=fake_urllib(lambda: Response(b'{"a": 1}'))):
            assert fetch("QL-X") == {"a": 1}
        with rebound(device_lookup, urllib=fake_urllib(lambda: Response(Failure("read"), suppress=True))):
            raises(UnboundLocalError, fetch, "QL-X")
        with rebound(device_lookup, urllib=fake_urllib(lambda: Response(Failure("read")))):
            raises(Failure, fetch, "QL-X")
        with rebound(device_lookup, urllib=fake_urllib(lambda: Response(Failure("read"), exit_error=KeyError("x")))):
            raises(KeyError, fetch, "QL-X")
        with rebound(device_lookup, urllib=fake_urllib(lambda: Response(exit_error=Failure("exit")))):
            raises(Failure, fetch, "QL-X")
        with rebound(device_lookup, urllib=fake_urllib(EnterFails)):
            raises(Failure, fetch, "QL-X")
        with rebound(device_lookup, urllib=fake_urllib(lambda: Response("not bytes"))):
            raises(AttributeError, fetch, "QL-X")
        for not_a_context_manager in (object, OnlyExit, OnlyEnter):
            with rebound(device_lookup, urllib=fake_urllib(not_a_context_manager)):
                raises(TypeError, fetch, "QL-X")
        with rebound(device_lookup, urllib=fake_urllib(StaticEnter)):
            assert fetch("QL-X") == {}
        mock_response = mock.MagicMock(**{"__enter__.return_value.read.return_value": b"[1]"})
        with rebound(device_lookup, urllib=fake_urllib(lambda: mock_response)):
            assert fetch("QL-X") == [1]
        mock_response.reset_mock()
        with rebound(device_lookup, urllib=fake_urllib(lambda: Response(b"{}")), json=types.SimpleNamespace()):
            raises(AttributeError, fetch, "QL-X")
        for name in ("urllib", "json", "_LOGGER", "_USER_AGENT", "_CAMERA_IDENTITY_URL"):
            with rebound(device_lookup, urllib=fake_urllib(lambda: Response(b"{}"))), rebound(
                device_lookup, **{name: MISSING}
            ):
                raises(NameError, fetch, "QL-X")

    def user_agent_paths() -> None:
        assert device_lookup._user_agent() == device_lookup._USER_AGENT

        def unreadable(distribution: str) -> str:
            raise importlib.metadata.PackageNotFoundError(distribution)

        def interrupted(distribution: str) -> str:
            raise Interrupt

        with rebound(importlib.metadata, version=unreadable):
            assert device_lookup._user_agent().startswith("quor-camera-sdk (+")
        with rebound(importlib.metadata, version=lambda distribution: 3):
            assert device_lookup._user_agent().startswith("quor-camera-sdk/3 ")
        with rebound(importlib.metadata, version=interrupted):
            raises(Interrupt, device_lookup._user_agent)

    def argument_errors() -> None:
        for function, args, kwargs in [
            (fetch, (), {}),
            (fetch, ("a", 1, 2), {}),
            (fetch, ("a",), {"timout": 1}),
            (fetch, ("a",), {"zzzzzz": 1}),
            (fetch, ("a",), {"camera_serial": "b"}),
            (fetch, (), {"timeout": 1}),
            (device_lookup._user_agent, (1,), {}),
            (device_lookup._user_agent, (), {"x": 1}),
            (Record.from_dict, (), {}),
            (Record.from_dict, ({},), {}),
            (Record.from_dict, ({}, "/dev/video0"), {}),
            (Record.from_dict, ({},), {"os_id": "a", "osid": "b"}),
            (Record.from_dict, (), {"os_id": "a"}),
            (Record.to_dict, (), {}),
            (Record.to_dict, (1, 2), {}),
            (camera_identity.list_connected_quor_cameras, (1,), {}),
            (camera_identity.get_first_connected_quor_camera, (), {"serial": 1}),
            (camera_identity.get_connected_quor_camera_by_serial, (), {}),
            (camera_identity.get_connected_quor_camera_by_serial, ("a", "b"), {}),
            (camera_identity.get_connected_quor_camera_by_serial, (), {"serial": "a", "serials": "b"}),
            (quor_oridan._build_windows_controls, (), {}),
            (quor_oridan._build_windows_controls, ((), ()), {}),
            (quor_oridan._build_windows_controls, (), {"control": ()}),
        ]:
            raises(TypeError, function, *args, **kwargs)

    def from_dict_paths() -> None:
        record = Record.from_dict(document("QL-OK"), os_id="/dev/video0")
        assert record.serial == "QL-OK" and record.spec is reference
        assert Record.from_dict(document(7, model_name=None), os_id=None).model_name == ""
        for payload in [{}, document(""), document("QL-1", sku=""), document(None), document("QL-1", sku=None)]:
            assert Record.from_dict(payload, os_id="/dev/video0") is None
        assert Record.from_dict(document("QL-1", sku="NO-SUCH-SKU"), os_id="x") is None
        assert Record.from_dict(document("QL-1", sku=["NO", "SUCH"]), os_id="x") is None
        for calibration in (None, [], "block", 3):
            assert Record.from_dict(document("QL-1", base_calibration=calibration), os_id="x") is None
        for kind in ("ValueError", "KeyError", "TypeError"):
            assert Record.from_dict(document("QL-1", base_calibration=malformed_calibration(kind)), os_id="x") is None

    def from_dict_propagation() -> None:
        raises(AttributeError, Record.from_dict, [], os_id="x")
        raises(Failure, Record.from_dict, {"serial_number": SerialTruthFails(), "sku": "x"}, os_id="x")
        raises(Failure, Record.from_dict, document("QL-1", sku=TextFails()), os_id="x")

        class RaisingCalibration:
            @classmethod
            def from_dict(cls, block: dict) -> None:
                raise Failure("unexpected")

        with rebound(camera_identity, Calibration=RaisingCalibration):
            raises(Failure, Record.from_dict, document("QL-1"), os_id="x")
        with rebound(camera_identity, Calibration=MISSING):
            raises(NameError, Record.from_dict, document("QL-1"), os_id="x")
        with rebound(camera_identity, spec_by_sku=lambda sku: (_ for _ in ()).throw(Failure("registry"))):
            raises(Failure, Record.from_dict, document("QL-1"), os_id="x")
        with rebound(camera_identity, _LOGGER=MISSING):
            raises(NameError, Record.from_dict, document("QL-1", sku="NO-SUCH-SKU"), os_id="x")
            raises(NameError, Record.from_dict, document("QL-1", base_calibration=malformed_calibration("KeyError")),
                   os_id="x")

    def to_dict_paths() -> None:
        record = Record.from_dict(document("QL-OK"), os_id="/dev/video0")
        payload = record.to_dict()
        assert Record.from_dict(payload, os_id=record.os_id) == record
        assert Record.to_dict(record) == payload
        raises(AttributeError, Record.to_dict, object())
        raises(AttributeError, Record.to_dict, types.SimpleNamespace(serial=1, sku=2, model_name=3,
                                                                     base_calibration=None))

    def discovery_paths() -> None:
        devices = [
            Device("QL-OK", "/dev/video0"),
            Device("", "/dev/video2"),
            Device("QL-UNKNOWN-SKU", "/dev/video4"),
            Device("QL-NO-CALIBRATION", "/dev/video6"),
            Device("QL-BAD-CALIBRATION", "/dev/video8"),
            Device("QL-NO-SKU", "/dev/video10"),
            Device("QL-MISSING", "/dev/video12"),
            Device("QL-500", "/dev/video14"),
            Device("QL-BAD-JSON", "/dev/video16"),
            Device("QL-OK-2", "/dev/video18"),
        ]
        backend = Backend(devices)
        with rebound(camera_identity, current_backend=lambda: backend), rebound(
            device_lookup, _CAMERA_IDENTITY_URL=service_url
        ):
            assert [camera.serial for camera in camera_identity.list_connected_quor_cameras()] == ["QL-OK", "QL-OK-2"]
            assert camera_identity.get_first_connected_quor_camera().os_id == "/dev/video0"
            assert camera_identity.get_connected_quor_camera_by_serial("QL-OK-2").model_name == "7"
            for serial in ("QL-MISSING", "QL-UNKNOWN-SKU", "QL-NOT-PLUGGED", ""):
                assert camera_identity.get_connected_quor_camera_by_serial(serial) is None
        with rebound(camera_identity, current_backend=lambda: backend), rebound(
            device_lookup, _CAMERA_IDENTITY_URL=refused_url
        ):
            assert camera_identity.list_connected_quor_cameras() == []
            raises(RuntimeError, camera_identity.get_first_connected_quor_camera)
            assert camera_identity.get_connected_quor_camera_by_serial("QL-OK") is None

    too_deep = deeply_nested(100_000)

    def discovery_doubles() -> None:
        backend = Backend([Device("QL-A", "a"), Device("QL-B", "b")])

        def lookup_fails(camera_serial: str) -> dict:
            raise Failure("service down")

        def lookup_interrupted(camera_serial: str) -> dict:
            raise Interrupt

        with rebound(camera_identity, current_backend=lambda: backend):
            with rebound(camera_identity, fetch_camera_identity_json=lookup_fails):
                assert camera_identity.list_connected_quor_cameras() == []
                assert camera_identity.get_connected_quor_camera_by_serial("QL-B") is None
            with rebound(camera_identity, fetch_camera_identity_json=lookup_interrupted):
                raises(Interrupt, camera_identity.list_connected_quor_cameras)
                raises(Interrupt, camera_identity.get_connected_quor_camera_by_serial, "QL-A")
            with rebound(camera_identity, fetch_camera_identity_json=lambda serial: document(serial)):
                assert len(camera_identity.list_connected_quor_cameras()) == 2
                assert camera_identity.get_connected_quor_camera_by_serial("QL-B").os_id == "b"
            with rebound(camera_identity, list_connected_quor_cameras=lambda: ()):
                raises(RuntimeError, camera_identity.get_first_connected_quor_camera)
            for unusable in ([1], "text", None, 3.5, {"serial_number": "QL-A", "sku": too_deep}):
                with rebound(camera_identity, fetch_camera_identity_json=lambda serial, unusable=unusable: unusable):
                    assert camera_identity.list_connected_quor_cameras() == []
                    assert camera_identity.get_connected_quor_camera_by_serial("QL-A") is None
            with rebound(camera_identity, QuorCameraIdentity=MISSING,
                         fetch_camera_identity_json=lambda serial: document(serial)):
                raises(NameError, camera_identity.list_connected_quor_cameras)

        for broken in [
            lambda: (_ for _ in ()).throw(Failure("no backend")),
            lambda: object(),
            lambda: Backend(None),
            lambda: Backend([object()]),
            lambda: Backend(iter([Device("QL-A", "a"), 5])),
            lambda: Backend([Device(SerialFails(), "a")]),
        ]:
            with rebound(camera_identity, current_backend=broken,
                         fetch_camera_identity_json=lambda serial: document(serial)):
                raises(BACKEND_ERRORS, camera_identity.list_connected_quor_cameras)
                raises(BACKEND_ERRORS, camera_identity.get_connected_quor_camera_by_serial, "QL-Z")

    def windows_controls_paths() -> None:
        controls = reference.controls
        expected = reference.windows_controls
        assert quor_oridan._build_windows_controls(controls) == expected
        assert quor_oridan._build_windows_controls(list(controls)) == expected
        assert quor_oridan._build_windows_controls(control for control in controls) == expected
        assert quor_oridan._build_windows_controls(controls=()) == ()
        assert quor_oridan._build_windows_controls(controls[2:4] * 3) == controls[2:4] * 3

        shrinking = list(controls)

        class Shrinks:
            @property
            def name(self) -> str:
                shrinking.clear()
                return "gain"

        shrinking.insert(3, Shrinks())
        assert len(quor_oridan._build_windows_controls(shrinking)) == 4

        for bad in ([1], [NamedBadly()], [NameComparesBadly()], [NotADataclass()], [controls[0], None]):
            raises((AttributeError, TypeError, Failure), quor_oridan._build_windows_controls, bad)
            raises((AttributeError, TypeError, Failure), quor_oridan._build_windows_controls, tuple(bad))
            raises((AttributeError, TypeError, Failure), quor_oridan._build_windows_controls, iter(bad))
        for not_iterable in (None, 5, object(), 1.5):
            raises(TypeError, quor_oridan._build_windows_controls, not_iterable)

        def failing_generator() -> Iterator[object]:
            yield controls[0]
            raise Failure("generator")

        raises(Failure, quor_oridan._build_windows_controls, failing_generator())
        with rebound(quor_oridan, replace=MISSING):
            raises(NameError, quor_oridan._build_windows_controls, controls)

    def function_objects() -> None:
        from_dict_function = Record.__dict__["from_dict"].__func__
        functions = [
            fetch,
            device_lookup._user_agent,
            camera_identity.list_connected_quor_cameras,
            camera_identity.get_first_connected_quor_camera,
            camera_identity.get_connected_quor_camera_by_serial,
            from_dict_function,
            Record.to_dict,
            quor_oridan._build_windows_controls,
        ]
        for function in functions:
            signature = inspect.signature(function)
            assert inspect.signature(function, eval_str=True) != signature or not function.__annotations__
            typing.get_type_hints(function)
            functools.update_wrapper(lambda *args, **kwargs: None, function)
            raises(TypeError, mock.create_autospec(function), *range(len(signature.parameters) + 1))
            assert isinstance(function.__annotations__, dict)
            assert function.__annotate__ is None
            assert function.__doc__ and function.__name__ and function.__qualname__
            assert function.__module__.startswith(PACKAGE)
            assert repr(function).startswith(f"<function {function.__qualname__} at ")
            if function is from_dict_function:
                # As for a classmethod's def: the qualified name finds the
                # bound method, not this function.
                raises(pickle.PicklingError, pickle.dumps, function)
            else:
                assert pickle.loads(pickle.dumps(function)) is function
            assert weakref.ref(function)() is function
            assert function.__get__(None, type) is function
            str(signature)
            hash(function)
        record = Record.from_dict(document("QL-OK"), os_id="/dev/video0")
        assert record.to_dict.__self__ is record
        assert pickle.loads(pickle.dumps(Record.from_dict)) == Record.from_dict
        for module_name in MODULES:
            module = sys.modules[f"{PACKAGE}.{module_name}"]
            assert module.__doc__
            dir(module)

    def fresh_import() -> None:
        package = importlib.import_module(PACKAGE)
        for module_name in MODULES:
            sys.modules.pop(f"{PACKAGE}.{module_name}")
            delattr(package, module_name)
        oridan = importlib.import_module(f"{PACKAGE}.quor_oridan")
        pockel = importlib.import_module(f"{PACKAGE}.quor_pockel")
        sevrine = importlib.import_module(f"{PACKAGE}.quor_sevrine")
        identity = importlib.import_module(f"{PACKAGE}.camera_identity")
        lookup = importlib.import_module(f"{PACKAGE}.device_lookup")
        assert oridan.QUOR_ORIDAN is not reference
        assert pockel.QUOR_POCKEL.controls is oridan.QUOR_ORIDAN.controls
        assert len(sevrine.QUOR_SEVRINE.skus) == 10
        assert oridan._build_windows_controls(oridan.QUOR_ORIDAN.controls) == oridan.QUOR_ORIDAN.windows_controls
        with rebound(lookup, _CAMERA_IDENTITY_URL=refused_url):
            raises(urllib.error.URLError, lookup.fetch_camera_identity_json, "QL-OK")
        assert identity.QuorCameraIdentity.from_dict({}, os_id="x") is None

    def failed_imports() -> None:
        importer = f"{PACKAGE}.camera_identity"
        dependency = "quor_camera_sdk.calibration"
        identity, calibration = sys.modules.pop(importer), sys.modules[dependency]
        try:
            for stand_in in (object(), types.ModuleType(dependency)):
                sys.modules[dependency] = stand_in
                raises(ImportError, importlib.import_module, importer)
            sys.modules[dependency] = calibration
            with rebound(calibration, Calibration=MISSING):
                raises(ImportError, importlib.import_module, importer)
        finally:
            sys.modules[importer], sys.modules[dependency] = identity, calibration

    def subinterpreter() -> None:
        from concurrent import interpreters

        interpreter = interpreters.create()
        try:
            interpreter.exec(
                "from quor_camera_sdk.cameras import camera_identity, device_lookup, quor_pockel, quor_sevrine\n"
                "from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN, _build_windows_controls\n"
                "assert _build_windows_controls(QUOR_ORIDAN.controls) == QUOR_ORIDAN.windows_controls\n"
                "assert camera_identity.QuorCameraIdentity.from_dict({}, os_id='x') is None\n"
            )
        finally:
            interpreter.close()

    return [
        Scenario("fetch: success, HTTP/decode/JSON/argument errors, refused", fetch_paths),
        Scenario("fetch: rebound urllib/json/names, context-manager paths", fetch_collaborators),
        Scenario("_user_agent: installed, unreadable metadata, BaseException", user_agent_paths),
        Scenario("argument errors of every function", argument_errors),
        Scenario("from_dict: record, None paths, malformed calibrations", from_dict_paths),
        Scenario("from_dict: exceptions that propagate", from_dict_propagation),
        Scenario("to_dict: round trip, bad self", to_dict_paths),
        Scenario("discovery via the local service", discovery_paths),
        Scenario("discovery: raising doubles, broken backends", discovery_doubles),
        Scenario("_build_windows_controls: iterables, bad elements, non-iterables", windows_controls_paths),
        Scenario("function objects: signature, annotations, repr, pickle", function_objects),
        Scenario("fresh import after removal from sys.modules", fresh_import, weight=0.25),
        Scenario("failed from-imports: missing name, stub module, not a module", failed_imports, weight=0.25),
        Scenario("import and use in a subinterpreter", subinterpreter, weight=0.25),
    ]


# ---------------------------------------------------------------------------
# Measurement


def settle() -> None:
    """Drops what the interpreter caches between rounds, as regrtest does."""
    sys._clear_internal_caches()
    gc.collect()
    gc.collect()


def measure(scenario: Scenario, warmup: int, rounds: int, calls: int) -> None:
    runs = max(1, round(calls * scenario.weight))
    for index in range(warmup + rounds):
        settle()
        refs_before = sys.gettotalrefcount()
        blocks_before = sys.getallocatedblocks()
        for _ in range(runs):
            scenario.run()
        settle()
        refs_delta = sys.gettotalrefcount() - refs_before
        blocks_delta = sys.getallocatedblocks() - blocks_before
        if index >= warmup:
            scenario.refs.append(refs_delta)
            scenario.blocks.append(blocks_delta)


class FormattingHandler(logging.Handler):
    """Formats every record, tracebacks included, and keeps nothing."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.setFormatter(logging.Formatter("%(levelname)s %(name)s %(message)s"))
        self.records = 0

    def emit(self, record: logging.LogRecord) -> None:
        self.format(record)
        self.records += 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n\n")[0])
    parser.add_argument("--warmup", type=int, default=3, help="unmeasured rounds per scenario")
    parser.add_argument("--rounds", type=int, default=5, help="measured rounds per scenario")
    parser.add_argument("--calls", type=int, default=8, help="runs of a scenario per round")
    parser.add_argument("--only", default="", help="run only scenarios whose name contains this text")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.serve:
        serve()
        return 0
    if not hasattr(sys, "gettotalrefcount"):
        print("leakcheck: needs a debug interpreter (python3.14d)", file=sys.stderr)
        return 2

    from quor_camera_sdk.cameras import device_lookup

    # Discovery logs a failed lookup and drops the error, as the except
    # clause it implements would; an HTTPError then closes its body itself.
    warnings.filterwarnings("ignore", "Implicitly cleaning up <HTTPError", ResourceWarning)
    handler = FormattingHandler()
    sdk_logger = logging.getLogger("quor_camera_sdk")
    sdk_logger.addHandler(handler)
    sdk_logger.setLevel(logging.DEBUG)

    with socket.socket() as placeholder, local_service() as service_url:
        # Bound but never listening: connections are refused at once.
        placeholder.bind(("127.0.0.1", 0))
        refused_url = f"http://127.0.0.1:{placeholder.getsockname()[1]}{SERVICE_PATH}?serial_number="
        # Whatever a scenario forgets to rebind stays on this machine.
        device_lookup._CAMERA_IDENTITY_URL = refused_url
        selected = [s for s in scenarios(service_url, refused_url) if options.only in s.name]
        if not selected:
            parser.error(f"no scenario name contains {options.only!r}")
        width = max(len(s.name) for s in selected)
        print(f"leakcheck: {sys.version.split()[0]} debug build, {options.warmup} warm-up + "
              f"{options.rounds} measured rounds, {options.calls} runs per round")
        for scenario in selected:
            measure(scenario, options.warmup, options.rounds, options.calls)
            verdict = "LEAK" if scenario.leaks else "ok"
            print(f"  {scenario.name:<{width}}  refs {scenario.refs}  blocks {scenario.blocks}  {verdict}",
                  flush=True)

    leaking_scenarios = [s for s in selected if s.leaks]
    print(f"leakcheck: {len(selected) - len(leaking_scenarios)} clean, {len(leaking_scenarios)} leaking "
          f"({handler.records} log records formatted)")
    return 1 if leaking_scenarios else 0


if __name__ == "__main__":
    sys.exit(main())
