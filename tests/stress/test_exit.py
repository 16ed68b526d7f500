"""100 interpreters that exit while processors are open and callbacks are
pending: normally, through sys.exit once a callback has run, and through an
uncaught exception. None may hang or crash; each exits with its own code."""

import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

pytestmark = pytest.mark.stress

RUNS = 100
WORKERS = 2  # the CI machine has two cores
TIMEOUT = 60

# The child: what is open at exit (the variant), then how it exits (the mode).
CHILD = textwrap.dedent("""
    import os, sys, tempfile, threading, time
    import numpy as np
    import _kolta_module as m

    mode, variant, code = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    reported = []
    sys.unraisablehook = lambda report: reported.append(report.exc_type)

    sdk = m.create_sdk(m.InitParams(tempfile.mkdtemp(prefix="kolta-exit-")))
    assert sdk.activate_api_key("KOLTA-DEMO-KEY").success
    started = threading.Event()
    calls = [0]

    def on_state(state):
        calls[0] += 1
        started.set()
        if variant == 3:
            time.sleep(0.001)          # slow callback: many still queued at exit
        if variant == 4 and calls[0] % 2:
            raise SystemExit(99)       # reported, never exits the process

    def on_text(frame):
        calls[0] += 1
        started.set()
        frame.transcript_data_.complete[0].text  # touch the delivered frame
        if calls[0] % 3 == 0:
            raise ValueError("from a transcript callback")

    def processor(faults, model=""):
        os.environ["KOLTA_ENGINE_FAULTS"] = faults
        lt = m.LanguageTranslationConfig("en-US", "es-ES", callback=on_text)
        audio = m.AudioAttributes(16000, 1, model, audio_pipeline_state_notify=on_state)
        return sdk.create_audio_processor(m.ProcessorAttributes(audio, lt))

    # Far more than can be delivered before the exit, little enough to drain
    # quickly once the bridge stops calling into the exiting interpreter.
    flood = "connect_delay_ms=0,state_flood=300000,transcript_flood=300000"
    kept = [processor(flood)]
    if variant == 1:                    # storm threads as well, and a second one
        kept.append(processor("connect_delay_ms=0,transcript_threads=16,"
                              "transcript_flood=300000"))
    if variant == 2:                    # a daemon thread inside process_frame
        chunk = m.AudioFrame(np.full(32000, 0.2, np.float32))
        def pump():
            while True:
                kept[0].process_frame(chunk)
        threading.Thread(target=pump, daemon=True).start()
    if variant == 3:                    # open processors also in a garbage cycle
        cycle = [processor(flood)]
        cycle.append(cycle)
        del cycle
    if variant == 4:                    # the SDK is gone, its processor is not
        del sdk
    assert started.wait(30), "no callback ran"
    time.sleep(0.01 * (variant % 3))
    print("callbacks", calls[0], flush=True)
    if mode == "exit":
        sys.exit(code)
    if mode == "raise":
        raise RuntimeError("uncaught at exit")
""")

MODES = [("normal", 0), ("exit", None), ("raise", 1)]
VARIANTS = 5


def run_child(index, env):
    mode, expected = MODES[index % len(MODES)]
    variant = (index // len(MODES)) % VARIANTS
    code = 3 + index % 120 if expected is None else 0
    expected = code if expected is None else expected
    try:
        result = subprocess.run([sys.executable, "-c", CHILD, mode, str(variant), str(code)],
                                capture_output=True, text=True, timeout=TIMEOUT, env=env)
    except subprocess.TimeoutExpired:
        return index, mode, variant, expected, None, "", f"hung for {TIMEOUT} s"
    return (index, mode, variant, expected, result.returncode, result.stdout,
            result.stderr)


CRASH_SIGNS = ("Fatal Python error", "Segmentation fault", "terminate called",
               "Aborted", "core dumped", "AddressSanitizer", "runtime error")


def unexpected_stderr(mode, stderr):
    """What in stderr is not part of the expected exit."""
    # The engine holds the callbacks, whose globals hold the processors: a cycle
    # through native code that CPython cannot see, so these objects are never
    # freed at exit (nor what a parked daemon thread holds), and the binding
    # library lists them. That notice may remain.
    lines = [l for l in stderr.splitlines()
             if not l.startswith(("nanobind: leaked", " - "))
             and "reference counting issue" not in l and "refleaks.html" not in l]
    if mode == "raise":
        # The traceback of the uncaught exception, ending in its message.
        if lines[-1:] != ["RuntimeError: uncaught at exit"] or (
                "Traceback (most recent call last):" not in lines):
            return stderr
        lines = lines[:lines.index("Traceback (most recent call last):")]
    return "\n".join(lines)


@pytest.mark.timeout(900)
def test_interpreters_exit_with_open_processors_and_pending_callbacks(tmp_path, figures):
    env = dict(os.environ)
    env.pop("KOLTA_ENGINE_FAULTS", None)
    env.pop("KOLTA_LOCAL_INFERENCING", None)
    env["TMPDIR"] = str(tmp_path)
    with ThreadPoolExecutor(max_workers=WORKERS) as pool:
        results = list(pool.map(lambda i: run_child(i, env), range(RUNS)))

    failures = []
    codes = {}
    for index, mode, variant, expected, returncode, stdout, stderr in results:
        codes[mode] = codes.get(mode, 0) + 1
        problem = None
        if returncode is None:
            problem = stderr
        elif returncode != expected:
            problem = f"exit code {returncode}, expected {expected}"
        elif any(sign in stderr for sign in CRASH_SIGNS):
            problem = "crash report"
        elif unexpected_stderr(mode, stderr):
            problem = "unexpected output on stderr"
        elif not stdout.startswith("callbacks "):
            problem = "did not reach its exit"
        if problem:
            failures.append(f"run {index} ({mode}, variant {variant}): {problem}\n"
                            f"{stderr[-2000:]}")
    assert not failures, "\n\n".join(failures[:5])
    figures(f"{RUNS} interpreters exited as expected: " +
            ", ".join(f"{count} {mode}" for mode, count in sorted(codes.items())))
