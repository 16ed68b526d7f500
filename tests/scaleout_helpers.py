"""What the tests of several kolta-server instances run beside them: a
PostgreSQL server in a temporary folder and HAProxy in front of the
instances, both on loopback, each wait with a deadline, each stopped by its
fixture's finaliser."""

from __future__ import annotations

import glob
import os
import pwd
import secrets
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Sequence

START_DEADLINE_S = 60
STEP_DEADLINE_S = 60
DB_USER = "kolta"


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port: int = sock.getsockname()[1]
        return port


def postgres_binary(name: str) -> str | None:
    """The path of a PostgreSQL server program (Debian keeps them off the
    PATH, under /usr/lib/postgresql/<version>/bin), or None."""
    found = shutil.which(name)
    if found:
        return found
    candidates = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"))
    return candidates[-1] if candidates else None


def _program(name: str) -> str:
    found = postgres_binary(name)
    if found is None:
        raise AssertionError(f"{name} not found (Debian package postgresql)")
    return found


def missing_programs() -> str | None:
    """Why the tests with PostgreSQL cannot run here, or None."""
    missing = [name for name in ("initdb", "pg_ctl", "psql", "createdb")
               if postgres_binary(name) is None]
    if missing:
        return f"{', '.join(missing)} not found (Debian package postgresql)"
    if os.geteuid() == 0:
        try:
            pwd.getpwnam("postgres")
        except KeyError:
            return "running as root and there is no user 'postgres' to run PostgreSQL as"
        if shutil.which("runuser") is None:
            return "running as root and runuser is missing"
    return None


class PostgresCluster:
    """initdb and pg_ctl in a fresh folder; the server listens on a free
    loopback port and on a unix socket in that folder, trusting local
    connections (nothing but this machine's loopback reaches it). As root it
    runs as the user `postgres`, which PostgreSQL requires."""

    def __init__(self) -> None:
        self.port = free_port()
        self.folder = tempfile.mkdtemp(prefix="kolta-pg-", dir="/tmp")
        self.data = os.path.join(self.folder, "data")
        self.log_file = os.path.join(self.folder, "server.log")
        self._as_user: list[str] = []
        try:
            if os.geteuid() == 0:
                entry = pwd.getpwnam("postgres")
                os.chown(self.folder, entry.pw_uid, entry.pw_gid)
                self._as_user = ["runuser", "-u", "postgres", "--"]
            os.chmod(self.folder, 0o700 if not self._as_user else 0o755)
            self._run("initdb", "-D", self.data, "-U", DB_USER, "--auth=trust", "-E",
                      "UTF8", "--no-sync", "--no-instructions")
            self.start()
        except BaseException:
            self.destroy()  # nobody holds this object yet to do it
            raise

    def _run(self, program: str, *arguments: str, timeout: float = STEP_DEADLINE_S) -> str:
        command = [*self._as_user, _program(program), *arguments]
        result = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                                cwd=self.folder)
        if result.returncode != 0:
            raise AssertionError(f"{program} failed ({result.returncode}): "
                                 f"{result.stdout}{result.stderr}{self.server_log()}")
        return result.stdout

    def server_log(self) -> str:
        try:
            with open(self.log_file) as log:
                return log.read()[-4000:]
        except OSError:
            return ""

    def start(self) -> None:
        options = (f"-c listen_addresses=127.0.0.1 -p {self.port} -k {self.folder} "
                   "-c fsync=off -c max_connections=50")
        self._run("pg_ctl", "-D", self.data, "-l", self.log_file, "-o", options,
                  "-w", "-t", str(START_DEADLINE_S), "start")

    def stop(self, mode: str = "fast") -> None:
        self._run("pg_ctl", "-D", self.data, "-m", mode, "-w", "-t", str(STEP_DEADLINE_S),
                  "stop")

    def running(self) -> bool:
        command = [*self._as_user, _program("pg_ctl"), "-D", self.data, "status"]
        return subprocess.run(command, capture_output=True, timeout=STEP_DEADLINE_S,
                              cwd=self.folder).returncode == 0

    def create_database(self) -> str:
        name = "kolta_" + secrets.token_hex(4)
        self._run("createdb", "-h", "127.0.0.1", "-p", str(self.port), "-U", DB_USER, name)
        return name

    def url(self, database: str) -> str:
        """Over TCP on loopback."""
        return f"postgresql://{DB_USER}@127.0.0.1:{self.port}/{database}"

    def socket_url(self, database: str) -> str:
        """Over the unix socket in the cluster's folder."""
        return f"postgresql://{DB_USER}@/{database}?host={self.folder}&port={self.port}"

    def query(self, database: str, sql: str) -> list[str]:
        """psql's unaligned rows of one query, one string per row."""
        out = self._run("psql", "-h", "127.0.0.1", "-p", str(self.port), "-U", DB_USER,
                        "-d", database, "-Atc", sql)
        return out.splitlines()

    def destroy(self) -> None:
        try:
            if self.running():
                self.stop("immediate")
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)


# Health checks quick enough for the tests not to wait on them.
QUICK_CHECKS = "inter 200ms fall 1 rise 1"
HAPROXY_CONFIG = """\
global
    maxconn {maxconn}

defaults
    mode http
    timeout connect 2s
    timeout client 30s
    timeout server 30s
    timeout tunnel 1h
    option redispatch
    retries 3
    retry-on conn-failure empty-response 503

frontend kolta
    bind 127.0.0.1:{port}
    default_backend kolta_instances

backend kolta_instances
    balance leastconn
    option httpchk GET /v1/health
    http-check expect status 200
    default-server {checks}
    http-response set-header X-Kolta-Instance %s
{servers}
"""


class HaproxyProcess:
    """HAProxy in the foreground on a free loopback port, in front of the
    given (name, port) instances, checking each one's health endpoint as
    `checks` say; `maxconn` connections at most at a time."""

    def __init__(self, folder: str, instances: Sequence[tuple[str, int]],
                 maxconn: int = 256, checks: str = QUICK_CHECKS) -> None:
        self.port = free_port()
        self.config = os.path.join(folder, "haproxy.cfg")
        servers = "\n".join(f"    server {name} 127.0.0.1:{port} check"
                            for name, port in instances)
        with open(self.config, "w") as out:
            out.write(HAPROXY_CONFIG.format(port=self.port, servers=servers,
                                            maxconn=maxconn, checks=checks))
        self.log_file = open(os.path.join(folder, "haproxy.log"), "w+")
        try:
            self.process = subprocess.Popen(["haproxy", "-f", self.config, "-db"],
                                            stdin=subprocess.DEVNULL, stdout=self.log_file,
                                            stderr=subprocess.STDOUT)
        except BaseException:
            self.log_file.close()
            raise
        try:
            self.wait_until(lambda: len(self.instances_answering()) == len(instances),
                            "every instance up behind HAProxy")
        except BaseException:
            self.stop()  # nobody holds this object yet to do it
            raise

    def wait_until(self, condition: Callable[[], bool], what: str,
                   timeout: float = START_DEADLINE_S) -> None:
        deadline = time.monotonic() + timeout
        while not condition():
            if self.process.poll() is not None:
                raise AssertionError(f"haproxy ended ({self.process.returncode}): "
                                     f"{self.log()}")
            if time.monotonic() > deadline:
                raise AssertionError(f"not {what} within {timeout} s: {self.log()}")
            time.sleep(0.05)

    def health(self) -> tuple[int | None, str | None]:
        """(status, the instance that answered) of GET /v1/health through it."""
        request = urllib.request.Request(f"http://127.0.0.1:{self.port}/v1/health")
        try:
            with urllib.request.urlopen(request, timeout=5) as answer:
                return answer.status, answer.headers.get("X-Kolta-Instance")
        except urllib.error.HTTPError as error:
            return error.code, error.headers.get("X-Kolta-Instance")
        except OSError:
            return None, None

    def instances_answering(self, tries: int = 8) -> set[str | None]:
        seen = set()
        for _ in range(tries):
            status, instance = self.health()
            if status == 200:
                seen.add(instance)
        return seen

    def log(self) -> str:
        self.log_file.seek(0)
        return self.log_file.read()[-4000:]

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(STEP_DEADLINE_S)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(STEP_DEADLINE_S)
        self.log_file.close()
