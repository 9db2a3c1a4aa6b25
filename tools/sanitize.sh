#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehavior-
# Sanitizer (CMake option QUOR_SANITIZE) and runs the whole pytest suite
# against them. Extra arguments go to pytest.
#
# The interpreter is the bootstrapped release build, uninstrumented, so the
# sanitizer runtimes of the host's g++ are preloaded into it, and
# PYTHONMALLOC=malloc routes Python's allocations through ASan's malloc.
# Leak detection is off: the interpreter keeps memory until exit on purpose.
# Any report stops the process, so it fails the run.
#
#   $QUOR_BUILD_ROOT/sanitize/venv    venv with the instrumented package
#   $QUOR_BUILD_ROOT/sanitize/cmake   its CMake build tree (reused)
set -euo pipefail
cd "$(dirname "$0")/.."

log() { printf 'sanitize: %s\n' "$*" >&2; }

root="${QUOR_BUILD_ROOT:-$PWD/build}/sanitize"

runtimes=()
for library in libasan.so libubsan.so; do
    path=$(g++ -print-file-name="$library")
    [[ -e "$path" ]] || { log "g++ has no $library (Debian: libasan8, libubsan1)"; exit 1; }
    runtimes+=("$path")
done

venv="$root/venv"
tools/make-venv.sh "$venv"
log "building the instrumented modules"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    -C build-dir="$root/cmake" -C cmake.define.QUOR_SANITIZE=ON -C cmake.build-type=RelWithDebInfo ".[test]"

modules=("$root"/venv/lib/python3.14/site-packages/quor_camera_sdk/cameras/*.so)
(( ${#modules[@]} == 5 )) || { log "expected 5 installed modules, found ${#modules[@]}"; exit 1; }
for module in "${modules[@]}"; do
    symbols=$(nm -D --undefined-only "$module")
    for runtime in __asan_report_load __ubsan_handle; do
        grep -q "$runtime" <<<"$symbols" || {
            log "$(basename "$module") is not instrumented ($runtime missing)"; exit 1;
        }
    done
done

sanitized=(
    env
    LD_PRELOAD="${runtimes[*]}"
    PYTHONMALLOC=malloc
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=86
)

# The runtimes must be live: a heap overflow through an intercepted memmove
# has to stop the interpreter with a report.
if probe=$("${sanitized[@]}" "$venv/bin/python" -c \
        'import ctypes; ctypes.memmove(ctypes.create_string_buffer(4096), bytes(8), 4096)' 2>&1); then
    log "a heap overflow went unreported: the sanitizer runtimes are not active"; exit 1
fi
grep -q 'AddressSanitizer: heap-buffer-overflow' <<<"$probe" || { log "unexpected probe failure:"; echo "$probe" >&2; exit 1; }

log "running the test suite under ASan + UBSan"
"${sanitized[@]}" "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
