#!/usr/bin/env bash
# Runs `PYTHON -m pytest ARGS...` and fails the run if the interpreter printed a
# nanobind leak notice at exit (which pytest's own exit status cannot show):
# a reference the bindings never gave back.
#
#   scripts/pytest_no_leaks.sh .venv/bin/python -q -m stress tests
set -uo pipefail
PYTHON=${1:?usage: scripts/pytest_no_leaks.sh PYTHON [pytest arguments]}
shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$PYTHON" -m pytest "$@" 2> >(tee "$log" >&2)
status=$?
wait  # for tee to flush
if grep -q "nanobind: leaked" "$log"; then
    echo "pytest_no_leaks: nanobind reported leaked objects at exit (see above)" >&2
    exit 1
fi
exit $status
