"""Device-information documents as files: the lookup they answer, and
which serial numbers may name a file.

Shared by the local service, which serves a folder of them, and the
discovery layer's cache, which keeps one; kept free of heavy imports, as
discovery loads it on first use.
"""

from __future__ import annotations

import re

__all__ = ["IDENTITY_PATH", "SERIAL_PARAMETER", "document_name", "identity_url"]

IDENTITY_PATH = "/api/public/camera-identity"
SERIAL_PARAMETER = "serial_number"

# Letters, digits, dot, dash and underscore: no separator, no NUL, nothing
# a shell or a file system treats specially. "." and ".." are refused apart.
_SERIAL_PATTERN = re.compile(r"[A-Za-z0-9._-]{1,128}")


def identity_url(base_url: str) -> str:
    """The lookup URL prefix (to which the SDK appends the quoted serial)
    of the service at ``base_url``, e.g. ``http://127.0.0.1:8080``."""
    return f"{base_url.rstrip('/')}{IDENTITY_PATH}?{SERIAL_PARAMETER}="


def document_name(serial: object) -> str | None:
    """The file name of ``serial``'s document, or None when the serial is
    not one that may name a file (then no file is ever looked at)."""
    if not isinstance(serial, str) or serial in (".", "..") or not _SERIAL_PATTERN.fullmatch(serial):
        return None
    return f"{serial}.json"
