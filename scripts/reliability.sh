#!/usr/bin/env bash
# The reliability runs, one after the other, each timed: ThreadSanitizer on the
# engine, ASan+UBSan on the in-process pytest suites, the stress tests (the
# installed module, with the hostile-input tests' stress profile), then the
# stress tests again under ASan+UBSan. Stops at the first failing part. KOLTA_RELIABILITY_PARTS
# picks parts, e.g. KOLTA_RELIABILITY_PARTS="tsan stress".
set -euo pipefail
cd "$(dirname "$0")/.."

PARTS=${KOLTA_RELIABILITY_PARTS:-tsan sanitize stress sanitize-stress}
for part in $PARTS; do
    start=$(date +%s)
    case "$part" in
        tsan) ./scripts/tsan.sh ;;
        sanitize) ./scripts/sanitize.sh ;;
        stress) KOLTA_STRESS_INSTALLED=1 ./scripts/stress.sh ;;
        sanitize-stress) KOLTA_SANITIZE_TESTS=tests/stress ./scripts/sanitize.sh -m stress ;;
        *) echo "reliability: unknown part '$part'" >&2; exit 2 ;;
    esac
    echo "== reliability: $part passed in $(( $(date +%s) - start )) s"
done
