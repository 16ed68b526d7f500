"""The module's surface: attributes, registration order, enumerations, re-import."""

import enum
import subprocess
import sys
import textwrap

import pytest

import _kolta_module as m

REGISTRATION_ORDER = [
    "TranscriptType", "PipelineState", "SdkErrorType", "_gil_selftest", "AudioFrame",
    "CloudInferencingParams", "AudioAttributes", "TranscriptSegment", "TranscriptData",
    "TextFrame", "LanguageTranslationConfig", "ProcessorAttributes", "SdkResult",
    "InitParams", "Sdk", "create_sdk", "AudioProcessor",
]

SDK_ERROR_MEMBERS = [
    "NO_CREDENTIALS", "USER_DISABLED", "UNAUTHORIZED", "USER_NOT_FOUND", "SESSION_EXISTS",
    "SESSION_EXPIRED", "TOKEN_EXPIRED", "INVALID_GRANT", "AUTHENTICATION_FAILED",
    "BAD_REQUEST", "AUTHENTICATION_MECHANISM_MISMATCH", "DOMAIN_BLACKLISTED",
    "INVALID_EMAIL", "EMPTY_PASSCODE", "INVALID_PASSCODE", "MAX_RETRIES_EXCEEDED",
    "PORTAL_USER_EXISTS", "USER_CREATION_FAILED", "ONBOARDING_EXISTS", "GROUP_MIGRATED",
    "NOT_DOMAIN_JOINED", "SERVER_UNREACHABLE", "UNKNOWN_FAILURE",
]


def run_python(code, timeout=60, env=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout, env=env)


def test_module_attributes():
    assert m.__doc__ == "Kolta SDK Python bindings"
    assert m.__version__ == "2.0.1"


def test_names_are_registered_in_the_fixed_order():
    public = [name for name in m.__dict__ if not name.startswith("__")]
    assert public == REGISTRATION_ORDER


def test_sdk_error_type_members_in_value_order():
    assert issubclass(m.SdkErrorType, enum.IntEnum)
    assert [e.name for e in m.SdkErrorType] == SDK_ERROR_MEMBERS
    assert [int(e) for e in m.SdkErrorType] == list(range(23))
    assert m.SdkErrorType(22) is m.SdkErrorType.UNKNOWN_FAILURE
    assert m.SdkErrorType.__doc__ == "Failure category carried by SdkResult.error_type."


@pytest.mark.parametrize("cls", ["Sdk", "AudioProcessor"])
def test_handles_have_no_python_constructor(cls):
    with pytest.raises(TypeError, match=f"{cls}: no constructor defined!"):
        getattr(m, cls)()


@pytest.mark.parametrize("name, doc", [
    ("SdkResult", "Result of an SDK operation."),
    ("InitParams", "Initialization parameters for the core SDK."),
    ("Sdk", "Core Kolta SDK handle providing audio processing and user session "
            "management. Obtain via create_sdk."),
])
def test_class_documentation(name, doc):
    assert getattr(m, name).__doc__ == doc


@pytest.mark.parametrize("obj, doc", [
    (lambda: m.SdkResult.success, "Success/failure result of the operation."),
    (lambda: m.SdkResult.error_type, "Type of failure (SdkErrorType)."),
    (lambda: m.SdkResult.message, "Error message."),
    (lambda: m.InitParams.storage_dir,
     "SDK storage directory (SDK data + logs). Logs are written to storage_dir/logs."),
    (lambda: m.Sdk.version, "The SDK version string."),
])
def test_property_documentation(obj, doc):
    assert obj().__doc__ == doc


@pytest.mark.parametrize("func, text", [
    (lambda: m.create_sdk,
     "create_sdk(init_params: _kolta_module.InitParams) -> _kolta_module.Sdk\n\nCreate a Kolta SDK object from "
     "InitParams (blocking; initialises the engine)."),
    (lambda: m.Sdk.activate_api_key,
     "activate_api_key(self, api_key: str) -> _kolta_module.SdkResult\n\nActivate the agent "
     "synchronously using an API key. Blocks until activation completes and returns "
     "an SdkResult."),
    (lambda: m.InitParams.__init__,
     "__init__(self, storage_dir: str = './storage') -> None"),
    (lambda: m.SdkResult.__init__, "__init__(self) -> None"),
])
def test_signatures(func, text):
    assert func().__doc__ == text


def test_import_touches_no_environment_and_no_engine(tmp_path):
    # Poisoned variables would change what a record reads; import must not care,
    # and the engine (which would create its log folder) must not be called.
    env = {"PATH": "/usr/bin:/bin", "PYTHONPATH": ":".join(sys.path),
           "KOLTA_ENVIRONMENT": "dev", "KOLTA_MODELS_DIR": str(tmp_path / "nope"),
           "KOLTA_LOCAL_INFERENCING": "1"}
    result = run_python(f"""
        import os, sys
        os.chdir({str(tmp_path)!r})
        import _kolta_module
        print(sorted(os.listdir('.')))
    """, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


def test_reimport_reuses_the_registered_objects():
    result = run_python("""
        import sys, warnings
        warnings.simplefilter("error")
        import _kolta_module as first
        del sys.modules["_kolta_module"]
        import _kolta_module as second
        assert second is not first
        for name in dir(first):
            if name[0].isupper():
                assert getattr(second, name) is getattr(first, name), name
        assert isinstance(second.SdkResult(), first.SdkResult)
        assert second.AudioFrame.__doc__.startswith("A chunk of interleaved PCM")
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_failed_import_can_be_retried():
    # The first run of the definition body fails when the enum module cannot be
    # imported; the second must succeed instead of aborting the process.
    result = run_python("""
        import enum, sys
        saved = sys.modules["enum"]
        sys.modules["enum"] = None
        try:
            import _kolta_module
        except ImportError as e:
            print("first:", e, "|", type(e.__cause__).__name__)
        finally:
            sys.modules["enum"] = saved
        import _kolta_module as m
        print("second:", m.PipelineState.RUNNING == 2, m.__version__)
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == ("first: Encountered an error while initializing the extension."
                        " | ModuleNotFoundError")
    assert lines[1] == "second: True 2.0.1"
