"""SDK session: InitParams and its environment, create_sdk, sign-in, SdkResult."""

import gc
import os
import re
import threading
import time

import pytest

import _kolta_module as m


def engine_log(storage):
    return (storage / "logs" / "kolta.log").read_text(encoding="utf-8")


def started_line(storage):
    lines = [l for l in engine_log(storage).splitlines() if "engine started:" in l]
    assert lines, "engine wrote no start line"
    return lines[-1]


def started_field(storage, name):
    line = started_line(storage)
    pattern = r"models_dir=(.*)$" if name == "models_dir" else rf"{name}=(\S+)"
    return re.search(pattern, line).group(1)


@pytest.fixture
def clean_env(monkeypatch):
    for var in ("KOLTA_ENVIRONMENT", "KOLTA_MODELS_DIR", "KOLTA_LOCAL_INFERENCING"):
        monkeypatch.delenv(var, raising=False)
    return monkeypatch


@pytest.fixture
def sdk(tmp_path, clean_env):
    return m.create_sdk(m.InitParams(storage_dir=str(tmp_path)))


@pytest.mark.parametrize("value, expected", [
    (None, "default"), ("", "default"), ("dev", "dev"), ("DEV", "dev"),
    ("Staging", "staging"), ("uAt", "uat"), (" dev", "default"), ("dev ", "default"),
    ("development", "default"), ("prod", "default"),
])
def test_environment_is_chosen_from_kolta_environment(tmp_path, clean_env, value, expected):
    if value is not None:
        clean_env.setenv("KOLTA_ENVIRONMENT", value)
    m.create_sdk(m.InitParams(storage_dir=str(tmp_path)))
    assert started_field(tmp_path, "environment") == expected


@pytest.mark.parametrize("value", [None, ""])
def test_models_dir_defaults_to_cwd_models(tmp_path, clean_env, value):
    if value is not None:
        clean_env.setenv("KOLTA_MODELS_DIR", value)
    clean_env.chdir(tmp_path)
    m.create_sdk(m.InitParams(storage_dir=str(tmp_path)))
    assert started_field(tmp_path, "models_dir") == os.path.join(os.getcwd(), "models")


def test_models_dir_is_passed_on_as_written(tmp_path, clean_env):
    clean_env.setenv("KOLTA_MODELS_DIR", "rel/../models dir")
    m.create_sdk(m.InitParams(storage_dir=str(tmp_path)))
    assert started_field(tmp_path, "models_dir") == "rel/../models dir"


def test_environment_is_read_at_construction_not_at_create_sdk(tmp_path, clean_env):
    clean_env.setenv("KOLTA_ENVIRONMENT", "uat")
    first = m.InitParams(storage_dir=str(tmp_path / "a"))
    clean_env.setenv("KOLTA_ENVIRONMENT", "staging")
    second = m.InitParams(storage_dir=str(tmp_path / "b"))
    m.create_sdk(first)
    m.create_sdk(second)
    assert started_field(tmp_path / "a", "environment") == "uat"
    assert started_field(tmp_path / "b", "environment") == "staging"


@pytest.mark.parametrize("args, expected", [((), "./storage"), (("",), ""),
                                            (("é/ü",), "é/ü")])
def test_storage_dir(args, expected):
    params = m.InitParams(*args)
    assert params.storage_dir == expected
    params.storage_dir = "x"
    assert params.storage_dir == "x"


@pytest.mark.parametrize("bad", [b"./storage", 5, None])
def test_storage_dir_must_be_str(bad):
    with pytest.raises(TypeError):
        m.InitParams(bad)


def test_sdk_result_defaults_and_read_only_fields():
    result = m.SdkResult()
    assert (result.success, result.error_type, result.message) == (
        False, m.SdkErrorType.UNKNOWN_FAILURE, "")
    for name in ("success", "error_type", "message"):
        with pytest.raises(AttributeError):
            setattr(result, name, getattr(result, name))


def test_version_is_read_only(sdk):
    assert sdk.version == "2.0.1-reference"
    with pytest.raises(AttributeError):
        sdk.version = "x"


def test_demo_key_activates(sdk):
    result = sdk.activate_api_key("KOLTA-DEMO-KEY")
    assert result.success is True


@pytest.mark.parametrize("member", list(m.SdkErrorType))
def test_every_error_type_has_a_documented_key(sdk, member):
    result = sdk.activate_api_key("fail_" + member.name.lower())
    assert (result.success, result.error_type) == (False, member)
    assert result.message


@pytest.mark.parametrize("key, error", [("", m.SdkErrorType.NO_CREDENTIALS),
                                        ("not-a-key", m.SdkErrorType.UNAUTHORIZED)])
def test_refused_sign_in_is_a_result(sdk, key, error):
    result = sdk.activate_api_key(key)
    assert (result.success, result.error_type) == (False, error)


def test_api_key_must_be_str(sdk):
    with pytest.raises(TypeError):
        sdk.activate_api_key(b"KOLTA-DEMO-KEY")


def test_api_keys_never_reach_the_log_in_clear(sdk, tmp_path):
    keys = ["KOLTA-DEMO-KEY", "kt_passthrough+denoise", "fail_user_disabled",
            "not-a-secret-key", "kt_all@1"]
    for key in keys:
        sdk.activate_api_key(key)
    log = engine_log(tmp_path)
    for key in keys:
        assert key not in log
        assert key.split("@")[0] not in log


def test_unusable_storage_dir_is_a_clear_runtime_error(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a folder")
    with pytest.raises(RuntimeError, match=re.escape(str(blocker))):
        m.create_sdk(m.InitParams(storage_dir=str(blocker / "storage")))


def test_init_params_must_be_init_params():
    with pytest.raises(TypeError):
        m.create_sdk("./storage")


@pytest.mark.timeout(30)
def test_create_sdk_releases_the_gil(tmp_path, clean_env, progress_during):
    clean_env.setenv("KOLTA_ENGINE_STARTUP_DELAY_MS", "400")
    params = m.InitParams(storage_dir=str(tmp_path))
    assert progress_during(lambda: m.create_sdk(params))


@pytest.mark.timeout(30)
def test_activate_api_key_releases_the_gil(sdk, progress_during):
    assert progress_during(lambda: sdk.activate_api_key("kt_all@400"))


@pytest.mark.timeout(30)
def test_concurrent_sign_ins_on_one_sdk(sdk):
    results = []
    threads = [threading.Thread(target=lambda k=k: results.append(sdk.activate_api_key(k)))
               for k in ["kt_all@50", "fail_token_expired@50", ""] * 4]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(r.error_type for r in results if not r.success) == sorted(
        [m.SdkErrorType.TOKEN_EXPIRED] * 4 + [m.SdkErrorType.NO_CREDENTIALS] * 4)
    assert sum(r.success for r in results) == 4


@pytest.mark.timeout(30)
def test_sdk_dropped_on_another_thread(tmp_path):
    handles = [m.create_sdk(m.InitParams(storage_dir=str(tmp_path))) for _ in range(8)]
    for h in handles:
        h.activate_api_key("KOLTA-DEMO-KEY")

    def drop(box):
        box.pop()
        gc.collect()

    threads = [threading.Thread(target=drop, args=([handles.pop()],)) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not handles
