"""The process around the module: subinterpreters, exit-time clean-up and
Ctrl-C. Everything that could hang or crash runs in a subprocess."""

import sys
import textwrap

import pytest

SUBINTERPRETER = """
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        import _interpreters as interpreters
    interp = interpreters.create()
    try:
        # 3.13 returns the error, earlier versions raise it.
        error = interpreters.run_string(interp, "import _kolta_module")
    except Exception as raised:
        error = raised
    print("refused" if error is not None and "ImportError" in str(error) else error)
    import _kolta_module
    print("main", _kolta_module.__version__)
"""


def test_subinterpreters_refuse_the_import(run_python):
    result = run_python(SUBINTERPRETER, timeout=30)
    if "No module named" in result.stderr:
        pytest.skip("no subinterpreter module in this Python")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["refused", "main 2.0.1"]


# Scripts that keep records holding callbacks in module globals, processors
# closed: nothing of the module may be reported leaked at exit.
LEAK_FREE_SCRIPTS = {
    "list.append": """
        items = []
        lt = m.LanguageTranslationConfig("en-US", "es-ES", callback=items.append)
        items.append(m.TextFrame())
    """,
    "queue.put": """
        import queue
        q = queue.Queue()
        lt = m.LanguageTranslationConfig("en-US", "es-ES", callback=q.put)
        q.put(m.TextFrame())
    """,
    "deque.append": """
        import collections
        d = collections.deque()
        attrs = m.AudioAttributes(audio_pipeline_state_notify=d.append)
        d.append(m.TextFrame())
    """,
    "closed processor": """
        import array, tempfile
        states = []
        sdk = m.create_sdk(m.InitParams(storage_dir=tempfile.mkdtemp()))
        sdk.activate_api_key("KOLTA-DEMO-KEY")
        attrs = m.ProcessorAttributes(m.AudioAttributes(
            model_name="passthrough", audio_pipeline_state_notify=states.append))
        with sdk.create_audio_processor(attrs) as p:
            kept = p.process_frame(m.AudioFrame(array.array("f", [0.5] * 320)))
    """,
}


@pytest.mark.parametrize("body", LEAK_FREE_SCRIPTS.values(), ids=LEAK_FREE_SCRIPTS.keys())
def test_no_leak_notice_at_exit(run_python, body):
    result = run_python("import _kolta_module as m\n" + textwrap.dedent(body), timeout=60)
    assert result.returncode == 0, result.stderr
    assert "leaked" not in result.stderr


@pytest.mark.skipif(sys.platform == "win32", reason="sends SIGINT to itself")
def test_ctrl_c_ends_a_close_held_up_by_a_callback(run_python):
    result = run_python("""
        import os, signal, tempfile, threading, time
        import _kolta_module as m

        # A shell that starts this in the background may have set SIGINT to
        # ignored, which Python then keeps: Ctrl-C must raise here.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        sdk = m.create_sdk(m.InitParams(storage_dir=tempfile.mkdtemp()))
        sdk.activate_api_key("KOLTA-DEMO-KEY")
        entered, release, seen = threading.Event(), threading.Event(), []

        def notify(state):
            seen.append(state)
            entered.set()
            release.wait()

        p = sdk.create_audio_processor(m.ProcessorAttributes(m.AudioAttributes(
            model_name="passthrough", audio_pipeline_state_notify=notify)))
        entered.wait()
        closing = threading.Event()

        def interrupt():  # once the main thread is in close()
            closing.wait()
            time.sleep(0.3)
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=interrupt).start()
        try:
            closing.set()
            p.close()
            print("close returned")
        except KeyboardInterrupt:
            print("interrupted")
        release.set()
        for _ in range(500):  # the teardown completes once the callback returns
            if seen and seen[-1] == m.PipelineState.NOT_RUNNING:
                break
            time.sleep(0.01)
        print(seen[-1].name)
    """, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["interrupted", "NOT_RUNNING"]
