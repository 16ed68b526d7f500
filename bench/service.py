"""A standalone kolta-server for the service benchmarks, and what they
measure it with."""

from __future__ import annotations

import contextlib
import os
import re
import subprocess
import threading
from collections.abc import Iterator

from kolta.server_command import server_binary

LISTENING = re.compile(r"listening on (http://127\.0\.0\.1:\d+)")


@contextlib.contextmanager
def standalone_service(data: str) -> Iterator[tuple[str, int]]:
    """A kolta-server on one thread with the test keys, without the guard;
    yields its address and process id."""
    process = subprocess.Popen(
        [server_binary(), "--listen", "127.0.0.1:0", "--data", data, "--test-keys",
         "--threads", "1", "--max-failures", "0"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        assert process.stderr is not None
        first = process.stderr.readline()
        match = LISTENING.search(first)
        if not match:
            raise SystemExit(f"bench: kolta-server did not start: {first}")
        drain = threading.Thread(target=process.stderr.read, daemon=True)
        drain.start()
        yield match[1], process.pid
    finally:
        process.terminate()
        process.wait(15)


def add_key(data: str) -> str:
    done = subprocess.run([server_binary(), "keys", "add", "--data", data, "--models", "all"],
                          capture_output=True, text=True, check=True, timeout=60)
    return done.stdout.splitlines()[-1]


def cpu_seconds(pid: int) -> float:
    """User and system time of a process so far (Linux)."""
    with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[int(fraction * (len(ordered) - 1))]
