"""A loopback HTTP proxy for the tests. It tunnels CONNECT requests, forwards
plain requests given with an absolute URL, and records what passed through it.

    proxy = Proxy()
    proxy.port
    proxy.seen          # [("CONNECT", "127.0.0.1:8443"), ("GET", "http://...")]
    proxy.stop()

    Proxy(auth="NTLM", challenges=1)   # 407 with Proxy-Authenticate: NTLM to
                                       # the first request, then lets any pass
    Proxy(auth="Basic")                # 407 to every request
    proxy.authorizations               # the Proxy-Authorization of each request

pac_script() writes the proxy auto-configuration script that names a proxy
(or DIRECT) for every URL.
"""

import select
import socket
import socketserver
import threading
import urllib.parse


def pac_script(answer):
    """A proxy script whose FindProxyForURL returns the given answer, for
    example "PROXY 127.0.0.1:3128" or "DIRECT"."""
    return ("function FindProxyForURL(url, host)\n"
            "{\n"
            f"    return \"{answer}\";\n"
            "}\n").encode("ascii")


def _read_head(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        part = sock.recv(4096)
        if not part:
            return None, b""
        data += part
        if len(data) > 65536:
            return None, b""
    head, rest = data.split(b"\r\n\r\n", 1)
    return head.decode("latin-1"), rest


def _relay(a, b):
    """Copies bytes both ways until either side closes."""
    sockets = [a, b]
    try:
        while True:
            readable, _, failed = select.select(sockets, [], sockets, 60)
            if failed or not readable:
                return
            for s in readable:
                data = s.recv(65536)
                if not data:
                    return
                (b if s is a else a).sendall(data)
    except OSError:
        return


def _header(lines, name):
    for line in lines:
        key, _, value = line.partition(":")
        if key.strip().lower() == name:
            return value.strip()
    return None


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        client = self.request
        client.settimeout(30)
        # A connection carries further requests only after a 407: a client
        # answering a challenge may do so on the same connection.
        for _ in range(8):
            try:
                head, rest = _read_head(client)
            except OSError:
                return
            if head is None:
                return
            lines = head.split("\r\n")
            try:
                method, target, version = lines[0].split(" ", 2)
            except ValueError:
                return
            proxy = self.server.proxy
            proxy._record(method, target, lines[1:])
            if not proxy._challenge():
                break
            length = int(_header(lines, "content-length") or 0)
            while len(rest) < length:
                part = client.recv(65536)
                if not part:
                    return
                rest += part
            body = b"proxy credentials required"
            client.sendall(("HTTP/1.1 407 Proxy Authentication Required\r\n"
                            f"Proxy-Authenticate: {proxy.auth}\r\n"
                            f"Content-Length: {len(body)}\r\n"
                            "Proxy-Connection: keep-alive\r\n\r\n").encode("latin-1") + body)
        else:
            return
        if method == "CONNECT":
            self._tunnel(client, target)
        else:
            self._forward(client, method, target, lines[1:], rest)

    def _tunnel(self, client, target):
        host, _, port = target.rpartition(":")
        try:
            upstream = socket.create_connection((host, int(port)), timeout=30)
        except (OSError, ValueError):
            client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        with upstream:
            upstream.settimeout(None)
            client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            _relay(client, upstream)

    def _forward(self, client, method, target, header_lines, rest):
        url = urllib.parse.urlsplit(target)
        if url.scheme != "http" or not url.hostname:
            client.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
            return
        path = url.path or "/"
        if url.query:
            path += "?" + url.query
        kept = [h for h in header_lines
                if h.split(":", 1)[0].strip().lower() not in ("connection", "proxy-connection")]
        request = f"{method} {path} HTTP/1.1\r\n" + "".join(h + "\r\n" for h in kept)
        request += "Connection: close\r\n\r\n"
        try:
            upstream = socket.create_connection((url.hostname, url.port or 80), timeout=30)
        except OSError:
            client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        with upstream:
            upstream.settimeout(None)
            upstream.sendall(request.encode("latin-1") + rest)
            # The answer is relayed until the origin closes; then the client's
            # connection closes too.
            _relay(client, upstream)


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass


class Proxy:
    def __init__(self, auth=None, challenges=None):
        """auth: the scheme a 407 offers (None: no 407); challenges: how many
        requests get a 407 before any passes (None: all of them)."""
        self.auth = auth
        self.challenges = challenges
        self.seen = []
        self.headers = []
        self.authorizations = []
        self._challenged = 0
        self._lock = threading.Lock()
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.proxy = self
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    @property
    def address(self):
        return f"127.0.0.1:{self.port}"

    def _record(self, method, target, header_lines):
        with self._lock:
            self.seen.append((method, target))
            self.headers.append(header_lines)
            self.authorizations.append(_header(header_lines, "proxy-authorization"))

    def _challenge(self):
        """True when this request is to get a 407."""
        with self._lock:
            if self.auth is None:
                return False
            if self.challenges is not None and self._challenged >= self.challenges:
                return False
            self._challenged += 1
            return True

    def reset(self):
        with self._lock:
            self.seen.clear()
            self.headers.clear()
            self.authorizations.clear()
            self._challenged = 0

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
