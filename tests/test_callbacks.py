"""The callback bridge: Python callables called, copied and dropped on native threads."""

import sys
import threading
import time

import pytest

import _kolta_module as m
from native_helpers import helpers


class Recorder:
    """A callable recording (value, thread id) per call; a fresh object per test
    so that its reference count is the test's own."""

    def __init__(self, delay=0.0):
        self.calls = []
        self.delay = delay
        self.finished = 0

    def __call__(self, value):
        self.calls.append((value, threading.get_ident()))
        time.sleep(self.delay)
        self.finished += 1
        return "ignored"


def test_selftest_calls_once_on_another_thread_and_waits_for_the_call():
    cb = Recorder(delay=0.05)
    assert m._gil_selftest(cb) is None
    assert cb.finished == 1
    [(value, thread)] = cb.calls
    assert value == 42
    assert thread != threading.get_ident()


@pytest.mark.parametrize("call", [
    lambda cb: m._gil_selftest(None),
    lambda cb: m._gil_selftest(5),
    lambda cb: m._gil_selftest(),
    lambda cb: m._gil_selftest(callable=cb),
    lambda cb: m._gil_selftest(arg=cb),
], ids=["none", "int", "no-argument", "keyword-callable", "keyword-arg"])
def test_selftest_rejects_bad_arguments(call):
    cb = Recorder()
    with pytest.raises(TypeError):
        call(cb)
    assert cb.calls == []


def raise_value_error(value):
    raise ValueError(f"bad {value}")


def takes_nothing():
    pass


@pytest.mark.parametrize("fn, cause_type, cause_text", [
    (raise_value_error, ValueError, "bad 42"),
    (takes_nothing, TypeError, "positional argument"),
], ids=["raises", "wrong-arity"])
def test_python_error_in_callback_reaches_unraisablehook(unraisable, fn, cause_type,
                                                         cause_text):
    assert m._gil_selftest(fn) is None
    [report] = unraisable
    assert report.exc_type is RuntimeError
    assert str(report.exc_value) == "error in Kolta callback"
    cause = report.exc_value.__cause__
    assert type(cause) is cause_type and cause_text in str(cause)
    assert report.exc_value.__context__ is cause
    assert report.object is fn


def test_native_failure_in_callback_reaches_unraisablehook(unraisable):
    cb = Recorder()
    helpers.call_unconvertible(cb)
    assert cb.calls == []
    [report] = unraisable
    assert report.exc_type is RuntimeError
    assert str(report.exc_value) == "non-Python exception in Kolta callback"
    assert report.exc_value.__cause__ is None
    assert report.object is cb


class Raiser(Recorder):
    def __call__(self, value):
        super().__call__(value)
        raise ValueError(value)


@pytest.mark.parametrize("make, use", [
    (Recorder, m._gil_selftest),
    (Raiser, m._gil_selftest),
    (Recorder, lambda cb: helpers.call_holding_gil(cb, 7)),
    (Recorder, lambda cb: helpers.churn_copies(cb, 8, 20000)),
    (Recorder, lambda cb: helpers.drop_while_gil_held(cb, 20)),
    (Recorder, helpers.call_unconvertible),
], ids=["selftest", "selftest-raising", "call-holding-gil", "copies-on-8-threads",
        "drop-while-gil-held", "unconvertible"])
def test_callable_is_released_exactly_once(unraisable, make, use):
    cb = make()
    baseline = sys.getrefcount(cb)
    use(cb)
    unraisable.clear()  # reports hold the callable
    assert sys.getrefcount(cb) == baseline


def test_call_from_a_thread_holding_the_gil_completes_on_that_thread():
    cb = Recorder()
    helpers.call_holding_gil(cb, 7)
    assert cb.calls == [(7, threading.get_ident())]


def test_last_drop_on_a_foreign_thread_waits_for_the_gil():
    # The helper keeps the GIL for 100 ms after the foreign thread began its drop;
    # a drop that finished meanwhile released the reference without the GIL.
    assert helpers.drop_while_gil_held(Recorder(), 100) is False


def test_concurrent_selftests_from_python_threads():
    cb = Recorder(delay=0.001)
    threads_n, rounds = 8, 25

    def worker():
        for _ in range(rounds):
            m._gil_selftest(cb)

    threads = [threading.Thread(target=worker, daemon=True) for _ in range(threads_n)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + 60
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert [value for value, _ in cb.calls] == [42] * (threads_n * rounds)


# Exiting under native threads that call or drop a wrapper. The prelude makes
# the windows wide: the first atexit handler registered runs last, just before
# CPython marks itself finalising, and holds the GIL in C for 300 ms (no bytecode,
# so no hand-off); module teardown afterwards sleeps, which hands the GIL over,
# when CPython ends native threads waiting for it.
EXIT_PRELUDE = """
import atexit, ctypes, sys, time
atexit.register(ctypes.PyDLL(None).usleep, 300000)
import _kolta_testhelpers as helpers

class SlowTeardown:
    def __del__(self):
        time.sleep(0.1)

slow = SlowTeardown()
"""

exit_tests = pytest.mark.skipif(sys.platform == "win32", reason="needs POSIX usleep")


def assert_clean_exit(result):
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""


@exit_tests
@pytest.mark.parametrize("interval_ms", [0, 1])
@pytest.mark.parametrize("run", range(3))
def test_exit_while_native_threads_call(run_python, interval_ms, run):
    result = run_python(EXIT_PRELUDE + f"""
calls = 0
def callback(value):
    global calls
    calls += 1
    time.sleep(0.002)  # gives up the GIL mid-call, then waits to take it back

for _ in range(4):
    helpers.start_background_caller(callback, {interval_ms})
# Runs before the bridge's own exit hook: calls wait for the GIL meanwhile.
atexit.register(helpers.hold_gil, 50)
while calls < 20:
    time.sleep(0.001)
""", timeout=60)
    assert_clean_exit(result)


@exit_tests
@pytest.mark.parametrize("delay_ms", [0, 30, 200, 400],
                         ids=["before-exit", "during-atexit", "at-finalising",
                              "during-teardown"])
@pytest.mark.parametrize("run", range(2))
def test_exit_while_a_native_thread_drops_the_last_copy(run_python, delay_ms, run):
    result = run_python(EXIT_PRELUDE + f"""
def callback(value):
    pass

helpers.start_background_drop(callback, {delay_ms})
del callback
atexit.register(helpers.hold_gil, 60)
""", timeout=60)
    assert_clean_exit(result)


def test_exit_is_not_held_for_good_by_a_blocked_callback(run_python):
    result = run_python("""
        import threading
        import _kolta_testhelpers as helpers

        entered, never = threading.Event(), threading.Event()

        def callback(value):
            entered.set()
            never.wait()

        helpers.start_background_caller(callback, 0, 1)
        entered.wait()
    """, timeout=60)
    assert_clean_exit(result)


EXIT_HANDLER = """
def handler():
    import _kolta_module as m
    import _kolta_testhelpers as helpers
    got = []
    m._gil_selftest(got.append)                     # from a native thread
    helpers.call_holding_gil(got.append, 1)         # on the exiting thread
    worker.join(10)                                 # back from a GIL-released call
    print("handler", got, worker.is_alive())

atexit.register(handler)
"""

WORKER = """
import tempfile, threading
sdk = m.create_sdk(m.InitParams(storage_dir=tempfile.mkdtemp()))
sdk.activate_api_key("KOLTA-DEMO-KEY")
worker = threading.Thread(target=sdk.activate_api_key, args=("kt_all@300",), daemon=True)
worker.start()
"""


# Exit handlers run newest first; wherever one was registered, it can still
# use the module fully: calls, callbacks from native threads, and threads
# coming back from the library.
@exit_tests
@pytest.mark.parametrize("order", [
    ("handler", "import", "use"),
    ("import", "handler", "use"),
    ("import", "use", "handler"),
], ids=["before-import", "before-first-use", "after-first-use"])
def test_exit_handlers_registered_at_any_time_use_the_module(run_python, order):
    steps = {"handler": EXIT_HANDLER, "import": "import _kolta_module as m\n",
             "use": "m._gil_selftest(print)\n" + WORKER}
    result = run_python("import atexit\n" + "".join(steps[s] for s in order), timeout=60)
    assert_clean_exit(result)
    assert result.stdout.splitlines() == ["42", "handler [42, 1] False"]


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs os.fork")
def test_forked_child_exits_while_a_parent_thread_waits_for_the_gil(run_python,
                                                                   without_fork_warning):
    # The fork handlers are C-level (partial), so nothing hands the GIL over
    # between them and the fork: a native call is waiting for the GIL when the
    # process forks, and the child must not wait for it when it exits.
    result = run_python("""
        import functools, os, sys, time
        import _kolta_testhelpers as helpers

        calls = []
        helpers.call_holding_gil(calls.append, -1)
        os.register_at_fork(before=functools.partial(helpers.hold_gil, 50))
        os.register_at_fork(before=functools.partial(
            helpers.start_background_caller, calls.append, 0, 1))
        pid = os.fork()
        if pid == 0:
            sys.exit(0)
        deadline = time.monotonic() + 10
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                sys.exit("the child hung at exit")
            time.sleep(0.01)
        while len(calls) < 2:
            time.sleep(0.001)
        print(os.waitstatus_to_exitcode(status), calls)
    """, timeout=30)
    assert result.returncode == 0, result.stderr
    assert without_fork_warning(result.stderr) == ""
    assert result.stdout == "0 [-1, 0]\n"
