#!/usr/bin/env bash
# Builds the extension modules against the debug interpreter (python3.14d)
# and lays out an importable copy of the package beside them:
#
#   $QUOR_BUILD_ROOT/debug/cmake   CMake build tree
#   $QUOR_BUILD_ROOT/debug/site    the package's Python files + the debug .so
#                                  files + a minimal dist-info (so the
#                                  User-Agent carries the version, as when
#                                  installed)
#
# Prints the interpreter's path; run it with PYTHONPATH=<site>.
# QUOR_BUILD_ROOT defaults to build/ in the repository.
set -euo pipefail
cd "$(dirname "$0")/.."

log() { printf 'build-debug: %s\n' "$*" >&2; }

# A CMake recent enough for CMakeLists.txt: the one on PATH, or one from PyPI
# in a private venv (Debian 12's own is too old).
find_cmake() {
    local found version
    found=$(command -v cmake || true)
    version=$([[ -n "$found" ]] && "$found" --version | awk 'NR == 1 {print $3}')
    if [[ -n "$found" && "$(printf '3.26\n%s\n' "$version" | sort -V | head -n 1)" == 3.26 ]]; then
        echo "$found"; return
    fi
    local venv="$root/tools-venv"
    if [[ ! -x "$venv/bin/cmake" ]]; then
        log "installing cmake from PyPI into $venv"
        tools/make-venv.sh "$venv" >&2
        "$venv/bin/python" -m pip install --quiet --disable-pip-version-check 'cmake>=3.26' >&2
    fi
    echo "$venv/bin/cmake"
}

python=$(tools/bootstrap-python.sh --debug)
root="${QUOR_BUILD_ROOT:-$PWD/build}/debug"
cmake=$(find_cmake)

suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
[[ "$suffix" == *d-*.so ]] || { log "$python is not a debug build (extension suffix $suffix)"; exit 1; }

log "building with $python (log: $root/build.log)"
mkdir -p "$root"
build_log="$root/build.log"
{
    "$cmake" -S . -B "$root/cmake" -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Debug &&
    "$cmake" --build "$root/cmake" --parallel "$(nproc)"
} > "$build_log" 2>&1 || { cat "$build_log" >&2; log "build failed"; exit 1; }
include_dir=$(sed -n 's/^_Python_INCLUDE_DIR:INTERNAL=//p' "$root/cmake/CMakeCache.txt")
[[ "$include_dir" == */python3.14d ]] || { log "FindPython chose headers in $include_dir"; exit 1; }

site="$root/site"
rm -rf "$site"
mkdir -p "$site"
cp -r src/quor_camera_sdk "$site/"
find "$site" -name __pycache__ -prune -exec rm -rf {} +
built=("$root"/cmake/*"$suffix")
(( ${#built[@]} == 5 )) || { log "expected 5 modules ending in $suffix, found ${#built[@]}"; exit 1; }
for module in "${built[@]}"; do
    # Only a Py_DEBUG build calls into the interpreter's reference totals
    # (CMakeLists.txt explains how Debian's header layout can lose it).
    grep -q _Py_DECREF_DecRefTotal <<<"$(nm -D --undefined-only "$module")" || {
        log "$(basename "$module") was not compiled with the debug headers"; exit 1;
    }
done
cp "${built[@]}" "$site/quor_camera_sdk/cameras/"

version=$("$python" -c 'import tomllib, pathlib; print(tomllib.loads(pathlib.Path("pyproject.toml").read_text())["project"]["version"])')
mkdir -p "$site/quor_camera_sdk-$version.dist-info"
printf 'Metadata-Version: 2.1\nName: quor-camera-sdk\nVersion: %s\n' "$version" \
    > "$site/quor_camera_sdk-$version.dist-info/METADATA"

log "package with debug modules in $site"
echo "$python"
