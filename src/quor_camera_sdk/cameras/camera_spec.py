"""Records that describe a camera model, and the SKU registry.

A model module publishes one :class:`CameraSpec`; :func:`spec_by_sku` finds
the CameraSpec that lists a given SKU among the models of this package.
"""

from __future__ import annotations

import functools
import importlib
from collections.abc import Iterable
from dataclasses import dataclass, field

__all__ = ["MODELS", "CameraControl", "CameraSpec", "CaptureMode", "build_registry", "spec_by_sku"]


@dataclass(frozen=True)
class CaptureMode:
    """One frame size, rate and pixel format that a camera streams."""

    width: int
    height: int
    fps: int | float
    pixel_format: str
    stereo: bool = field(kw_only=True)
    is_supported: bool = field(default=True, kw_only=True)
    is_default: bool = field(default=False, kw_only=True)


@dataclass(frozen=True, kw_only=True)
class CameraControl:
    """One image control (V4L2 or DirectShow) with its range and default."""

    name: str
    label: str
    kind: str
    value_type: str
    default: int
    min: int
    max: int
    step: int
    unit: str | None = None
    auto_companion: str | None = None
    updatable_by_auto: bool = True
    enum_values: tuple[tuple[int, str], ...] = ()


@dataclass(frozen=True, kw_only=True)
class CameraSpec:
    """Everything the SDK knows about one camera model."""

    skus: tuple[str, ...]
    modes: tuple[CaptureMode, ...]
    controls: tuple[CameraControl, ...]
    windows_controls: tuple[CameraControl, ...] = ()


# The model modules of this package and the CameraSpec constant each publishes.
MODELS = (
    ("quor_oridan", "QUOR_ORIDAN"),
    ("quor_pockel", "QUOR_POCKEL"),
    ("quor_sevrine", "QUOR_SEVRINE"),
)


def build_registry(specs: Iterable[CameraSpec]) -> dict[str, CameraSpec]:
    """Index specifications by SKU; a SKU listed by two models is an error."""
    registry: dict[str, CameraSpec] = {}
    for spec in specs:
        for sku in spec.skus:
            if registry.setdefault(sku, spec) is not spec:
                raise RuntimeError(f"SKU {sku!r} is listed by more than one camera model")
    return registry


@functools.cache
def _registry() -> dict[str, CameraSpec]:
    # Built on first use: the model modules import this one, so they cannot
    # be imported while it is being imported.
    return build_registry(
        getattr(importlib.import_module(f"{__package__}.{module}"), constant)
        for module, constant in MODELS
    )


def spec_by_sku(sku: str, /) -> CameraSpec | None:
    """Return the CameraSpec of the model that lists ``sku``, or None."""
    return _registry().get(sku)
