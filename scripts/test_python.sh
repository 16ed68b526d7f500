#!/usr/bin/env bash
# The Python test suite and the stub check under another CPython (3.11, 3.13).
#
# Creates (or reuses) the virtual environment .venv<major><minor> (.venv311,
# .venv313) through scripts/bootstrap.sh, which installs the requirements, the
# module and the test helpers there (incremental build in
# build/cp3XX-cp3XX-<platform>), then runs pytest and scripts/typecheck.sh with
# that interpreter. Extra arguments go to pytest.
#
# The interpreter is $PYTHON if set, else python<VERSION> on PATH, else pyenv's
# newest $(pyenv root)/versions/<VERSION>.*.
#
#   scripts/test_python.sh 3.13
#   PYTHON=/path/to/python3.11 scripts/test_python.sh 3.11 -k processor
set -euo pipefail
cd "$(dirname "$0")/.."

VERSION=${1:?usage: scripts/test_python.sh VERSION [pytest arguments]}
shift
VENV=${VENV:-.venv${VERSION/./}}

find_python() {
    if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
    if command -v "python$VERSION" >/dev/null 2>&1 && "python$VERSION" -c '' 2>/dev/null; then
        command -v "python$VERSION"; return
    fi
    local root candidate found=""
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for candidate in "$root"/versions/"$VERSION".*/bin/python"$VERSION"; do
        [ -x "$candidate" ] && found=$candidate
    done
    [ -n "$found" ] && { echo "$found"; return; }
    echo "test_python: python$VERSION not found; set PYTHON=/path/to/python$VERSION" >&2
    exit 1
}

PYTHON=$(find_python)
actual=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if [ "$actual" != "$VERSION" ]; then
    echo "test_python: $PYTHON is Python $actual, not $VERSION; set PYTHON" >&2
    exit 1
fi

echo "== test_python $VERSION: $VENV with $("$PYTHON" -c 'import sys; print(sys.executable)')"
VENV=$VENV PYTHON=$PYTHON scripts/bootstrap.sh

echo "== test_python $VERSION: pytest"
scripts/pytest_no_leaks.sh "$VENV/bin/python" -q "$@"

echo "== test_python $VERSION: type checks"
VENV=$VENV scripts/typecheck.sh
