"""kolta denoise --cluster and kolta.distributed on Dask clusters on
loopback: the same outputs as --jobs 1, one sign-in per worker process, a
worker killed in a file, files that fail or kill their worker reported by
name, Ctrl-C, and the key nowhere but on the workers; transcripts and
translations the same as `kolta transcribe FILE` writes, their languages
and options checked before anything is sent. Most tests share one local
cluster (two worker processes of one thread), started and closed here;
each cluster or process wait has a deadline."""

import contextlib
import json
import logging
import os
import pickle
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import soundfile as sf

from cli_helpers import (RATE, damaged_flac, environment, long_files, noisy_tone, run_kolta,
                         start_kolta, wait_for)

distributed = pytest.importorskip("distributed")

from distributed import Client, WorkerPlugin  # noqa: E402
from distributed.diagnostics.plugin import SchedulerPlugin  # noqa: E402

from kolta.audiofile import RawLayout  # noqa: E402
from kolta.cli.plan import prepare_outputs  # noqa: E402
from kolta.distributed import denoise, transcribe, translate  # noqa: E402
from kolta.errors import BadInput  # noqa: E402
from kolta.distributed.batch import absolute_plan, remove_leftovers, run  # noqa: E402
from kolta.distributed.cluster import local_cluster  # noqa: E402
from kolta.distributed.work import Denoise  # noqa: E402
from speech_data import GOFORWARD, MISSING, TESTDATA  # noqa: E402

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="signals to worker processes")

TESTS = os.path.dirname(os.path.abspath(__file__))
# Grants denoise, passthrough and translate (and a model that does not exist,
# whose name is the secret part: the engine's log keeps the first 4 characters).
SECRET = "5f3a9c0d17e2"
KEY = f"kt_denoise+passthrough+translate+{SECRET}"
RETRIES = 1  # the shared cluster's: a file may kill two workers
DEADLINE = 120
# A worker's temporary file: OUT.part<pid>-<host>.
CLUSTER_PART = re.compile(r"(?P<name>.+)\.part(?P<pid>\d+)-(?P<host>.+)")
NO_SCHEDULER = "tcp://127.0.0.1:9"  # nothing listens: a check made after connecting fails
needs_speech = pytest.mark.skipif(not os.path.exists(TESTDATA), reason=MISSING)


@pytest.fixture(scope="module")
def cluster():
    """Two workers with the key in their environment; the tests' folder on
    their path, for the test plugins below."""
    with pytest.MonkeyPatch.context() as env:
        env.setenv("KOLTA_API_KEY", KEY)
        env.setenv("PYTHONPATH", os.pathsep.join([TESTS, os.environ.get("PYTHONPATH", "")]))
        for name in ("KOLTA_API_KEY_FILE", "KOLTA_ENGINE_FAULTS", "KOLTA_LOCAL_INFERENCING"):
            env.delenv(name, raising=False)
        local = local_cluster(2, RETRIES, log_level=logging.INFO)
        try:
            with Client(local, timeout=30) as client:
                yield client
        finally:
            local.close(timeout=30)


def cluster_parts(folder):
    """{(output name, pid)} of the workers' temporary files in `folder`."""
    if not os.path.isdir(folder):
        return set()
    matches = (CLUSTER_PART.fullmatch(name) for name in os.listdir(folder))
    return {(m["name"], int(m["pid"])) for m in matches if m}


def tones(folder, count, seconds, prefix="f"):
    folder.mkdir(exist_ok=True)
    for i in range(count):
        sf.write(str(folder / f"{prefix}{i}.wav"), noisy_tone(int(seconds * RATE), seed=i),
                 RATE, subtype="PCM_16")


def sign_ins(storage):
    with open(os.path.join(storage, "logs", "kolta.log"), encoding="utf-8") as log:
        return [line for line in log if "sign-in succeeded" in line]


def report_lines(path):
    with open(path, encoding="utf-8") as report:
        return {os.path.basename(line["input"]): line for line in map(json.loads, report)}


class Recorder:
    """A Watcher that keeps every call."""

    def __init__(self):
        self.calls = []
        self.lock = threading.Lock()

    def _keep(self, *call):
        with self.lock:
            self.calls.append(call)

    def signed_in(self, workers):
        self._keep("signed_in", workers)

    def advanced(self, index, seconds):
        self._keep("advanced", index, seconds)

    def dropped(self, index):
        self._keep("dropped", index)

    def finished(self, index, result):
        self._keep("finished", index, result)

    def of(self, index):
        return [call[0] for call in self.calls if call[1:2] == (index,)]


def run_on(client, tmp_path, folder, out="out", watcher=None):
    """kolta.distributed's job as the command line and denoise() run it."""
    plan = absolute_plan([str(folder)], f"{tmp_path / out}{os.sep}", RawLayout(), force=False)
    prepare_outputs(plan)
    try:
        return plan, run(client, plan.tasks, Denoise("denoise"), str(tmp_path / "st"),
                         RETRIES, watcher or Recorder())
    finally:
        remove_leftovers(plan.tasks)


def test_import_kolta_loads_no_dask():
    code = ("import sys, kolta, kolta.cli.app; "
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stdout) == (0, "[]\n"), done.stderr


def test_cluster_local_writes_what_jobs_1_writes(tmp_path):
    """Byte for byte, a rate resampled and a stereo file among them; the
    report has a line per file."""
    source = tmp_path / "in"
    tones(source, 3, 2.0)
    sf.write(str(source / "stereo.flac"), noisy_tone(44100, rate=44100, channels=2), 44100,
             subtype="PCM_24")
    alone = run_kolta("denoise", str(source), str(tmp_path / "jobs1"), "--jobs", "1",
                      "--storage", str(tmp_path / "st"))
    assert alone.returncode == 0, alone.stderr
    done = run_kolta("denoise", str(source), str(tmp_path / "cluster"), "--cluster", "local",
                     "--storage", str(tmp_path / "st"), "--report", str(tmp_path / "r.jsonl"),
                     timeout=DEADLINE)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == "2 Dask workers (local), signed in"
    names = sorted(os.listdir(tmp_path / "jobs1"))
    assert sorted(os.listdir(tmp_path / "cluster")) == names
    for name in names:
        assert (tmp_path / "cluster" / name).read_bytes() == \
            (tmp_path / "jobs1" / name).read_bytes(), name
    lines = report_lines(tmp_path / "r.jsonl")
    assert sorted(lines) == names
    assert all(line["ok"] and line["error"] is None for line in lines.values())
    assert lines["stereo.flac"]["seconds"] == pytest.approx(1.0)


def test_each_worker_process_signs_in_once(cluster, tmp_path):
    """Over two jobs of several files each: one sign-in per worker process,
    with the key the workers have (the engine's log keeps 4 characters)."""
    tones(tmp_path / "in", 6, 0.5)
    for job in range(2):
        results = denoise([tmp_path / "in"], tmp_path / f"out{job}", cluster=cluster,
                          storage_dir=tmp_path / "st")
        assert [result.ok for result in results] == [True] * 6
    workers = cluster.run(os.getpid)
    lines = sign_ins(tmp_path / "st")
    assert len(lines) == len(workers) == 2
    assert all("key=kt_d****" in line for line in lines)


def test_one_bar_for_the_files_and_audio_done_across_the_cluster(cluster, tmp_path):
    """The --jobs bar: seconds of audio and files, lines above it, left at 100%."""
    from test_cli_progress import run_in_terminal, screen, the_one_bar

    long_files(tmp_path / "in", 12, 60)
    shown = screen(run_in_terminal(["denoise", str(tmp_path / "in"), str(tmp_path / "out"),
                                    "--cluster", cluster.scheduler.address,
                                    "--storage", str(tmp_path / "st")], timeout=DEADLINE))
    bar, _ = the_one_bar(shown, "denoise on the cluster")
    assert shown[bar + 1] == "12 files, 720.0 s of audio"


class RunSpecs(SchedulerPlugin):
    """Test hook in the (in-process) scheduler: the pickled specs of every
    task sent, and the worker plugins kept, as they were then."""

    def __init__(self):
        self.pickled = []

    def update_graph(self, scheduler, *, tasks, **kwargs):
        self.pickled += [pickle.dumps(scheduler.tasks[key].run_spec) for key in tasks]
        self.pickled += list(scheduler.worker_plugins.values())


def test_the_key_goes_in_no_plugin_task_or_log(cluster, tmp_path):
    specs = RunSpecs()
    scheduler = cluster.cluster.scheduler
    scheduler.add_plugin(specs, name="test-run-specs")
    try:
        tones(tmp_path / "in", 3, 0.5)
        plan, results = run_on(cluster, tmp_path, tmp_path / "in")
    finally:
        scheduler.remove_plugin(name="test-run-specs")
    assert all(result.ok for result in results)
    sent = b"".join(specs.pickled)
    # What was looked at: each task's spec (its output named) and the sign-in plugin.
    assert all(os.fsencode(task.output) in sent for task in plan.tasks)
    assert b"SignIn" in sent and os.fsencode(str(tmp_path / "st")) in sent
    logs = json.dumps([cluster.get_worker_logs(), cluster.get_worker_logs(nanny=True),
                       cluster.get_scheduler_logs()])
    assert "Starting Worker plugin kolta-sign-in" in logs  # the logs were kept
    engine_log = (tmp_path / "st" / "logs" / "kolta.log").read_text()
    for where in (sent, logs.encode(), engine_log.encode()):
        assert SECRET.encode() not in where


def test_a_worker_killed_in_a_file_leaves_every_file_once(cluster, tmp_path):
    """Killed while it writes the long file: that file is done again
    elsewhere (its progress so far dropped) and nothing partial is left.
    The worker that replaces it signs in once, the others not again."""
    tones(tmp_path / "in", 4, 20.0)
    sf.write(str(tmp_path / "in" / "long.wav"), noisy_tone(600 * RATE), RATE,
             subtype="PCM_16")
    before = set(cluster.run(os.getpid).values())
    recorder = Recorder()
    outcome = []
    job = threading.Thread(target=lambda: outcome.append(
        run_on(cluster, tmp_path, tmp_path / "in", watcher=recorder)), daemon=True)
    job.start()
    out = tmp_path / "out"

    long_index = 4  # the plan's order: f0.wav ... f3.wav, long.wav

    def writer_of_long():
        """a worker writes long.wav and has told how far it got"""
        told = "advanced" in recorder.of(long_index)
        return told and [pid for name, pid in cluster_parts(out) if name == "long.wav"]
    (pid,) = wait_for(writer_of_long, timeout=DEADLINE)
    os.kill(pid, signal.SIGKILL)
    job.join(DEADLINE)
    assert not job.is_alive()
    plan, results = outcome[0]
    assert all(result.ok for result in results), [r.error for r in results]
    assert sorted(os.listdir(out)) == ["f0.wav", "f1.wav", "f2.wav", "f3.wav", "long.wav"]
    assert sf.info(str(out / "long.wav")).frames == 600 * RATE
    assert os.path.basename(plan.tasks[long_index].info.path) == "long.wav"
    calls = recorder.of(long_index)
    assert calls[-1] == "finished" and "dropped" in calls[:-1]

    cluster.wait_for_workers(2, timeout=DEADLINE)  # the replacement
    tones(tmp_path / "more", 2, 0.5)
    run_on(cluster, tmp_path, tmp_path / "more", out="more_out")
    now = set(cluster.run(os.getpid).values())
    assert pid in before and pid not in now
    assert len(sign_ins(tmp_path / "st")) == len(before | now) == 3


class CrashOn(WorkerPlugin):
    """Test hook: the worker process dies (SIGKILL, as in an engine crash)
    as it starts the file named `file`; sent again to every worker that
    replaces it."""

    name = "test-crash-on"

    def __init__(self, file):
        self.file = file

    def setup(self, worker):
        from kolta import pipeline

        original = self.original = pipeline.denoise_file

        def crashing(sdk, info, *args, **kwargs):
            if os.path.basename(info.path) == self.file:
                os.kill(os.getpid(), signal.SIGKILL)
            return original(sdk, info, *args, **kwargs)

        pipeline.denoise_file = crashing

    def teardown(self, worker):
        from kolta import pipeline

        pipeline.denoise_file = self.original


def test_files_that_fail_or_kill_their_worker_are_named_and_the_rest_done(cluster, tmp_path):
    tones(tmp_path / "in", 5, 1.0)
    damaged = damaged_flac(tmp_path / "in" / "damaged.flac")
    tones(tmp_path / "in", 1, 1.0, prefix="crash")
    crash = str(tmp_path / "in" / "crash0.wav")
    cluster.register_plugin(CrashOn("crash0.wav"))
    try:
        done = run_kolta("denoise", str(tmp_path / "in"), str(tmp_path / "out"),
                         "--cluster", cluster.scheduler.address, "--storage",
                         str(tmp_path / "st"), "--report", str(tmp_path / "r.jsonl"),
                         timeout=DEADLINE)
    finally:
        cluster.unregister_worker_plugin("test-crash-on")
    assert done.returncode == 1
    stderr = done.stderr.splitlines()
    assert stderr[-1] == f"kolta: error: 2 of 7 files not done: {crash}, {damaged}"
    assert (f"kolta: {damaged}: cannot read the audio (Error : flac decoder lost sync.); "
            "not done") in stderr
    assert any(line.startswith(f"kolta: {crash}: its worker died {RETRIES + 1} times")
               for line in stderr)
    lines = report_lines(tmp_path / "r.jsonl")
    assert {name for name, line in lines.items() if not line["ok"]} == {"crash0.wav",
                                                                         "damaged.flac"}
    assert len(lines) == 7
    assert sorted(os.listdir(tmp_path / "out")) == [f"f{i}.wav" for i in range(5)]


def test_ctrl_c_stops_the_files_in_hand_on_their_workers(cluster, tmp_path):
    """The files being written stop at their next block, and nothing is
    left of them."""
    tones(tmp_path / "in", 2, 600.0)
    out = tmp_path / "out"
    kolta = start_kolta("denoise", str(tmp_path / "in"), str(out), "--cluster",
                        cluster.scheduler.address, "--storage", str(tmp_path / "st"),
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wait_for(lambda: cluster_parts(out), timeout=DEADLINE)
        kolta.send_signal(signal.SIGINT)
        _, stderr = kolta.communicate(timeout=60)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(kolta.pid, signal.SIGKILL)
    assert (kolta.returncode, stderr) == (130, "kolta: interrupted\n")

    def workers_idle():
        """no worker runs a task"""
        return not any(cluster.run(lambda dask_worker: dask_worker.state.executing_count)
                       .values())
    wait_for(workers_idle, timeout=60, step=0.1)
    assert list(out.glob("*")) == []
    # Each file's processor was closed long before the file's end (a call per
    # 0.5 s block): its worker stopped, rather than did it for nothing.
    log = (tmp_path / "st" / "logs" / "kolta.log").read_text()
    calls = [int(count) for count in re.findall(r"processor destroyed: id=\d+ calls=(\d+)", log)]
    assert len(calls) == 2 and max(calls) < 600 / 0.5 / 2


@pytest.mark.parametrize("args, message", [
    (["--report", "r.jsonl"], "--report goes with --cluster"),
    (["--cluster", "tcp://127.0.0.1:9", "--api-key", "kt_all"],
     "--api-key is not sent to a cluster: set KOLTA_API_KEY or KOLTA_API_KEY_FILE where "
     "the workers run"),
    (["--cluster", "tcp://127.0.0.1:9", "--jobs", "2"],
     "--jobs goes with --cluster local (a scheduler of your own has its own workers)"),
    (["--cluster", "tcp://127.0.0.1:9", "--report", "/proc/no/r.jsonl"],
     "cannot write /proc/no/r.jsonl: No such file or directory"),
], ids=["report alone", "api key", "jobs", "report unwritable"])
def test_cluster_options_are_checked_before_anything_is_sent(tmp_path, args, message):
    """Each an error of one line and exit status 2, before the (absent)
    scheduler is tried: nothing is written."""
    sf.write(str(tmp_path / "a.wav"), noisy_tone(RATE), RATE, subtype="PCM_16")
    done = run_kolta("denoise", str(tmp_path / "a.wav"), str(tmp_path / "out") + os.sep,
                     *args, timeout=30)
    assert (done.returncode, done.stderr) == (2, f"kolta: error: {message}\n")
    assert not (tmp_path / "out").exists()


def test_a_worker_with_no_key_says_so_in_one_line(engine_env, tmp_path):
    """Another engine than the reference one (which would take its demo key)."""
    from kolta.distributed import sessions

    engine_env.delenv("KOLTA_API_KEY", raising=False)
    engine_env.setattr("kolta.cli.signin.is_reference_engine", lambda sdk: False)
    with pytest.raises(BadInput) as refused:
        sessions.open_session(str(tmp_path / "st"), "tcp://10.0.0.7:4242")
    assert str(refused.value) == ("worker tcp://10.0.0.7:4242: no API key: set KOLTA_API_KEY "
                                  "or KOLTA_API_KEY_FILE on the worker")
    with pytest.raises(sessions.NotSignedIn, match=re.escape(str(refused.value))):
        sessions.session(str(tmp_path / "st"))


def test_a_worker_that_cannot_sign_in_fails_the_job_before_any_file(tmp_path):
    sf.write(str(tmp_path / "a.wav"), noisy_tone(RATE), RATE, subtype="PCM_16")
    done = run_kolta("denoise", str(tmp_path / "a.wav"), str(tmp_path / "out") + os.sep,
                     "--cluster", "local", "--jobs", "1", "--storage", str(tmp_path / "st"),
                     env={"KOLTA_API_KEY": "fail_token_expired"}, timeout=DEADLINE)
    assert done.returncode == 2
    assert re.fullmatch(r"kolta: error: worker tcp://127\.0\.0\.1:\d+: sign-in refused "
                        r"\(TOKEN_EXPIRED\): .*\n", done.stderr), done.stderr
    assert not (tmp_path / "out").exists()


def speech(folder):
    """Recorded speech: goforward (raw int16, as WAV) and a read sentence
    whose translation has accents."""
    folder.mkdir(exist_ok=True)
    sf.write(str(folder / "goforward.wav"),
             np.fromfile(GOFORWARD, "<i2"), RATE,
             subtype="PCM_16")
    shutil.copy(os.path.join(TESTDATA, "librivox",
                             "sense_and_sensibility_01_austen_64kb-0920.wav"),
                folder / "austen.wav")
    return ["austen", "goforward"]


@needs_speech
@pytest.mark.parametrize("command, form", [("transcribe", "txt"), ("transcribe", "srt"),
                                           ("translate", "json"), ("translate", "vtt")])
def test_each_transcript_is_what_the_command_writes_for_its_file(cluster, tmp_path, command,
                                                                  form):
    """Byte for byte the stdout of `kolta transcribe|translate FILE --format F`."""
    names = speech(tmp_path / "in")
    call = transcribe if command == "transcribe" else translate
    results = call([tmp_path / "in"], tmp_path / "out", cluster=cluster, format=form,
                   storage_dir=tmp_path / "st")
    outputs = [str(tmp_path / "out" / f"{name}.{form}") for name in names]
    assert [(r.output, r.ok) for r in results] == [(o, True) for o in outputs], \
        [r.error for r in results]
    assert sorted(os.listdir(tmp_path / "out")) == [f"{name}.{form}" for name in names]
    for name, output in zip(names, outputs):
        alone = subprocess.run([sys.executable, "-m", "kolta", command,
                                str(tmp_path / "in" / f"{name}.wav"), "--format", form,
                                "--storage", str(tmp_path / "st")],
                               capture_output=True, env=environment(), timeout=DEADLINE)
        assert alone.returncode == 0, alone.stderr
        with open(output, "rb") as written:
            assert written.read() == alone.stdout, name


@needs_speech
def test_a_file_that_cannot_be_read_is_named_and_the_other_transcripts_written(cluster,
                                                                               tmp_path):
    speech(tmp_path / "in")
    damaged = damaged_flac(tmp_path / "in" / "damaged.flac")
    out = tmp_path / "out"
    done = run_kolta("translate", str(tmp_path / "in"), "--cluster", cluster.scheduler.address,
                     "--out", str(out), "--storage", str(tmp_path / "st"),
                     "--report", str(tmp_path / "r.jsonl"), timeout=DEADLINE)
    assert done.returncode == 1
    stderr = done.stderr.splitlines()
    assert stderr[-1] == f"kolta: error: 1 of 3 files not done: {damaged}"
    assert (f"kolta: {damaged}: cannot read the audio (Error : flac decoder lost sync.); "
            "not done") in stderr
    lines = report_lines(tmp_path / "r.jsonl")
    assert {name: line["ok"] for name, line in lines.items()} == {
        "austen.wav": True, "damaged.flac": False, "goforward.wav": True}
    assert lines["goforward.wav"]["output"] == str(out / "goforward.txt")
    assert sorted(os.listdir(out)) == ["austen.txt", "goforward.txt"]  # nothing partial left
    for name in ("austen.txt", "goforward.txt"):  # a final and its translation
        (line,) = (out / name).read_text(encoding="utf-8").splitlines()
        final, translation = line.split("\t")
        assert final and translation, line


@pytest.mark.parametrize("args, message", [
    (["translate", "--to", "fr-FR", "--cluster", NO_SCHEDULER, "--out", "OUT"],
     "no translation from en-US to fr-FR (translated: en-US -> es-ES)"),
    (["transcribe", "--cluster", NO_SCHEDULER],
     "--cluster writes a transcript file per IN: give the folder, --out DIR"),
    (["transcribe", "--partials", "--cluster", NO_SCHEDULER, "--out", "OUT"],
     "--partials goes with one IN's transcript on stdout, not --cluster"),
    (["transcribe", "--out", "OUT"], "--out goes with --cluster"),
], ids=["pair", "no out", "partials", "out alone"])
def test_transcript_options_are_checked_before_anything_is_sent(tmp_path, args, message):
    sf.write(str(tmp_path / "a.wav"), noisy_tone(RATE), RATE, subtype="PCM_16")
    command, *options = args
    options = [str(tmp_path / "out") if option == "OUT" else option for option in options]
    done = run_kolta(command, str(tmp_path / "a.wav"), *options, timeout=30)
    assert (done.returncode, done.stderr) == (2, f"kolta: error: {message}\n")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("call, languages, message", [
    (translate, {"to": "fr-FR"},
     "no translation from en-US to fr-FR (translated: en-US -> es-ES)"),
    (transcribe, {"language": "de-DE"}, "no speech recogniser for de-DE (recognised: en-US)"),
], ids=["pair", "spoken"])
def test_a_language_with_no_model_is_refused_before_anything_is_sent(tmp_path, call, languages,
                                                                     message):
    sf.write(str(tmp_path / "a.wav"), noisy_tone(RATE), RATE, subtype="PCM_16")
    with pytest.raises(ValueError) as refused:
        call([tmp_path / "a.wav"], tmp_path / "out", cluster=NO_SCHEDULER, **languages)
    assert str(refused.value) == message
    assert not (tmp_path / "out").exists()


def test_transcripts_are_named_by_their_inputs_stems(tmp_path):
    """Folders walked as for denoise; two inputs of one stem are refused."""
    (tmp_path / "in" / "sub").mkdir(parents=True)
    for name in ("a.wav", "sub/b.flac"):
        sf.write(str(tmp_path / "in" / name), noisy_tone(RATE), RATE, subtype="PCM_16")
    out = f"{tmp_path / 'out'}{os.sep}"
    plan = absolute_plan([str(tmp_path / "in")], out, RawLayout(), False, "srt")
    assert [task.output for task in plan.tasks] == [os.path.join(out, "a.srt"),
                                                    os.path.join(out, "sub", "b.srt")]
    sf.write(str(tmp_path / "in" / "a.flac"), noisy_tone(RATE), RATE, subtype="PCM_16")
    with pytest.raises(BadInput, match=r"a\.srt: both .*a\.flac and .*a\.wav would be written"):
        absolute_plan([str(tmp_path / "in")], out, RawLayout(), False, "srt")


def _done_file(path, runs):
    """Done at once the first time; slowly when done again, so that the test
    sees the result lost in between."""
    from kolta.distributed import FileResult

    if os.path.exists(runs):
        time.sleep(2)
    with open(runs, "a") as told:
        told.write("run\n")
    return FileResult(path, path + ".out", True, None, 1.0, 0.1)


def test_a_result_lost_with_its_worker_before_it_is_read_is_waited_for(cluster, tmp_path):
    """A file done, then its worker killed (by another file, say) before
    kolta read the result: the scheduler does it again; the file is not
    reported dropped."""
    from distributed import wait

    from kolta.audiofile import AudioInfo
    from kolta.cli.job import Task
    from kolta.distributed.batch import _result

    runs = tmp_path / "runs"
    future = cluster.submit(_done_file, "/data/a.wav", str(runs), pure=False)
    wait(future, timeout=DEADLINE)
    (holder,) = cluster.who_has(future)[future.key]
    with contextlib.suppress(Exception):
        cluster.run(os._exit, 1, workers=[holder])
    wait_for(lambda: future.status != "finished", timeout=30,
             what="the result lost with its worker", step=0.05)
    task = Task(AudioInfo("/data/a.wav", RATE, 1, RATE, "WAV", "PCM_16"), "/data/a.wav.out")
    result = _result(future, task)
    assert (result.ok, result.error) == (True, None)
    assert runs.read_text() == "run\nrun\n"
    wait_for(lambda: len(cluster.scheduler_info()["workers"]) == 2, timeout=DEADLINE, step=0.1)
