"""The benchmarks' shared helpers (bench/common.py): a failure on a load
thread reaches the benchmark instead of being printed and lost. Nothing
here is timed."""

import os
import sys
import threading

import pytest

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                             "bench"))
from common import running_threads  # noqa: E402


class TestRunningThreads:
    @pytest.mark.parametrize("error", [SystemExit("bench: refused"), ValueError("bad")],
                             ids=["system-exit", "exception"])
    def test_an_error_on_one_thread_is_raised_after_all_joined(self, error):
        finished = []
        lock = threading.Lock()

        def work(index):
            if index == 2:
                raise error
            with lock:
                finished.append(index)

        with pytest.raises(type(error), match=str(error)):
            with running_threads(work, 4):
                pass
        assert sorted(finished) == [0, 1, 3]

    def test_every_thread_runs_with_its_index_and_ends_with_the_block(self):
        started = threading.Barrier(5)
        stop = threading.Event()
        seen = []

        def work(index):
            started.wait(timeout=10)
            stop.wait(timeout=10)
            seen.append(index)

        with running_threads(work, 4):
            started.wait(timeout=10)  # all four run at once, inside the block
            assert seen == []
            stop.set()
        assert sorted(seen) == [0, 1, 2, 3]
