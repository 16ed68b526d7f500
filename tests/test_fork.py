"""Children of fork(): each makes and uses its own SDK and processors, and can close,
drop or simply exit with what it inherited, whatever the parent's threads were doing
in the engine when it forked. Every case runs in a subprocess with a timeout."""

import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")

FORKS = 4  # children per case: a lock copied while held shows up in some of them

# Run as a script (spawned pool workers import it as __mp_main__). argv: storage
# folder, what the parent's threads do at fork time, and then either a child
# action or "pool:<start method>".
SCRIPT = r'''
import gc, multiprocessing, os, sys, threading, time
import numpy as np
import _kolta_module as m

STORAGE, BUSY, CASE, FORKS = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
KEY = "KOLTA-DEMO-KEY"
CHUNK = np.linspace(-0.5, 0.5, 320, dtype=np.float32)  # 20 ms at 16 kHz


def signed_in_sdk():
    sdk = m.create_sdk(m.InitParams(storage_dir=STORAGE))
    assert sdk.activate_api_key(KEY).success
    return sdk


def open_processor(sdk, notify=None):
    audio = m.AudioAttributes(model_name="passthrough", audio_pipeline_state_notify=notify)
    return sdk.create_audio_processor(m.ProcessorAttributes(audio, None))


def round_trip(sdk):
    """A processor of this process passes audio through, 20 ms late."""
    with open_processor(sdk) as processor:
        out = [np.array(processor.process_frame(m.AudioFrame(CHUNK)).samples)
               for _ in range(3)]
    return np.array_equal(np.concatenate(out), np.tile(CHUNK, 2))


def pool_work(_):
    return round_trip(signed_in_sdk())


def child(action, sdk, inherited):
    if action == "own":
        assert round_trip(signed_in_sdk())
    elif action == "inherited_sdk":
        assert sdk.activate_api_key(KEY).success and round_trip(sdk)
    elif action == "close":
        inherited.close()
        assert round_trip(signed_in_sdk())
    elif action == "drop":
        del inherited
        gc.collect()
        assert round_trip(signed_in_sdk())
    elif action == "process_frame":
        try:
            inherited.process_frame(m.AudioFrame(CHUNK))
            raise AssertionError("the parent's processor took audio in the child")
        except RuntimeError as error:
            assert "created before fork()" in str(error), error
    print("child", action, "ok", flush=True)
    if action == "os._exit":
        os._exit(0)
    sys.exit(0)


def wait(pid, limit=15):
    deadline = time.monotonic() + limit
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            return "hung"
        time.sleep(0.01)


def main():
    sdk = signed_in_sdk()
    states = []
    inherited = open_processor(sdk, states.append)
    stop = threading.Event()

    def signing_in():
        while not stop.is_set():
            sdk.activate_api_key(KEY)

    def streaming():
        while not stop.is_set():
            inherited.process_frame(m.AudioFrame(CHUNK))

    busy = []
    if BUSY == "busy":
        # Sign-ins log through the log every new SDK here shares; a flood of
        # state callbacks keeps an output thread calling into Python.
        busy = [signing_in, signing_in, streaming]
        os.environ["KOLTA_ENGINE_FAULTS"] = "state_flood=20000"
        flooding = open_processor(sdk, states.append)
        del os.environ["KOLTA_ENGINE_FAULTS"]
    threads = [threading.Thread(target=f) for f in busy]
    for thread in threads:
        thread.start()

    if CASE.startswith("pool:"):
        context = multiprocessing.get_context(CASE[5:])
        with context.Pool(2) as pool:
            print("pool", pool.map(pool_work, range(4), chunksize=1), flush=True)
        codes = []
    else:
        codes = []
        for _ in range(FORKS):
            time.sleep(0.005)
            pid = os.fork()
            if pid == 0:
                child(CASE, sdk, inherited)
            codes.append(wait(pid))
    stop.set()
    for thread in threads:
        thread.join()
    inherited.close()
    print("exit codes", codes)


if __name__ == "__main__":
    main()
'''

ACTIONS = ["own", "inherited_sdk", "close", "drop", "process_frame", "sys.exit", "os._exit"]


def run_script(tmp_path, busy, case):
    script = tmp_path / "forking.py"
    script.write_text(SCRIPT)
    return subprocess.run([sys.executable, str(script), str(tmp_path), busy, case, str(FORKS)],
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("busy", ["idle", "busy"])
@pytest.mark.parametrize("action", ACTIONS)
def test_forked_child(tmp_path, engine_env, without_fork_warning, busy, action):
    result = run_script(tmp_path, busy, action)
    assert without_fork_warning(result.stderr) == ""
    assert result.returncode == 0
    assert result.stdout.splitlines() == (
        [f"child {action} ok"] * FORKS + [f"exit codes {[0] * FORKS}"])


@pytest.mark.parametrize("busy", ["idle", "busy"])
@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_pool_workers_make_their_own_processors(tmp_path, engine_env, without_fork_warning,
                                                busy, method):
    result = run_script(tmp_path, busy, f"pool:{method}")
    assert without_fork_warning(result.stderr) == ""
    assert result.returncode == 0
    assert result.stdout.splitlines() == ["pool [True, True, True, True]", "exit codes []"]
