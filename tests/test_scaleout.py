"""kolta-server on several instances: accounts in one PostgreSQL database,
one token secret file shared (and rotated) by all, HAProxy in front, the
stop on SIGTERM that lets streams finish, and /metrics. PostgreSQL and
HAProxy run on loopback in temporary folders; the cases that need them skip
where they are missing."""

import json
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import websocket

from kolta.server_command import server_binary
from polling import wait_for
from scaleout_helpers import HaproxyProcess, PostgresCluster, free_port, missing_programs
from service_process import ServiceProcess, add_key, run_keys, stop_all
from stream_attributes import drain, stream_attributes
from stream_socket import accepted, audio_answer, audio_message, close_of, send_config

BLOCK = 160  # 10 ms at 16 kHz
DEADLINE_S = 15


# --- fixtures ---------------------------------------------------------------

@pytest.fixture(scope="module")
def postgres():
    reason = missing_programs()
    if reason:
        pytest.skip(reason)
    cluster = PostgresCluster()
    try:
        yield cluster
    finally:
        cluster.destroy()


@pytest.fixture
def database(postgres):
    """A new, empty database of the cluster."""
    return postgres.create_database()


def new_secret():
    return secrets.token_hex(32)


class SecretFile:
    """A token secret file shared by instances; write(*secrets) sets its
    lines (the first signs)."""

    def __init__(self, path):
        self.path = path
        self.write(new_secret())

    def __str__(self):
        return str(self.path)

    def write(self, *lines):
        draft = self.path.with_suffix(".new")
        draft.write_text("# the first line signs\n" + "\n".join(lines) + "\n")
        draft.chmod(0o600)
        os.replace(draft, self.path)  # an instance re-reading it sees all or nothing

    def secrets(self):
        return [line for line in self.path.read_text().splitlines()
                if not line.startswith("#")]


@pytest.fixture
def secret_file(tmp_path):
    return SecretFile(tmp_path / "token.secrets")


@pytest.fixture
def instances(kolta_server, postgres, database, secret_file):
    """start(count, *options): kolta-server instances on the database (the
    first over the unix socket, the others over TCP) sharing the secret
    file, each with a data folder of its own."""

    def start(count=2, *options):
        urls = [postgres.socket_url(database)] + [postgres.url(database)] * (count - 1)
        return [kolta_server("--db", url, "--token-secret-file", str(secret_file), *options)
                for url in urls]

    return start


@pytest.fixture
def haproxy(tmp_path):
    """start(services): HAProxy in front of the services, named a, b, ..."""
    if shutil.which("haproxy") is None:
        pytest.skip("haproxy not found (Debian package haproxy)")
    started = []

    def start(services):
        proxy = HaproxyProcess(str(tmp_path), [(chr(ord("a") + i), service.port)
                                              for i, service in enumerate(services)])
        started.append(proxy)
        return proxy

    yield start
    for proxy in started:
        proxy.stop()


# --- helpers ----------------------------------------------------------------

def keys(url, *arguments):
    result = run_keys(url, *arguments, flag="--db")
    assert result.returncode == 0, result.stderr
    return result.stdout


def verified(service, token):
    status, body = service.verify(token)
    return status == 200, body


def stream_to(port, token, timeout=DEADLINE_S):
    """An accepted passthrough stream at 16 kHz mono on `port`."""
    ws = websocket.WebSocket()
    ws.settimeout(timeout)
    ws.connect(f"ws://127.0.0.1:{port}/v1/stream")
    send_config(ws, token)
    assert accepted(ws) == {"event": "accepted", "model": "passthrough"}
    return ws


def round_trip(ws, sequence):
    values = np.arange(BLOCK, dtype=np.int16) + sequence
    ws.send_binary(audio_message(sequence, values))
    got_sequence, got = audio_answer(ws)
    assert got_sequence == sequence
    np.testing.assert_array_equal(got, values)


def log_count(service, pattern):
    return len(re.findall(pattern, service.log))


def reload_secrets(services, secret_file, *lines):
    """Writes the file, sends SIGHUP to each service and waits for its log
    line saying it re-read the file."""
    secret_file.write(*lines)
    before = [log_count(s, "token secrets (reloaded|kept)") for s in services]
    for service in services:
        service.process.send_signal(signal.SIGHUP)
    for service, count in zip(services, before):
        wait_for(lambda: log_count(service, "token secrets (reloaded|kept)") > count,
                 DEADLINE_S, "the secrets re-read", step=0.05)


def metrics(service):
    """{series with its labels: value} of GET /metrics."""
    connection = service.connection()
    try:
        connection.request("GET", "/metrics")
        answer = connection.getresponse()
        assert answer.status == 200
        assert answer.getheader("Content-Type").startswith("text/plain; version=0.0.4")
        text = answer.read().decode()
    finally:
        connection.close()
    values = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            series, value = line.rsplit(" ", 1)
            values[series] = float(value)
    return values


# --- one database, one secret file ------------------------------------------

def test_a_key_added_to_the_database_works_on_every_instance(postgres, database, instances):
    a, b = instances(2)
    key = keys(postgres.url(database), "add", "--models", "passthrough").splitlines()[-1]
    for service in (a, b):
        status, body = service.sign_in(key)
        assert (status, body["models"]) == (200, ["passthrough"])
    # Listed through `kolta server`, over the unix socket.
    listed = subprocess.run([sys.executable, "-m", "kolta", "server", "keys", "list", "--db",
                             postgres.socket_url(database)],
                            capture_output=True, text=True, timeout=30)
    assert listed.returncode == 0 and key[:4] in listed.stdout, listed.stderr
    # Disabled through the database, refused by both at once.
    keys(postgres.url(database), "disable", key[:4])
    for service in (a, b):
        assert service.sign_in(key)[0] == 403


def test_a_token_from_one_instance_is_accepted_by_the_other(kolta_server, postgres,
                                                            database, instances, tmp_path):
    a, b = instances(2)
    key = keys(postgres.url(database), "add", "--models", "passthrough").splitlines()[-1]
    token = a.token(key)
    ok, body = verified(b, token)
    assert ok, body
    ws = stream_to(b.port, token)
    round_trip(ws, 0)
    ws.close()
    # An instance on the same database with a secret of its own does not.
    other = tmp_path / "other.secrets"
    other.write_text(new_secret() + "\n")
    other.chmod(0o600)
    stranger = kolta_server("--db", postgres.url(database), "--token-secret-file", str(other))
    ok, body = verified(stranger, token)
    assert not ok and body["error"] == "INVALID_GRANT"


def test_instances_starting_together_apply_each_migration_once(postgres, database,
                                                               secret_file, tmp_path):
    barrier = threading.Barrier(3)
    started, errors = [], []

    def start(index):
        barrier.wait(DEADLINE_S)
        try:
            started.append(ServiceProcess(tmp_path / f"s{index}", "--db",
                                          postgres.url(database), "--token-secret-file",
                                          str(secret_file)))
        except AssertionError as error:
            errors.append(error)

    threads = [threading.Thread(target=start, args=(i,)) for i in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(DEADLINE_S * 2)
    try:
        assert not errors, errors
        assert len(started) == 3
        logs = [service.log for service in started]
        assert sum("applied migrations 1" in log for log in logs) == 1, logs
        assert sum("(up to date)" in log for log in logs) == 2, logs
        assert postgres.query(database, "SELECT version FROM schema_version") == ["1"]
    finally:
        assert all(status == 0 for status, _ in stop_all(started))


def test_a_newer_schema_than_the_program_knows_is_refused(postgres, database, secret_file,
                                                          tmp_path):
    first = ServiceProcess(tmp_path / "first", "--db", postgres.url(database),
                           "--token-secret-file", str(secret_file))
    assert first.stop() == 0
    postgres.query(database, "INSERT INTO schema_version (version) VALUES (99)")
    result = run_keys(postgres.url(database), "list", flag="--db")
    assert result.returncode == 1
    assert "schema version 99" in result.stderr


def test_secret_rotation_keeps_streams_and_tokens_going(postgres, database, instances,
                                                        secret_file):
    a, b = instances(2)
    (old,) = secret_file.secrets()
    new = new_secret()
    key = keys(postgres.url(database), "add", "--models", "passthrough").splitlines()[-1]
    old_token = a.token(key)
    ws = stream_to(b.port, old_token)
    round_trip(ws, 0)

    # 1. The new secret first, the old one still accepted.
    reload_secrets([a, b], secret_file, new, old)
    round_trip(ws, 1)
    new_token = b.token(key)
    for service in (a, b):
        assert verified(service, new_token)[0]
        assert verified(service, old_token)[0]

    # A file that cannot be used leaves the secrets as they were.
    reload_secrets([a, b], secret_file, "not a secret")
    assert "token secrets kept as they were" in a.log
    assert verified(a, old_token)[0] and verified(b, new_token)[0]

    # 2. The old one dropped: its tokens are refused, the stream goes on.
    reload_secrets([a, b], secret_file, new)
    round_trip(ws, 2)
    for service in (a, b):
        assert verified(service, new_token)[0]
        ok, body = verified(service, old_token)
        assert not ok and body["error"] == "INVALID_GRANT"
    ws.close()
    assert old not in a.log and new not in a.log


def test_a_lost_database_is_reported_then_reconnected(postgres, database, instances):
    (a,) = instances(1)
    key = keys(postgres.url(database), "add", "--models", "passthrough").splitlines()[-1]
    assert a.sign_in(key)[0] == 200
    postgres.stop()
    try:
        started = time.monotonic()
        status, body = a.sign_in(key)
        assert (status, body["error"]) == (500, "UNKNOWN_FAILURE")
        assert time.monotonic() - started < DEADLINE_S
        assert a.process.poll() is None
    finally:
        postgres.start()
    # The connections dropped with the server are made again.
    assert a.sign_in(key)[0] == 200
    assert "sign-in failed: " in a.log


def test_a_stalled_database_fails_a_sign_in_within_the_deadline(postgres, database,
                                                                instances):
    """Another session holds the keys' table locked: the sign-in waits at
    most the store's time bound (5 s), answers, and the service goes on."""
    from scaleout_helpers import postgres_binary

    (a,) = instances(1)
    key = keys(postgres.url(database), "add", "--models", "passthrough").splitlines()[-1]
    assert a.sign_in(key)[0] == 200
    locker = subprocess.Popen(
        [postgres_binary("psql"), "-h", "127.0.0.1", "-p", str(postgres.port), "-U", "kolta",
         "-d", database, "-c",
         "BEGIN; LOCK TABLE api_keys IN ACCESS EXCLUSIVE MODE; SELECT pg_sleep(60);"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: postgres.query(database, "SELECT count(*) FROM pg_locks WHERE "
                                        "relation = 'api_keys'::regclass AND "
                                        "mode = 'AccessExclusiveLock' AND granted") == ["1"],
                 DEADLINE_S, "the table locked", step=0.05)
        started = time.monotonic()
        status, body = a.sign_in(key)
        assert (status, body["error"]) == (500, "UNKNOWN_FAILURE")
        assert time.monotonic() - started < 9
    finally:
        # Its server session outlives the client while it sleeps.
        postgres.query(database, "SELECT pg_terminate_backend(pid) FROM pg_locks WHERE "
                       "relation = 'api_keys'::regclass AND mode = 'AccessExclusiveLock'")
        locker.kill()
        locker.wait(DEADLINE_S)
    wait_for(lambda: a.sign_in(key)[0] == 200, DEADLINE_S, "signed in again", step=0.05)
    assert "canceling statement due to statement timeout" in a.log


# --- HAProxy in front -------------------------------------------------------

def websocket_through(proxy, token):
    ws = stream_to(proxy.port, token)
    return ws, ws.getheaders().get("x-kolta-instance")


def test_haproxy_spreads_streams_and_routes_around_a_dead_instance(postgres, database,
                                                                   instances, haproxy):
    a, b = instances(2)
    proxy = haproxy([a, b])
    key = keys(postgres.url(database), "add", "--models", "passthrough").splitlines()[-1]
    token = a.token(key)
    first, on_first = websocket_through(proxy, token)
    second, on_second = websocket_through(proxy, token)
    assert {on_first, on_second} == {"a", "b"}  # leastconn: one each
    for ws in (first, second):
        round_trip(ws, 0)
    a.process.kill()
    a.process.wait(DEADLINE_S)
    # New streams reach the survivor, the first of them at once (a refused
    # connection is tried again on the other instance).
    for _ in range(3):
        ws, instance = websocket_through(proxy, token)
        assert instance == "b"
        round_trip(ws, 0)
        ws.close()
    b_stream = first if on_first == "b" else second
    round_trip(b_stream, 1)
    b_stream.close()


def test_sigterm_drains_behind_haproxy(postgres, database, instances, haproxy):
    a, b = instances(2, "--drain-ms", "1500")
    proxy = haproxy([a, b])
    key = keys(postgres.url(database), "add", "--models", "passthrough").splitlines()[-1]
    token = b.token(key)
    on_a = stream_to(a.port, token)
    round_trip(on_a, 0)
    a.process.send_signal(signal.SIGTERM)
    a.wait_for_line("draining: 1 streams open", DEADLINE_S)
    status, _, body = a.request("GET", "/v1/health")
    assert (status, body["status"]) == (503, "draining")
    proxy.wait_until(lambda: proxy.instances_answering() == {"b"}, "a taken out")
    ws, instance = websocket_through(proxy, token)
    assert instance == "b"
    ws.close()
    round_trip(on_a, 1)  # the open stream goes on while it drains
    assert close_of(on_a)[0] == 1001
    assert a.process.wait(DEADLINE_S) == 0


# --- one instance: the stop on SIGTERM, /metrics ------------------------------

@pytest.mark.parametrize("client_closes", [False, True], ids=["deadline", "client-closes"])
def test_sigterm_lets_streams_finish_then_closes_them_with_1001(kolta_server,
                                                                client_closes):
    drain_ms = 2000
    service = kolta_server("--test-keys", "--drain-ms", str(drain_ms))
    token = service.token("kt_all")
    ws = stream_to(service.port, token)
    round_trip(ws, 0)
    signalled = time.monotonic()
    service.process.send_signal(signal.SIGTERM)
    service.wait_for_line("draining", DEADLINE_S)
    status, _, body = service.request("GET", "/v1/health")
    assert (status, body["status"]) == (503, "draining")
    # No new stream: 503, so that a balancer tries another instance.
    refused = websocket.WebSocket()
    refused.settimeout(DEADLINE_S)
    with pytest.raises(websocket.WebSocketBadStatusException) as raised:
        refused.connect(f"ws://127.0.0.1:{service.port}/v1/stream")
    assert raised.value.status_code == 503
    round_trip(ws, 1)
    if client_closes:
        ws.close()
        assert service.process.wait(DEADLINE_S) == 0
        assert time.monotonic() - signalled < drain_ms / 1000
    else:
        code, reason = close_of(ws)
        assert code == 1001 and "reconnect" in reason
        assert time.monotonic() - signalled >= drain_ms / 1000
        assert service.process.wait(DEADLINE_S) == 0
    assert re.search(r"stream [0-9a-f]{12}: opened: model=passthrough codec=l16", service.log)


def test_a_refused_client_that_never_answers_the_close_does_not_hold_up_a_stop(kolta_server):
    service = kolta_server("--test-keys", "--drain-ms", "10000")
    mute = websocket.WebSocket(skip_utf8_validation=True)
    mute.settimeout(DEADLINE_S)
    mute.connect(f"ws://127.0.0.1:{service.port}/v1/stream")
    mute.send(json.dumps({"token": "not a token", "model": "passthrough", "rate": 16000,
                          "channels": 1}))
    # Read the close frame off the socket without answering it.
    mute.sock.settimeout(DEADLINE_S)
    assert mute.sock.recv(2)[0] == 0x88
    signalled = time.monotonic()
    service.process.send_signal(signal.SIGTERM)
    assert service.process.wait(DEADLINE_S) == 0
    # Only the closing handshake's grace (2 s), never the 10 s drain.
    assert time.monotonic() - signalled < 5
    mute.sock.close()


def test_metrics_count_what_happened(kolta_server, tmp_path):
    data = tmp_path / "data"
    key = add_key(data, "passthrough")
    service = kolta_server(data_dir=data)
    base = metrics(service)
    token = service.token(key)
    service.token(key)
    for _ in range(2):
        assert service.sign_in("kk_nothing_like_a_key")[0] == 401
    ws = stream_to(service.port, token)
    for sequence in range(3):
        round_trip(ws, sequence)
    during = metrics(service)
    ws.close()
    wait_for(lambda: metrics(service)["kolta_streams_open"] == 0, DEADLINE_S,
             "the stream counted closed", step=0.05)
    after = metrics(service)

    assert base["kolta_sign_ins_total"] == 0 and base["kolta_streams_open"] == 0
    assert after["kolta_sign_ins_total"] == 2
    assert after['kolta_sign_in_failures_total{error="UNAUTHORIZED"}'] == 2
    assert during["kolta_streams_open"] == 1
    assert after['kolta_streams_opened_total{codec="l16"}'] == 1
    assert after['kolta_streams_opened_total{codec="opus"}'] == 0
    assert after["kolta_stream_chunk_seconds_count"] == 3
    assert after['kolta_stream_chunk_seconds_bucket{le="+Inf"}'] == 3
    assert 0 < after["kolta_stream_chunk_seconds_sum"] < 3
    audio = 3 * (8 + 2 * BLOCK)
    assert after["kolta_stream_received_bytes_total"] == audio
    accepted_text = len('{"event":"accepted","model":"passthrough"}')
    assert after["kolta_stream_sent_bytes_total"] == audio + accepted_text


@pytest.mark.parametrize("arguments, message", [
    (["--db", "mysql://kolta@db/kolta", "--data", "d"], "--db: expected a URL postgresql://"),
    (["--db", "postgresql://kolta@db/kolta"], "unless both --db and --token-secret-file"),
    (["--token-secret-file", "s"], "unless both --db and --token-secret-file"),
    (["--data", "d", "--drain-ms", "-1"], "--drain-ms: expected a whole number from 0"),
    (["keys", "list"], "give either --data DIR or --db URL"),
    (["keys", "list", "--data", "d", "--db", "postgresql://kolta@db/kolta"],
     "give either --data DIR or --db URL"),
])
def test_usage_errors_of_the_shared_options(tmp_path, arguments, message):
    result = subprocess.run([server_binary(), *arguments], capture_output=True, text=True,
                            timeout=30, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr


def test_an_unusable_secret_file_stops_the_start(tmp_path):
    secret = tmp_path / "token.secrets"
    secret.write_text(new_secret() + "\n")
    secret.chmod(0o644)
    result = subprocess.run([server_binary(), "--listen", "127.0.0.1:0", "--data",
                             str(tmp_path / "d"), "--token-secret-file", str(secret)],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 1
    assert "other users may read it" in result.stderr


def test_an_unreachable_database_stops_the_start_with_its_reason(secret_file):
    url = f"postgresql://kolta@127.0.0.1:{free_port()}/kolta?connect_timeout=2"
    started = time.monotonic()
    result = subprocess.run([server_binary(), "--listen", "127.0.0.1:0", "--db", url,
                             "--token-secret-file", str(secret_file)],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 1
    assert "cannot connect to the account database" in result.stderr
    assert time.monotonic() - started < 10


def test_sighup_never_stops_a_service_without_a_secret_file(kolta_server):
    service = kolta_server()
    service.process.send_signal(signal.SIGHUP)
    service.wait_for_line("SIGHUP: nothing to re-read", DEADLINE_S)
    assert service.request("GET", "/v1/health")[0] == 200


@pytest.mark.timeout(120)
def test_an_engine_stream_survives_the_kill_of_its_instance(postgres, database, instances,
                                                           haproxy, tmp_path, monkeypatch):
    """The engine's cloud path through HAProxy: its instance killed mid-stream,
    the stream connects again to the other, and every sample comes back once,
    in order; processed again once it runs."""
    import _kolta_module as m

    a, b = instances(2)
    proxy = haproxy([a, b])
    key = keys(postgres.url(database), "add", "--models", "denoise").splitlines()[-1]
    monkeypatch.setenv("KOLTA_SERVICE_URL", f"http://127.0.0.1:{proxy.port}")
    monkeypatch.delenv("KOLTA_LOCAL_INFERENCING", raising=False)
    monkeypatch.delenv("KOLTA_ENGINE_CLOUD", raising=False)
    sdk = m.create_sdk(m.InitParams(storage_dir=str(tmp_path / "client")))
    assert sdk.activate_api_key(key).success
    states, changed = [], threading.Condition()

    def on_state(state):
        with changed:
            states.append((time.monotonic(), state))
            changed.notify_all()

    attrs = stream_attributes("denoise", pcm16=True, notify=on_state)
    rng = np.random.default_rng(3)
    chunk = 320
    signal_in = (np.round(rng.standard_normal(16000 * 6) * 0.05 * 32767) / 32768).astype(
        np.float32)
    out = []
    with sdk.create_audio_processor(attrs) as processor:
        def opened_on():
            return [s for s in (a, b) if log_count(s, r": opened: model=denoise")]
        # Its log line may lag.
        wait_for(opened_on, DEADLINE_S, "the stream opened on an instance", step=0.05)
        serving = opened_on()
        assert len(serving) == 1
        for at in range(0, signal_in.size, chunk):
            if at == 16000 * 2:
                serving[0].process.kill()
                serving[0].process.wait(DEADLINE_S)
            frame = processor.process_frame(m.AudioFrame(signal_in[at:at + chunk]))
            out.append(np.frombuffer(frame.samples, np.float32).copy())
            time.sleep(0.01)  # twice real time: the outage spans many chunks
        with changed:
            assert changed.wait_for(lambda: len(states) >= 5, DEADLINE_S)
        out += drain(processor, chunk)
    got = np.concatenate(out)
    S = m.PipelineState
    sequence = [state for _, state in states]
    assert sequence[:2] == [S.TRYING, S.RUNNING]
    assert S.NOT_RUNNING in sequence[2:] and sequence[-2:] == [S.RUNNING, S.NOT_RUNNING]
    assert got.size == signal_in.size, "every sample back once"
    # The last second was processed by the surviving instance.
    assert not np.array_equal(got[-16000:], signal_in[-16000:])
    assert np.std(got[-16000:]) < 0.5 * np.std(signal_in[-16000:])
    down = next(t for t, state in states[2:] if state == S.NOT_RUNNING)
    back = next(t for t, state in states if state == S.RUNNING and t > down)
    assert back - down < 5, "connected again within the back-off"
