"""A loopback package store for the tests: an HTTP (or HTTPS) server whose
answers are set per path, and that can misbehave on request.

    store = PackageStore()                      # or PackageStore(ssl_context=ctx, port=N)
    store.route("/pkg.exe", body=b"...")        # 200 with Content-Length
    store.route("/moved", status=302, location="http://elsewhere/x")
    store.route("/slow", body=b"x" * 100, drip=(1, 0.5))
    store.url("/pkg.exe")
    store.requests                              # what arrived, in order
    store.stop()

Scripts for interrupted downloads (see Route): byte ranges with ETag /
Last-Modified and If-Range, a reset every N body bytes, a stall at an offset,
a Range that is ignored, and an answer that is replaced after it was given
once (a 503 or a 429 once, a file that changes between attempts):

    store.route("/pkg.exe", body=data, ranges=True, etag='"v1"', reset_every=4 << 20)
    store.route("/entry", status=503, then=Route(status=302, location=...))
    store.log("/pkg.exe")      # [{"path", "range", "if_range", "status"}, ...]
"""

import fcntl
import http.server
import os
import socket
import ssl
import termios
import threading
import time


class Route:
    """One answer of the store.

    status          the HTTP status
    body            the body bytes (or file=PATH for a large body read from disk)
    headers         extra headers, a list of (name, value)
    content_length  send Content-Length (True), leave it out (False: the body
                    ends when the connection closes), or announce this number
    chunked         send the body with chunked transfer coding
    location        value of a Location header
    disposition     value of a Content-Disposition header
    break_after     send only this many body bytes, then drop the connection
                    with a reset (unread data at the client may be lost with it)
    break_graceful  with break_after: close the connection in order instead,
                    so that everything sent arrives
    drip            (bytes, seconds): send the body that many bytes at a time
    drip_after      with drip: the first this many bytes go out at once
    hang            read the request, then answer nothing until the store stops
    ranges          honour "Range: bytes=N-" (and N-M) with 206 and Content-Range,
                    416 past the end; an If-Range that matches neither the ETag
                    nor the Last-Modified sent gets the whole body with 200
    etag            value of an ETag header (quotes included)
    last_modified   value of a Last-Modified header
    ignore_range    with ranges: announce Accept-Ranges but always answer 200
    reset_every     after this many body bytes of one response, wait (a few
                    seconds at most) until the client has them, then reset
    stall           (offset, seconds): once, stop sending at this body offset
                    for that long, then go on
    then            a Route that replaces this one once it answered then_after
                    requests (a 503 once, a file changed between attempts)
    """

    def __init__(self, status=200, body=b"", headers=(), content_length=True, chunked=False,
                 location=None, disposition=None, break_after=None, drip=None, drip_after=0,
                 hang=False, file=None, break_graceful=False, ranges=False, etag=None,
                 last_modified=None, ignore_range=False, reset_every=None, stall=None,
                 then=None, then_after=1):
        self.status = status
        self.body = body
        self.headers = list(headers)
        self.content_length = content_length
        self.chunked = chunked
        self.location = location
        self.disposition = disposition
        self.break_after = break_after
        self.break_graceful = break_graceful
        self.drip = drip
        self.drip_after = drip_after
        self.hang = hang
        self.file = file
        self.ranges = ranges
        self.etag = etag
        self.last_modified = last_modified
        self.ignore_range = ignore_range
        self.reset_every = reset_every
        self.stall = stall
        self.stalled = False
        self.then = then
        self.then_after = then_after
        self.answered = 0

    def validators(self):
        return [v for v in (self.etag, self.last_modified) if v is not None]

    def byte_range(self, headers):
        """(start, end) of the body to send, end exclusive, or None for
        "416"."""
        size = self.length()
        value = _header(headers, "Range")
        if not self.ranges or self.ignore_range or value is None:
            return 0, size
        if_range = _header(headers, "If-Range")
        if if_range is not None and if_range not in self.validators():
            return 0, size
        first, _, last = value.strip().partition("=")[2].partition("-")
        if not value.strip().startswith("bytes=") or not first.strip().isdigit():
            return 0, size
        start = int(first)
        end = min(size, int(last) + 1) if last.strip().isdigit() else size
        if start >= size or start >= end:
            return None
        return start, end

    def length(self):
        return os.path.getsize(self.file) if self.file else len(self.body)

    def chunks(self, size, start=0, end=None):
        end = self.length() if end is None else end
        if self.file:
            with open(self.file, "rb") as f:
                f.seek(start)
                while start < end:
                    data = f.read(min(size, end - start))
                    if not data:
                        return
                    start += len(data)
                    yield data
        else:
            for offset in range(start, end, size):
                yield self.body[offset:min(end, offset + size)]


def _header(headers, name):
    return next((v for k, v in headers.items() if k.lower() == name.lower()), None)


class Request:
    def __init__(self, method, path, headers, body, target=None):
        self.method = method
        self.path = path
        self.headers = headers
        self.body = body
        self.target = target or path
        self.time = time.monotonic()
        self.status = None
        self.range = _header(headers, "Range")
        self.if_range = _header(headers, "If-Range")

    def __repr__(self):
        return f"Request({self.method} {self.path}, {len(self.body)} bytes)"


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self._answer()

    def do_POST(self):
        self._answer()

    def _read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        data = b""
        while len(data) < length:
            part = self.rfile.read(length - len(data))
            if not part:
                break
            data += part
        return data

    def _answer(self):
        store = self.server.store
        body = self._read_body()
        path = self.path
        # A server must take the absolute form too (some clients send it
        # inside a proxy tunnel).
        if "://" in path.split("?", 1)[0]:
            path = "/" + path.split("://", 1)[1].partition("/")[2]
        request = Request(self.command, path, dict(self.headers.items()), body, self.path)
        store._record(request)
        route = store._take(path)
        if route is None:
            route = Route(status=404, body=b"not here")
        if route.hang:
            store.stopping.wait(120)
            self.close_connection = True
            return

        status, span = route.status, None
        if route.ranges and status == 200:
            span = route.byte_range(request.headers)
            if span is None:
                status = 416
            elif span != (0, route.length()):
                status = 206
        request.status = status
        if status == 416:
            self.send_response(416)
            self.send_header("Content-Range", f"bytes */{route.length()}")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(status)
        if route.ranges:
            self.send_header("Accept-Ranges", "bytes")
        if route.etag is not None:
            self.send_header("ETag", route.etag)
        if route.last_modified is not None:
            self.send_header("Last-Modified", route.last_modified)
        if status == 206:
            self.send_header("Content-Range", f"bytes {span[0]}-{span[1] - 1}/{route.length()}")
        if route.location is not None:
            self.send_header("Location", route.location)
        if route.disposition is not None:
            self.send_header("Content-Disposition", route.disposition)
        for name, value in route.headers:
            self.send_header(name, value)
        close = False
        if route.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif route.content_length is True:
            self.send_header("Content-Length", str(span[1] - span[0] if span else route.length()))
        elif route.content_length is False:
            close = True
        else:
            self.send_header("Content-Length", str(route.content_length))
        if close or route.break_after is not None or route.reset_every or route.stall:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()

        try:
            if span is not None or route.reset_every or route.stall:
                self._send_span(route, *(span or (0, route.length())))
            else:
                self._send_body(route)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            self.close_connection = True

    def _send_body(self, route):
        size = 256 * 1024
        sent = 0
        if route.drip:
            first = route.body[:route.drip_after] if not route.file else b""
            pieces = [first] if first else []
            rest = route.body[len(first):]
            pieces += [rest[i:i + route.drip[0]] for i in range(0, len(rest), route.drip[0])]
        else:
            pieces = route.chunks(size)
        for data in pieces:
            if route.break_after is not None and sent + len(data) > route.break_after:
                data = data[:route.break_after - sent]
                self._write(data, route.chunked)
                self.wfile.flush()
                self._break(route)
                return
            self._write(data, route.chunked)
            sent += len(data)
            if route.drip and sent > route.drip_after:
                self.wfile.flush()
                if self.server.store.stopping.wait(route.drip[1]):
                    self._drop()
                    return
        if route.break_after is not None:
            self.wfile.flush()
            self._break(route)
            return
        if route.chunked:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def _send_span(self, route, start, end):
        """The body from start to end, with the reset and stall scripts."""
        sent = 0
        offset = start
        stall_at = route.stall[0] if route.stall and not route.stalled else None
        while offset < end:
            limit = end
            if route.reset_every:
                limit = min(limit, offset + route.reset_every - sent)
            if stall_at is not None and offset <= stall_at < limit:
                limit = stall_at
            for data in route.chunks(256 * 1024, offset, limit):
                self._write(data, route.chunked)
                offset += len(data)
                sent += len(data)
            self.wfile.flush()
            if offset == stall_at and not route.stalled:
                route.stalled = True
                stall_at = None
                if self.server.store.stopping.wait(route.stall[1]):
                    self._drop()
                    return
            if route.reset_every and sent >= route.reset_every and offset < end:
                self._drain()
                self._reset()
                return
        if route.chunked:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def _drain(self, limit_s=5.0):
        """Waits (bounded) until the client acknowledged what was sent, so
        that a reset drops nothing the server counted as sent."""
        deadline = time.monotonic() + limit_s
        buffer = bytearray(4)
        while time.monotonic() < deadline:
            try:
                fcntl.ioctl(self.connection.fileno(), termios.TIOCOUTQ, buffer)
            except OSError:
                return
            if int.from_bytes(buffer, "little") == 0:
                return
            time.sleep(0.01)

    def _reset(self):
        """Ends the connection with a reset (SO_LINGER 0 and no FIN before)."""
        self._drop()
        self.server.resetting.add(self.connection)

    def _write(self, data, chunked):
        if not data:
            return
        if chunked:
            self.wfile.write(b"%x\r\n" % len(data) + data + b"\r\n")
        else:
            self.wfile.write(data)

    def _break(self, route):
        if route.break_graceful:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        else:
            self._drop()

    def _drop(self):
        """Ends the connection at once, without a proper shutdown."""
        self.close_connection = True
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        except OSError:
            pass


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, store, ssl_context, port, host="127.0.0.1"):
        self.store = store
        self.ssl_context = ssl_context
        # Connections to end with a bare reset: no shutdown (FIN) first.
        self.resetting = set()
        super().__init__((host, port), _Handler)

    def shutdown_request(self, request):
        if request in self.resetting:
            self.resetting.discard(request)
            self.close_request(request)
        else:
            super().shutdown_request(request)

    def handle_error(self, request, client_address):
        # A client that goes away mid-request is part of the tests.
        pass

    def finish_request(self, request, client_address):
        if self.ssl_context is not None:
            try:
                request.settimeout(30)
                request = self.ssl_context.wrap_socket(request, server_side=True)
                request.settimeout(None)
            except (ssl.SSLError, OSError):
                return
        self.RequestHandlerClass(request, client_address, self)
        if self.ssl_context is not None:
            # The wrapped socket is the one to close (for a reset: bare, with
            # its linger set).
            self.resetting.discard(request)
            request.close()


class PackageStore:
    # port: a fixed port (where the launcher's build names the service), or 0
    # for any free one. host: the address to listen on (a test bed's own).
    def __init__(self, ssl_context=None, port=0, host="127.0.0.1"):
        self.routes = {}
        self.requests = []
        self._lock = threading.Lock()
        self.stopping = threading.Event()
        self.scheme = "https" if ssl_context is not None else "http"
        self.host = host
        self._server = _Server(self, ssl_context, port, host)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def route(self, path, **kwargs):
        self.routes[path] = Route(**kwargs)
        return self.url(path)

    def url(self, path, host=None):
        """The address of a path; host may be "localhost" where a test needs
        the store's host name to differ from a proxy's."""
        return f"{self.scheme}://{host or self.host}:{self.port}{path}"

    def _record(self, request):
        with self._lock:
            self.requests.append(request)

    def _take(self, path):
        """The route that answers path; a route with a successor hands over
        once it answered often enough."""
        with self._lock:
            key = path.split("?", 1)[0] if path.split("?", 1)[0] in self.routes else path
            route = self.routes.get(key)
            if route is not None:
                route.answered += 1
                if route.then is not None and route.answered >= route.then_after:
                    self.routes[key] = route.then
            return route

    def log(self, path=None):
        """Path, Range, If-Range and status of each request, in order."""
        with self._lock:
            return [{"path": r.path, "range": r.range, "if_range": r.if_range, "status": r.status}
                    for r in self.requests if path is None or r.path.split("?", 1)[0] == path]

    def requests_for(self, path):
        with self._lock:
            return [r for r in self.requests if r.path.split("?", 1)[0] == path]

    def reset(self):
        with self._lock:
            self.routes.clear()
            self.requests.clear()

    def stop(self):
        self.stopping.set()
        self._server.shutdown()
        self._server.server_close()
