#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer run of the whole pytest suite.
#
# Builds the engine, the module and the test helpers with
# -fsanitize=address,undefined (gcc, Debian's runtime) into build/asan, then runs
# the Python suites against that build with the ASan runtime preloaded into the
# (uninstrumented) interpreter. Fails on a failing test and on any sanitizer
# report, including one written by a subprocess a test started.
#
#   scripts/sanitize.sh                 # the in-process suites (below)
#   KOLTA_SANITIZE_TESTS=tests scripts/sanitize.sh     # every test
#   KOLTA_SANITIZE_TESTS=tests/stress scripts/sanitize.sh -m stress
#   KOLTA_ASAN_BUILD=build/x scripts/sanitize.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

VENV=${VENV:-.venv}
PY=$ROOT/$VENV/bin/python
BUILD=$ROOT/${KOLTA_ASAN_BUILD:-build/asan}
export PATH=$ROOT/$VENV/bin:$PATH

echo "== sanitize: configuring and building $BUILD (address,undefined)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=g++ -DPython_EXECUTABLE="$PY" \
    -DKOLTA_BUILD_MODULE=ON -DKOLTA_BUILD_TEST_HELPERS=ON \
    -DKOLTA_SANITIZE=address,undefined >/dev/null
cmake --build "$BUILD" -j2

ASAN_LIB=$(g++ -print-file-name=libasan.so)
UBSAN_LIB=$(g++ -print-file-name=libubsan.so)
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
    [ -f "$lib" ] || { echo "sanitize: runtime $lib not found" >&2; exit 1; }
done

# ASan and LSan reports go to files, one per process, so that none is lost in
# a subprocess whose output a test swallows; any report there fails the run.
REPORTS=$BUILD/sanitizer-reports
rm -rf "$REPORTS"
mkdir -p "$REPORTS"

export LD_PRELOAD="$ASAN_LIB $UBSAN_LIB"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:strict_string_checks=1:check_initialization_order=1:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:suppressions=$ROOT/tests/sanitizers/ubsan.supp"
export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizers/lsan.supp:print_suppressions=0"
export PYTHONPATH="$BUILD:$BUILD/tests/native${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONFAULTHANDLER=1

# Programs the engine (and the speech tests) start, Apertium's translator
# among them, are not ours and are not built with the sanitizers: they run
# without the preloaded runtime, through a wrapper first on PATH.
WRAPPERS=$BUILD/uninstrumented-bin
mkdir -p "$WRAPPERS"
for program in apertium; do
    real=$(command -v "$program" || true)
    [ -n "$real" ] || continue
    printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$real" >"$WRAPPERS/$program"
    chmod +x "$WRAPPERS/$program"
done
export PATH="$WRAPPERS:$PATH"

# The modules must come from this build and load its engine (the run path),
# never an installed copy.
"$PY" - "$BUILD" <<'EOF'
import os, sys
build = os.path.realpath(sys.argv[1])
import _kolta_module, _kolta_testhelpers
maps = open("/proc/self/maps").read()
engines = {line.split()[-1] for line in maps.splitlines() if "libKoltaSdk" in line}
for module in (_kolta_module, _kolta_testhelpers):
    assert os.path.realpath(module.__file__).startswith(build), module.__file__
assert engines == {os.path.join(build, "engine", "libKoltaSdk.so")}, engines
assert "libasan" in maps, "the ASan runtime is not loaded"
EOF

# Tests that cannot run under this set-up, each with the reason.
DESELECT=(
    # Its child runs with a hand-made environment that drops LD_PRELOAD, and
    # an ASan-built module cannot load into an interpreter without the runtime.
    --deselect tests/test_module.py::test_import_touches_no_environment_and_no_engine
)
# CPython 3.10 ends a native thread waiting for the GIL at exit with a forced
# unwind (pthread_exit). The bridge rethrows it; gcc 12's ASan runtime then
# checks its own sigaltstack call against the stale poison of the unwound
# frames and dies on an internal CHECK (asan_thread.cpp:371). A tooling
# limitation: the same tests pass in the normal build.
DESELECT+=(--deselect tests/test_callbacks.py::test_exit_while_native_threads_call)
# A child forked while other threads run exits through LSan's leak check,
# which cannot stop those threads there ("Running thread ... was not
# suspended. False leaks are possible.") and reports what they held in the
# parent (their Python thread states, a frame one of them was returning) as
# leaked. The busy fork pool also timed out once under ASan (120 s; it
# passed in the other runs; the cause is not established), and one of four
# children forked while threads ran and ending with os._exit hung once. The
# same cases pass in the normal build, every run.
for case in own inherited_sdk close drop process_frame sys.exit os._exit; do
    DESELECT+=(--deselect "tests/test_fork.py::test_forked_child[$case-busy]")
done
DESELECT+=(--deselect "tests/test_fork.py::test_pool_workers_make_their_own_processors[fork-busy]")

# By default, the tests whose code runs in the instrumented processes: the
# module, the bridge and the engine loaded into the interpreter, and the
# service (its program is this build's) under well-formed and hostile
# clients. The tests of the command line, the README's examples, Dask,
# PostgreSQL, HAProxy and the browser spend their time starting programs
# (interpreters, mostly) that are not what is checked here; the normal run
# keeps them all.
DEFAULT_TESTS=(tests/test_module.py tests/test_attributes.py tests/test_audio_frame.py
    tests/test_transcripts.py tests/test_session.py tests/test_storage.py
    tests/test_processor.py tests/test_lifecycle.py tests/test_callbacks.py
    tests/test_fork.py tests/test_streams.py tests/test_aio.py tests/test_one_call.py
    tests/test_pcm_scaling.py tests/test_formats.py tests/test_alignment.py
    tests/test_hostile.py tests/test_speech.py tests/test_codecs.py
    tests/test_cloud_stream.py tests/test_stream_faults.py tests/test_engine_sign_in.py
    tests/test_server.py tests/test_server_stream.py tests/test_server_transcripts.py)
read -r -a TESTS <<<"${KOLTA_SANITIZE_TESTS:-${DEFAULT_TESTS[*]}}"

echo "== sanitize: pytest under ASan+UBSan (reports: $REPORTS)"
# UBSan ignores log_path next to ASan and writes to stderr: --capture=sys lets
# native writes to fd 2 through (pytest would lose them with the process when a
# report aborts it), and the run's output is kept for the scan below.
status=0
"$PY" -m pytest -q -p no:cacheprovider --capture=sys "${DESELECT[@]}" "$@" "${TESTS[@]}" \
    2>&1 | tee "$BUILD/sanitize-pytest.log" || status=$?

# A file holding only LSan's "Running thread ... was not suspended" notice (a
# process that exits while its threads still run) is not a report.
reported=0
for report in "$REPORTS"/*; do
    [ -e "$report" ] || continue
    if grep -qE 'ERROR: |runtime error|CHECK failed|SUMMARY: ' "$report"; then
        echo "---- sanitizer report $report" >&2
        cat "$report" >&2
        reported=1
    fi
done
if grep -qE 'runtime error: |ERROR: (Address|Leak)Sanitizer' "$BUILD/sanitize-pytest.log"; then
    echo "---- sanitizer report(s) in the run's output: $BUILD/sanitize-pytest.log" >&2
    grep -E -A3 'runtime error: |ERROR: (Address|Leak)Sanitizer' "$BUILD/sanitize-pytest.log" >&2
    reported=1
fi
if grep -q "nanobind: leaked" "$BUILD/sanitize-pytest.log"; then
    echo "---- nanobind reported leaked objects at exit: $BUILD/sanitize-pytest.log" >&2
    reported=1
fi
if [ "$reported" -ne 0 ] && [ "$status" -eq 0 ]; then
    status=1
fi
if [ "$status" -ne 0 ]; then
    echo "== sanitize: FAILED (status $status)" >&2
else
    echo "== sanitize: clean"
fi
exit "$status"
