"""A raw-socket HTTP server on 127.0.0.1 that misbehaves on purpose.

Every connection is read up to the end of its request and then handed to a
behaviour, a function of (server, connection, request). Behaviours are chosen
by the request path's prefix. Nothing here runs unbounded: the accept loop
ends when the server is closed or its lifetime is over, and every wait is a
wait on the server's stop event, so closing the server ends them all at once.
"""

import socket
import struct
import threading
import time


class Request:
    def __init__(self, head, body):
        self.head = head
        self.body = body
        line = head.split(b"\r\n", 1)[0].decode("latin-1")
        self.method, self.target, _ = (line.split(" ") + ["", ""])[:3]


class RawServer:
    def __init__(self, routes, lifetime=15.0):
        """`routes` maps a path prefix to a behaviour; the longest prefix wins."""
        self.routes = routes
        self.lifetime = lifetime
        self.requests = []
        self._stop = threading.Event()
        self._threads = []
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(32)
        self._sock.settimeout(0.05)
        self.port = self._sock.getsockname()[1]
        self.origin = f"http://127.0.0.1:{self.port}"

    def __enter__(self):
        self._deadline = time.monotonic() + self.lifetime
        accept = threading.Thread(target=self._accept, name="rawserver-accept", daemon=True)
        accept.start()
        self._threads.append(accept)
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._stop.set()
        for t in list(self._threads):
            t.join(timeout=2.0)
        self._sock.close()

    def alive_threads(self):
        return [t for t in self._threads if t.is_alive()]

    def wait(self, seconds):
        """Sleeps `seconds`, or less if the server is closing; True when it is."""
        return self._stop.wait(seconds)

    # ---- internals ---------------------------------------------------------

    def _accept(self):
        while not self._stop.is_set() and time.monotonic() < self._deadline:
            try:
                conn, _ = self._sock.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            t = threading.Thread(
                target=self._serve, args=(conn,), name="rawserver-conn", daemon=True
            )
            self._threads.append(t)
            t.start()

    def _serve(self, conn):
        try:
            conn.settimeout(0.1)
            request = self._read_request(conn)
            if request is None:
                return
            self.requests.append(request)
            behaviour = self._route(request.target)
            behaviour(self, conn, request)
        except OSError:
            pass  # the client gave up; that is what several behaviours are for
        finally:
            conn.close()

    def _route(self, target):
        path = target.split("?", 1)[0]
        best = max((p for p in self.routes if path.startswith(p)), key=len, default=None)
        if best is None:
            return not_found
        return self.routes[best]

    def _read_request(self, conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self._recv(conn)
            if chunk is None:
                return None
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        while len(body) < length:
            chunk = self._recv(conn)
            if chunk is None:
                return None
            body += chunk
        return Request(head, body)

    def _recv(self, conn):
        while not self._stop.is_set():
            try:
                chunk = conn.recv(65536)
            except TimeoutError:
                continue
            return chunk or None
        return None


# ---- behaviours ------------------------------------------------------------


def response(status, body=b"", headers=()):
    head = [f"HTTP/1.1 {status}", f"Content-Length: {len(body)}", "Connection: close", *headers]
    return ("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + body


def not_found(server, conn, request):
    conn.sendall(response("404 Not Found"))


def json_answer(text):
    """A well-formed JSON answer with status 200."""

    def behaviour(server, conn, request):
        conn.sendall(response("200 OK", text.encode(), ["Content-Type: application/json"]))

    return behaviour


def silence(server, conn, request):
    """Accepts and reads the request, then never answers."""
    server.wait(server.lifetime)


def trickle(data, interval):
    """Sends `data` one byte per `interval` seconds."""

    def behaviour(server, conn, request):
        for i in range(len(data)):
            conn.sendall(data[i : i + 1])
            if server.wait(interval):
                return

    return behaviour


def trickled_head(server, conn, request):
    trickle(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", 1.0)(server, conn, request)


def trickled_body(server, conn, request):
    """Complete headers at once, then the body slower than any read timeout."""
    body = b'{"success": true, "id": 1, "progress_url": "x"}'
    conn.sendall(
        f"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: {len(body)}\r\n\r\n".encode()
    )
    trickle(body, 1.0)(server, conn, request)


def html_page(server, conn, request):
    body = b"<!DOCTYPE html><html><head><title>Just a moment...</title></head><body></body></html>"
    conn.sendall(response("200 OK", body, ["Content-Type: text/html; charset=utf-8"]))


def truncated_chunked(server, conn, request):
    """Announces a chunk of 0x64 bytes, sends 16 of them and closes."""
    conn.sendall(
        b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
        b"64\r\n" + b'{"success": true'
    )


def redirect_loop(server, conn, request):
    conn.sendall(response("302 Found", headers=[f"Location: {request.target}"]))


def reset(server, conn, request):
    """Reads the request, then resets the connection (RST, not FIN)."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
