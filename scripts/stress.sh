#!/usr/bin/env bash
# Stress tests (tests/stress, marker `stress`) against a normal build, plus the
# hostile-input tests with the larger Hypothesis profile.
#
# By default the module is built into build/stress (RelWithDebInfo, with the
# test helpers) and imported from there; KOLTA_STRESS_INSTALLED=1 uses the
# module installed in the virtual environment instead (after `make setup`).
#
#   scripts/stress.sh                  # every stress test
#   scripts/stress.sh -k exit          # extra arguments go to pytest
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

VENV=${VENV:-.venv}
PY=$ROOT/$VENV/bin/python
export PATH=$ROOT/$VENV/bin:$PATH

if [ "${KOLTA_STRESS_INSTALLED:-0}" != 1 ]; then
    BUILD=$ROOT/${KOLTA_STRESS_BUILD:-build/stress}
    echo "== stress: configuring and building $BUILD"
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$PY" -DKOLTA_BUILD_MODULE=ON \
        -DKOLTA_BUILD_TEST_HELPERS=ON >/dev/null
    cmake --build "$BUILD" -j2
    export PYTHONPATH="$BUILD:$BUILD/tests/native${PYTHONPATH:+:$PYTHONPATH}"
fi
"$PY" -c 'import _kolta_module as m; print("== stress: module", m.__file__)'

export KOLTA_STRESS=1
export KOLTA_HYPOTHESIS_PROFILE=${KOLTA_HYPOTHESIS_PROFILE:-stress}
echo "== stress: pytest -m stress, then tests/test_hostile.py ($KOLTA_HYPOTHESIS_PROFILE profile)"
./scripts/pytest_no_leaks.sh "$PY" -q -p no:cacheprovider -m stress tests "$@"
# The normal runs have the hostile-input tests with the default profile;
# KOLTA_STRESS_HOSTILE=0 leaves out their longer run here.
if [ "${KOLTA_STRESS_HOSTILE:-1}" != 0 ]; then
    ./scripts/pytest_no_leaks.sh "$PY" -q -p no:cacheprovider tests/test_hostile.py "$@"
fi
