"""Callers of the extension modules type-check against the stubs under
mypy --strict and basedpyright's strict mode: a program that reads every
module attribute (tests/typing/module_attributes.py) and the README's
Python examples."""

from __future__ import annotations

import json
import re
import subprocess
import sys
import textwrap
from collections.abc import Callable
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
ATTRIBUTE_READER = Path(__file__).with_name("typing") / "module_attributes.py"

# A fenced ```python block, at any indentation (the README nests some in lists).
_PYTHON_BLOCK = re.compile(r"^([ \t]*)```python\n(.*?)^\1```$", re.MULTILINE | re.DOTALL)

# Private names are part of the checked surface: the README rebinds
# device_lookup._CAMERA_IDENTITY_URL, the way to choose a service. An ignore
# comment that suppresses nothing is an error, as under mypy --strict.
PYRIGHT_CONFIG = {
    "typeCheckingMode": "strict",
    "reportPrivateUsage": False,
    "reportUnnecessaryTypeIgnoreComment": "error",
    "pythonVersion": "3.14",
}


def readme_examples() -> list[str]:
    readme = (ROOT / "README.md").read_text()
    return [textwrap.dedent(match.group(2)) for match in _PYTHON_BLOCK.finditer(readme)]


@pytest.fixture(scope="module")
def programs(tmp_path_factory: pytest.TempPathFactory) -> list[Path]:
    """The programs to check, copied into a folder of their own."""
    folder = tmp_path_factory.mktemp("typing")
    examples = readme_examples()
    assert len(examples) >= 3, "the README's Python examples were not found"
    paths = [folder / ATTRIBUTE_READER.name]
    paths[0].write_text(ATTRIBUTE_READER.read_text())
    for number, example in enumerate(examples, start=1):
        paths.append(folder / f"readme_example_{number}.py")
        paths[-1].write_text(example)
    return paths


def mypy(programs: list[Path]) -> list[str]:
    pytest.importorskip("mypy", reason="mypy is not installed (it comes with the 'test' extra)")
    return [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *map(str, programs)]


def basedpyright(programs: list[Path]) -> list[str]:
    pytest.importorskip("basedpyright", reason="basedpyright is not installed (it comes with the 'test' extra)")
    config = programs[0].with_name("pyrightconfig.json")
    config.write_text(json.dumps(PYRIGHT_CONFIG))
    return [
        str(Path(sys.executable).with_name("basedpyright")),
        "--project", str(config), "--pythonpath", sys.executable, *map(str, programs),
    ]


@pytest.mark.parametrize("checker", [mypy, basedpyright])
def test_callers_type_check(checker: Callable[[list[Path]], list[str]], programs: list[Path]) -> None:
    result = subprocess.run(
        checker(programs), cwd=programs[0].parent, capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_attribute_reader_holds_at_run_time(programs: list[Path]) -> None:
    result = subprocess.run(
        [sys.executable, programs[0]], cwd=programs[0].parent, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stdout + result.stderr
