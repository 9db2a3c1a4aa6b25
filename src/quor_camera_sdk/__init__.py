"""QUOR stereo camera SDK.

The camera layer lives in :mod:`quor_camera_sdk.cameras`. The SDK logs
through the standard :mod:`logging` module under the ``quor_camera_sdk``
logger and never configures logging itself; applications decide where
records go.
"""

import logging

logging.getLogger(__name__).addHandler(logging.NullHandler())
