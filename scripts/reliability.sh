#!/usr/bin/env bash
# The reliability runs, one after the other, each timed: ThreadSanitizer on the
# engine, ASan+UBSan on the whole pytest suite, then the stress tests. Stops at
# the first failing part. KOLTA_RELIABILITY_PARTS picks parts, e.g. "tsan stress".
set -euo pipefail
cd "$(dirname "$0")/.."

PARTS=${KOLTA_RELIABILITY_PARTS:-tsan sanitize stress}
for part in $PARTS; do
    case "$part" in
        tsan|sanitize|stress) ;;
        *) echo "reliability: unknown part '$part'" >&2; exit 2 ;;
    esac
    start=$(date +%s)
    "./scripts/$part.sh"
    echo "== reliability: $part passed in $(( $(date +%s) - start )) s"
done
