"""A loopback package store for the tests: an HTTP (or HTTPS) server whose
answers are set per path, and that can misbehave on request.

    store = PackageStore()                      # or PackageStore(ssl_context=ctx, port=N)
    store.route("/pkg.exe", body=b"...")        # 200 with Content-Length
    store.route("/moved", status=302, location="http://elsewhere/x")
    store.route("/slow", body=b"x" * 100, drip=(1, 0.5))
    store.url("/pkg.exe")
    store.requests                              # what arrived, in order
    store.stop()
"""

import http.server
import os
import socket
import ssl
import threading


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
    """

    def __init__(self, status=200, body=b"", headers=(), content_length=True, chunked=False,
                 location=None, disposition=None, break_after=None, drip=None, drip_after=0,
                 hang=False, file=None, break_graceful=False):
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

    def length(self):
        return os.path.getsize(self.file) if self.file else len(self.body)

    def chunks(self, size):
        if self.file:
            with open(self.file, "rb") as f:
                while True:
                    data = f.read(size)
                    if not data:
                        return
                    yield data
        else:
            for start in range(0, len(self.body), size):
                yield self.body[start:start + size]


class Request:
    def __init__(self, method, path, headers, body, target=None):
        self.method = method
        self.path = path
        self.headers = headers
        self.body = body
        self.target = target or path

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
        store._record(Request(self.command, path, dict(self.headers.items()), body, self.path))
        route = store.routes.get(path.split("?", 1)[0]) or store.routes.get(path)
        if route is None:
            route = Route(status=404, body=b"not here")
        if route.hang:
            store.stopping.wait(120)
            self.close_connection = True
            return

        self.send_response(route.status)
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
            self.send_header("Content-Length", str(route.length()))
        elif route.content_length is False:
            close = True
        else:
            self.send_header("Content-Length", str(route.content_length))
        if close or route.break_after is not None:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()

        try:
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

    def __init__(self, store, ssl_context, port):
        self.store = store
        self.ssl_context = ssl_context
        super().__init__(("127.0.0.1", port), _Handler)

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


class PackageStore:
    # port: a fixed port (where the launcher's build names the service), or 0
    # for any free one.
    def __init__(self, ssl_context=None, port=0):
        self.routes = {}
        self.requests = []
        self._lock = threading.Lock()
        self.stopping = threading.Event()
        self.scheme = "https" if ssl_context is not None else "http"
        self._server = _Server(self, ssl_context, port)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def route(self, path, **kwargs):
        self.routes[path] = Route(**kwargs)
        return self.url(path)

    def url(self, path, host="127.0.0.1"):
        """The address of a path; host may be "localhost" where a test needs
        the store's host name to differ from a proxy's."""
        return f"{self.scheme}://{host}:{self.port}{path}"

    def _record(self, request):
        with self._lock:
            self.requests.append(request)

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
