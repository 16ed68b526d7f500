"""kolta-server on several instances behind HAProxy, the accounts in one
PostgreSQL database (both on loopback, in temporary folders): the real-time
sessions two instances sustain against one, and how long a stream goes
unprocessed when its instance is killed.

- Capacity: each instance runs one service thread (`--threads 1`), a core's
  worth of service. Sessions as in bench_stream.py (sessions.py): `denoise`,
  L16 at 16 kHz mono, one pacing thread pushing a 20 ms chunk to every
  session each 20 ms, here through HAProxy. A count of sessions is
  sustained when every stream stays open (none dropped and connected
  again: that audio would come back unprocessed, at once) and at least 99%
  of the chunks of the measured seconds are back within 100 ms of their due
  time, the pacing's own lateness included. The highest sustained count is
  searched by doubling, then halving the interval (scaleout_measures.py),
  with one instance behind HAProxy and with two, the two searches taking
  turns; each count on fresh sessions, after a second of warm-up, and tried
  once more before it counts as failed. The client, HAProxy and the
  instances share the machine's cores, so the CPU each took at the top
  load is reported with the counts, and the sessions per service core
  (seconds of audio / the instances' CPU seconds), which do not depend on
  the cores left over.
- Interruption: streams of the engine's own client (the module's cloud
  path, KOLTA_SERVICE_URL at HAProxy, as users run it) spread over two
  instances; one instance is killed (SIGKILL). For each stream that was on
  it: from its last answer the service processed before the kill to its
  first processed one after the stream connected again, through HAProxy,
  to the other instance. While no connection runs the engine passes the
  input through, so an answer equal to its input was not processed. The
  killed instance is started again on its port between repeats, the two
  killed in turn. HAProxy checks the instances' health as docs/deploy.md
  has it (every second, out after two failures)."""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import secrets
import shutil
import signal
import sys
import tempfile
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from types import TracebackType
from typing import Any

import numpy as np

from common import kolta, main, median, percentile
from machine import busy_cpu_seconds, own_cpu_seconds
from scaleout_measures import BoundedSearch, interruption_s
from service import add_key, cpu_seconds, metric_sum, standalone_service
from sessions import (CHUNK, MAX_CHUNK_LATENCY_MS, TICK_S, PacedSession, cloud_attributes, pace,
                      service_sdk)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests"))

from scaleout_helpers import (HaproxyProcess, PostgresCluster, free_port,  # noqa: E402
                              missing_programs)

NAMES = ("a", "b")
MIN_IN_TIME = 0.99
# A count fails when this many trials in a row fail: another program's
# burst on the shared cores can stall one trial past the bound.
TRIES = 2
WARM_UP_S = 1.0
# Pacing goes on this long after the measured seconds, for their last
# chunks to come back.
TAIL_S = (MAX_CHUNK_LATENCY_MS + 20) / 1000
BEFORE_KILL_S = 1.5
CLOSE_DEADLINE_S = 30.0
# HAProxy's own cap on connections, and each instance's: above any count
# searched, so that neither stands in for the service's capacity.
MAX_CONNECTIONS = 4096
# docs/deploy.md's health checks: how soon HAProxy takes a dead instance out.
CHECKS = "inter 1s fall 2 rise 2"
CLIENT = "the engine's cloud path (_kolta_module, KOLTA_SERVICE_URL at HAProxy)"


class Fleet:
    """kolta-server instances on fixed loopback ports, the accounts in one
    database and the token secrets in one file; any of them can be killed
    and started again on its port."""

    def __init__(self, database_url: str, secret_file: str, names: Sequence[str]) -> None:
        self._options = ("--db", database_url, "--token-secret-file", secret_file,
                         "--max-connections", str(MAX_CONNECTIONS))
        self.ports = {name: free_port() for name in names}
        self.pids: dict[str, int] = {}
        self._running: dict[str, contextlib.ExitStack] = {}
        try:
            for name in names:
                self.start(name)
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> Fleet:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    def start(self, name: str) -> None:
        stack = contextlib.ExitStack()
        _, self.pids[name] = stack.enter_context(
            standalone_service(None, *self._options, port=self.ports[name]))
        self._running[name] = stack

    def kill(self, name: str) -> float:
        """SIGKILL; returns when it was sent (perf_counter)."""
        sent = time.perf_counter()
        os.kill(self.pids.pop(name), signal.SIGKILL)
        self._running.pop(name).close()  # reaps it
        return sent

    def close(self) -> None:
        for name in list(self._running):
            self.pids.pop(name, None)
            self._running.pop(name).close()

    def url(self, name: str) -> str:
        return f"http://127.0.0.1:{self.ports[name]}"

    def total(self, series: str) -> float:
        """The sum of a /metrics series over the running instances."""
        return sum(metric_sum(self.url(name), series) for name in self.pids)

    def wait_streams_closed(self) -> None:
        deadline = time.monotonic() + CLOSE_DEADLINE_S
        while self.total("kolta_streams_open") > 0:
            if time.monotonic() > deadline:
                raise SystemExit(f"bench: streams still open {CLOSE_DEADLINE_S:.0f} s "
                                 "after their sessions closed")
            time.sleep(0.05)


@contextlib.contextmanager
def haproxy(folder: str, fleet: Fleet, names: Sequence[str]) -> Iterator[HaproxyProcess]:
    os.makedirs(folder)
    proxy = HaproxyProcess(folder, [(name, fleet.ports[name]) for name in names],
                           maxconn=MAX_CONNECTIONS, checks=CHECKS)
    try:
        yield proxy
    finally:
        proxy.stop()


def in_time_share(paced: Sequence[PacedSession], warm_ticks: int,
                  lag_ms: Sequence[float]) -> tuple[float, float]:
    """(share of the measured chunks back within the bound of their due
    time, p99 of due time to seen); a chunk not back counts as late."""
    late_by: list[float] = []
    for session in paced:
        measured = session.latencies_ms[warm_ticks:warm_ticks + len(lag_ms)]
        late_by.extend(latency + lag for latency, lag in zip(measured, lag_ms))
    sent = len(paced) * len(lag_ms)
    within = sum(1 for value in late_by if value <= MAX_CHUNK_LATENCY_MS)
    missing = [math.inf] * (sent - len(late_by))
    return within / sent, percentile(late_by + missing, 0.99)


def load_trial(sdk: kolta.Sdk, fleet: Fleet, proxy_pid: int, sessions: int,
               seconds: float) -> dict[str, Any]:
    """`sessions` fresh real-time sessions through HAProxy: a second of
    warm-up, then the chunks of `seconds` measured."""
    paced = [PacedSession(sdk.create_audio_processor(cloud_attributes(True)), seed=i + 1)
             for i in range(sessions)]
    trial: dict[str, Any] = {"sessions": sessions}
    try:
        opened = fleet.total("kolta_streams_open")
        if opened != sessions:
            trial.update(passed=False, why=f"{opened:.0f} of {sessions} streams open")
            return trial
        opened_before = fleet.total("kolta_streams_opened_total")
        warm = pace(paced, WARM_UP_S)
        before = {name: cpu_seconds(pid) for name, pid in fleet.pids.items()}
        proxy_before, client_before = cpu_seconds(proxy_pid), time.process_time()
        wall_before = time.perf_counter()
        pacing = pace(paced, seconds + TAIL_S)
        wall = time.perf_counter() - wall_before
        service_cpu = {name: cpu_seconds(pid) - before[name] for name, pid in fleet.pids.items()}
        trial.update(
            service_cpus={name: used / wall for name, used in service_cpu.items()},
            haproxy_cpus=(cpu_seconds(proxy_pid) - proxy_before) / wall,
            client_cpus=(time.process_time() - client_before) / wall)
        reconnected = fleet.total("kolta_streams_opened_total") - opened_before
    finally:
        for session in paced:
            session.processor.close()
        fleet.wait_streams_closed()
    share, p99 = in_time_share(paced, warm.ticks, pacing.lag_ms[:int(seconds / TICK_S)])
    audio_s = sessions * pacing.ticks * TICK_S
    trial.update(in_time=share, due_to_seen_p99_ms=p99, late_pacing_ticks=pacing.late_ticks,
                 pacing_lag_p99_ms=percentile(pacing.lag_ms, 0.99),
                 reconnected=int(reconnected),
                 sessions_per_service_core=audio_s / max(sum(service_cpu.values()), 1e-9),
                 passed=reconnected == 0 and share >= MIN_IN_TIME)
    return trial


@dataclass
class Setting:
    """One instance or several behind HAProxy, and its search."""
    names: Sequence[str]
    proxy: HaproxyProcess
    sdk: kolta.Sdk
    search: BoundedSearch
    trials: list[dict[str, Any]] = field(default_factory=list)

    def sustains(self, fleet: Fleet, sessions: int, args: argparse.Namespace) -> bool:
        for _ in range(TRIES):
            trial = load_trial(self.sdk, fleet, self.proxy.process.pid, sessions, args.seconds)
            self.trials.append(trial)
            print(f"bench_scaleout: {len(self.names)} instance(s), {sessions} sessions: "
                  f"{trial.get('in_time', 0):.1%} in time, "
                  f"{'passed' if trial['passed'] else 'failed'}", file=sys.stderr)
            if trial["passed"]:
                return True
        return False

    def result(self) -> dict[str, Any]:
        top = max((t for t in self.trials if t["passed"]), key=lambda t: int(t["sessions"]),
                  default=None)
        return {"instances": len(self.names), "sessions": self.search.best, "top": top,
                "trials": self.trials}


def capacity(fleet: Fleet, key: str, work: str,
             args: argparse.Namespace) -> list[dict[str, Any]]:
    """The highest count of sessions sustained through HAProxy in front of
    one instance, and in front of two: the two searches take turns, so
    that both see the machine's load as it drifts."""
    with contextlib.ExitStack() as stack:
        settings = []
        for names in (NAMES[:1], NAMES):
            folder = os.path.join(work, f"haproxy-{len(names)}")
            proxy = stack.enter_context(haproxy(folder, fleet, names))
            # A stream goes where its SDK signed in.
            sdk = stack.enter_context(service_sdk(f"http://127.0.0.1:{proxy.port}",
                                                  os.path.join(folder, "client"), key))
            settings.append(Setting(names, proxy, sdk, BoundedSearch(
                args.start, args.limit * len(names), args.resolution)))
        while any(setting.search.next_count is not None for setting in settings):
            for setting in settings:
                count = setting.search.next_count
                if count is not None:
                    setting.search.record(setting.sustains(fleet, count, args))
    return [setting.result() for setting in settings]


class WatchedSession(PacedSession):
    """Also notes each answer's time and whether the service processed it
    (its samples differ from the input's), and the pipeline's states."""

    def __init__(self, sdk: kolta.Sdk, seed: int) -> None:
        self.states: list[tuple[float, kolta.PipelineState]] = []
        super().__init__(sdk.create_audio_processor(
            cloud_attributes(True, notify=self.on_state)), seed)
        self.answers: list[tuple[float, bool]] = []
        self.position = 0  # of the next output sample in the stream

    def on_state(self, state: kolta.PipelineState) -> None:
        self.states.append((time.perf_counter(), state))

    def push(self, now: float) -> kolta.AudioFrame:
        frame = super().push(now)
        out = np.frombuffer(frame.samples, np.float32)
        if out.size:
            given = self.chunk[(self.position + np.arange(out.size)) % CHUNK]
            self.answers.append((now, bool(2 * np.count_nonzero(out != given) > out.size)))
            self.position += out.size
        return frame

    def state_after(self, state: kolta.PipelineState, after: float) -> float | None:
        return next((seen for seen, s in self.states if s == state and seen > after), None)


def interruption(fleet: Fleet, key: str, work: str,
                 args: argparse.Namespace) -> dict[str, Any]:
    gaps: list[float] = []
    detected: list[float] = []  # kill to NOT_RUNNING
    running_again: list[float] = []  # kill to RUNNING on the other instance
    on_killed: list[int] = []
    folder = os.path.join(work, "haproxy-kill")
    with haproxy(folder, fleet, NAMES) as proxy, \
            service_sdk(f"http://127.0.0.1:{proxy.port}", os.path.join(folder, "client"),
                        key) as sdk:
        for repeat in range(args.repeats):
            victim = NAMES[repeat % len(NAMES)]
            sessions = [WatchedSession(sdk, seed=i + 1) for i in range(args.streams)]
            on_killed.append(int(metric_sum(fleet.url(victim), "kolta_streams_open")))
            kill_tick = int(BEFORE_KILL_S / TICK_S)
            killed_at: list[float] = []

            def before_tick(tick: int) -> bool:
                if tick == kill_tick:
                    killed_at.append(fleet.kill(victim))
                return True

            try:
                pace(sessions, BEFORE_KILL_S + args.after_kill, before_tick)
            finally:
                for session in sessions:
                    session.processor.close()
            kill = killed_at[0]
            for session in sessions:
                gap = interruption_s(session.answers, kill)
                if gap is None:
                    continue
                gaps.append(gap)
                down = session.state_after(kolta.PipelineState.NOT_RUNNING, kill)
                if down is not None:
                    detected.append(down - kill)
                    up = session.state_after(kolta.PipelineState.RUNNING, down)
                    if up is not None:
                        running_again.append(up - kill)
            fleet.start(victim)
            proxy.wait_until(lambda: len(proxy.instances_answering()) == len(NAMES),
                             "the killed instance back behind HAProxy")
            fleet.wait_streams_closed()
    return {"client": CLIENT, "haproxy_checks": CHECKS, "streams": args.streams,
            "repeats": args.repeats, "streams_on_killed": on_killed, "interrupted": len(gaps),
            "gap_median_s": median(gaps) if gaps else math.nan,
            "gap_p99_s": percentile(gaps, 0.99) if gaps else math.nan,
            "gap_max_s": max(gaps, default=math.nan),
            "not_back_within_s": args.after_kill,
            "not_back": sum(1 for gap in gaps if math.isinf(gap)),
            "kill_to_not_running_median_s": median(detected) if detected else math.nan,
            "kill_to_running_median_s": median(running_again) if running_again else math.nan,
            "gaps_s": gaps}


def missing() -> str | None:
    """Why this cannot run here, or None."""
    if shutil.which("haproxy") is None:
        return "haproxy not found (Debian package haproxy)"
    return missing_programs()


def run(args: argparse.Namespace) -> dict[str, Any]:
    cores = os.cpu_count() or 1
    reason = missing()
    if reason:
        return {"skipped": reason, "cores": cores}
    busy_before, own_before = busy_cpu_seconds(), own_cpu_seconds()
    started = time.monotonic()
    postgres = PostgresCluster()
    try:
        database = postgres.create_database()
        with tempfile.TemporaryDirectory(prefix="kolta-bench-scaleout-") as work:
            secret_file = os.path.join(work, "token.secrets")
            with open(os.open(secret_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as out:
                out.write(secrets.token_hex(32) + "\n")
            url = postgres.url(database)
            with Fleet(url, secret_file, NAMES) as fleet:
                key = add_key("--db", url)
                one, two = capacity(fleet, key, work, args)
                killed = interruption(fleet, key, work, args)
    finally:
        postgres.destroy()
    elapsed = time.monotonic() - started
    result: dict[str, Any] = {
        "cores": cores, "one": one, "two": two,
        "ratio": two["sessions"] / one["sessions"] if one["sessions"] else math.nan,
        "interruption": killed, "seconds": elapsed, "load_average": os.getloadavg()}
    if one["top"] and two["top"]:
        result["per_core_ratio"] = (two["top"]["sessions_per_service_core"]
                                    / one["top"]["sessions_per_service_core"])
    busy_after = busy_cpu_seconds()
    if busy_before is not None and busy_after is not None:
        result["others_busy_cpus"] = max(
            0.0, (busy_after - busy_before) - (own_cpu_seconds() - own_before)) / elapsed
    return result


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--start", type=int, default=50,
                        help="the first count of sessions tried (then doubled)")
    parser.add_argument("--limit", type=int, default=1600,
                        help="the highest count tried, per instance")
    parser.add_argument("--resolution", type=float, default=0.1,
                        help="the search stops within this fraction of the count")
    parser.add_argument("--streams", type=int, default=10,
                        help="streams open when an instance is killed")
    parser.add_argument("--after-kill", type=float, default=4.0,
                        help="seconds streamed after each kill")


if __name__ == "__main__":
    main(run, configure, repeats=6, seconds=4.0)
