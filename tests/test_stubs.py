"""The type stubs of the extension modules, and the inline annotations of the
package's Python modules, agree with the modules at run time."""

from __future__ import annotations

import ast
import importlib
import importlib.util
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

EXTENSION_MODULES = [
    "quor_camera_sdk.cameras.device_lookup",
    "quor_camera_sdk.cameras.camera_identity",
    "quor_camera_sdk.cameras.quor_oridan",
    "quor_camera_sdk.cameras.quor_pockel",
    "quor_camera_sdk.cameras.quor_sevrine",
]
MODULES = [
    "quor_camera_sdk.calibration",
    "quor_camera_sdk.platform",
    "quor_camera_sdk.cameras.camera_spec",
    *EXTENSION_MODULES,
]

# The stubs import the package's Python modules; those modules' own type
# errors are for a type-check run to report, not for this comparison.
MYPY_CONFIG = "[mypy]\nfollow_imports = silent\n"


def test_stubs_match_the_modules(tmp_path: Path) -> None:
    pytest.importorskip("mypy.stubtest", reason="mypy is not installed (it comes with the 'test' extra)")
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


def stub_docstrings(module: str) -> Iterator[tuple[str, str | None]]:
    """(name, docstring) of the installed stub's module ("" names it), its
    functions, its classes and their methods, as an editor shows them."""
    # The installed stub: the one that editors and type checkers read.
    origin = importlib.util.find_spec(module).origin
    stub = Path(origin).with_name(f"{module.rsplit('.', 1)[1]}.pyi")
    tree = ast.parse(stub.read_text(), filename=str(stub))
    yield "", ast.get_docstring(tree)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef | ast.ClassDef):
            yield node.name, ast.get_docstring(node)
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    yield f"{node.name}.{member.name}", ast.get_docstring(member)


@pytest.mark.parametrize(
    ("module", "name", "docstring"),
    [
        pytest.param(module, name, docstring, id=f"{module.rsplit('.', 1)[1]}:{name or 'module'}")
        for module in EXTENSION_MODULES
        for name, docstring in stub_docstrings(module)
    ],
)
def test_stub_docstrings_are_the_runtime_ones(module: str, name: str, docstring: str | None) -> None:
    runtime = importlib.import_module(module)
    for attribute in filter(None, name.split(".")):
        runtime = getattr(runtime, attribute)
    assert docstring is not None, "the stub has no docstring"
    assert docstring == runtime.__doc__
