"""quor_camera_sdk.__version__ and quor-cameras --version: the installed
distribution's version, read only when asked for."""

from __future__ import annotations

import importlib.metadata
import subprocess
import sys
from pathlib import Path

import pytest

import quor_camera_sdk

SOURCE_TREE = Path(__file__).resolve().parents[1] / "src"


def python(*args: str) -> str:
    return subprocess.run(
        [sys.executable, *args], capture_output=True, text=True, check=True, timeout=60
    ).stdout.strip()


def test_version_is_the_installed_distributions() -> None:
    assert quor_camera_sdk.__version__ == importlib.metadata.version("quor-camera-sdk")


def test_command_line_prints_its_version() -> None:
    assert python("-m", "quor_camera_sdk.cameras", "--version") == f"quor-cameras {quor_camera_sdk.__version__}"


@pytest.mark.parametrize("module", ["quor_camera_sdk", "quor_camera_sdk.cameras.quor_oridan"])
def test_importing_reads_no_metadata(module: str) -> None:
    loaded = python("-c", f"import sys, {module}; print('importlib.metadata' in sys.modules)")
    assert loaded == "False"


def test_a_source_tree_that_was_never_installed_has_a_fallback_version() -> None:
    # -S: no site-packages, so no installed distribution to find.
    program = f"import sys; sys.path.insert(0, {str(SOURCE_TREE)!r}); import quor_camera_sdk; print(quor_camera_sdk.__version__)"
    assert python("-I", "-S", "-B", "-c", program) == "0+unknown"


def test_other_missing_attributes_still_raise() -> None:
    with pytest.raises(AttributeError, match="no attribute 'version'"):
        quor_camera_sdk.version  # type: ignore[attr-defined]  # noqa: B018
