#!/usr/bin/env bash
# The Python test suite and the stub check under CPython 3.11.
#
# Creates (or reuses) the virtual environment .venv311 with `python3` (which
# must be 3.11) through scripts/bootstrap.sh, which installs the requirements,
# the module and the test helpers there (incremental build in
# build/cp311-cp311-<platform>), then runs pytest and scripts/typecheck.sh
# with that interpreter. Extra arguments go to pytest.
#
#   scripts/test_py311.sh
#   PYTHON311=/path/to/python3.11 scripts/test_py311.sh -k processor
set -euo pipefail
cd "$(dirname "$0")/.."

VENV311=${VENV311:-.venv311}
PYTHON311=${PYTHON311:-python3}

version=$("$PYTHON311" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if [ "$version" != "3.11" ]; then
    echo "test_py311: $PYTHON311 is Python $version, not 3.11; set PYTHON311" >&2
    exit 1
fi

echo "== test_py311: $VENV311 with $("$PYTHON311" -c 'import sys; print(sys.executable)')"
VENV=$VENV311 PYTHON=$PYTHON311 scripts/bootstrap.sh

echo "== test_py311: pytest"
"$VENV311/bin/python" -m pytest -q "$@"

echo "== test_py311: type checks"
VENV=$VENV311 scripts/typecheck.sh
