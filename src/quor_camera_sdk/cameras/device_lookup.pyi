import logging
from typing import Any

_LOGGER: logging.Logger
_CAMERA_IDENTITY_URL: str
_USER_AGENT: str

def _user_agent() -> str: ...
def fetch_camera_identity_json(camera_serial: str, timeout: float = 10.0) -> dict[str, Any]: ...
