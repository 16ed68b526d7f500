"""kolta-server run by a test: a subprocess listening on a free loopback port
(port 0, read back from its first log line), its log collected, stopped by a
signal and checked to exit 0. Every wait has a deadline."""

import http.client
import json
import os
import re
import signal
import socket
import ssl
import subprocess
import threading
import time

from kolta.server_command import server_binary

START_DEADLINE_S = 15
STOP_DEADLINE_S = 15
LISTENING = re.compile(r"listening on (https?)://127\.0\.0\.1:(\d+) \(test keys (on|off)")


class ServiceProcess:
    def __init__(self, data_dir, *options, tls_context=None, env=None):
        self.data_dir = str(data_dir)
        self.tls_context = tls_context
        self.lines = []
        self._seen = threading.Condition()
        command = [server_binary(), "--listen", "127.0.0.1:0", "--data", self.data_dir,
                   *options]
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        text=True, env=env)
        self._reader = threading.Thread(target=self._read_log, daemon=True)
        self._reader.start()
        try:
            first = self.wait_for_line(LISTENING, START_DEADLINE_S)
        except BaseException:
            # Nobody holds this object yet to stop it.
            self.process.kill()
            self.process.wait(STOP_DEADLINE_S)
            raise
        self.scheme, self.port, self.test_keys = first[1], int(first[2]), first[3] == "on"

    def _read_log(self):
        for line in self.process.stderr:
            with self._seen:
                self.lines.append(line.rstrip("\n"))
                self._seen.notify_all()
        with self._seen:
            self.lines.append(None)  # end of the log
            self._seen.notify_all()

    def wait_for_line(self, pattern, timeout):
        """The match of the first log line matching `pattern`; fails if the log
        ends or the deadline passes first."""
        deadline = time.monotonic() + timeout
        with self._seen:
            while True:
                for line in self.lines:
                    if line is None:
                        raise AssertionError(f"kolta-server ended (status "
                                             f"{self.process.wait(5)}): {self.log}")
                    match = re.search(pattern, line)
                    if match:
                        return match
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no log line like {pattern!r} in {timeout} s: "
                                         f"{self.log}")
                self._seen.wait(left)

    @property
    def log(self):
        with self._seen:
            return "\n".join(line for line in self.lines if line is not None)

    @property
    def url(self):
        return f"{self.scheme}://127.0.0.1:{self.port}"

    def connection(self, timeout=10, source="127.0.0.1"):
        """An HTTP(S) connection from the loopback address `source` (any of
        127.0.0.0/8: the service sees each as another client)."""
        if self.scheme == "https":
            return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout,
                                               context=self.tls_context,
                                               source_address=(source, 0))
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout,
                                          source_address=(source, 0))

    def request(self, method, path, body=None, headers=None, timeout=10, source="127.0.0.1"):
        """(status, headers, decoded JSON body) of one request on a new connection."""
        connection = self.connection(timeout, source)
        try:
            if isinstance(body, dict):
                body = json.dumps(body).encode()
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            data = response.read()
            return response.status, dict(response.getheaders()), json.loads(data)
        finally:
            connection.close()

    def sign_in(self, key, source="127.0.0.1"):
        status, _, body = self.request("POST", "/v1/sign-in", {"api_key": key},
                                       source=source)
        return status, body

    def token(self, key):
        """The token of a sign-in with `key`, which must succeed."""
        status, body = self.sign_in(key)
        assert status == 200, body
        return body["token"]

    def verify(self, token):
        status, _, body = self.request("POST", "/v1/token/verify", {"token": token})
        return status, body

    def raw_socket(self, timeout=10):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        if self.scheme == "https":
            sock = self.tls_context.wrap_socket(sock, server_hostname="localhost")
        return sock

    def stop(self, signal_number=signal.SIGTERM):
        """Sends the signal; returns the exit status (the process is killed
        and the test fails if it does not end in time)."""
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        try:
            status = self.process.wait(STOP_DEADLINE_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(STOP_DEADLINE_S)
            raise AssertionError(f"kolta-server did not stop in {STOP_DEADLINE_S} s: "
                                 f"{self.log}")
        self._reader.join(STOP_DEADLINE_S)
        return status


def stop_all(services):
    """Stops each service still running, even after one failed to stop;
    [(exit status, log)] of those stopped. Raises the first failure to stop
    once all were tried."""
    stopped, failures = [], []
    for service in services:
        if service.process.returncode is None:
            try:
                stopped.append((service.stop(), service.log))
            except AssertionError as failure:
                failures.append(failure)
    if failures:
        raise failures[0]
    return stopped


def run_keys(where, *arguments, flag="--data", timeout=30):
    """`kolta-server keys ARGUMENTS... FLAG WHERE` (a data folder, or a
    database URL with flag="--db"), as a CompletedProcess."""
    return subprocess.run([server_binary(), "keys", *arguments, flag, str(where)],
                          capture_output=True, text=True, timeout=timeout)


def add_key(data_dir, models, *options):
    """A new key (the last line `keys add` prints)."""
    result = run_keys(data_dir, "add", "--models", models, *options)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()[-1]


def self_signed_certificate(folder):
    """(certificate, key, client context trusting it) made by `openssl req`."""
    certificate, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                    "-keyout", key, "-out", certificate, "-days", "2",
                    "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, capture_output=True, timeout=60)
    context = ssl.create_default_context(cafile=certificate)
    return certificate, key, context


def parse_response(data):
    """(status, headers, body bytes) of the first HTTP response in `data`;
    None when there is none."""
    head, separator, rest = data.partition(b"\r\n\r\n")
    if not separator:
        return None
    lines = head.decode("latin-1").split("\r\n")
    version, status = lines[0].split(" ")[:2]
    assert version in ("HTTP/1.0", "HTTP/1.1"), lines[0]
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", "0"))
    return int(status), headers, rest[:length]


def exchange(sock, data, timeout=10, half_close=False):
    """Sends `data` and reads until the service closes the connection (or the
    deadline passes: an AssertionError); returns every byte received."""
    sock.sendall(data)
    if half_close:
        sock.shutdown(socket.SHUT_WR)
    received = b""
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError(f"the service kept the connection open {timeout} s")
        sock.settimeout(left)
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            return received
        if not chunk:
            return received
        received += chunk
