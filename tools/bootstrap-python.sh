#!/usr/bin/env bash
# Prints the path of a CPython 3.14 interpreter, assembling one when the
# machine has none.
#
# Order of preference:
#   1. $QUOR_PYTHON, if set;
#   2. python3.14 on PATH;
#   3. a private prefix unpacked from Debian's "sid" binary packages into
#      $QUOR_PYTHON_CACHE (default ~/.cache/quor-camera-sdk/cpython-3.14),
#      built once and reused by later runs.
#
# With --debug the debug build (python3.14d) is printed instead; only the
# private prefix provides it unless $QUOR_PYTHON_DEBUG names one.
#
# The host's apt state is never touched: the sid index lives in a temporary
# folder, and the archive URI is the one the host's own sources already use.
set -euo pipefail

want_debug=0
[[ "${1:-}" == "--debug" ]] && want_debug=1

log() { printf 'bootstrap-python: %s\n' "$*" >&2; }

if (( want_debug )); then
    if [[ -n "${QUOR_PYTHON_DEBUG:-}" ]]; then echo "$QUOR_PYTHON_DEBUG"; exit 0; fi
else
    if [[ -n "${QUOR_PYTHON:-}" ]]; then echo "$QUOR_PYTHON"; exit 0; fi
    if command -v python3.14 >/dev/null 2>&1; then command -v python3.14; exit 0; fi
fi

prefix="${QUOR_PYTHON_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quor-camera-sdk/cpython-3.14}"
binary="$prefix/usr/bin/python3.14"
(( want_debug )) && binary="$prefix/usr/bin/python3.14d"

if [[ -f "$prefix/.complete" && -x "$binary" ]]; then
    echo "$binary"; exit 0
fi

packages=(
    python3.14 python3.14-minimal libpython3.14 libpython3.14-minimal
    libpython3.14-stdlib libpython3.14-dev python3.14-dev python3.14-venv
    python3.14-dbg libpython3.14-dbg
    libc6 libssl3t64 libffi8 libexpat1 zlib1g libsqlite3-0 libzstd1 liblzma5
    libbz2-1.0 libncursesw6 libreadline8t64 libtinfo6 libuuid1 libdb5.3t64
    libgcc-s1 libstdc++6 libmpdec4 python3-pip-whl python3-setuptools-whl
)

archive_uri() {
    # The first deb URI of the host's own configuration, deb822 or one-line.
    local uri=""
    shopt -s nullglob
    for f in /etc/apt/sources.list.d/*.sources; do
        uri=$(awk '/^URIs:/ {print $2; exit}' "$f")
        [[ -n "$uri" && "$uri" != *security* ]] && break
    done
    if [[ -z "$uri" && -f /etc/apt/sources.list ]]; then
        uri=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) {print $i; exit}}' /etc/apt/sources.list)
    fi
    [[ -n "$uri" ]] || { log "no Debian archive URI in the host's apt sources"; exit 1; }
    echo "$uri"
}

if ! command -v patchelf >/dev/null 2>&1; then
    log "installing patchelf"
    apt-get update -qq >&2 && apt-get install -y -qq patchelf >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/debs"
cat > "$work/sid.sources" <<SOURCES
Types: deb
URIs: $(archive_uri)
Suites: sid
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES

apt_opts=(
    -o "Dir::Etc::sourcelist=$work/sid.sources"
    -o "Dir::Etc::sourceparts=/nonexistent"
    -o "Dir::State::Lists=$work/lists"
    -o "Dir::Cache=$work/cache"
    -o "Debug::NoLocking=1"
    -o "APT::Sandbox::User=root"
)
log "reading the sid package index"
apt-get "${apt_opts[@]}" update -qq >&2
log "downloading ${#packages[@]} packages"
(cd "$work/debs" && apt-get "${apt_opts[@]}" download -qq "${packages[@]}" >&2)

rm -rf "$prefix"
mkdir -p "$prefix"
for deb in "$work"/debs/*.deb; do
    dpkg -x "$deb" "$prefix"
done

loader="$prefix/usr/lib64/ld-linux-x86-64.so.2"
[[ -e "$loader" ]] || loader="$prefix/lib64/ld-linux-x86-64.so.2"
for exe in "$prefix/usr/bin/python3.14" "$prefix/usr/bin/python3.14d"; do
    patchelf --set-interpreter "$loader" --force-rpath \
        --set-rpath "$prefix/usr/lib/x86_64-linux-gnu" "$exe"
done

"$prefix/usr/bin/python3.14" -c 'import ssl, sqlite3, venv, sys; assert sys.version_info[:2] == (3, 14)' >&2
touch "$prefix/.complete"
log "CPython $("$prefix/usr/bin/python3.14" -c 'import platform; print(platform.python_version())') ready in $prefix"
echo "$binary"
