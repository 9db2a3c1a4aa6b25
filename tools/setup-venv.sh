#!/usr/bin/env bash
# Creates .venv with CPython 3.14 (found or bootstrapped) and installs the
# package into it with the extras given as arguments (e.g. "test").
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(tools/bootstrap-python.sh)
if [[ ! -x .venv/bin/python ]] || ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 14))'; then
    rm -rf .venv
    "$python" -m venv --without-pip .venv
fi
if ! .venv/bin/python -m pip --version >/dev/null 2>&1; then
    # Debian's ensurepip looks for its wheels under /usr/share; use the
    # interpreter's own copy when it has one.
    wheel=$(ls "$(dirname "$python")"/../share/python-wheels/pip-*.whl 2>/dev/null | head -n 1 || true)
    if [[ -n "$wheel" ]]; then
        .venv/bin/python "$wheel/pip" install --quiet "$wheel"
    else
        .venv/bin/python -m ensurepip --upgrade
    fi
fi

extras=$(IFS=,; echo "$*")
.venv/bin/python -m pip install --quiet --disable-pip-version-check ".${extras:+[$extras]}"
