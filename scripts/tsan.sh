#!/usr/bin/env bash
# ThreadSanitizer run of the reference engine through its native tests.
#
# Builds the engine, kolta_engine_tests and kolta_server_tests with
# -fsanitize=thread into build/tsan (no Python module) and runs every test; any
# data race, lock-order inversion or thread leak report fails the run.
#
#   scripts/tsan.sh                              # every native test
#   scripts/tsan.sh --gtest_filter='TsanLife*'   # extra arguments go to the engine's driver
#   KOLTA_TSAN_BUILD=build/x scripts/tsan.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

VENV=${VENV:-.venv}
BUILD=$ROOT/${KOLTA_TSAN_BUILD:-build/tsan}
export PATH=$ROOT/$VENV/bin:$PATH

echo "== tsan: configuring and building $BUILD (thread)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=g++ -DKOLTA_BUILD_MODULE=OFF -DKOLTA_BUILD_TEST_HELPERS=OFF \
    -DKOLTA_BUILD_NATIVE_TESTS=ON -DKOLTA_SANITIZE=thread >/dev/null
cmake --build "$BUILD" -j2 --target kolta_engine_tests kolta_server_tests

DRIVER=$BUILD/tests/native/kolta_engine_tests
SERVER_DRIVER=$BUILD/tests/native/kolta_server_tests
REPORTS=$BUILD/tsan-reports
rm -rf "$REPORTS"
mkdir -p "$REPORTS"

# halt_on_error: the first report ends the run with exitcode 66, so a race can
# never hide behind a passing test. Reports also go to a file per process.
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:report_signal_unsafe=1:history_size=4:log_path=$REPORTS/tsan"

# Most tests wait on timers and sockets: two shards side by side take about
# half the time on two cores. Each shard's output is kept and shown on failure.
SHARDS=${KOLTA_TSAN_SHARDS:-2}
# A hung driver (a deadlock) ends with status 124 instead of holding the run.
DEADLINE_S=${KOLTA_TSAN_DEADLINE_S:-900}
echo "== tsan: running $DRIVER in $SHARDS shards, and $SERVER_DRIVER"
pids=()
logs=()
for ((shard = 0; shard < SHARDS; shard++)); do
    logs+=("$BUILD/tsan-shard-$shard.log")
    GTEST_TOTAL_SHARDS=$SHARDS GTEST_SHARD_INDEX=$shard \
        timeout -k 30 "$DEADLINE_S" "$DRIVER" --gtest_brief=1 "$@" >"${logs[-1]}" 2>&1 &
    pids+=($!)
done
# The service's own tests are few and short: one more job beside the shards.
logs+=("$BUILD/tsan-server.log")
timeout -k 30 "$DEADLINE_S" "$SERVER_DRIVER" --gtest_brief=1 >"${logs[-1]}" 2>&1 &
pids+=($!)
status=0
for i in "${!pids[@]}"; do
    job_status=0
    wait "${pids[$i]}" || job_status=$?
    if [ "$job_status" -ne 0 ]; then
        echo "---- ${logs[$i]} ended with status $job_status" >&2
        cat "${logs[$i]}" >&2
        status=$job_status
    else
        tail -n 3 "${logs[$i]}"
    fi
done

for report in "$REPORTS"/*; do
    [ -e "$report" ] || continue
    echo "---- ThreadSanitizer report $report" >&2
    cat "$report" >&2
    [ "$status" -ne 0 ] || status=1
done
if [ "$status" -ne 0 ]; then
    echo "== tsan: FAILED (status $status)" >&2
else
    echo "== tsan: clean"
fi
exit "$status"
