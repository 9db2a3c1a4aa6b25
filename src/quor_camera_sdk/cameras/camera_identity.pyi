"""Identity of the QUOR cameras attached to this machine.

list_connected_quor_cameras() enumerates the platform's video devices, looks
each serial up at the device-information service, and returns one
QuorCameraIdentity per camera that resolves to a registered model. Cameras
that do not resolve are left out with one log record on this module's
logger saying why.
"""

import logging as logging
from dataclasses import dataclass as dataclass
from typing import Optional as Optional

from quor_camera_sdk.calibration import Calibration as Calibration
from quor_camera_sdk.platform import current_backend as current_backend
from quor_camera_sdk.cameras.device_lookup import fetch_camera_identity_json as fetch_camera_identity_json
from quor_camera_sdk.cameras.camera_spec import spec_by_sku as spec_by_sku
from quor_camera_sdk.cameras.camera_spec import CameraSpec as CameraSpec

# For the annotations only; not attributes of the module.
from collections.abc import Mapping
from typing import Any, Self

_LOGGER: logging.Logger

@dataclass(frozen=True, slots=True)
class QuorCameraIdentity:
    """One attached QUOR camera, fully resolved.

    While a camera is in use, its record is the single source of truth for
    the unit's identity (os_id, serial, sku, model_name), its model's
    capability (spec) and its factory calibration (base_calibration).
    Records are built by from_dict() or by the discovery functions of this
    module, and are never mutated.
    """

    os_id: str
    serial: str
    sku: str
    model_name: str
    spec: CameraSpec
    base_calibration: Calibration

    @classmethod
    def from_dict(cls, payload: Mapping[str, Any], *, os_id: str) -> Self | None:
        """Build a record from a device-information payload.

        payload is the document of the device-information service (anything with
        a get() method); os_id is the operating system's identifier of the video
        device, stored unchanged. Returns an instance of the class it is called on,
        or None when the camera cannot be resolved: no serial number or SKU (not
        logged), a SKU that no registered model lists (warning), or a missing or
        malformed base_calibration block (error). Any other failure propagates.
        """

    def to_dict(self) -> dict[str, Any]:
        """The record's serialised form, the one a recording embeds.

        A new dict with the keys "serial_number", "sku", "model_name" and
        "base_calibration" (the calibration's own to_dict()). os_id and spec are
        not included: from_dict() takes os_id separately and finds spec again
        from the SKU, so from_dict(record.to_dict(), os_id=record.os_id) rebuilds
        an equal record.
        """

def list_connected_quor_cameras() -> list[QuorCameraIdentity]:
    """Every connected camera that the device-information service recognises.

    Enumerates the platform's video devices, looks each serial number up at
    the device-information service (one request per device), and keeps the
    devices for which QuorCameraIdentity.from_dict succeeds, in the platform's
    order. Devices without a serial are skipped silently; failed lookups and
    unresolvable payloads are logged and skipped.
    """

def get_first_connected_quor_camera() -> QuorCameraIdentity:
    """The first connected camera, for applications that use a single camera.

    Runs the full list_connected_quor_cameras() enumeration and returns its
    first record. Raises RuntimeError with an explanation, rather than an
    IndexError, when no registered camera is connected.
    """

def get_connected_quor_camera_by_serial(serial: str) -> QuorCameraIdentity | None:
    """The connected camera with this serial number, or None.

    For a caller that already knows which camera it wants: finds the first
    video device reporting exactly this serial (case and blanks count) and
    makes a single lookup, instead of one per device. Returns None when no
    device reports the serial, when the lookup fails (logged), or when the
    payload does not resolve.
    """
