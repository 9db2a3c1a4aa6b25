"""Files read and written without being fooled or leaving a half.

For the files the SDK does not own the making of: sysfs attributes, the
documents a folder holds for the local service, the discovery cache.
"""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from pathlib import Path

__all__ = ["read_regular_file", "write_atomically"]


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
            raise ValueError(f"not a regular file of at most {limit} bytes")
        # One byte more than allowed tells a file that grew since fstat.
        content = stream.read(limit + 1)
    if len(content) > limit:
        raise ValueError(f"not a regular file of at most {limit} bytes")
    return content, status


def write_atomically(path: Path, content: bytes) -> None:
    """Replaces ``path`` with ``content`` at once: a reader sees the old
    file or the whole new one, and a failure leaves no temporary file."""
    stream = tempfile.NamedTemporaryFile(dir=path.parent, prefix=".", suffix=".part", delete=False)
    try:
        with stream:
            stream.write(content)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(stream.name, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(stream.name)
        raise
