"""A TCP proxy on loopback that tests put between the engine and kolta-server
to make the network misbehave: drop every connection, blackhole (accept and
read, never forward), add a delay each way, cap the bandwidth each way, or
move to another upstream port (a restarted service). Threads only; every
socket wait has a deadline, and `close` ends everything."""

import socket
import threading
import time

POLL_S = 0.05
CHUNK = 65536


class FaultProxy:
    def __init__(self, upstream_port: int) -> None:
        self.upstream_port = upstream_port
        self.blackhole = False
        self.delay_s = 0.0
        self.bytes_per_s: float | None = None
        self.bytes_forwarded = 0  # both ways, everything that reached the other side
        self._lock = threading.Lock()
        self._sockets: set[socket.socket] = set()
        self._closed = False
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(POLL_S)
        self.port = self._listener.getsockname()[1]
        self._threads = [threading.Thread(target=self._accept, daemon=True)]
        self._threads[0].start()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def drop_all(self) -> None:
        """Cuts every open connection (both sides see an error or an end)."""
        with self._lock:
            sockets, self._sockets = self._sockets, set()
        for sock in sockets:
            _shut(sock)

    def close(self) -> None:
        self._closed = True
        self.drop_all()
        for thread in self._threads:
            thread.join(5)
        self._listener.close()

    def _track(self, sock: socket.socket) -> None:
        with self._lock:
            self._sockets.add(sock)

    def _accept(self) -> None:
        while not self._closed:
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            self._track(client)
            thread = threading.Thread(target=self._serve, args=(client,), daemon=True)
            self._threads.append(thread)
            thread.start()

    def _serve(self, client: socket.socket) -> None:
        try:
            upstream = socket.create_connection(("127.0.0.1", self.upstream_port), timeout=2)
        except OSError:
            _shut(client)
            return
        self._track(upstream)
        pumps = [threading.Thread(target=self._pump, args=(a, b), daemon=True)
                 for a, b in ((client, upstream), (upstream, client))]
        for pump in pumps:
            pump.start()
        for pump in pumps:
            pump.join()

    def _pump(self, source: socket.socket, sink: socket.socket) -> None:
        """Forwards source to sink through a queue, so the delay holds each
        chunk back from when it was read without stopping the reading."""
        queue: list[tuple[float, bytes]] = []
        ready = threading.Condition()
        done = threading.Event()

        def write() -> None:
            while True:
                with ready:
                    while not queue and not done.is_set():
                        ready.wait(POLL_S)
                    if not queue:
                        _shut(sink)
                        return
                    due, data = queue.pop(0)
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                try:
                    sink.sendall(data)
                except OSError:
                    done.set()
                    continue
                with self._lock:
                    self.bytes_forwarded += len(data)
                rate = self.bytes_per_s
                if rate:
                    time.sleep(len(data) / rate)

        writer = threading.Thread(target=write, daemon=True)
        writer.start()
        source.settimeout(POLL_S)
        while not self._closed and not done.is_set():
            try:
                data = source.recv(CHUNK if not self.bytes_per_s else 1024)
            except socket.timeout:
                continue
            except OSError:
                break
            if not data:
                break
            if self.blackhole:
                continue
            with ready:
                queue.append((time.monotonic() + self.delay_s, data))
                ready.notify()
        done.set()
        writer.join(10)
        _shut(source)


def _shut(sock: socket.socket) -> None:
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    sock.close()
