"""A standalone kolta-server for the service benchmarks, and what they
measure it with."""

from __future__ import annotations

import contextlib
import os
import re
import subprocess
import threading
import urllib.request
from collections.abc import Iterator

from kolta.server_command import server_binary

LISTENING = re.compile(r"listening on (http://127\.0\.0\.1:\d+)")
START_DEADLINE_S = 30
STOP_DEADLINE_S = 15
# The benchmarks open many streams on one SDK's token; the cap per token is
# a guard against one client, not what is measured.
STREAMS_PER_TOKEN = "100000"


class _Log:
    """A process's stderr, read on a thread of its own; waits have deadlines."""

    def __init__(self, process: subprocess.Popen[str]) -> None:
        self.lines: list[str] = []
        self._changed = threading.Condition()
        self._ended = False
        self._process = process
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        assert self._process.stderr is not None
        for line in self._process.stderr:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    def wait_for(self, pattern: re.Pattern[str], timeout: float) -> re.Match[str] | None:
        """The first line matching `pattern`; None when the log ends or the
        deadline passes first."""
        def found() -> re.Match[str] | None:
            return next((m for m in map(pattern.search, self.lines) if m), None)

        with self._changed:
            self._changed.wait_for(lambda: self._ended or found() is not None, timeout)
            return found()


@contextlib.contextmanager
def standalone_service(data: str | None, *options: str,
                       port: int = 0) -> Iterator[tuple[str, int]]:
    """A kolta-server on one thread with the test keys, without the guard, on
    `port` (0: any free one); `data` None when `options` name the database
    and the secret file instead. Yields its address and process id."""
    store = ["--data", data] if data is not None else []
    process = subprocess.Popen(
        [server_binary(), "--listen", f"127.0.0.1:{port}", *store, "--test-keys",
         "--threads", "1", "--max-failures", "0",
         "--stream-sessions-per-token", STREAMS_PER_TOKEN, *options],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        log = _Log(process)
        match = log.wait_for(LISTENING, START_DEADLINE_S)
        if not match:
            raise SystemExit("bench: kolta-server did not start: " + "\n".join(log.lines))
        yield match[1], process.pid
    finally:
        process.terminate()  # nothing is sent to one that has been reaped already
        try:
            process.wait(STOP_DEADLINE_S)
        except subprocess.TimeoutExpired:
            process.kill()  # a service that will not drain is not left running
            process.wait()


def add_key(*store: str) -> str:
    """A key for every model in the store `store` (--data DIR or --db URL)."""
    done = subprocess.run([server_binary(), "keys", "add", *store, "--models", "all"],
                          capture_output=True, text=True, check=True, timeout=60)
    return done.stdout.splitlines()[-1]


def cpu_seconds(pid: int) -> float:
    """User and system time of a process so far (Linux)."""
    with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def metric_sum(url: str, *names: str) -> float:
    """The sum of the series `names` (without labels: every labelled series
    of the name) at the service's /metrics."""
    with urllib.request.urlopen(url + "/metrics", timeout=10) as answer:
        text = answer.read().decode()
    return sum(float(line.rsplit(" ", 1)[1]) for line in text.splitlines()
               if line.split("{", 1)[0].split(" ", 1)[0] in names)

