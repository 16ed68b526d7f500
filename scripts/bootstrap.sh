#!/usr/bin/env bash
# Prepares a fresh machine: Debian packages, a Python 3.10 virtual environment,
# and an incremental build of the engine, the module and the test helpers.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VENV:-.venv}
# Speech models: WebRTC noise suppression, the pocketsphinx recogniser with its
# en-US model and recorded test speech, Apertium English<->Spanish; sox makes
# the pink noise of the measurement clips. The sign-in service (server/) needs
# Boost (Asio, Beast), OpenSSL, SQLite and libpq; the tests of several
# instances run a PostgreSQL server and HAProxy in front of them, and its
# browser page is tested in headless Chromium through chromedriver. ccache
# shares the objects of the builds for each interpreter, the wheels and tests.
APT_PACKAGES=(g++ pkg-config ccache libspeexdsp-dev libgtest-dev clang-format
    libwebrtc-audio-processing-dev libpocketsphinx-dev pocketsphinx-en-us
    pocketsphinx-testdata pocketsphinx apertium apertium-eng-spa sox
    libboost-dev libssl-dev libsqlite3-dev libopus-dev libpq-dev postgresql haproxy
    chromium chromium-driver)

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

find_python310() {
    if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
    if command -v python3.10 >/dev/null 2>&1 && python3.10 -c '' 2>/dev/null; then
        command -v python3.10; return
    fi
    local root
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for candidate in "$root"/versions/3.10*/bin/python3.10; do
        [ -x "$candidate" ] && { echo "$candidate"; return; }
    done
    echo "python3.10 not found; set PYTHON=/path/to/python3.10" >&2
    exit 1
}

if [ ! -x "$VENV/bin/python" ]; then
    echo "== creating $VENV with $(find_python310)"
    "$(find_python310)" -m venv "$VENV"
fi
PY="$VENV/bin/python"
"$PY" -m pip install -q --upgrade pip >/dev/null
"$PY" -m pip install -q -r requirements-dev.txt

echo "== building and installing the engine and the module"
"$PY" -m pip install -q --no-build-isolation \
    -C cmake.define.KOLTA_BUILD_TEST_HELPERS=ON .
