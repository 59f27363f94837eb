"""A loopback analytics collector for the tests: records every request's
request line, headers in the order received, and the times the request
started and was answered, and answers with the status a test chooses. It can
also stand for a dead collector: one that accepts connections and never
answers, one that refuses them, one that answers 500 to everything, or one
that sends its headers and then stalls the body. Listens on 127.0.0.1 only."""

import http.server
import socket
import threading
import time


class Hit:
    def __init__(self, request_line, method, path, headers, start):
        self.request_line = request_line
        self.method = method
        self.path = path
        self.headers = headers  # list of (name, value), in arrival order
        self.start = start      # time.monotonic() when the request had been read
        self.end = None         # time.monotonic() when the answer was begun

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def __repr__(self):
        return f"Hit({self.request_line!r}, start={self.start:.3f}, end={self.end})"


# The modes of a collector; see Collector.
MODES = ("answer", "hang", "refuse", "error", "stall")


class Collector:
    """Use as a context manager. status: the answer's status; body: its body;
    delay: seconds to wait before answering; silent: accept and never answer;
    send_date: whether the answer carries a Date header; port: a fixed port
    (the launcher's build names its collector), or 0 for any free one.

    mode: "answer" (the default: as the settings say), "hang" (accept, read
    the request and never answer, like silent), "refuse" (hold the port
    without listening, so every connection is refused and no hit is
    recorded), "error" (answer 500), "stall" (send the status line and the
    headers of a body that never comes)."""

    def __init__(self, status=200, body=b"", delay=0.0, silent=False, send_date=True, port=0,
                 mode="answer"):
        if mode not in MODES:
            raise ValueError(f"unknown collector mode {mode!r}")
        self.mode = mode
        self.status = 500 if mode == "error" else status
        self.body = body
        self.delay = delay
        self.silent = silent or mode == "hang"
        self.send_date = send_date
        self.hits = []
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._stopping = threading.Event()
        self._server = None
        self._refusing = None
        if mode == "refuse":
            # Bound but not listening: connections are refused at once, and no
            # other program can take the port meanwhile.
            self._refusing = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            # A fixed port may still hold the last server's closed connections.
            self._refusing.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self._refusing.bind(("127.0.0.1", port))
        else:
            self._server = http.server.ThreadingHTTPServer(("127.0.0.1", port),
                                                           self._handler_class())
            self._server.daemon_threads = True
        self._thread = None

    @property
    def port(self):
        if self._refusing is not None:
            return self._refusing.getsockname()[1]
        return self._server.server_address[1]

    @property
    def host(self):
        return f"127.0.0.1:{self.port}"

    def __enter__(self):
        if self._server is not None:
            self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stopping.set()
        if self._refusing is not None:
            self._refusing.close()
            return
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def snapshot(self):
        with self._lock:
            return list(self.hits)

    def clear(self):
        """Forgets the hits so far."""
        with self._lock:
            self.hits.clear()

    def wait_for(self, count, timeout=30):
        """Waits until `count` requests have been answered (or, when silent,
        received); returns the hits."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                done = [h for h in self.hits if self.silent or h.end is not None]
                if len(done) >= count:
                    return list(self.hits)
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"{len(done)} of {count} hits after {timeout} s: {self.hits}")
                self._changed.wait(left)

    def _record(self, handler):
        hit = Hit(handler.requestline, handler.command, handler.path,
                  list(handler.headers.items()), time.monotonic())
        with self._changed:
            self.hits.append(hit)
            self._changed.notify_all()
        return hit

    def _answered(self, hit):
        with self._changed:
            hit.end = time.monotonic()
            self._changed.notify_all()

    def _handler_class(self):
        collector = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def log_message(self, *args):
                pass

            def _serve(self):
                # Read the whole request first: closing a socket with unread
                # data resets the connection, and the client may lose the answer.
                length = int(self.headers.get("Content-Length") or 0)
                while length > 0:
                    data = self.rfile.read(min(length, 65536))
                    if not data:
                        break
                    length -= len(data)
                hit = collector._record(self)
                if collector.silent:
                    collector._stopping.wait()
                    return
                if collector.mode == "stall":
                    self.send_response_only(200)
                    self.send_header("Content-Length", "1000")
                    self.end_headers()
                    self.wfile.flush()
                    collector._answered(hit)
                    collector._stopping.wait()
                    return
                if collector.delay:
                    time.sleep(collector.delay)
                collector._answered(hit)
                if collector.send_date:
                    self.send_response(collector.status)
                else:
                    self.send_response_only(collector.status)
                    self.send_header("Server", "collector")
                self.send_header("Content-Length", str(len(collector.body)))
                self.end_headers()
                if collector.body and self.command != "HEAD":
                    self.wfile.write(collector.body)

            do_GET = do_POST = do_HEAD = do_PUT = _serve

        return Handler


def unused_port():
    """A loopback port with nothing listening on it: connections are refused."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
