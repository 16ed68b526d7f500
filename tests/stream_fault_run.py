"""One network fault against a processor streaming to kolta-server through
tests/fault_proxy.py, run in a process of its own (tests/test_stream_faults.py
gives it a deadline): passthrough over 16-bit PCM, so every value must come
back exactly as it went in, whether the service or the engine's pass-through
returned it. Prints one JSON line: the states seen, the slowest call, the
finish and close times, and whether the output is the input.

    python stream_fault_run.py FAULT FOLDER [--close-during-fault]
"""

import json
import os
import sys
import time
from typing import Callable

import numpy as np

import _kolta_module as m
import kolta
from fault_proxy import FaultProxy
from service_process import ServiceProcess
from stream_attributes import stream_attributes

RATE = 16000
CHUNK = RATE // 50  # 20 ms, fed in real time


class Scenario:
    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.data = os.path.join(folder, "data")
        self.service = ServiceProcess(self.data, "--test-keys")
        self.proxy = FaultProxy(self.service.port)

    def restart_service(self, data: str | None = None) -> None:
        self.service.process.kill()
        self.service.process.wait(10)
        self.service = ServiceProcess(data or self.data, "--test-keys")
        self.proxy.upstream_port = self.service.port

    def close(self) -> None:
        self.proxy.close()
        self.service.stop()


Action = Callable[[Scenario], None]


def setter(name: str, value: object) -> Action:
    return lambda scenario: setattr(scenario.proxy, name, value)


# (seconds of audio, [(at second, action)]); `--close-during-fault` closes the
# processor at the last action's time instead.
FAULTS: dict[str, tuple[float, list[tuple[float, Action]]]] = {
    "dropped": (3.0, [(1.0, lambda s: s.proxy.drop_all())]),
    "service restarted": (5.0, [(1.0, lambda s: s.service.process.kill()),
                                (2.0, lambda s: s.restart_service())]),
    "service restarted with another secret": (
        4.0, [(1.0, lambda s: s.restart_service(os.path.join(s.folder, "other")))]),
    "blackhole": (6.5, [(0.5, setter("blackhole", True)), (3.5, setter("blackhole", False))]),
    "delay 200 ms": (3.0, [(0.5, setter("delay_s", 0.2))]),
    "bandwidth 16 kB/s": (3.0, [(0.5, setter("bytes_per_s", 16000))]),
}


def main() -> None:
    fault, folder = sys.argv[1], sys.argv[2]
    close_during_fault = "--close-during-fault" in sys.argv[3:]
    seconds, schedule = FAULTS[fault]
    if close_during_fault:
        seconds = schedule[-1][0]
        schedule = schedule[:-1]
    scenario = Scenario(folder)
    try:
        os.environ.update(KOLTA_SERVICE_URL=scenario.proxy.url, KOLTA_ENGINE_CLOUD="stream")
        print(json.dumps(run(scenario, seconds, schedule)), flush=True)
    finally:
        scenario.close()


def run(scenario: Scenario, seconds: float, schedule: list[tuple[float, Action]]) -> dict:
    sdk = m.create_sdk(m.InitParams(storage_dir=os.path.join(scenario.folder, "engine")))
    assert sdk.activate_api_key("KOLTA-DEMO-KEY").success
    start = time.monotonic()
    states: list[tuple[str, float]] = []
    processor = sdk.create_audio_processor(stream_attributes(
        "passthrough", RATE, pcm16=True, notify=lambda state: states.append(
            (state.name, round(time.monotonic() - start, 3)))))
    rng = np.random.default_rng(0)
    signal = (rng.integers(-8000, 8000, int(seconds * RATE)) / 32768).astype(np.float32)
    stream = kolta.AlignedStream(processor, RATE, 1)
    pieces, slowest, due = [], 0.0, list(schedule)
    for at in range(0, signal.size, CHUNK):
        now = time.monotonic() - start
        while due and due[0][0] <= now:
            due.pop(0)[1](scenario)
        began = time.monotonic()
        pieces.append(stream.feed(signal[at:at + CHUNK]))
        slowest = max(slowest, time.monotonic() - began)
        time.sleep(max(0.0, (at + CHUNK) / RATE - (time.monotonic() - start)))
    began = time.monotonic()
    pieces.append(stream.finish())
    finish_s = time.monotonic() - began
    began = time.monotonic()
    processor.close()
    close_s = time.monotonic() - began
    out = np.concatenate(pieces)
    with open(os.path.join(scenario.folder, "engine", "logs", "kolta.log")) as log:
        pipeline_log = [line.split(" ", 2)[2] for line in log if ": pipeline " in line]
    return {"pipeline_log": pipeline_log, "states": states, "slowest_call_s": slowest, "finish_s": finish_s,
            "close_s": close_s, "values_in": int(signal.size), "values_out": int(out.size),
            "output_is_input": bool(out.size == signal.size and np.array_equal(out, signal)),
            "bytes": scenario.proxy.bytes_forwarded}


if __name__ == "__main__":
    main()
