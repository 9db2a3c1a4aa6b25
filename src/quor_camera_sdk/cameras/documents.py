"""Device-information documents as files: the lookup they answer, which
serial numbers may name a file, and reading one without being fooled.

Shared by the local service, which serves a folder of them, and the
discovery layer's cache, which keeps one; kept free of heavy imports, as
discovery loads it on first use.
"""

from __future__ import annotations

import os
import re
import stat
from pathlib import Path

__all__ = ["IDENTITY_PATH", "SERIAL_PARAMETER", "document_name", "identity_url", "read_regular_file"]

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


def read_regular_file(path: str | os.PathLike[str], limit: int) -> tuple[bytes, os.stat_result]:
    """The content and status of the regular file ``path`` of at most
    ``limit`` bytes.

    Never blocks, on a FIFO or a device (O_NONBLOCK), and never follows a
    link in the last component of ``path``. Raises FileNotFoundError when
    there is no such file, ValueError when it is not a regular file of at
    most ``limit`` bytes, and OSError when it cannot be opened.
    """
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_NOCTTY | os.O_CLOEXEC)
    with open(descriptor, "rb") as stream:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode) or status.st_size > limit:
            raise ValueError(f"{Path(path).name}: not a regular file of at most {limit} bytes")
        # One byte more than allowed tells a file that grew since fstat.
        content = stream.read(limit + 1)
    if len(content) > limit:
        raise ValueError(f"{Path(path).name}: not a regular file of at most {limit} bytes")
    return content, status
