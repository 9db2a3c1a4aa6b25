#!/usr/bin/env bash
# Creates .venv with CPython 3.14 (found or bootstrapped) and installs the
# package into it with the extras given as arguments (e.g. "test"). The
# install is skipped when nothing that goes into the package or its build
# changed since the last one.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/make-venv.sh .venv
extras=$(IFS=,; echo "$*")

# A digest of the extras asked for and of every file the package is built
# from: sources, stubs, package data, the build files and the metadata's.
inputs_digest() {
    {
        printf 'extras=%s\n' "$extras"
        find src pyproject.toml CMakeLists.txt README.md LICENSE -type f ! -path '*/__pycache__/*' -print0 |
            LC_ALL=C sort -z | xargs -0 sha256sum
    } | sha256sum | cut -d ' ' -f 1
}
digest=$(inputs_digest)
stamp=.venv/.installed-inputs
if [[ "$(cat "$stamp" 2>/dev/null)" == "$digest" ]] &&
        compgen -G '.venv/lib/python3.14/site-packages/quor_camera_sdk-*.dist-info' >/dev/null; then
    echo "setup-venv: the installed package is up to date" >&2
    exit 0
fi
# A failed install must not leave the old stamp behind.
rm -f "$stamp"
.venv/bin/python -m pip install --quiet --disable-pip-version-check ".${extras:+[$extras]}"
echo "$digest" > "$stamp"
