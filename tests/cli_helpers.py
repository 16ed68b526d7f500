"""Running `kolta` in tests: the command, audio to give it, its processes."""

import os
import re
import subprocess
import sys

import numpy as np
import soundfile as sf

from polling import wait_for  # noqa: F401 (the tests of kolta take it from here)

RATE = 16000


def environment(env=None):
    """This process's environment without the API key, plus `env`."""
    variables = {k: v for k, v in os.environ.items()
                 if k not in ("KOLTA_API_KEY", "KOLTA_API_KEY_FILE")}
    variables.update(env or {})
    return variables


def run_kolta(*args, env=None, timeout=60, stdin=None, stdout=subprocess.PIPE):
    """Text in and out, unless `stdin` is bytes: then bytes (raw audio) both ways."""
    return subprocess.run([sys.executable, "-m", "kolta", *args], stdout=stdout,
                          stderr=subprocess.PIPE, text=not isinstance(stdin, bytes),
                          timeout=timeout, env=environment(env), input=stdin)


def start_kolta(*args, env=None, **popen):
    """kolta in a session of its own: its process group is its workers and itself."""
    return subprocess.Popen([sys.executable, "-m", "kolta", *args], env=environment(env),
                            start_new_session=True, **popen)


def noisy_tone(frames, rate=RATE, channels=1, seed=0):
    t = np.arange(frames) / rate
    rng = np.random.default_rng(seed)
    mono = 0.3 * np.sin(2 * np.pi * 440 * t) + 0.02 * rng.standard_normal(frames)
    return np.repeat(mono[:, None], channels, axis=1)


def write(path, data, rate, subtype):
    sf.write(path, data, rate, subtype=subtype)
    return sf.read(path, dtype="float64", always_2d=True)[0]


def long_files(folder, count, seconds):
    """`count` files of `seconds` each: long enough to be caught in the middle."""
    folder.mkdir()
    for i in range(count):
        sf.write(str(folder / f"f{i}.wav"), noisy_tone(seconds * RATE, seed=i), RATE,
                 subtype="PCM_16")


def damaged_flac(path, seconds=3.0):
    """A FLAC file whose header is sound and whose audio is not past the first
    third: it passes every check before sign-in and fails while read."""
    sf.write(str(path), noisy_tone(int(seconds * RATE)), RATE, subtype="PCM_16")
    data = bytearray(open(path, "rb").read())
    data[len(data) // 3:] = b"\xff" * (len(data) - len(data) // 3)
    with open(path, "wb") as damaged:
        damaged.write(data)
    return str(path)


PART = re.compile(r"(?P<name>.+)\.part(?P<pid>\d+)")


def partial_files(folder):
    """{(output name, pid of its writer)} of the partial files in `folder`."""
    if not os.path.isdir(folder):
        return set()
    return {(m["name"], int(m["pid"])) for m in map(PART.fullmatch, os.listdir(folder)) if m}


def group_members(pgid):
    """Live processes (not zombies) of process group `pgid`: {pid: command line}.
    Linux (/proc)."""
    members = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                command = cmdline.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue  # gone meanwhile
        if int(fields[2]) == pgid and fields[0] != "Z":
            members[int(entry)] = command
    return members


def workers_in(pgid):
    """kolta's worker processes in group `pgid` (multiprocessing's resource
    tracker, which ends on its own once nothing holds its pipe, is not one)."""
    return {pid: command for pid, command in group_members(pgid).items()
            if "spawn_main" in command}
