"""Client of the maker's device-information web service."""

import ipaddress
import json
import logging
import urllib.parse
import urllib.request

_LOGGER = logging.getLogger("quor_camera_sdk.cameras.device_lookup")

_CAMERA_IDENTITY_URL = "https://devices.quor.example/api/public/camera-identity?serial_number="


def _user_agent() -> str:
    try:
        from importlib.metadata import version

        return f"quor-camera-sdk/{version('quor-camera-sdk')} (+https://devices.quor.example)"
    except Exception:
        return "quor-camera-sdk (+https://devices.quor.example)"


_USER_AGENT = _user_agent()


def _is_loopback(host: str | None) -> bool:
    if not host:
        return False
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def fetch_camera_identity_json(camera_serial: str, timeout: float = 10.0) -> dict:
    url = _CAMERA_IDENTITY_URL + urllib.parse.quote(camera_serial, safe="-_.~")
    _LOGGER.info("fetching camera-identity from %s", url)
    request = urllib.request.Request(url, headers={"User-Agent": _USER_AGENT, "Accept": "application/json"})
    parts = urllib.parse.urlsplit(url)
    if _is_loopback(parts.hostname) and parts.scheme in urllib.request.getproxies():
        # A proxy would see the serials of a local service and could answer for it.
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        response = opener.open(request, timeout=timeout)
    else:
        response = urllib.request.urlopen(request, timeout=timeout)
    with response:
        text = response.read().decode("utf-8")
    return json.loads(text)
