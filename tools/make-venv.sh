#!/usr/bin/env bash
# Makes DIR a CPython 3.14 virtual environment with pip, from the
# interpreter tools/bootstrap-python.sh finds or assembles, unless DIR
# already is one.
set -euo pipefail
[[ $# == 1 ]] || { echo "usage: $0 DIR" >&2; exit 2; }
venv=$(realpath -m "$1")
cd "$(dirname "$0")/.."

python=$(tools/bootstrap-python.sh)
if [[ ! -x "$venv/bin/python" ]] || ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 14))'; then
    rm -rf "$venv"
    "$python" -m venv --without-pip "$venv"
fi
if ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
    # Debian's ensurepip looks for its wheels under /usr/share; use the
    # interpreter's own copy when it has one.
    wheel=$(ls "$(dirname "$python")"/../share/python-wheels/pip-*.whl 2>/dev/null | head -n 1 || true)
    if [[ -n "$wheel" ]]; then
        "$venv/bin/python" "$wheel/pip" install --quiet "$wheel"
    else
        "$venv/bin/python" -m ensurepip --upgrade
    fi
fi
