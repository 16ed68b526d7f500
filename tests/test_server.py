"""kolta-server over real sockets: sign-in outcomes, keys at rest, tokens, the
brute-force guard, hostile clients, TLS, administration and the test keys."""

import hashlib
import json
import os
import pathlib
import re
import signal
import socket
import sqlite3
import stat
import subprocess
import sys
import threading
import time
import types
import datetime

import pytest

import _kolta_module as m
import kolta
from kolta.server_command import server_binary
from polling import wait_for
from service_process import (add_key, exchange, parse_response, run_keys,
                             self_signed_certificate)

ERROR_NAMES = set(m.SdkErrorType.__members__)
PROTOCOL = (pathlib.Path(__file__).parents[1] / "docs" / "protocol.md").read_text()


def documented_limit(what):
    return int(re.search(rf"^\| {what} \| (\d+) bytes \|", PROTOCOL, re.MULTILINE)[1])


def documented_statuses():
    """The protocol's status for each SdkErrorType member."""
    statuses = {}
    for names, status in re.findall(r"^\| (`[A-Z_]+`(?:, `[A-Z_]+`)*|every other member) "
                                    r"\| (\d{3}) \|$", PROTOCOL, re.MULTILINE):
        for name in re.findall(r"[A-Z_]+", names) or ["*"]:
            statuses[name] = int(status)
    return {name: statuses.get(name, statuses["*"]) for name in ERROR_NAMES}


HEADER_LIMIT = documented_limit("request header")
BODY_LIMIT = documented_limit("request body")


def utc_date(days_from_today):
    return (datetime.datetime.now(datetime.timezone.utc).date()
            + datetime.timedelta(days=days_from_today)).isoformat()


@pytest.fixture
def accounts(tmp_path):
    """A data folder with one key in each state, by name."""
    data = tmp_path / "data"
    keys = {
        "active": add_key(data, "denoise,translate"),
        "every model": add_key(data, "all"),
        "disabled": add_key(data, "denoise"),
        "revoked": add_key(data, "denoise"),
        "revoked and disabled": add_key(data, "denoise"),
        "expired": add_key(data, "denoise", "--expires", "2020-01-01"),
        "expires today": add_key(data, "denoise", "--expires", utc_date(0)),
        "expires tomorrow": add_key(data, "denoise", "--expires", utc_date(1)),
    }
    for name, verb in (("disabled", "disable"), ("revoked", "revoke"),
                       ("revoked and disabled", "disable"), ("revoked and disabled", "revoke")):
        assert run_keys(data, verb, key_id(data, keys[name])).returncode == 0
    return data, keys


def key_id(data, key):
    digest = hashlib.sha256(key.encode()).hexdigest()
    with sqlite3.connect(data / "accounts.sqlite3") as db:
        (found,) = db.execute("SELECT id FROM api_keys WHERE key_hash = ?", (digest,)).fetchone()
    return str(found)


# --- the service ------------------------------------------------------------------

@pytest.mark.parametrize("options, test_keys", [((), "off"), (("--test-keys",), "on")])
def test_first_log_line_says_where_and_whether_test_keys(kolta_server, options, test_keys):
    service = kolta_server(*options)
    first = service.log.splitlines()[0]
    assert f"listening on http://127.0.0.1:{service.port} (test keys {test_keys}" in first
    status, headers, body = service.request("GET", "/v1/health")
    assert (status, body) == (200, {"status": "ok", "version": kolta.__version__})
    assert headers["Content-Type"] == "application/json"


@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGINT])
def test_signal_stops_cleanly_with_a_client_connected(kolta_server, signal_number):
    service = kolta_server()
    idle = socket.create_connection(("127.0.0.1", service.port), timeout=5)
    service.request("GET", "/v1/health")
    try:
        assert service.stop(signal_number) == 0
    finally:
        idle.close()
    assert service.log.splitlines()[-1].endswith("INFO stopped")


def test_a_service_that_misses_its_start_deadline_is_not_left_running(tmp_path,
                                                                      monkeypatch):
    """The tests' ServiceProcess kills what it started when it fails to start."""
    import service_process

    started = []

    class Recorded(subprocess.Popen):
        def __init__(self, *arguments, **options):
            super().__init__(*arguments, **options)
            started.append(self)

    monkeypatch.setattr(subprocess, "Popen", Recorded)
    monkeypatch.setattr(service_process, "START_DEADLINE_S", 0)
    with pytest.raises(AssertionError, match="no log line like"):
        service_process.ServiceProcess(tmp_path / "data")
    (process,) = started
    assert process.poll() is not None


def test_services_after_one_that_fails_to_stop_are_still_stopped(kolta_server):
    """The tests' teardown stops every service before it reports a failure."""
    from service_process import stop_all

    class Stuck:
        process = types.SimpleNamespace(returncode=None)  # still running
        log = ""

        def stop(self):
            raise AssertionError("did not stop")

    later = kolta_server()
    with pytest.raises(AssertionError, match="did not stop"):
        stop_all([Stuck(), later])
    assert later.process.returncode == 0


def test_a_port_in_use_is_an_error_naming_it(kolta_server, tmp_path):
    service = kolta_server()
    taken = subprocess.run([server_binary(), "--listen", f"127.0.0.1:{service.port}",
                            "--data", str(tmp_path / "other")],
                           capture_output=True, text=True, timeout=30)
    assert taken.returncode == 1
    assert f"cannot listen on 127.0.0.1:{service.port}: bind:" in taken.stderr


@pytest.mark.parametrize("arguments, message", [
    ([], "--data DIR is required"),
    (["--data", "d", "--listen", "nowhere"], "--listen: expected HOST:PORT"),
    (["--data", "d", "--listen", "127.0.0.1:70000"], "from 0 to 65535"),
    (["--data", "d", "--tls-cert", "c.pem"], "--tls-cert and --tls-key go together"),
    (["--data", "d", "--threads", "0"], "--threads: expected a whole number from 1"),
    (["--data", "d", "--bogus"], "unknown option --bogus"),
    (["keys", "add", "--data", "d"], "--models is required"),
    (["keys", "add", "--data", "d", "--models", "a b"], "'a b' is not a model name"),
    (["keys", "add", "--data", "d", "--models", "x", "--expires", "2025-02-30"],
     "expected a date YYYY-MM-DD"),
    (["keys", "disable", "--data", "d"], "which key?"),
    (["keys", "rotate", "--data", "d"], "unknown command 'rotate'"),
])
def test_usage_errors_are_one_line_and_status_2(tmp_path, arguments, message):
    result = subprocess.run([server_binary(), *arguments], capture_output=True, text=True,
                            timeout=30, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr
    assert not (tmp_path / "d").exists()


# --- sign-in --------------------------------------------------------------------

@pytest.mark.parametrize("name, status, error", [
    ("unknown", 401, "UNAUTHORIZED"),
    ("empty", 400, "NO_CREDENTIALS"),
    ("disabled", 403, "USER_DISABLED"),
    ("revoked", 401, "INVALID_GRANT"),
    ("revoked and disabled", 401, "INVALID_GRANT"),
    ("expired", 401, "TOKEN_EXPIRED"),
    ("expires today", 401, "TOKEN_EXPIRED"),
    ("test key, no --test-keys", 401, "UNAUTHORIZED"),
])
def test_each_refusal_has_its_status_and_error_name(kolta_server, accounts, name, status, error):
    data, keys = accounts
    keys = dict(keys, unknown="kk_" + "A" * 32, empty="")
    keys["test key, no --test-keys"] = "KOLTA-DEMO-KEY"
    service = kolta_server(data_dir=data)
    answer = service.sign_in(keys[name])
    assert (answer[0], answer[1]["error"]) == (status, error)
    assert answer[1]["message"] and set(answer[1]) == {"error", "message"}


@pytest.mark.parametrize("name, models", [
    ("active", ["denoise", "translate"]),
    ("every model", ["*"]),
    ("expires tomorrow", ["denoise"]),
])
def test_a_good_key_gets_a_token_for_its_models(kolta_server, accounts, name, models):
    data, keys = accounts
    service = kolta_server(data_dir=data)
    status, body = service.sign_in(keys[name])
    assert status == 200 and body["models"] == models
    assert 0 < body["expires_in"] <= 900
    assert service.verify(body["token"]) == (200, {
        "key_id": key_id(data, keys[name]), "models": models,
        "expires_in": pytest.approx(body["expires_in"], abs=2)})


def test_a_token_never_outlives_its_key(kolta_server, accounts):
    data, keys = accounts
    service = kolta_server("--token-lifetime", "86400", data_dir=data)
    status, body = service.sign_in(keys["expires tomorrow"])
    midnight = datetime.datetime.fromisoformat(utc_date(1)).replace(
        tzinfo=datetime.timezone.utc).timestamp()
    assert status == 200
    assert body["expires_in"] == pytest.approx(midnight - time.time(), abs=3)


def test_a_key_disabled_or_revoked_later_invalidates_its_tokens(kolta_server, accounts):
    data, keys = accounts
    service = kolta_server(data_dir=data)
    tokens = {name: service.sign_in(keys[name])[1]["token"]
              for name in ("active", "every model")}
    run_keys(data, "disable", key_id(data, keys["active"]))
    run_keys(data, "revoke", key_id(data, keys["every model"]))
    assert service.verify(tokens["active"])[1]["error"] == "USER_DISABLED"
    assert service.verify(tokens["every model"])[1]["error"] == "INVALID_GRANT"
    assert service.sign_in(keys["active"])[1]["error"] == "USER_DISABLED"
    run_keys(data, "enable", key_id(data, keys["active"]))
    assert service.verify(tokens["active"])[0] == 200


def tampered(token):
    body, signature = token.split(".")
    flip = {"A": "B", "B": "A"}
    return {
        "payload changed": body[:-2] + flip.get(body[-2], "A") + body[-1] + "." + signature,
        "signature changed": body + "." + signature[:5] + flip.get(signature[5], "A")
                             + signature[6:],
        "signature dropped": body + ".",
        "no signature": body,
        "truncated": token[:-3],
        "other text": "not-a-token",
        "empty": "",
    }


def test_tampered_and_foreign_tokens_are_invalid_grants(kolta_server, accounts):
    data, keys = accounts
    service = kolta_server(data_dir=data)
    token = service.sign_in(keys["active"])[1]["token"]
    foreign = kolta_server(data_dir=data.parent / "elsewhere", tls_context=None)
    assert foreign.verify(token)[1]["error"] == "INVALID_GRANT"  # another secret
    for how, bad in tampered(token).items():
        assert service.verify(bad) == (401, {"error": "INVALID_GRANT",
                                             "message": "the token is not valid"}), how


def test_an_expired_token_is_refused(kolta_server, accounts):
    data, keys = accounts
    service = kolta_server("--token-lifetime", "1", data_dir=data)
    status, body = service.sign_in(keys["active"])
    assert (status, body["expires_in"]) == (200, 1)
    time.sleep(2.1)
    assert service.verify(body["token"]) == (401, {"error": "TOKEN_EXPIRED",
                                                   "message": "the token has expired"})


# --- keys at rest ---------------------------------------------------------------

def test_keys_are_stored_and_logged_only_as_hash_and_prefix(kolta_server, accounts):
    data, keys = accounts
    service = kolta_server(data_dir=data)
    for key in keys.values():
        service.sign_in(key)
        service.sign_in(key + "x")  # a near miss is logged too
    listed = run_keys(data, "list").stdout
    assert service.stop() == 0
    stored = b"".join(p.read_bytes() for p in data.iterdir() if p.is_file())
    with sqlite3.connect(data / "accounts.sqlite3") as db:
        rows = db.execute("SELECT key_hash, key_prefix FROM api_keys").fetchall()
    assert sorted(rows) == sorted((hashlib.sha256(k.encode()).hexdigest(), k[:4])
                                  for k in keys.values())
    for key in keys.values():
        assert key.startswith("kk_") and len(key) == 35
        assert key.encode() not in stored and key[4:].encode() not in stored
        assert key[4:] not in service.log and key[4:] not in listed
        assert f"key={key[:4]}****" in service.log
    assert stat.S_IMODE(os.stat(data / "token.secret").st_mode) == 0o600
    assert stat.S_IMODE(os.stat(data).st_mode) == 0o700


def test_processes_making_one_new_store_at_once_all_succeed(tmp_path):
    data = tmp_path / "data"
    adding = [subprocess.Popen([server_binary(), "keys", "add", "--data", str(data),
                                "--models", "denoise"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True) for _ in range(6)]
    results = [process.communicate(timeout=60) for process in adding]
    assert [process.returncode for process in adding] == [0] * 6, results
    listed = run_keys(data, "list").stdout.splitlines()[1:]
    assert sorted(int(line.split()[0]) for line in listed) == [1, 2, 3, 4, 5, 6]


def test_services_starting_at_once_share_one_token_secret(kolta_server, tmp_path):
    data = tmp_path / "data"
    key = add_key(data, "denoise")
    started = []
    starting = [threading.Thread(target=lambda: started.append(kolta_server(data_dir=data)))
                for _ in range(4)]
    for thread in starting:
        thread.start()
    for thread in starting:
        thread.join(60)
    assert len(started) == 4
    token = started[0].sign_in(key)[1]["token"]
    assert [service.verify(token)[0] for service in started] == [200] * 4
    assert sorted(p.name for p in data.iterdir() if "secret" in p.name) == ["token.secret"]


def test_a_token_secret_others_may_read_is_refused(tmp_path):
    data = tmp_path / "data"
    add_key(data, "denoise")
    (data / "token.secret").write_bytes(os.urandom(32))
    os.chmod(data / "token.secret", 0o644)
    result = subprocess.run([server_binary(), "--listen", "127.0.0.1:0", "--data", str(data)],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 1
    assert "refusing the token secret" in result.stderr and "chmod 600" in result.stderr


# --- the brute-force guard ------------------------------------------------------------

def test_repeated_failures_block_the_address_and_the_key_for_the_window(kolta_server,
                                                                        accounts):
    data, keys = accounts
    service = kolta_server("--max-failures", "3", "--failure-window", "2", data_dir=data)
    wrong = "kk_" + "W" * 32
    for _ in range(3):
        assert service.sign_in(wrong)[1]["error"] == "UNAUTHORIZED"
    status, headers, body = service.request("POST", "/v1/sign-in", {"api_key": keys["active"]})
    assert (status, body["error"]) == (429, "MAX_RETRIES_EXCEEDED")
    assert 1 <= int(headers["Retry-After"]) <= 2
    # Another address: its good key works, the key guessed at is still blocked.
    assert service.sign_in(keys["active"], source="127.0.0.2")[0] == 200
    assert service.sign_in(wrong, source="127.0.0.2")[1]["error"] == "MAX_RETRIES_EXCEEDED"
    time.sleep(2.1)
    assert service.sign_in(keys["active"])[0] == 200
    assert service.sign_in(wrong, source="127.0.0.2")[1]["error"] == "UNAUTHORIZED"


def test_failures_spread_over_addresses_still_block_the_key(kolta_server, accounts):
    data, keys = accounts
    service = kolta_server("--max-failures", "3", data_dir=data)
    for source in ("127.0.0.3", "127.0.0.4", "127.0.0.5"):
        assert service.sign_in(keys["disabled"], source=source)[1]["error"] == "USER_DISABLED"
    assert service.sign_in(keys["disabled"], source="127.0.0.6")[0] == 429
    assert service.sign_in(keys["active"], source="127.0.0.6")[0] == 200


# --- hostile clients -----------------------------------------------------------------

def request_bytes(method, path, body=b"", extra=""):
    return (f"{method} {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n{extra}"
            f"Content-Length: {len(body)}\r\n\r\n").encode() + body


BAD_REQUESTS = [
    ("body over the limit",
     request_bytes("POST", "/v1/sign-in", b"{" + b" " * BODY_LIMIT + b"}"), 413,
     f"over {BODY_LIMIT} bytes"),
    ("body at the limit",
     request_bytes("POST", "/v1/sign-in", b"{" + b" " * (BODY_LIMIT - 2) + b"}"), 400,
     "string member \"api_key\""),
    ("header over the limit",
     request_bytes("GET", "/v1/health", extra="X: " + "y" * HEADER_LIMIT + "\r\n"), 431,
     f"over {HEADER_LIMIT} bytes"),
    ("not JSON", request_bytes("POST", "/v1/sign-in", b'{"api_key": '), 400, "JSON object"),
    ("JSON, not an object", request_bytes("POST", "/v1/sign-in", b'["kt_all"]'), 400,
     "JSON object"),
    ("api_key not a string", request_bytes("POST", "/v1/sign-in", b'{"api_key": 5}'), 400,
     "string member \"api_key\""),
    ("api_key twice", request_bytes("POST", "/v1/sign-in",
                                    b'{"api_key": "a", "api_key": "b"}'), 400, "JSON object"),
    ("invalid UTF-8", request_bytes("POST", "/v1/sign-in", b'{"api_key": "\xff"}'), 400,
     "JSON object"),
    ("no body", request_bytes("POST", "/v1/sign-in"), 400, "JSON object"),
    ("not HTTP", b"HELLO\r\n\r\n", 400, "malformed HTTP request"),
    ("bad length", b"POST /v1/sign-in HTTP/1.1\r\nContent-Length: -3\r\n\r\n", 400,
     "malformed HTTP request"),
    ("GET sign-in", request_bytes("GET", "/v1/sign-in"), 405, "takes POST"),
    ("POST health", request_bytes("POST", "/v1/health"), 405, "takes GET"),
    ("unknown path", request_bytes("GET", "/v2/health"), 404, "no such endpoint"),
]


@pytest.fixture
def hardy_service(kolta_server):
    return kolta_server("--read-timeout-ms", "1500", "--test-keys")


@pytest.mark.parametrize("data, status, message",
                         [case[1:] for case in BAD_REQUESTS], ids=[c[0] for c in BAD_REQUESTS])
def test_bad_requests_get_a_clear_status_and_others_are_served(hardy_service, data, status,
                                                               message):
    with socket.create_connection(("127.0.0.1", hardy_service.port), timeout=10) as sock:
        answer = parse_response(exchange(sock, data))
    assert answer is not None
    body = json.loads(answer[2])
    assert (answer[0], body["error"]) == (status, "BAD_REQUEST")
    assert message in body["message"]
    if status == 405:
        assert answer[1]["allow"] in ("GET", "POST")
    assert hardy_service.sign_in("kt_all")[0] == 200


def test_a_slow_client_is_cut_off_while_others_are_served(hardy_service):
    request = request_bytes("POST", "/v1/sign-in", b'{"api_key": "kt_all"}')
    answer = {}

    def trickle():  # one byte a second
        with socket.create_connection(("127.0.0.1", hardy_service.port), timeout=10) as sock:
            started = time.monotonic()
            received = b""
            for byte in request:
                try:
                    sock.sendall(bytes([byte]))
                    sock.settimeout(1.0)
                    chunk = sock.recv(4096)
                except socket.timeout:
                    continue  # nothing back within the second: the next byte
                except (BrokenPipeError, ConnectionResetError):
                    break
                if not chunk:
                    break
                received += chunk
            answer.update(parsed=parse_response(received), after=time.monotonic() - started)

    slow = threading.Thread(target=trickle)
    slow.start()
    served = []
    while slow.is_alive() and len(served) < 50:
        started = time.monotonic()
        served.append((hardy_service.sign_in("kt_all")[0], time.monotonic() - started))
        time.sleep(0.05)
    slow.join(20)
    assert not slow.is_alive()
    status, _, body = answer["parsed"]
    assert (status, json.loads(body)["error"]) == (408, "BAD_REQUEST")
    assert 1.4 < answer["after"] < 5
    # Each well under the slow client's 1.5 s: none waited for it.
    assert len(served) >= 5 and all(code == 200 and took < 1.25 for code, took in served)


def test_an_idle_connection_is_closed_silently(hardy_service):
    with socket.create_connection(("127.0.0.1", hardy_service.port), timeout=10) as sock:
        started = time.monotonic()
        assert exchange(sock, b"") == b""
        assert 1.4 < time.monotonic() - started < 5


def test_connections_over_the_limit_are_closed_and_the_rest_still_served(kolta_server):
    service = kolta_server("--max-connections", "4", "--read-timeout-ms", "30000")
    held = [socket.create_connection(("127.0.0.1", service.port), timeout=10)
            for _ in range(4)]
    try:
        time.sleep(0.2)
        with socket.create_connection(("127.0.0.1", service.port), timeout=10) as extra:
            assert exchange(extra, b"", timeout=5) == b""  # closed at once
    finally:
        for sock in held:
            sock.close()

    def answers_health():
        try:
            status = service.request("GET", "/v1/health")[0]
        except OSError:
            return False
        assert status == 200
        return True
    wait_for(answers_health, 5, "the health endpoint answering", step=0.05)


def test_keep_alive_serves_several_requests_on_one_connection(kolta_server):
    service = kolta_server("--test-keys")
    connection = service.connection()
    try:
        for key in ("kt_all", "fail_token_expired", "kt_denoise"):
            connection.request("POST", "/v1/sign-in", body=json.dumps({"api_key": key}))
            response = connection.getresponse()
            assert response.status in (200, 401)
            json.loads(response.read())
    finally:
        connection.close()


# --- TLS -------------------------------------------------------------------------

def test_tls_with_a_self_signed_certificate(kolta_server, tmp_path):
    certificate, key, context = self_signed_certificate(str(tmp_path))
    service = kolta_server("--tls-cert", certificate, "--tls-key", key, "--test-keys",
                           tls_context=context)
    assert "listening on https://127.0.0.1:" in service.log
    assert service.sign_in("kt_denoise")[1]["models"] == ["denoise"]
    # Plain HTTP on the TLS port gets no answer, and the service carries on.
    with socket.create_connection(("127.0.0.1", service.port), timeout=10) as sock:
        assert parse_response(exchange(sock, request_bytes("GET", "/v1/health"))) is None
    assert service.request("GET", "/v1/health")[0] == 200


def test_unusable_tls_files_are_an_error_naming_them(tmp_path):
    (tmp_path / "cert.pem").write_text("not a certificate\n")
    result = subprocess.run([server_binary(), "--listen", "127.0.0.1:0", "--data",
                             str(tmp_path / "data"), "--tls-cert", str(tmp_path / "cert.pem"),
                             "--tls-key", str(tmp_path / "cert.pem")],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 1
    assert f"cannot use the TLS certificate '{tmp_path / 'cert.pem'}'" in result.stderr


# --- the reference engine's test keys -----------------------------------------------

TEST_KEYS = ["KOLTA-DEMO-KEY", "kt_all", "kt_passthrough+denoise", "kt_denoise+denoise",
             "kt_", "kt_a++b", "fail_token_expired", "fail_max_retries_exceeded",
             "fail_nope", "whatever", "kt_all@30", "kt_all@x", "kt_all@20000",
             "fail_user_disabled@10", "@10", "ключ-секрет"]


def test_test_keys_mean_what_they_mean_to_the_engine(kolta_server, tmp_path, engine_env):
    service = kolta_server("--test-keys")
    sdk = m.create_sdk(m.InitParams(storage_dir=str(tmp_path / "storage")))
    for key in TEST_KEYS:
        expected = sdk.activate_api_key(key)
        status, body = service.sign_in(key)
        assert (status == 200) == expected.success, key
        if not expected.success:
            assert body == {"error": expected.error_type.name,
                            "message": expected.message}, key


def test_every_member_has_its_documented_status(kolta_server):
    service = kolta_server("--test-keys", "--max-failures", "0")
    statuses = documented_statuses()
    assert statuses["USER_DISABLED"] == 403 and statuses["UNAUTHORIZED"] == 401
    for name, status in statuses.items():
        answer = service.sign_in(f"fail_{name.lower()}")
        assert (answer[0], answer[1]["error"]) == (status, name)


@pytest.mark.parametrize("key, models", [
    ("KOLTA-DEMO-KEY", ["*"]), ("kt_all", ["*"]),
    ("kt_translate+denoise+denoise", ["denoise", "translate"])])
def test_test_key_models(kolta_server, key, models):
    service = kolta_server("--test-keys")
    status, body = service.sign_in(key)
    assert (status, body["models"]) == (200, models)
    assert service.verify(body["token"])[1]["key_id"] == "test"


def test_a_test_key_delay_holds_no_thread(kolta_server):
    service = kolta_server("--test-keys", "--threads", "1")
    answers = []
    slow = threading.Thread(target=lambda: answers.append(service.sign_in("kt_all@1500")))
    started = time.monotonic()
    slow.start()
    time.sleep(0.2)
    assert service.request("GET", "/v1/health")[0] == 200
    assert time.monotonic() - started < 1.4  # before the 1.5 s sign-in answers
    slow.join(10)
    assert answers[0][0] == 200 and time.monotonic() - started >= 1.5


def test_simulated_refusals_do_not_trip_the_guard(kolta_server):
    service = kolta_server("--test-keys", "--max-failures", "2")
    for _ in range(4):
        assert service.sign_in("fail_user_disabled")[0] == 403
    assert service.sign_in("kt_all")[0] == 200
    for _ in range(2):
        service.sign_in("not-a-test-key")
    assert service.sign_in("kt_all")[0] == 429


# --- administration -------------------------------------------------------------------

def test_keys_list_disable_enable_revoke_by_id_or_prefix(tmp_path):
    data = tmp_path / "data"
    first = add_key(data, "denoise,translate", "--expires", "2099-12-31")
    second = add_key(data, "all")
    listed = run_keys(data, "list")
    assert listed.returncode == 0
    lines = listed.stdout.splitlines()
    assert lines[0].split() == ["ID", "KEY", "MODELS", "STATE", "EXPIRES", "CREATED"]
    assert lines[1].split()[:5] == ["1", first[:4] + "****", "denoise,translate", "active",
                                    "2099-12-31"]
    assert lines[2].split()[:5] == ["2", second[:4] + "****", "*", "active", "never"]
    shown = first[:4] + "****" if first[:4] != second[:4] else "1"
    result = run_keys(data, "disable", shown)
    assert (result.returncode, result.stdout) == (0, f"key 1 ({first[:4]}****) disabled\n")
    assert run_keys(data, "list").stdout.splitlines()[1].split()[3] == "disabled"
    assert run_keys(data, "enable", "1").returncode == 0
    assert run_keys(data, "revoke", "2").returncode == 0
    refused = run_keys(data, "enable", "2")
    assert refused.returncode == 2 and "a revoked key stays refused" in refused.stderr
    missing = run_keys(data, "disable", "7")
    assert missing.returncode == 2 and "no key with id 7" in missing.stderr
    assert [line.split()[3] for line in run_keys(data, "list").stdout.splitlines()[1:]] == [
        "active", "revoked"]


def test_an_ambiguous_prefix_names_the_ids(tmp_path):
    data = tmp_path / "data"
    by_prefix = {}
    while True:  # 64 possible prefixes: a repeat comes soon
        key = add_key(data, "denoise")
        if key[:4] in by_prefix:
            break
        by_prefix[key[:4]] = key
    result = run_keys(data, "revoke", key[:4])
    assert result.returncode == 2
    assert f"the prefix '{key[:4]}' names keys" in result.stderr and "give the id" in result.stderr


def test_kolta_server_command_adds_a_key_another_process_signs_in_with(kolta_server,
                                                                        tmp_path):
    data = tmp_path / "data"
    added = subprocess.run([sys.executable, "-m", "kolta", "server", "keys", "add", "--data",
                            str(data), "--models", "denoise"],
                           capture_output=True, text=True, timeout=60)
    assert added.returncode == 0, added.stderr
    key = added.stdout.splitlines()[-1]
    service = kolta_server(data_dir=data)
    client = f"""
import json, sys, urllib.request
request = urllib.request.Request({service.url!r} + "/v1/sign-in", method="POST",
    data=json.dumps({{"api_key": sys.argv[1]}}).encode(),
    headers={{"Content-Type": "application/json"}})
with urllib.request.urlopen(request, timeout=10) as response:
    print(response.status, json.load(response)["models"])
"""
    signed_in = subprocess.run([sys.executable, "-c", client, key], capture_output=True,
                               text=True, timeout=60)
    assert signed_in.stdout == "200 ['denoise']\n", signed_in.stderr


@pytest.mark.parametrize("arguments, status, output", [
    (["--version"], 0, f"kolta-server {kolta.__version__}\n"),
    (["--listen"], 2, ""),
    (["keys", "list"], 2, ""),
])
def test_kolta_server_command_passes_arguments_and_status_through(arguments, status, output):
    result = subprocess.run([sys.executable, "-m", "kolta", "server", *arguments],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (status, output)
    assert status == 0 or result.stderr.startswith("kolta-server: error:")
