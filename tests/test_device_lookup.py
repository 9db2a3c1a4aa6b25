"""The device-information client, against a real HTTP server on loopback."""

import annotationlib
import importlib.metadata
import inspect
import json
import logging
import re
import urllib.error
import urllib.parse
import urllib.request
from unittest import mock

import pytest

from quor_camera_sdk.cameras import device_lookup

fetch = device_lookup.fetch_camera_identity_json

LOGGER_NAME = "quor_camera_sdk.cameras.device_lookup"
USER_AGENT_FORM = re.compile(r"quor-camera-sdk(/(?P<version>\S+))? \(\+https://[a-z0-9.-]+\.example\)")


@pytest.mark.parametrize(
    ("serial", "encoded"),
    [
        ("QC1234abcXYZ", "QC1234abcXYZ"),
        ("a-b_c.d~e", "a-b_c.d~e"),
        ("QC/12", "QC%2F12"),
        ("QC 12", "QC%2012"),
        ("QC+12", "QC%2B12"),
        ("100%", "100%25"),
        ("é", "%C3%A9"),
        ("?&=#", "%3F%26%3D%23"),
        ("", ""),
    ],
)
def test_serial_is_percent_encoded_into_the_query(device_info_service, serial, encoded):
    device_info_service.respond(serial)

    fetch(serial)

    [request] = device_info_service.requests
    assert request.path == f"/api/public/camera-identity?serial_number={encoded}"
    assert request.serial == serial


def test_request_carries_user_agent_and_accept_headers(device_info_service):
    device_info_service.respond("QC-1")

    fetch("QC-1")

    [request] = device_info_service.requests
    assert request.headers["User-Agent"] == device_lookup._USER_AGENT
    assert request.headers["Accept"] == "application/json"


def test_rebound_user_agent_is_sent(device_info_service, monkeypatch):
    monkeypatch.setattr(device_lookup, "_USER_AGENT", "integration-test/1")
    device_info_service.respond("QC-1")

    fetch("QC-1")

    assert device_info_service.requests[0].headers["User-Agent"] == "integration-test/1"


def test_user_agent_names_the_installed_version():
    match = USER_AGENT_FORM.fullmatch(device_lookup._USER_AGENT)

    assert match, device_lookup._USER_AGENT
    assert match["version"] == importlib.metadata.version("quor-camera-sdk")
    assert device_lookup._user_agent() == device_lookup._USER_AGENT


@pytest.mark.parametrize("failure", [importlib.metadata.PackageNotFoundError("quor-camera-sdk"), ValueError("bad")])
def test_user_agent_without_readable_metadata_omits_the_version(monkeypatch, failure):
    installed = importlib.metadata.version("quor-camera-sdk")

    def unreadable_version(distribution):
        raise failure

    monkeypatch.setattr(importlib.metadata, "version", unreadable_version)

    user_agent = device_lookup._user_agent()

    assert user_agent == device_lookup._USER_AGENT.replace(f"quor-camera-sdk/{installed} ", "quor-camera-sdk ")
    assert USER_AGENT_FORM.fullmatch(user_agent)["version"] is None


def test_shipped_service_url_is_https_under_example(shipped_service_url):
    url = urllib.parse.urlsplit(shipped_service_url)

    assert url.scheme == "https"
    assert url.hostname.endswith(".example")
    assert shipped_service_url.endswith("?serial_number=")


class RequestCounter(logging.Handler):
    """Notes how many requests the server had seen when each record was emitted."""

    def __init__(self, server):
        super().__init__()
        self.server = server
        self.seen = []

    def emit(self, record):
        self.seen.append((record.levelno, record.getMessage(), len(self.server.requests)))


def test_lookup_is_logged_before_the_request(caplog, device_info_service):
    device_info_service.respond("QC-1")
    caplog.set_level(logging.INFO, logger=LOGGER_NAME)
    logger = logging.getLogger(LOGGER_NAME)
    counter = RequestCounter(device_info_service)
    logger.addHandler(counter)
    try:
        fetch("QC-1")
    finally:
        logger.removeHandler(counter)

    assert counter.seen == [(logging.INFO, f"fetching camera-identity from {device_info_service.url}QC-1", 0)]
    assert len(device_info_service.requests) == 1


def test_lookup_is_logged_when_the_connection_is_refused(caplog, refused_service_url):
    caplog.set_level(logging.INFO, logger=LOGGER_NAME)

    with pytest.raises(urllib.error.URLError) as failure:
        fetch("QC 1")

    assert isinstance(failure.value.reason, ConnectionRefusedError)
    [record] = caplog.records
    assert (record.name, record.levelno) == (LOGGER_NAME, logging.INFO)
    assert record.msg == "fetching camera-identity from %s"
    assert record.args == (refused_service_url + "QC%201",)


def test_timeout_defaults_to_ten_seconds():
    timeout = inspect.signature(fetch).parameters["timeout"]

    assert timeout.default == 10.0 and type(timeout.default) is float


@pytest.mark.parametrize("pass_timeout", [lambda serial: fetch(serial, 0.1), lambda serial: fetch(serial, timeout=0.1)])
def test_timeout_reaches_the_connection(device_info_service, pass_timeout):
    # Answers well within the default timeout: only the one passed can fail the call.
    device_info_service.respond("QC-SLOW", delay=1.5)

    with pytest.raises((TimeoutError, urllib.error.URLError)) as failure:
        pass_timeout("QC-SLOW")

    if isinstance(failure.value, urllib.error.URLError):
        assert isinstance(failure.value.reason, TimeoutError)


@pytest.mark.parametrize("status", [400, 404, 500, 503])
def test_http_error_status_raises(device_info_service, status):
    device_info_service.respond("QC-1", status=status, body=b'{"detail": "nope"}')

    with pytest.raises(urllib.error.HTTPError) as failure:
        fetch("QC-1")

    failure.value.close()
    assert failure.value.code == status


@pytest.mark.parametrize(
    ("body", "error"),
    [
        pytest.param(b'{"sku": "\xff"}', UnicodeDecodeError, id="invalid-utf8"),
        pytest.param(b'{"sku": "\xed\xa0\x80"}', UnicodeDecodeError, id="encoded-surrogate"),
        pytest.param(b"<html>maintenance</html>", json.JSONDecodeError, id="not-json"),
        pytest.param(b"", json.JSONDecodeError, id="empty"),
        pytest.param(b"\xef\xbb\xbf{}", json.JSONDecodeError, id="utf8-bom"),
        pytest.param(b'{"sku": "QT"', json.JSONDecodeError, id="truncated"),
    ],
)
def test_undecodable_body_raises(device_info_service, body, error):
    device_info_service.respond("QC-1", body=body)

    with pytest.raises(error):
        fetch("QC-1")


@pytest.mark.parametrize("document", [[1, 2], "text", None, 42, True, {}])
def test_any_json_value_is_returned_as_parsed(device_info_service, document):
    device_info_service.respond_json("QC-1", document)

    assert fetch("QC-1") == document


def test_document_is_returned_unchanged(device_info_service, make_device_info):
    document = make_device_info(serial="QC-1")
    document["unexpected"] = {"nested": [1.5, None]}
    device_info_service.respond_json("QC-1", document)

    assert fetch("QC-1") == document


def test_rebinding_the_service_url_redirects_the_next_lookup(device_info_service, monkeypatch):
    device_info_service.respond("QC-1")
    fetch("QC-1")
    moved = device_info_service.url.replace("/camera-identity?", "/v2/identity?")
    monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL", moved)

    fetch("QC-1")

    assert [request.path for request in device_info_service.requests] == [
        "/api/public/camera-identity?serial_number=QC-1",
        "/api/public/v2/identity?serial_number=QC-1",
    ]


def fetch_camera_identity_json(camera_serial: str, timeout: float = 10.0) -> dict:
    """The signature as a def would have it, for the interpreter's own wording."""


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((), {}),
        (("QC-1", 1.0, "extra"), {}),
        ((), {"timeout": 1.0}),
        (("QC-1",), {"camera_serial": "QC-2"}),
        (("QC-1", 1.0, "extra"), {"timeout": 2.0}),
        (("QC-1",), {"timeot": 1.0}),
        ((), {"serial": "QC-1"}),
        (("QC-1",), {"bogus": 1}),
    ],
)
def test_argument_errors_read_like_a_def(device_info_service, args, kwargs):
    with pytest.raises(TypeError) as native:
        fetch(*args, **kwargs)
    with pytest.raises(TypeError) as reference:
        fetch_camera_identity_json(*args, **kwargs)

    assert str(native.value) == str(reference.value)
    assert device_info_service.requests == []


def test_introspection_matches_the_declared_signature():
    assert str(inspect.signature(fetch)) == "(camera_serial: 'str', timeout: 'float' = 10.0) -> 'dict'"
    assert annotationlib.get_annotations(fetch) == {"camera_serial": "str", "timeout": "float", "return": "dict"}
    assert fetch.__doc__.splitlines()[0] == (
        "fetch_camera_identity_json(camera_serial: str, timeout: float = 10.0) -> dict"
    )
    assert (fetch.__name__, fetch.__qualname__, fetch.__module__) == (
        "fetch_camera_identity_json",
        "fetch_camera_identity_json",
        "quor_camera_sdk.cameras.device_lookup",
    )


def test_module_attributes_in_definition_order():
    names = [name for name in vars(device_lookup) if not (name.startswith("__") and name.endswith("__"))]

    assert names == [
        "json",
        "logging",
        "urllib",
        "_LOGGER",
        "_CAMERA_IDENTITY_URL",
        "_user_agent",
        "_USER_AGENT",
        "fetch_camera_identity_json",
    ]


# ---------------------------------------------------------------------------
# Proxies and the local service

# Nothing listens on the discard port: a request that goes through this
# proxy fails.
UNREACHABLE_PROXY = "http://127.0.0.1:9"


@pytest.fixture
def proxied(monkeypatch):
    """The environment names an unreachable proxy for http; urlopen reads
    the proxies once and keeps them in its cached opener, so that is reset."""
    monkeypatch.setenv("http_proxy", UNREACHABLE_PROXY)
    monkeypatch.setattr(urllib.request, "_opener", None)


@pytest.mark.parametrize("host", ["127.0.0.1", "localhost", "LocalHost", "127.1", "%31%32%37.0.0.1"])
def test_a_loopback_service_is_reached_without_the_proxy(device_info_service, proxied, monkeypatch, host):
    device_info_service.respond_json("QC-1", {"serial_number": "QC-1"})
    monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL", device_info_service.url.replace("127.0.0.1", host))

    assert fetch("QC-1") == {"serial_number": "QC-1"}
    assert device_info_service.serials_requested == ["QC-1"]


class RecordingUrlopen:
    """A double of urllib.request.urlopen: answers an empty object."""

    def __init__(self):
        self.calls = []

    def __call__(self, request, timeout):
        self.calls.append((request.full_url, timeout))
        response = mock.MagicMock()
        response.__enter__.return_value.read.return_value = b"{}"
        return response


@pytest.mark.parametrize(
    ("url", "proxy"),
    [
        ("http://devices.quor.example/api/public/camera-identity?serial_number=", UNREACHABLE_PROXY),
        ("http://127.0.0.1:9/api/public/camera-identity?serial_number=", None),
        ("https://127.0.0.1:9/api/public/camera-identity?serial_number=", UNREACHABLE_PROXY),
    ],
    ids=["remote-host-with-proxy", "loopback-without-proxy", "loopback-with-proxy-for-another-scheme"],
)
def test_urlopen_opens_every_other_request(monkeypatch, url, proxy):
    if proxy:
        monkeypatch.setenv("http_proxy", proxy)
    urlopen = RecordingUrlopen()
    monkeypatch.setattr(urllib.request, "urlopen", urlopen)
    monkeypatch.setattr(device_lookup, "_CAMERA_IDENTITY_URL", url)

    assert fetch("QC-1") == {}
    assert urlopen.calls == [(url + "QC-1", 10.0)]


# ---------------------------------------------------------------------------
# The response as a context manager, as `with` uses one


def test_response_is_entered_and_exited_as_with_does(monkeypatch):
    response = mock.MagicMock()
    response.__enter__.return_value.read.return_value = b'{"a": 1}'
    monkeypatch.setattr(urllib.request, "urlopen", lambda request, timeout: response)

    assert fetch("QC-1") == {"a": 1}
    assert response.mock_calls == [
        mock.call.__enter__(),
        mock.call.__enter__().read(),
        mock.call.__exit__(None, None, None),
    ]


def test_a_failed_read_is_handed_to_exit(monkeypatch):
    response = mock.MagicMock()
    failure = ConnectionResetError("peer went away")
    response.__enter__.return_value.read.side_effect = failure
    monkeypatch.setattr(urllib.request, "urlopen", lambda request, timeout: response)

    with pytest.raises(ConnectionResetError):
        fetch("QC-1")
    [(exc_type, exc_value, traceback)] = [call.args for call in response.__exit__.call_args_list]
    assert (exc_type, exc_value) == (ConnectionResetError, failure)
    # The traceback as it stood when the block was left; propagating
    # further put frames in front of it.
    chain = failure.__traceback__
    while chain is not None and chain is not traceback:
        chain = chain.tb_next
    assert chain is traceback


class StaticEnterResponse:
    @staticmethod
    def __enter__():
        return Body()

    def __exit__(self, *exc_info):
        return False


class Body:
    def read(self):
        return b"[1, 2]"


class OnlyEnter:
    def __enter__(self):
        return Body()


class OnlyExit:
    def __exit__(self, *exc_info):
        return False


class OnlyAsync:
    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        return False


def test_a_staticmethod_enter_is_called_without_the_response(monkeypatch):
    monkeypatch.setattr(urllib.request, "urlopen", lambda request, timeout: StaticEnterResponse())

    assert fetch("QC-1") == [1, 2]


@pytest.mark.parametrize("response_type", [object, OnlyEnter, OnlyExit, OnlyAsync])
def test_a_response_without_the_protocol_fails_as_with_does(monkeypatch, response_type):
    monkeypatch.setattr(urllib.request, "urlopen", lambda request, timeout: response_type())
    with pytest.raises(TypeError) as reference:
        with response_type():
            pass

    with pytest.raises(TypeError) as native:
        fetch("QC-1")

    assert str(native.value) == str(reference.value)
