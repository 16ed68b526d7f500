#!/usr/bin/env bash
# Static type checks against the installed module (make setup installs it):
#   1. mypy's stubtest compares the generated stub _kolta_module.pyi with the
#      module it describes (every name, property and enumeration member);
#   2. mypy --strict checks the kolta package (python/kolta), examples/ and bench/
#      against that stub.
#
#   scripts/typecheck.sh                # the .venv interpreter
#   VENV=.venv311 scripts/typecheck.sh  # another virtual environment
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=${VENV:-.venv}
PY=$ROOT/$VENV/bin/python

if ! "$PY" -c 'import mypy' 2>/dev/null; then
    "$PY" -m pip install -q "$(grep -E '^mypy([<>=!~ ]|$)' requirements-dev.txt)"
fi

# Outside the tree and without PYTHONPATH/MYPYPATH: both the module and the
# stub must come from site-packages, as a user's would.
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
unset PYTHONPATH MYPYPATH

"$PY" - <<'PYEOF'
import os
import sys
import sysconfig

import _kolta_module

where = os.path.dirname(os.path.realpath(_kolta_module.__file__))
site = os.path.realpath(sysconfig.get_paths()["platlib"])
print(f"typecheck: CPython {sys.version.split()[0]}, module in {where}")
if where != site:
    sys.exit(f"typecheck: _kolta_module is not the installed one ({where}, not {site})")
# The stub beside the module (editors), and the stub-only package mypy reads.
for stub in ("_kolta_module.pyi", os.path.join("_kolta_module-stubs", "__init__.pyi")):
    if not os.path.isfile(os.path.join(site, stub)):
        sys.exit(f"typecheck: {stub} is not installed in {site} (rebuild with make setup)")
PYEOF

echo "== stubtest _kolta_module"
# --ignore-disjoint-bases: nanobind classes cannot be combined as bases, a
# rule (PEP 800) that only matters for multiple inheritance from them.
"$PY" -m mypy.stubtest --ignore-disjoint-bases \
    --allowlist "$ROOT/scripts/stubtest_allowlist.txt" _kolta_module

echo "== mypy --strict python/kolta"
"$PY" -m mypy --strict --config-file "$ROOT/pyproject.toml" --cache-dir "$WORK/cache" \
    "$ROOT/python/kolta"

echo "== mypy --strict examples/"
"$PY" -m mypy --strict --config-file "$ROOT/pyproject.toml" --cache-dir "$WORK/cache" \
    "$ROOT/examples"

echo "== mypy --strict bench/"
# With what bench/ imports from examples/ and tests/ (the scale-out helpers).
MYPYPATH="$ROOT/examples:$ROOT/tests" "$PY" -m mypy --strict \
    --config-file "$ROOT/pyproject.toml" --cache-dir "$WORK/cache" "$ROOT/bench"
