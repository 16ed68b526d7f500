"""kolta denoise --jobs under fire: a worker killed, SIGTERM to kolta or to
all, kolta killed, Ctrl-C. No partial file is left behind (but kolta's own
when it is killed outright), no file is started after a stop, and no worker
outlives kolta. Linux: the process checks read /proc."""

import contextlib
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
import soundfile as sf

from cli_helpers import (RATE, long_files, noisy_tone, partial_files, start_kolta, wait_for,
                         workers_in)

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="process groups, signals and /proc")


@pytest.fixture
def denoise(tmp_path):
    """`with denoise(N, ...) as kolta`: kolta denoise in/ out/ --jobs N; its
    process group is killed if the block fails (before Popen's exit, which
    waits without a deadline), and whatever is left of it when the test ends."""
    groups = []

    @contextlib.contextmanager
    def start(jobs, *extra):
        kolta = start_kolta("denoise", str(tmp_path / "in"), str(tmp_path / "out"),
                            "--jobs", str(jobs), "--storage", str(tmp_path / "st"), *extra,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        groups.append(kolta.pid)
        with kolta:
            try:
                yield kolta
            except BaseException:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(kolta.pid, signal.SIGKILL)
                raise

    yield start
    for group in groups:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(group, signal.SIGKILL)


def workers_busy(kolta, out, count):
    """Waits until `count` workers each write a file (kolta itself may have
    done its share by then); their pids."""
    def busy():
        """the workers in a file"""
        pids = {pid for _, pid in partial_files(out)} - {kolta.pid}
        return pids if len(pids) >= count else None
    return wait_for(busy, timeout=60)


@pytest.mark.parametrize("kills", [1, 2])
def test_a_worker_that_dies_is_replaced_and_its_file_tried_once_more(tmp_path, denoise, kills):
    long_files(tmp_path / "in", 4, 60)
    f0 = str(tmp_path / "in" / "f0.wav")
    sf.write(f0, noisy_tone(300 * RATE), RATE, subtype="PCM_16")  # long: caught in the act
    out = tmp_path / "out"
    killed = []
    with denoise(2, "--model", "passthrough") as kolta:
        for _ in range(kills):  # the worker on f0.wav (workers start at the front)
            def worker_on_f0():
                """a worker writes f0.wav"""
                return [pid for name, pid in partial_files(out)
                        if name == "f0.wav" and pid != kolta.pid and pid not in killed]
            (pid,) = wait_for(worker_on_f0, timeout=60)
            os.kill(pid, signal.SIGKILL)
            killed.append(pid)
        stdout, stderr = kolta.communicate(timeout=120)
    notes = [line for line in stderr.splitlines() if line.startswith(f"kolta: {f0}: ")]
    assert notes[0] == f"kolta: {f0}: its worker process was killed (SIGKILL); trying it again"
    done = sorted(os.listdir(out))
    if kills == 1:
        assert kolta.returncode == 0, stderr
        assert done == ["f0.wav", "f1.wav", "f2.wav", "f3.wav"]
    else:
        assert kolta.returncode == 1
        assert notes[1].endswith("killed (SIGKILL) again; not done")
        assert stderr.splitlines()[-1] == f"kolta: error: 1 of 4 files not done: {f0}"
        assert done == ["f1.wav", "f2.wav", "f3.wav"]
    for name in done:
        np.testing.assert_array_equal(sf.read(str(out / name))[0],
                                      sf.read(str(tmp_path / "in" / name))[0])


@pytest.mark.parametrize("to_all", [True, False], ids=["to all", "to kolta"])
def test_sigterm_is_taken_like_ctrl_c(tmp_path, denoise, to_all):
    long_files(tmp_path / "in", 6, 120)
    with denoise(3) as kolta:
        workers_busy(kolta, tmp_path / "out", 2)
        if to_all:
            os.killpg(kolta.pid, signal.SIGTERM)
        else:
            os.kill(kolta.pid, signal.SIGTERM)
        _, stderr = kolta.communicate(timeout=60)
        left = workers_in(kolta.pid)
    assert (kolta.returncode, stderr) == (143, "kolta: terminated\n")
    assert left == {}
    assert partial_files(tmp_path / "out") == set()


def test_workers_end_when_kolta_is_killed(tmp_path, denoise):
    long_files(tmp_path / "in", 6, 120)
    with denoise(3) as kolta:
        workers = workers_busy(kolta, tmp_path / "out", 2)
        os.kill(kolta.pid, signal.SIGKILL)
        kolta.communicate(timeout=60)

        def workers_gone():
            """the workers ended"""
            return not workers_in(kolta.pid)
        wait_for(workers_gone, timeout=15)
    assert not workers & {pid for _, pid in partial_files(tmp_path / "out")}


def test_ctrl_c_starts_no_file_and_leaves_no_worker(tmp_path, denoise):
    """kolta is held (SIGSTOP) while Ctrl-C reaches everyone: the workers
    stop their files and answer before kolta can act. Nothing may start
    once it does."""
    long_files(tmp_path / "in", 8, 60)
    out = tmp_path / "out"

    def started():
        names = os.listdir(out) if out.exists() else []  # gone: nothing was written
        return {name.split(".part")[0] for name in names}

    with denoise(3) as kolta:
        workers_busy(kolta, out, 2)
        os.kill(kolta.pid, signal.SIGSTOP)
        before = started()
        os.killpg(kolta.pid, signal.SIGINT)
        time.sleep(0.5)
        os.kill(kolta.pid, signal.SIGCONT)
        after = set()
        deadline = time.monotonic() + 60
        while kolta.poll() is None:
            assert time.monotonic() < deadline, "kolta still running 60 s after Ctrl-C"
            after |= started()
            time.sleep(0.002)
        left = workers_in(kolta.pid)
        time.sleep(0.5)  # what a worker left running would still be doing
        after |= started()
        _, stderr = kolta.communicate(timeout=60)
    assert (kolta.returncode, stderr) == (130, "kolta: interrupted\n")
    assert left == {}
    assert after <= before
    assert partial_files(out) == set()


def test_a_ctrl_c_while_workers_start_is_held_for_kolta_not_lost():
    """Workers start with Ctrl-C held back by the signal mask, which they
    inherit; in kolta it stays pending and is raised right after."""
    from kolta.cli.workers import _new_processes_hold_ctrl_c

    probe = ("import signal; "
             "print(signal.SIGINT in signal.pthread_sigmask(signal.SIG_BLOCK, []))")
    reached = False
    with pytest.raises(KeyboardInterrupt):
        with _new_processes_hold_ctrl_c():
            child = subprocess.run([sys.executable, "-c", probe], capture_output=True,
                                   text=True, timeout=60)
            # To this thread: other threads of the test process may take a
            # signal sent to the process.
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
            time.sleep(0.05)  # an ignored or unmasked Ctrl-C would act here
            reached = True
    assert reached
    assert child.stdout.strip() == "True"


def test_workers_start_before_the_audio_modules_load():
    """The workers' start-up runs beside kolta's own imports (NumPy,
    libsndfile) only if they start first."""
    probe = textwrap.dedent("""
        import argparse, sys
        from kolta.cli import denoise

        class Started(Exception):
            pass

        def start_workers(args):
            raise Started(sorted({"numpy", "soundfile"} & set(sys.modules)))

        denoise.start_workers = start_workers
        try:
            denoise.run_denoise(argparse.Namespace(cluster=None, report=None, jobs=2))
        except Started as started:
            print(started.args[0])
        """)
    child = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                           timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "[]"


def test_a_ctrl_c_as_kolta_s_own_share_starts_is_not_waited_out():
    """Its thread never ran: the stop has nothing to wait for (a wait
    would last STOP_SECONDS, made an hour here)."""
    probe = textwrap.dedent("""
        from kolta.cli import job

        class Job:
            def stop(self):
                pass

        def start():
            raise KeyboardInterrupt

        job.STOP_SECONDS = 3600.0
        own = job.OwnShare(Job(), lambda: None)
        own._thread.start = start
        try:
            own.run(lambda: None)
        except KeyboardInterrupt:
            print("interrupted")
        """)
    child = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                           timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "interrupted"
