"""The engine as a client of the sign-in service: the service of its
environment or KOLTA_SERVICE_URL, the deadline, answers it cannot use, TLS,
and the embedded service it starts where none is configured."""

import contextlib
import http.server
import json
import os
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import _kolta_module as m
import kolta
from service_process import add_key, run_keys, self_signed_certificate
from stream_attributes import stream_attributes

SERVICE_VARIABLES = ("KOLTA_SERVICE_URL", "KOLTA_SERVICE_URL_DEV", "KOLTA_SERVICE_URL_STAGING",
                     "KOLTA_SERVICE_URL_UAT", "KOLTA_SERVICE_URL_DEFAULT",
                     "KOLTA_SIGN_IN_TIMEOUT_MS", "KOLTA_SERVICE_CA_FILE", "KOLTA_ENVIRONMENT")


@pytest.fixture
def client_env(engine_env):
    for name in SERVICE_VARIABLES:
        engine_env.delenv(name, raising=False)
    return engine_env


def new_sdk(folder):
    return m.create_sdk(m.InitParams(storage_dir=str(folder)))


def can_open(sdk, model):
    attrs = m.ProcessorAttributes(m.AudioAttributes(model_name=model))
    try:
        sdk.create_audio_processor(attrs).close()
        return True
    except RuntimeError:
        return False


def test_keys_of_a_standalone_service_grant_their_models(kolta_server, client_env, tmp_path):
    data = tmp_path / "data"
    key = add_key(data, "denoise")
    disabled = add_key(data, "denoise")
    run_keys(data, "disable", "2")
    service = kolta_server(data_dir=data)
    client_env.setenv("KOLTA_SERVICE_URL", service.url)
    sdk = new_sdk(tmp_path / "storage")
    result = sdk.activate_api_key(key)
    assert (result.success, result.message) == (True, "activated")
    assert can_open(sdk, "denoise") and not can_open(sdk, "passthrough")
    refused = sdk.activate_api_key(disabled)
    assert (refused.error_type, refused.message) == (m.SdkErrorType.USER_DISABLED,
                                                     "the API key is disabled")
    assert not can_open(sdk, "denoise")  # a refusal signs out
    # A standalone service knows no test key.
    assert sdk.activate_api_key("KOLTA-DEMO-KEY").error_type == m.SdkErrorType.UNAUTHORIZED
    assert not (tmp_path / "storage" / "service").exists()  # nothing embedded


@pytest.mark.parametrize("environment, variable, goes_there", [
    ("staging", "KOLTA_SERVICE_URL_STAGING", True),
    ("uat", "KOLTA_SERVICE_URL_UAT", True),
    ("dev", "KOLTA_SERVICE_URL_STAGING", False),
    ("", "KOLTA_SERVICE_URL_DEFAULT", True),
    ("dev", "KOLTA_SERVICE_URL", True),
])
def test_the_environment_chooses_the_service(kolta_server, client_env, tmp_path, environment,
                                             variable, goes_there):
    service = kolta_server()  # no test keys: the demo key is refused there
    client_env.setenv("KOLTA_ENVIRONMENT", environment)
    client_env.setenv(variable, service.url)
    result = new_sdk(tmp_path).activate_api_key("KOLTA-DEMO-KEY")
    assert result.success is not goes_there  # the embedded service knows the demo key
    if goes_there:
        service.wait_for_line(r"sign-in refused: key=KOLT\*\*\*\* ", 10)


def silent_listener():
    """A port that accepts connections and never answers."""
    listener = socket.create_server(("127.0.0.1", 0))
    return listener, f"http://127.0.0.1:{listener.getsockname()[1]}"


def closed_port_url():
    with socket.create_server(("127.0.0.1", 0)) as sock:
        return f"http://127.0.0.1:{sock.getsockname()[1]}"


def test_a_service_that_does_not_answer_is_unreachable_after_the_deadline(client_env,
                                                                          tmp_path):
    listener, url = silent_listener()
    with listener:
        client_env.setenv("KOLTA_SERVICE_URL", url)
        client_env.setenv("KOLTA_SIGN_IN_TIMEOUT_MS", "300")
        sdk = new_sdk(tmp_path)
        started = time.monotonic()
        result = sdk.activate_api_key("KOLTA-DEMO-KEY")
        took = time.monotonic() - started
    assert result.error_type == m.SdkErrorType.SERVER_UNREACHABLE
    assert result.message == (f"no answer from the sign-in service at {url} within 300 ms "
                              "(waiting for the answer)")
    assert 0.3 <= took < 2


def test_the_default_deadline_is_five_seconds(client_env, tmp_path):
    sdk = new_sdk(tmp_path)
    started = time.monotonic()
    result = sdk.activate_api_key("kt_all@6000")  # the embedded service takes 6 s
    took = time.monotonic() - started
    assert result.error_type == m.SdkErrorType.SERVER_UNREACHABLE
    assert "within 5000 ms" in result.message
    assert 5 <= took < 8


@pytest.mark.parametrize("url, message", [
    ("closed", "cannot reach the sign-in service at {url} (connecting): Connection refused"),
    ("ftp://example.org", "KOLTA_SERVICE_URL='ftp://example.org' is not an http:// or "
                          "https:// address"),
    ("http://", "KOLTA_SERVICE_URL='http://' is not an http:// or https:// address"),
    ("http://127.0.0.1:0", "KOLTA_SERVICE_URL='http://127.0.0.1:0' is not an http:// or "
                           "https:// address"),
])
def test_an_unusable_address_is_unreachable_and_named(client_env, tmp_path, url, message):
    if url == "closed":
        url = closed_port_url()
    client_env.setenv("KOLTA_SERVICE_URL", url)
    result = new_sdk(tmp_path).activate_api_key("KOLTA-DEMO-KEY")
    assert (result.error_type, result.message) == (m.SdkErrorType.SERVER_UNREACHABLE,
                                                   message.format(url=url))


ANSWERS = [
    ("not JSON", 200, b"hello", m.SdkErrorType.UNKNOWN_FAILURE),
    ("no token", 200, b'{"models": ["*"]}', m.SdkErrorType.UNKNOWN_FAILURE),
    ("models not strings", 200, b'{"token": "t", "models": [1]}',
     m.SdkErrorType.UNKNOWN_FAILURE),
    ("unknown error name", 401, b'{"error": "NOPE", "message": "x"}',
     m.SdkErrorType.UNKNOWN_FAILURE),
    ("error without message", 401, b'{"error": "UNAUTHORIZED"}',
     m.SdkErrorType.UNKNOWN_FAILURE),
    ("HTML error page", 502, b"<html>bad gateway</html>", m.SdkErrorType.UNKNOWN_FAILURE),
    ("a named refusal", 403, b'{"error": "GROUP_MIGRATED", "message": "moved"}',
     m.SdkErrorType.GROUP_MIGRATED),
    ("a grant", 200, b'{"token": "t", "expires_in": 5, "models": ["passthrough"]}', None),
]


@contextlib.contextmanager
def fake_service(server_class, handler):
    """A stand-in service on loopback, serving `handler` on a thread; its URL."""
    server = server_class(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_port}"
    finally:
        server.shutdown()
        thread.join(10)
        server.server_close()


@pytest.mark.parametrize("status, body, error", [a[1:] for a in ANSWERS],
                         ids=[a[0] for a in ANSWERS])
def test_answers_outside_the_protocol_are_unknown_failures(client_env, tmp_path, status,
                                                           body, error):
    class Handler(http.server.BaseHTTPRequestHandler):
        timeout = 10  # a client that stops sending cannot hold the test

        def do_POST(self):  # noqa: N802 (the library's name)
            self.rfile.read(int(self.headers["Content-Length"]))
            self.send_response(status)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    with fake_service(http.server.HTTPServer, Handler) as url:
        client_env.setenv("KOLTA_SERVICE_URL", url)
        sdk = new_sdk(tmp_path)
        result = sdk.activate_api_key("kk_whatever")
    if error is None:
        assert result.success and can_open(sdk, "passthrough") and not can_open(sdk, "denoise")
    else:
        assert result.error_type == error and not result.success
        if error == m.SdkErrorType.UNKNOWN_FAILURE:
            assert f"gave an answer that is not the protocol's (HTTP {status})" in result.message


def test_the_stream_names_the_service_port_in_its_host_header(client_env, tmp_path):
    hosts = []

    class Handler(http.server.BaseHTTPRequestHandler):
        timeout = 10  # a client that stops sending cannot hold the test

        def do_POST(self):  # noqa: N802 (the library's name)
            self.rfile.read(int(self.headers["Content-Length"]))
            hosts.append(("sign-in", self.headers["Host"]))
            body = b'{"token": "t", "expires_in": 60, "models": ["passthrough"]}'
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self):  # noqa: N802 (the library's name)
            hosts.append((self.path, self.headers["Host"]))
            self.send_error(400)

        def log_message(self, *args):
            pass

    with fake_service(http.server.ThreadingHTTPServer, Handler) as url:
        client_env.setenv("KOLTA_SERVICE_URL", url)
        client_env.setenv("KOLTA_ENGINE_CLOUD", "stream")
        sdk = new_sdk(tmp_path)
        assert sdk.activate_api_key("kk_whatever").success
        sdk.create_audio_processor(stream_attributes("passthrough")).close()
    expected = url.removeprefix("http://")
    assert hosts[:2] == [("sign-in", expected), ("/v1/stream", expected)]


def test_https_with_the_service_certificate_authority(kolta_server, client_env, tmp_path):
    certificate, key, context = self_signed_certificate(str(tmp_path))
    service = kolta_server("--tls-cert", certificate, "--tls-key", key, "--test-keys",
                           tls_context=context)
    client_env.setenv("KOLTA_SERVICE_URL", f"https://localhost:{service.port}")
    sdk = new_sdk(tmp_path / "storage")
    untrusted = sdk.activate_api_key("kt_denoise")
    assert untrusted.error_type == m.SdkErrorType.SERVER_UNREACHABLE
    assert "TLS handshake" in untrusted.message and "certificate verify failed" in untrusted.message
    client_env.setenv("KOLTA_SERVICE_CA_FILE", certificate)
    assert sdk.activate_api_key("kt_denoise").success
    assert can_open(sdk, "denoise") and not can_open(sdk, "passthrough")
    # The certificate names localhost, not this address.
    client_env.setenv("KOLTA_SERVICE_URL", f"https://127.0.0.2:{service.port}")
    assert sdk.activate_api_key("kt_denoise").error_type == m.SdkErrorType.SERVER_UNREACHABLE


def test_a_stream_to_an_https_service_passes_audio_through_after_one_attempt(
        kolta_server, client_env, tmp_path):
    """The stream speaks plain WebSocket only: trying again cannot help."""
    certificate, key, context = self_signed_certificate(str(tmp_path))
    service = kolta_server("--tls-cert", certificate, "--tls-key", key, "--test-keys",
                           tls_context=context)
    client_env.setenv("KOLTA_SERVICE_URL", f"https://localhost:{service.port}")
    client_env.setenv("KOLTA_SERVICE_CA_FILE", certificate)
    client_env.setenv("KOLTA_ENGINE_CLOUD", "stream")
    sdk = new_sdk(tmp_path / "storage")
    assert sdk.activate_api_key("kt_denoise").success
    states = []
    attrs = stream_attributes("denoise", pcm16=True, notify=lambda s: states.append(s.name))
    rng = np.random.default_rng(7)
    signal = (np.round(rng.uniform(-0.3, 0.3, 16000) * 32768) / 32768).astype(np.float32)
    with sdk.create_audio_processor(attrs) as processor:
        stream = kolta.AlignedStream(processor, 16000, 1)
        pieces = []
        for at in range(0, signal.size, 320):  # 1 s in real time: room to try again
            pieces.append(stream.feed(signal[at:at + 320]))
            time.sleep(0.02)
        pieces.append(stream.finish())
    assert np.array_equal(np.concatenate(pieces), signal)  # whole and unprocessed
    assert states == ["TRYING", "NOT_RUNNING"]
    log = (tmp_path / "storage" / "logs" / "kolta.log").read_text()
    assert f"'https://localhost:{service.port}' is not http://HOST:PORT" in log
    assert "connecting again" not in log


# The embedded service is one per process: each case runs in a fresh one.

def test_the_embedded_service_keeps_its_accounts_under_storage_dir(client_env, tmp_path,
                                                                   run_python):
    storage = tmp_path / "storage"
    sign_in = f"""
        import sys, _kolta_module as m
        sdk = m.create_sdk(m.InitParams(storage_dir={str(storage)!r}))
        print(*(sdk.activate_api_key(key).message for key in sys.argv[1:]))
    """
    first = run_python(sign_in.replace("sys.argv[1:]", "['kt_all']"))
    assert first.stdout == "activated\n", first.stderr
    data = storage / "service"
    assert sorted(p.name for p in data.iterdir() if not p.name.endswith(("-wal", "-shm"))) == [
        "accounts.sqlite3", "service.log", "token.secret"]
    log = (storage / "logs" / "kolta.log").read_text()
    assert log.count("embedded service listening on http://127.0.0.1:") == 1
    # A key added there is honoured by the next process's embedded service.
    key = add_key(data, "translate")
    second = run_python(sign_in.replace("sys.argv[1:]", f"[{key!r}, 'kk_nobody']"))
    assert second.stdout == "activated API key not recognised\n", second.stderr
    assert key[4:] not in (data / "service.log").read_text()
    assert f"key={key[:4]}**** account=1 " in (data / "service.log").read_text()


def test_one_embedded_service_per_process(client_env, tmp_path, run_python):
    result = run_python(f"""
        import _kolta_module as m
        first = m.create_sdk(m.InitParams(storage_dir={str(tmp_path / "a")!r}))
        second = m.create_sdk(m.InitParams(storage_dir={str(tmp_path / "b")!r}))
        print(first.activate_api_key("kt_all").success, second.activate_api_key("kt_all").success)
    """)
    assert result.stdout == "True True\n", result.stderr
    assert "embedded service listening" in (tmp_path / "a" / "logs" / "kolta.log").read_text()
    assert "embedded service" not in (tmp_path / "b" / "logs" / "kolta.log").read_text()
    assert not (tmp_path / "b" / "service").exists()


def without_nanobind_notes(stderr):
    """A daemon thread inside the engine at exit holds its SDK: nanobind lists it."""
    return [line for line in stderr.splitlines()
            if not line.startswith(("nanobind:", " - ", "See https://nanobind"))]


@pytest.mark.parametrize("run", range(3))
def test_a_process_exits_cleanly_while_its_embedded_service_answers(client_env, run_python,
                                                                   tmp_path, run):
    result = run_python(f"""
        import threading, time, _kolta_module as m
        sdk = m.create_sdk(m.InitParams(storage_dir={str(tmp_path)!r}))
        assert sdk.activate_api_key("kt_all").success
        threading.Thread(target=sdk.activate_api_key, args=("kt_all@{50 * run}",),
                         daemon=True).start()
        time.sleep(0.05)
        print("leaving")
    """)
    assert (result.returncode, result.stdout) == (0, "leaving\n")
    assert without_nanobind_notes(result.stderr) == []
