"""Smoke test of an installed quor-camera-sdk, run by tools/build-wheel.sh
in a fresh environment for each artifact it built."""

import importlib
import importlib.metadata
import subprocess
import sys
from pathlib import Path

EXTENSION_MODULES = ("device_lookup", "camera_identity", "quor_oridan", "quor_pockel", "quor_sevrine")


def main() -> None:
    for name in EXTENSION_MODULES:
        importlib.import_module(f"quor_camera_sdk.cameras.{name}")
    distribution = importlib.metadata.distribution("quor-camera-sdk")
    if not distribution.read_text("licenses/LICENSE"):
        sys.exit("smoke test: the installed distribution carries no LICENSE")

    command = Path(sys.executable).with_name("quor-cameras")
    version = subprocess.run([command, "--version"], capture_output=True, text=True, check=True).stdout.strip()
    if version != f"quor-cameras {distribution.version}":
        sys.exit(f"smoke test: quor-cameras --version printed {version!r}")
    models = subprocess.run([command, "models"], capture_output=True, text=True, check=True).stdout
    if not all(model in models for model in ("QUOR_ORIDAN", "QUOR_POCKEL", "QUOR_SEVRINE")):
        sys.exit(f"smoke test: quor-cameras models printed\n{models}")
    print(f"smoke test passed: {version}, {len(EXTENSION_MODULES)} extension modules, quor-cameras models")


if __name__ == "__main__":
    main()
