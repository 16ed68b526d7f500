"""Storage: the engine's log never shows an API key in clear, and storage_dir
paths behave as engine/README.md documents (created with their parents,
recorded as given, refused with a RuntimeError naming the path)."""

import os
import re

import pytest

import _kolta_module as m

LINE = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (INFO|WARN|ERROR) \S")
# What a reader may take for a line break: str.splitlines() splits on all of them.
BREAKS = "\n\r\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029"


def log_bytes(storage):
    return (storage / "logs" / "kolta.log").read_bytes()


def log_lines(storage):
    """The log as text: valid UTF-8, and every line a whole log line."""
    lines = log_bytes(storage).decode("utf-8").splitlines()
    for line in lines:
        assert LINE.match(line), f"not a log line: {line!r}"
    return lines


def as_logged(text):
    """Control characters and line separators are written as spaces."""
    return "".join(" " if (ord(c) < 0x20 or c == "\x7f" or c in BREAKS) else c
                   for c in text)


def masked(key):
    """The first 4 characters, then ****; 4 characters or fewer: ****."""
    if key == "":
        return "(empty)"
    return "****" if len(key) <= 4 else as_logged(key[:4]) + "****"


@pytest.fixture
def sdk(tmp_path, monkeypatch):
    monkeypatch.delenv("KOLTA_ENGINE_STARTUP_DELAY_MS", raising=False)
    return m.create_sdk(m.InitParams(storage_dir=str(tmp_path)))


KEYS = {
    "demo": "KOLTA-DEMO-KEY",
    "kt-all": "kt_all",
    "kt-models": "kt_passthrough+denoise+secret-model-name",
    "kt-delay": "kt_all@1",
    "fail": "fail_user_disabled",
    "fail-delay": "fail_token_expired@1",
    "unknown": "sk-live-9f8e7d6c5b4a3210",
    "unknown-delay": "sk-live-0123456789abcdef@2",
    "bad-delay": "kt_all@20000-secret",
    "empty": "",
    "short": "ab",
    "four": "abcd",
    "five": "abcde",
    "newline": "kt_all\nINFO forged line",
    "crlf": "ab\r\nWARN forged-secret",
    "form-feed": "kt_\x0cERROR forged-secret",
    "line-separator": "xy\u2028INFO forged-secret",
    "escape": "\x1b[31mred-secret",
    "nul": "nu\0l-secret-tail",
    "accent-split": "aaaé-secret",
    "cyrillic": "ключ-секрет-длинный",
    "emoji": "🔑🔑🔑🔑🔑-secret",
}


@pytest.mark.parametrize("key", KEYS.values(), ids=KEYS.keys())
def test_sign_in_never_logs_the_key(sdk, tmp_path, key):
    result = sdk.activate_api_key(key)
    lines = log_lines(tmp_path)
    text = "\n".join(lines)
    [line] = [l for l in lines if " sign-in " in l]
    assert f" key={masked(key)} " in line, line
    assert line.startswith(lines[-1][:24]) and ("succeeded" in line) == result.success
    hidden = key[4:]
    if len(hidden) >= 4:
        for form in {hidden, as_logged(hidden), hidden.strip()}:
            assert form not in text, form
    if key:
        assert key not in text
    # Neither the key nor a model it grants is named: a count at most.
    assert "secret-model-name" not in text


def test_every_sign_in_path_on_one_sdk_leaves_no_key(sdk, tmp_path):
    for key in KEYS.values():
        sdk.activate_api_key(key)
        # A processor created or refused after each sign-in logs no key either.
        try:
            sdk.create_audio_processor(
                m.ProcessorAttributes(m.AudioAttributes(model_name="passthrough"))).close()
        except RuntimeError:
            pass
    text = "\n".join(log_lines(tmp_path))
    for key in KEYS.values():
        if len(key) > 8:
            assert key[4:] not in text and as_logged(key[4:]) not in text, key
    assert len(re.findall(r" sign-in (succeeded|failed): key=", text)) == len(KEYS)


# --- storage_dir -----------------------------------------------------------------------

@pytest.mark.parametrize("relative", [
    "with space/and more spaces",
    "dossier-é/日本語/🎧",
    "a/b/../c",
    "./x/./y/",
    "trailing..dots../..name",
], ids=["spaces", "non-ascii", "dot-dot", "dot", "dots-in-names"])
def test_storage_dir_is_created_and_recorded_as_given(tmp_path, monkeypatch, relative):
    monkeypatch.chdir(tmp_path)
    for given in (relative, str(tmp_path / relative)):
        sdk = m.create_sdk(m.InitParams(storage_dir=given))
        assert sdk.version == "2.0.1-reference"
        folder = tmp_path / os.path.normpath(relative)
        lines = log_lines(folder)
        assert lines[-1].endswith(f"storage_dir={given} models_dir=" +
                                  lines[-1].split(" models_dir=")[1])
    assert len(log_lines(folder)) == 2  # both sessions appended to one log


def test_empty_storage_dir_means_the_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    m.create_sdk(m.InitParams(storage_dir=""))
    assert "storage_dir= models_dir=" in log_lines(tmp_path)[0]


def unusable(tmp_path):
    blocker = tmp_path / "a-file"
    blocker.write_text("not a folder")
    (tmp_path / "log-is-a-folder" / "logs" / "kolta.log").mkdir(parents=True)
    return {
        "under-a-file": (blocker / "storage", "cannot create storage directory '{}': "
                         "Not a directory"),
        "is-a-file": (blocker, "cannot create storage directory '{}': Not a directory"),
        "deep-under-a-file": (blocker / "a" / "b" / "c", "cannot create storage "
                              "directory '{}': Not a directory"),
        "log-is-a-folder": (tmp_path / "log-is-a-folder", "cannot open log file "
                            "'{}/logs/kolta.log': Is a directory"),
    }


@pytest.mark.parametrize("case", ["under-a-file", "is-a-file", "deep-under-a-file",
                                  "log-is-a-folder"])
def test_unusable_storage_dir_is_a_runtime_error_naming_the_path(tmp_path, case):
    # We run as root, so permission bits would not stop the engine: these
    # folders are unusable because a regular file is in the way.
    path, message = unusable(tmp_path)[case]
    with pytest.raises(RuntimeError) as info:
        m.create_sdk(m.InitParams(storage_dir=str(path)))
    assert str(info.value) == message.format(path)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0,
                    reason="root ignores permission bits")
def test_storage_dir_in_a_read_only_folder(tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o500)
    with pytest.raises(RuntimeError, match="Permission denied"):
        m.create_sdk(m.InitParams(storage_dir=str(locked / "storage")))


@pytest.mark.parametrize("given", ["nul\0tail", "\0", "logs\0/../elsewhere"])
def test_storage_dir_with_a_nul_character_is_refused(tmp_path, monkeypatch, given):
    # The operating system would see only the part before the NUL: the engine
    # refuses the path instead of writing somewhere else.
    monkeypatch.chdir(tmp_path)
    with pytest.raises(RuntimeError) as info:
        m.create_sdk(m.InitParams(storage_dir=given))
    assert str(info.value) == ("cannot create storage directory '" +
                               given.replace("\0", "\\0") + "': contains a NUL character")
    assert os.listdir(tmp_path) == []
