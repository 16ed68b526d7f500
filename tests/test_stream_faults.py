"""A streaming processor through a misbehaving network (tests/fault_proxy.py
between the engine and kolta-server), each case in a process of its own with
a deadline (tests/stream_fault_run.py): the states announced, every value back
exactly once and in order, no call waiting on the network, and a close that
never hangs, also while the processor is connecting again."""

import json
import os
import re
import signal
import subprocess
import sys

import pytest

RUNNER = os.path.join(os.path.dirname(__file__), "stream_fault_run.py")
RUN_DEADLINE_S = 60
# A 20 ms feed never waits on the network (a wait would last the 2 s a dead
# connection takes to be noticed); the drain waits at most 2 s after the
# last answer, a close at most 1 s for the close and 2 s for threads. The
# margins allow for a loaded machine and the sanitizer build.
CALL_DEADLINE_S = 1.0
FINISH_DEADLINE_S = 5.0
CLOSE_DEADLINE_S = 3.5

UP = "TRYING RUNNING "
BACK = r"NOT_RUNNING (TRYING NOT_RUNNING )*TRYING RUNNING "
END = "NOT_RUNNING"
FAULTS = [
    ("dropped", UP + BACK + END),
    ("service restarted", UP + BACK + END),
    ("blackhole", UP + BACK + END),
    ("delay 200 ms", UP + END),
    ("bandwidth 16 kB/s", UP + END),
]


def run_fault(tmp_path, fault, *options):
    environment = dict(os.environ, PYTHONPATH=os.path.dirname(__file__) + os.pathsep
                       + os.environ.get("PYTHONPATH", ""))
    child = subprocess.Popen([sys.executable, RUNNER, fault, str(tmp_path), *options],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=environment, start_new_session=True)
    try:
        out, err = child.communicate(timeout=RUN_DEADLINE_S)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)  # the service it started too
        out, err = child.communicate(timeout=10)
        pytest.fail(f"{fault}: no result within {RUN_DEADLINE_S} s: {err[-2000:]}")
    assert child.returncode == 0, err[-4000:]
    return json.loads(out.splitlines()[-1])


@pytest.mark.parametrize("fault, states", FAULTS, ids=[fault for fault, _ in FAULTS])
def test_a_network_fault_loses_nothing_and_holds_no_call(tmp_path, fault, states):
    result = run_fault(tmp_path, fault)
    seen = " ".join(name for name, _ in result["states"])
    assert re.fullmatch(states, seen), result["states"]
    assert result["values_out"] == result["values_in"]
    assert result["output_is_input"]
    assert result["slowest_call_s"] < CALL_DEADLINE_S
    assert result["finish_s"] < FINISH_DEADLINE_S
    assert result["close_s"] < CLOSE_DEADLINE_S


def test_a_refused_token_is_not_tried_again(tmp_path):
    result = run_fault(tmp_path, "service restarted with another secret")
    seen = " ".join(name for name, _ in result["states"])
    assert re.fullmatch(UP + r"NOT_RUNNING (TRYING NOT_RUNNING )*", seen + " "), seen
    log = result["pipeline_log"]
    refused = [at for at, line in enumerate(log) if "(4401 INVALID_GRANT" in line]
    assert len(refused) == 1, log
    assert not any("connecting again" in line for line in log[refused[0]:]), log
    assert result["output_is_input"]


@pytest.mark.parametrize("fault", ["blackhole", "service restarted"])
def test_a_processor_closed_while_connecting_again_closes_in_time(tmp_path, fault):
    result = run_fault(tmp_path, fault, "--close-during-fault")
    assert result["output_is_input"]
    assert result["close_s"] < CLOSE_DEADLINE_S
    assert [name for name, _ in result["states"]][-1] == "NOT_RUNNING"
