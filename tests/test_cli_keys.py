"""`kolta info`'s table of the reference engine's keys against the engine:
every key a row stands for signs in, or is refused, as the row says.

The table is the package's copy of the engine's key scheme; what a row
promises is read from its own words, so the two cannot drift apart."""

import re
import select
import subprocess
import sys
import textwrap
import time

import pytest

import _kolta_module as m
from kolta.cli.signin import KEY_SCHEME
from kolta.formats import MODELS

ROWS = dict(KEY_SCHEME)
DELAY_ROW = "<key>@<ms>"


def example(meaning):
    """The key a row's meaning gives as its example ("e.g. <key>")."""
    return re.search(r"e\.g\. ([^\s)]+)", meaning).group(1)


def prefix(pattern):
    return pattern.split("<", 1)[0]


# Keys each row stands for: its own words first, then a wider sample.
PROBES = {
    "KOLTA-DEMO-KEY, kt_all": lambda pattern, meaning: pattern.split(", "),
    "kt_<m1>+<m2>...": lambda pattern, meaning: [
        example(meaning), *(prefix(pattern) + model for model in MODELS),
        prefix(pattern) + "+".join(reversed(MODELS)), prefix(pattern) + "no-such-model"],
    "fail_<error>": lambda pattern, meaning: [
        example(meaning), *(prefix(pattern) + error.name.lower() for error in m.SdkErrorType)],
    '"" (empty)': lambda pattern, meaning: [""],
    "anything else": lambda pattern, meaning: [
        "not-a-key", "kolta-demo-key", "KOLTA-DEMO-KEY ", "kt_", "kt_a++b", "kt_all+",
        "fail_", "fail_no_such_error", "fail_TOKEN_EXPIRED", "kt_all@", "kt_all@x",
        "kt_all@-1", "kt_all@1e3"],
}


def promised(pattern, meaning, key):
    """What a row's words promise for one of its keys: ("signed in", the
    models that open) or ("refused", the error's name)."""
    if meaning.startswith("signed in, every model"):
        return "signed in", frozenset(MODELS)
    if meaning.startswith("signed in, the listed models"):
        return "signed in", frozenset(key[len(prefix(pattern)):].split("+")) & set(MODELS)
    if meaning.startswith("refused with that error"):
        return "refused", key[len(prefix(pattern)):].upper()
    refused = re.fullmatch(r"refused: ([A-Z_]+)", meaning)
    assert refused, f"a meaning this test cannot read: {meaning!r}"
    return "refused", refused.group(1)


def probes():
    return [(pattern, key) for pattern, meaning in KEY_SCHEME if pattern != DELAY_ROW
            for key in PROBES[pattern](pattern, meaning)]


def opens(sdk, model):
    translation = m.LanguageTranslationConfig("en-US", "es-ES") if model == "translate" else None
    attributes = m.ProcessorAttributes(m.AudioAttributes(16000, 1, model), translation)
    try:
        with sdk.create_audio_processor(attributes):
            return True
    except RuntimeError:
        return False


def outcome(sdk, key):
    """What the engine does with `key`, in the terms `promised` uses."""
    result = sdk.activate_api_key(key)
    if not result.success:
        return "refused", result.error_type.name
    return "signed in", frozenset(model for model in MODELS if opens(sdk, model))


@pytest.fixture
def fresh_sdk(tmp_path, engine_env):
    # One SDK for many keys: each sign-in, refused or not, replaces the last.
    return m.create_sdk(m.InitParams(storage_dir=str(tmp_path)))


def test_every_row_is_probed():
    assert set(ROWS) - {DELAY_ROW} == set(PROBES)


@pytest.mark.parametrize("pattern, key", probes(), ids=lambda value: repr(value))
def test_key_does_what_its_row_says(fresh_sdk, pattern, key):
    assert outcome(fresh_sdk, key) == promised(pattern, ROWS[pattern], key)


def delay_range():
    low, high = re.search(r"\((\d+)-(\d+)\)", ROWS[DELAY_ROW]).groups()
    return int(low), int(high)


@pytest.mark.parametrize("pattern, key", [probe for probe in probes() if "@" not in probe[1]],
                         ids=lambda value: repr(value))
def test_no_delay_suffix_changes_nothing(fresh_sdk, pattern, key):
    low, _ = delay_range()
    assert outcome(fresh_sdk, f"{key}@{low}") == promised(pattern, ROWS[pattern], key)


@pytest.mark.parametrize("row", ["KOLTA-DEMO-KEY, kt_all", "fail_<error>", "anything else"])
def test_delay_suffix_delays_the_same_outcome(fresh_sdk, row):
    pattern, key = next(probe for probe in probes() if probe[0] == row)
    started = time.monotonic()
    got = outcome(fresh_sdk, f"{key}@150")
    assert time.monotonic() - started >= 0.150
    assert got == promised(pattern, ROWS[pattern], key)


def test_delay_past_the_range_is_refused_at_once(fresh_sdk):
    _, high = delay_range()
    started = time.monotonic()
    assert outcome(fresh_sdk, f"kt_all@{high + 1}") == promised(
        "anything else", ROWS["anything else"], "")
    assert time.monotonic() - started < 1.0


@pytest.mark.skipif(sys.platform == "win32", reason="select() on a pipe is POSIX")
def test_delay_at_the_top_of_the_range_is_waited_for(tmp_path):
    """The longest delay takes seconds: a child signs in with it and must
    still be waiting a second later, where a refused key returns at once."""
    _, high = delay_range()
    code = textwrap.dedent(f"""
        import _kolta_module as m
        sdk = m.create_sdk(m.InitParams(storage_dir={str(tmp_path)!r}))
        print("signing in", flush=True)
        print(sdk.activate_api_key("kt_all@{high}").success, flush=True)
    """)
    with subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                          text=True) as child:
        try:
            ready, _, _ = select.select([child.stdout], [], [], 60)
            assert ready and child.stdout.readline() == "signing in\n"
            time.sleep(1.0)
            assert child.poll() is None, child.stdout.read()
        finally:
            child.kill()
