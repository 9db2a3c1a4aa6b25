"""The type stubs of the extension modules, and the inline annotations of the
package's Python modules, agree with the modules at run time."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy.stubtest", reason="mypy is not installed (it comes with the 'test' extra)")

MODULES = [
    "quor_camera_sdk.calibration",
    "quor_camera_sdk.platform",
    "quor_camera_sdk.cameras.camera_spec",
    "quor_camera_sdk.cameras.device_lookup",
    "quor_camera_sdk.cameras.camera_identity",
    "quor_camera_sdk.cameras.quor_oridan",
    "quor_camera_sdk.cameras.quor_pockel",
    "quor_camera_sdk.cameras.quor_sevrine",
]

# The stubs import the package's Python modules; those modules' own type
# errors are for a type-check run to report, not for this comparison.
MYPY_CONFIG = "[mypy]\nfollow_imports = silent\n"


def test_stubs_match_the_modules(tmp_path: Path) -> None:
    config = tmp_path / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    result = subprocess.run(
        [
            sys.executable, "-m", "mypy.stubtest",
            "--mypy-config-file", str(config),
            "--allowlist", str(Path(__file__).with_name("stubtest-allowlist.txt")),
            *MODULES,
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
