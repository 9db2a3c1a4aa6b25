"""Factory calibration of a stereo camera unit.

The device-information service delivers the calibration as a block::

    {
      "version": 3,
      "calibrated_at": "2026-03-14T09:21:07Z",
      "cameras": [
        {"role": "left",
         "image_size": [1280, 720],
         "intrinsics": {"fx": 700.1, "fy": 700.4, "cx": 640.2, "cy": 360.7},
         "distortion": [-0.17, 0.026, 0.0001, -0.0002, 0.0],
         "extrinsics": {"rotation": [[1, 0, 0], [0, 1, 0], [0, 0, 1]],
                        "translation": [0, 0, 0]}},
        {"role": "right", ...}
      ]
    }

Extrinsics map points from the left camera's frame into this camera's frame
(translation in millimetres), so the left camera carries the identity.
``calibrated_at`` is informational and not kept: :meth:`Calibration.to_dict`
returns every other field exactly as it was read.
"""

from __future__ import annotations

import math
import reprlib
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

__all__ = ["Calibration", "CameraCalibration", "FORMAT_VERSION", "ROLES"]

FORMAT_VERSION = 3
ROLES = ("left", "right")

Number = int | float


# A few levels of a value too deeply nested for repr(), which raises
# RecursionError on it.
_SHALLOW = reprlib.Repr(maxlevel=3)


def _shown(value: Any) -> str:
    """repr(value) for an error message, even of a value nested thousands
    of levels deep (valid JSON)."""
    try:
        return repr(value)
    except RecursionError:
        return _SHALLOW.repr(value)


def _number(value: Any, where: str) -> Number:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{where}: expected a number, got {type(value).__name__}")
    try:
        finite = math.isfinite(value)
    except OverflowError:  # an integer beyond the range of a float
        finite = False
    if not finite:
        raise ValueError(f"{where}: {value!r} is not finite")
    return value


def _vector(value: Any, length: int, where: str) -> tuple[Number, ...]:
    if not isinstance(value, (list, tuple)):
        raise TypeError(f"{where}: expected a list, got {type(value).__name__}")
    if len(value) != length:
        raise ValueError(f"{where}: expected {length} values, got {len(value)}")
    return tuple(_number(item, f"{where}[{index}]") for index, item in enumerate(value))


def _mapping(value: Any, where: str) -> Mapping[str, Any]:
    if not isinstance(value, Mapping):
        raise TypeError(f"{where}: expected an object, got {type(value).__name__}")
    return value


@dataclass(frozen=True, slots=True)
class CameraCalibration:
    """Pinhole model, Brown-Conrady distortion and pose of one camera."""

    role: str
    image_size: tuple[int, int]
    fx: Number
    fy: Number
    cx: Number
    cy: Number
    distortion: tuple[Number, ...]
    rotation: tuple[tuple[Number, ...], ...]  # 3x3, checked on construction from a block
    translation: tuple[Number, ...]  # 3 values

    @classmethod
    def from_dict(cls, block: Mapping[str, Any], where: str) -> CameraCalibration:
        block = _mapping(block, where)
        role = block["role"]
        if role not in ROLES:
            raise ValueError(f"{where}.role: {_shown(role)} is not one of {ROLES}")
        width, height = _vector(block["image_size"], 2, f"{where}.image_size")
        if not all(isinstance(side, int) and side > 0 for side in (width, height)):
            raise ValueError(f"{where}.image_size: expected two positive integers")
        intrinsics = _mapping(block["intrinsics"], f"{where}.intrinsics")
        fx, fy, cx, cy = (
            _number(intrinsics[key], f"{where}.intrinsics.{key}") for key in ("fx", "fy", "cx", "cy")
        )
        if fx <= 0 or fy <= 0:
            raise ValueError(f"{where}.intrinsics: focal lengths must be positive")
        distortion = block["distortion"]
        if not isinstance(distortion, (list, tuple)) or len(distortion) not in (4, 5, 8):
            raise ValueError(f"{where}.distortion: expected 4, 5 or 8 coefficients")
        extrinsics = _mapping(block["extrinsics"], f"{where}.extrinsics")
        rotation = extrinsics["rotation"]
        if not isinstance(rotation, (list, tuple)) or len(rotation) != 3:
            raise ValueError(f"{where}.extrinsics.rotation: expected a 3x3 matrix")
        return cls(
            role=role,
            image_size=(int(width), int(height)),
            fx=fx,
            fy=fy,
            cx=cx,
            cy=cy,
            distortion=_vector(distortion, len(distortion), f"{where}.distortion"),
            rotation=tuple(
                _vector(row, 3, f"{where}.extrinsics.rotation[{index}]")
                for index, row in enumerate(rotation)
            ),
            translation=_vector(extrinsics["translation"], 3, f"{where}.extrinsics.translation"),
        )

    def to_dict(self) -> dict[str, Any]:
        return {
            "role": self.role,
            "image_size": list(self.image_size),
            "intrinsics": {"fx": self.fx, "fy": self.fy, "cx": self.cx, "cy": self.cy},
            "distortion": list(self.distortion),
            "extrinsics": {
                "rotation": [list(row) for row in self.rotation],
                "translation": list(self.translation),
            },
        }


@dataclass(frozen=True, slots=True)
class Calibration:
    """Factory calibration of one stereo unit: a left and a right camera."""

    version: int
    cameras: tuple[CameraCalibration, ...]

    @classmethod
    def from_dict(cls, block: Mapping[str, Any]) -> Calibration:
        """Build from the service's block; malformed input raises
        ``KeyError``, ``TypeError`` or ``ValueError``."""
        block = _mapping(block, "base_calibration")
        version = block["version"]
        if type(version) is not int or version != FORMAT_VERSION:
            raise ValueError(f"base_calibration.version: unsupported format {_shown(version)}")
        entries = block["cameras"]
        if not isinstance(entries, (list, tuple)):
            raise TypeError("base_calibration.cameras: expected a list")
        cameras = tuple(
            CameraCalibration.from_dict(entry, f"base_calibration.cameras[{index}]")
            for index, entry in enumerate(entries)
        )
        roles = sorted(camera.role for camera in cameras)
        if roles != sorted(ROLES):
            raise ValueError(f"base_calibration.cameras: expected one left and one right camera, got {roles}")
        return cls(version=version, cameras=cameras)

    def camera(self, role: str) -> CameraCalibration:
        """The calibration of the ``"left"`` or ``"right"`` camera."""
        for camera in self.cameras:
            if camera.role == role:
                return camera
        raise KeyError(role)

    @property
    def baseline_mm(self) -> float:
        """Distance between the two optical centres."""
        return math.dist(self.camera("left").translation, self.camera("right").translation)

    def to_dict(self) -> dict[str, Any]:
        """The block again, in the shape :meth:`from_dict` reads."""
        return {"version": self.version, "cameras": [camera.to_dict() for camera in self.cameras]}
