"""QUOR stereo camera SDK.

The camera layer lives in :mod:`quor_camera_sdk.cameras`. The SDK logs
through the standard :mod:`logging` module under the ``quor_camera_sdk``
logger and never configures logging itself; applications decide where
records go.
"""

import logging

logging.getLogger(__name__).addHandler(logging.NullHandler())

# What __version__ reads when the package runs from a source tree that was
# never installed: a valid version, lower than any release.
_UNINSTALLED_VERSION = "0+unknown"

# Type checkers take this name for typing.TYPE_CHECKING; importing typing
# would add to every import of the package.
TYPE_CHECKING = False
if TYPE_CHECKING:
    __version__: str
else:

    def __getattr__(name: str) -> str:
        # Every submodule import runs this file; importlib.metadata alone
        # costs more than the extension modules, so it is read on first use.
        if name != "__version__":
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        from importlib.metadata import PackageNotFoundError, version

        try:
            found = version("quor-camera-sdk")
        except PackageNotFoundError:
            found = _UNINSTALLED_VERSION
        globals()["__version__"] = found
        return found
