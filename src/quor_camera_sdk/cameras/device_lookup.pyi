"""Client of the maker's device-information web service.

fetch_camera_identity_json(serial) returns the JSON document that describes
one camera unit. The service URL is the module attribute _CAMERA_IDENTITY_URL
and the User-Agent the attribute _USER_AGENT; both are read at every call,
so rebinding them redirects later lookups.
"""

import json as json
import logging as logging
import urllib.parse
import urllib.request

# For the annotations only; not an attribute of the module.
from typing import Any

# `import urllib as urllib` would re-export urllib without the parse and
# request submodules it carries at run time; a name that __all__ lists keeps
# them. The list is what a star import of the module takes, although the
# module itself defines no __all__.
__all__ = ["json", "logging", "urllib", "fetch_camera_identity_json"]

_LOGGER: logging.Logger
_CAMERA_IDENTITY_URL: str

def _user_agent() -> str:
    """_user_agent() -> str

    The User-Agent of the SDK's requests: "quor-camera-sdk/<version>" with the
    installed distribution's version, or "quor-camera-sdk" when the distribution's
    metadata cannot be read, followed by the maker's contact URL.
    """

_USER_AGENT: str

def fetch_camera_identity_json(camera_serial: str, timeout: float = 10.0) -> dict[str, Any]:
    """fetch_camera_identity_json(camera_serial: str, timeout: float = 10.0) -> dict

    Query the device-information endpoint for one camera by its serial number.

    Sends GET _CAMERA_IDENTITY_URL + the percent-encoded serial with the SDK's
    User-Agent and "Accept: application/json", and returns the parsed JSON
    payload as a dict in the SDK's shape: "serial_number", "sku", "model_name"
    and "base_calibration", with base_calibration at the top level as the
    server emits it. The payload is not checked; missing fields are the
    caller's to handle.

    Raises if the network call fails (connection, TLS, HTTP error status,
    time-out), if the body is not UTF-8, or if it is malformed JSON.
    """
