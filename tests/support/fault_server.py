"""A scripted loopback server for the fault tests: HTTP, or HTTPS with a
certificate that can be swapped while it runs, on 127.0.0.1 only. Each
request is answered by a script: an Answer chosen by a key taken from the
request (its path, or one query value), that sets the status line, raw header
bytes and the body, and how the answer misbehaves: cut off after some bytes,
stalled, dripped, held until the test opens a gate, or never sent at all.

    server = FaultServer(port, tls=ca.server_context())
    server.answer("/case/setup.exe", Answer(body=data, cut_after=1000))
    server.answer_prefix("/case/", lambda request: Answer(...))
    server.requests_where(lambda r: r.path.startswith("/case/"))
    server.stop()

Every wait inside the server is bounded and ends at once when it stops.
"""

import os
import socket
import socketserver
import ssl
import subprocess
import threading
import time
import urllib.parse

# Longest time a held answer (stall, hang, gate) keeps its connection.
HOLD_LIMIT_S = 600
_MAX_REQUEST_HEAD = 64 * 1024


class Answer:
    """One scripted answer.

    status       the status code of the status line
    reason       its reason phrase (default: "Scripted")
    headers      (name, value) pairs, written as given; a str value is sent
                 as UTF-8 bytes, a bytes value unchanged (hostile values)
    body         the body bytes
    length       True: Content-Length of the body; False: none (the body ends
                 when the connection closes); a number: announce that many
    cut_after    send only this many body bytes, then drop the connection
    reset        with cut_after: end with a reset (True) or an orderly close
    stall_after  send this many body bytes, then nothing more while the
                 connection stays open
    drip         (bytes, seconds): send the body in pieces with pauses
    hang         read the request, then send nothing at all
    gate         a threading.Event the answer waits for before it is sent
    """

    def __init__(self, status=200, body=b"", headers=(), reason=None, length=True,
                 cut_after=None, reset=True, stall_after=None, drip=None, hang=False, gate=None):
        self.status = status
        self.reason = reason or "Scripted"
        self.headers = list(headers)
        self.body = body
        self.length = length
        self.cut_after = cut_after
        self.reset = reset
        self.stall_after = stall_after
        self.drip = drip
        self.hang = hang
        self.gate = gate

    def head(self):
        lines = [f"HTTP/1.1 {self.status} {self.reason}".encode("ascii")]
        for name, value in self.headers:
            raw = value if isinstance(value, bytes) else str(value).encode("utf-8")
            lines.append(name.encode("ascii") + b": " + raw)
        if self.length is True:
            lines.append(b"Content-Length: %d" % len(self.body))
        elif self.length is not False:
            lines.append(b"Content-Length: %d" % int(self.length))
        lines.append(b"Connection: close")
        return b"\r\n".join(lines) + b"\r\n\r\n"


class Request:
    def __init__(self, method, target, headers, started):
        self.method = method
        self.target = target
        split = urllib.parse.urlsplit(target)
        self.path = split.path
        self.query = {k: v[0] for k, v in
                      urllib.parse.parse_qs(split.query, keep_blank_values=True).items()}
        self.headers = headers
        self.started = started
        self.sent = 0         # body bytes sent so far
        self.answered = None  # time.monotonic() once the whole answer went out

    def __repr__(self):
        return f"Request({self.method} {self.target[:120]})"


def by_path(request):
    return request.path


def by_query(name):
    """A key function: the value of one query parameter."""
    return lambda request: request.query.get(name)


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        server = self.server.owner
        sock = self.request
        sock.settimeout(30)
        tls = server.tls
        if tls is not None:
            try:
                sock = tls.wrap_socket(sock, server_side=True)
            except (ssl.SSLError, OSError):
                server._count_refused()
                return
        server._track(sock, True)
        try:
            request = self._read_request(sock)
            if request is None:
                # A client that refuses the certificate after the handshake
                # leaves without a request.
                if tls is not None:
                    server._count_refused()
                return
            server._record(request)
            answer = server._answer_for(request)
            self._send(server, sock, request, answer)
        except (OSError, ssl.SSLError):
            pass
        finally:
            server._track(sock, False)
            try:
                sock.close()
            except OSError:
                pass

    @staticmethod
    def _read_request(sock):
        data = b""
        while b"\r\n\r\n" not in data:
            part = sock.recv(4096)
            if not part:
                return None
            data += part
            if len(data) > _MAX_REQUEST_HEAD:
                return None
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        # The target sits between the method and the version, blanks and all.
        method, _, rest = lines[0].partition(" ")
        target, _, version = rest.rpartition(" ")
        if not method or not target or not version.startswith("HTTP/"):
            return None
        headers = []
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers.append((name.strip(), value.strip()))
        length = 0
        for name, value in headers:
            if name.lower() == "content-length" and value.isdigit():
                length = int(value)
        # Read the whole request: closing with unread bytes would reset the
        # connection and the client could lose the answer.
        while len(rest) < length:
            part = sock.recv(65536)
            if not part:
                break
            rest += part
        return Request(method, target, headers, time.monotonic())

    @staticmethod
    def _drop(sock, reset):
        """Ends the connection early: with a reset, or with an orderly close
        of the TCP stream (over TLS without a close_notify either way)."""
        try:
            if reset:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            else:
                sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def _send(self, server, sock, request, answer):
        if answer.gate is not None and not server._hold(answer.gate):
            return
        if answer.hang:
            server._hold(None)
            return
        sock.sendall(answer.head())
        body = answer.body
        limit = len(body)
        if answer.cut_after is not None:
            limit = min(limit, answer.cut_after)
        if answer.stall_after is not None:
            limit = min(limit, answer.stall_after)
        step, pause = answer.drip if answer.drip else (max(limit, 1), 0)
        sent = 0
        while sent < limit:
            piece = body[sent:min(limit, sent + step)]
            sock.sendall(piece)
            sent += len(piece)
            request.sent = sent
            server._changed()
            if pause and sent < limit and server.stopping.wait(pause):
                self._drop(sock, True)
                return
        if answer.stall_after is not None:
            server._hold(None)
            self._drop(sock, True)
            return
        if answer.cut_after is not None and answer.cut_after < len(body):
            self._drop(sock, answer.reset)
            return
        request.answered = time.monotonic()
        server._changed()


class _TcpServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    block_on_close = False

    def __init__(self, owner, port):
        self.owner = owner
        super().__init__(("127.0.0.1", port), _Handler)

    def handle_error(self, request, client_address):
        # Clients that give up half-way are what these tests are about.
        pass


class FaultServer:
    """tls: an ssl.SSLContext (HTTPS) or None (HTTP); it may be replaced at
    any time and counts from the next connection. key: the function that
    picks the key an answer is registered under (by_path by default)."""

    def __init__(self, port, tls=None, key=by_path):
        self.tls = tls
        self.key = key
        self.default = Answer(404, body=b"not here")
        # TLS connections that ended before a request: the handshake failed,
        # or the client left after it.
        self.refused = 0
        self.stopping = threading.Event()
        self._answers = {}
        self._prefixes = []
        self._requests = []
        self._open = set()
        self._lock = threading.Condition()
        self._server = _TcpServer(self, port)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.1,), daemon=True)
        self._thread.start()

    # -- the script ----------------------------------------------------------

    def answer(self, key, answer):
        """Answers requests with this key; answer is an Answer or a function
        of the Request that returns one."""
        with self._lock:
            self._answers[key] = answer

    def answer_prefix(self, prefix, answer):
        """Answers requests whose key starts with prefix (the longest
        registered prefix wins over shorter ones; exact keys win over all).
        Registering a prefix again replaces its answer."""
        with self._lock:
            self._prefixes = [(p, a) for p, a in self._prefixes if p != prefix]
            self._prefixes.append((prefix, answer))
            self._prefixes.sort(key=lambda item: -len(item[0]))

    def _answer_for(self, request):
        key = self.key(request)
        with self._lock:
            chosen = self._answers.get(key)
            if chosen is None and key is not None:
                chosen = next((a for p, a in self._prefixes if key.startswith(p)), None)
        if chosen is None:
            return self.default
        return chosen(request) if callable(chosen) else chosen

    # -- what arrived ------------------------------------------------------

    def requests(self):
        with self._lock:
            return list(self._requests)

    def requests_where(self, predicate):
        return [r for r in self.requests() if predicate(r)]

    def wait_for(self, predicate, timeout):
        """Waits until a recorded request meets predicate; returns it, or None
        after timeout seconds."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                found = next((r for r in self._requests if predicate(r)), None)
                left = deadline - time.monotonic()
                if found is not None or left <= 0:
                    return found
                self._lock.wait(left)

    def _record(self, request):
        with self._lock:
            self._requests.append(request)
            self._lock.notify_all()

    def _changed(self):
        with self._lock:
            self._lock.notify_all()

    def _count_refused(self):
        with self._lock:
            self.refused += 1
            self._lock.notify_all()

    def _track(self, sock, opened):
        with self._lock:
            if opened:
                self._open.add(sock)
            else:
                self._open.discard(sock)

    def _hold(self, gate):
        """Waits for the gate (or, without one, until the server stops);
        True when the gate opened."""
        deadline = time.monotonic() + HOLD_LIMIT_S
        while not self.stopping.is_set() and time.monotonic() < deadline:
            if gate is not None and gate.wait(0.05):
                return True
            if gate is None:
                self.stopping.wait(0.5)
        return False

    def stop(self):
        self.stopping.set()
        self._server.shutdown()
        self._server.server_close()
        with self._lock:
            held = list(self._open)
        for sock in held:
            try:
                sock.close()
            except OSError:
                pass
        self._thread.join(5)


# -- certificates a client must refuse ---------------------------------------

def _openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


def refused_certificate(directory, kind, ca):
    """An SSLContext for a loopback server whose certificate a client must
    refuse. kind: "self-signed" (for 127.0.0.1, issued by nobody the client
    trusts), "wrong-name" (by the trusted ca, for another host), or "expired"
    (by the trusted ca, for 127.0.0.1, valid only in 2020). ca: a TestCA."""
    os.makedirs(directory, exist_ok=True)
    key = os.path.join(directory, "server.key")
    cert = os.path.join(directory, "server.pem")
    host = "wrong-name.invalid" if kind == "wrong-name" else "127.0.0.1"
    ext = os.path.join(directory, "server.ext")
    with open(ext, "w", encoding="ascii") as f:
        f.write("basicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n")
        f.write(f"subjectAltName=DNS:{host}\n" if kind == "wrong-name"
                else "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\n")
    if kind == "self-signed":
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", key,
                 "-out", cert, "-days", "30", "-subj", f"/CN={host}", "-addext",
                 "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1")
    else:
        csr = os.path.join(directory, "server.csr")
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", key, "-out", csr,
                 "-subj", f"/CN={host}")
        if kind == "wrong-name":
            _openssl("x509", "-req", "-in", csr, "-CA", ca.ca_pem, "-CAkey", ca.ca_key,
                     "-CAcreateserial", "-out", cert, "-days", "30", "-sha256", "-extfile", ext)
        elif kind == "expired":
            # Only the ca command sets both dates of a certificate.
            config = os.path.join(directory, "ca.cnf")
            with open(config, "w", encoding="ascii") as f:
                f.write(f"[ca]\ndefault_ca = dates\n[dates]\ndatabase = {directory}/index.txt\n"
                        f"new_certs_dir = {directory}\nserial = {directory}/serial\n"
                        "default_md = sha256\npolicy = any\n[any]\ncommonName = supplied\n")
            open(os.path.join(directory, "index.txt"), "w").close()
            with open(os.path.join(directory, "serial"), "w", encoding="ascii") as f:
                f.write("1000\n")
            _openssl("ca", "-batch", "-notext", "-config", config, "-cert", ca.ca_pem,
                     "-keyfile", ca.ca_key, "-in", csr, "-out", cert, "-extfile", ext,
                     "-startdate", "20200101000000Z", "-enddate", "20200201000000Z")
        else:
            raise ValueError(kind)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context
