"""A network test bed: two network namespaces of its own (services and
client), joined by one veth pair with private /30 addresses that exist
nowhere outside them. The link can be shaped: rate with a tbf qdisc on both
veth ends, random loss with an nftables drop rule inside each namespace, and
latency with a delaying TCP relay in the services' namespace (the kernels here
have no netem). Nothing touches the host's lo or any real interface.

    with NetBed(rate_mbit=20, loss_pct=1) as bed:
        store = bed.serve(lambda: PackageStore(host=bed.server_addr))
        relay = bed.relay(store.port, rtt_ms=100)     # clients use relay.port
        subprocess.run(bed.client_command(["curl", ...]))

Needs root and iproute2 (loss: nftables). unavailable() says why a bed cannot
be made here. Namespaces are named lnb-s-<pid>-<n> / lnb-c-<pid>-<n>; they go
on close(), at exit, or with "tools/netbed cleanup" when their process died.
"""

import atexit
import collections
import contextlib
import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import time

PREFIX = "lnb-"
_NAME = re.compile(r"^lnb-[sc]-(\d+)-(\d+)$")
_CLONE_NEWNET = 0x40000000
_SERVER_IF = "lnb-s"
_CLIENT_IF = "lnb-c"

_counter = [0]
_open_beds = set()
_lock = threading.Lock()


def _run(*argv, check=True):
    result = subprocess.run(argv, capture_output=True, text=True, timeout=30)
    if check and result.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)}: {result.stderr.strip()}")
    return result


def unavailable():
    """None when a bed can be made on this machine, else the reason."""
    if os.geteuid() != 0:
        return "needs root (network namespaces)"
    for tool in ("ip", "tc"):
        if shutil.which(tool) is None:
            return f"no {tool} command (package iproute2)"
    probe = f"{PREFIX}s-{os.getpid()}-probe"
    result = _run("ip", "netns", "add", probe, check=False)
    if result.returncode != 0:
        return f"cannot make a network namespace: {result.stderr.strip()}"
    _run("ip", "netns", "del", probe, check=False)
    return None


def loss_unavailable():
    """None when random loss can be set, else the reason."""
    return None if shutil.which("nft") else "no nft command (package nftables)"


def _kill_inside(namespace):
    """Ends what still runs in one of the bed's namespaces (the bed started
    it)."""
    pids = _run("ip", "netns", "pids", namespace, check=False).stdout.split()
    for pid in pids:
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (OSError, ValueError):
            pass


def cleanup(everything=False):
    """Removes lnb-* namespaces whose process has ended (all of them with
    everything=True). Returns the names removed."""
    removed = []
    for line in _run("ip", "netns", "list", check=False).stdout.splitlines():
        name = line.split()[0] if line.split() else ""
        match = _NAME.match(name)
        if not match:
            continue
        pid = int(match.group(1))
        if not everything and pid != os.getpid() and os.path.exists(f"/proc/{pid}"):
            continue
        if not everything and pid == os.getpid() and any(
                name in (b.server_ns, b.client_ns) for b in _open_beds):
            continue
        _kill_inside(name)
        _run("ip", "netns", "del", name, check=False)
        removed.append(name)
    return removed


def _close_all():
    for bed in list(_open_beds):
        bed.close()


atexit.register(_close_all)


class NetBed:
    """rate_mbit: tbf rate on both ends (None: unshaped); loss_pct: random drop
    per direction, in percent (0.01 steps)."""

    def __init__(self, rate_mbit=None, loss_pct=0):
        with _lock:
            _counter[0] += 1
            number = _counter[0]
        suffix = f"{os.getpid()}-{number}"
        self.server_ns = f"{PREFIX}s-{suffix}"
        self.client_ns = f"{PREFIX}c-{suffix}"
        net = (os.getpid() + number) % 250 + 1
        self.server_addr = f"10.213.{net}.1"
        self.client_addr = f"10.213.{net}.2"
        self._relays = []
        self._made = False
        self._make()
        try:
            self.shape(rate_mbit, loss_pct)
        except Exception:
            self.close()
            raise

    def _make(self):
        with _lock:
            _open_beds.add(self)
        self._made = True
        try:
            _run("ip", "netns", "add", self.server_ns)
            _run("ip", "netns", "add", self.client_ns)
            # Both ends are made inside their namespaces: the pair never
            # appears among the host's interfaces.
            _run("ip", "link", "add", _SERVER_IF, "netns", self.server_ns, "type", "veth",
                 "peer", "name", _CLIENT_IF, "netns", self.client_ns)
            for ns, ifname, addr in ((self.server_ns, _SERVER_IF, self.server_addr),
                                     (self.client_ns, _CLIENT_IF, self.client_addr)):
                _run("ip", "-n", ns, "addr", "add", f"{addr}/30", "dev", ifname)
                _run("ip", "-n", ns, "link", "set", "lo", "up")
                _run("ip", "-n", ns, "link", "set", ifname, "up")
        except Exception:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        for relay in self._relays:
            relay.stop()
        self._relays = []
        if self._made:
            for ns in (self.client_ns, self.server_ns):
                _kill_inside(ns)
                _run("ip", "netns", "del", ns, check=False)
            self._made = False
        with _lock:
            _open_beds.discard(self)

    # -- shaping -----------------------------------------------------------

    def shape(self, rate_mbit=None, loss_pct=0):
        """Sets (or, with None / 0, removes) the rate and the loss."""
        self.rate_mbit = rate_mbit
        self.loss_pct = loss_pct
        for ns, ifname in ((self.server_ns, _SERVER_IF), (self.client_ns, _CLIENT_IF)):
            _run("tc", "-n", ns, "qdisc", "del", "dev", ifname, "root", check=False)
            if rate_mbit:
                # The bucket holds at least a few segments (and a GSO burst),
                # and about 10 ms at the rate.
                burst = max(64 * 1024, int(rate_mbit * 1e6 / 8 / 100))
                _run("tc", "-n", ns, "qdisc", "add", "dev", ifname, "root", "tbf", "rate",
                     f"{rate_mbit}mbit", "burst", str(burst), "latency", "200ms")
            self._nft(ns, "delete", "table", "inet", "lnb", check=False)
            if loss_pct:
                reason = loss_unavailable()
                if reason:
                    raise RuntimeError(reason)
                self._nft(ns, "add", "table", "inet", "lnb")
                self._nft(ns, "add chain inet lnb input "
                          "{ type filter hook input priority 0; policy accept; }")
                self._nft(ns, "add", "rule", "inet", "lnb", "input", "iifname", ifname,
                          "numgen", "random", "mod", "10000", "<", str(round(loss_pct * 100)),
                          "counter", "drop")

    def _nft(self, ns, *args, check=True):
        command = ["ip", "netns", "exec", ns, "nft"]
        command += args[0].split() if len(args) == 1 else list(args)
        return _run(*command, check=check)

    def dropped(self):
        """Packets the loss rules dropped so far, both directions."""
        total = 0
        for ns in (self.server_ns, self.client_ns):
            text = self._nft(ns, "list", "table", "inet", "lnb", check=False).stdout
            total += sum(int(n) for n in re.findall(r"counter packets (\d+)", text))
        return total

    # -- running things ------------------------------------------------------

    def client_command(self, argv):
        """argv run in the client's namespace."""
        return ["ip", "netns", "exec", self.client_ns, *[str(a) for a in argv]]

    def server_command(self, argv):
        return ["ip", "netns", "exec", self.server_ns, *[str(a) for a in argv]]

    @contextlib.contextmanager
    def inside_server(self):
        """The calling thread in the services' namespace: sockets made in the
        block belong to it (and keep belonging to it after)."""
        libc = ctypes.CDLL(None, use_errno=True)
        with open("/proc/thread-self/ns/net", "rb") as home, \
                open(f"/run/netns/{self.server_ns}", "rb") as there:
            if libc.setns(there.fileno(), _CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns into the services' namespace")
            try:
                yield
            finally:
                if libc.setns(home.fileno(), _CLONE_NEWNET) != 0:
                    # A thread left in the wrong namespace must not go on.
                    os._exit(70)

    def serve(self, make):
        """Calls make() (which opens a listening server) in the services'
        namespace and returns what it made."""
        with self.inside_server():
            return make()

    def relay(self, target_port, rtt_ms, window=1024 * 1024):
        """A delaying relay in the services' namespace: connections to
        server_addr:relay.port reach target_port, each direction delayed by
        rtt_ms / 2."""
        with self.inside_server():
            relay = DelayRelay(self.server_addr, target_port, rtt_ms / 2000.0, window)
        self._relays.append(relay)
        return relay


class DelayRelay:
    """Forwards TCP connections, holding every piece of data for a fixed
    delay before passing it on; at most window bytes wait per direction (the
    reader stops meanwhile, so the sender feels the pipe fill). A reset on
    one side is passed on as a reset, after the data before it."""

    def __init__(self, host, target_port, delay_s, window):
        self.delay = delay_s
        self.window = window
        self.target = (host, target_port)
        self.stopping = threading.Event()
        self._listener = socket.create_server((host, 0))
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self._socks = set()
        self._lock = threading.Lock()
        # Made inside the services' namespace, so the accepting thread (and
        # the connections it opens to the target) live there too.
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while not self.stopping.is_set():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            try:
                upstream = socket.create_connection(self.target, timeout=10)
                upstream.settimeout(None)
            except OSError:
                client.close()
                continue
            client.settimeout(None)
            with self._lock:
                self._socks.update((client, upstream))
            for src, dst in ((client, upstream), (upstream, client)):
                _Pipe(self, src, dst).start()

    def stop(self):
        self.stopping.set()
        self._listener.close()
        self._thread.join(2)
        with self._lock:
            socks, self._socks = list(self._socks), set()
        for sock in socks:
            try:
                sock.close()
            except OSError:
                pass


class _Pipe:
    """One direction of a relayed connection: a reader queues what arrives
    with its due time, a writer sends it when due."""

    def __init__(self, relay, src, dst):
        self.relay = relay
        self.src = src
        self.dst = dst
        self.queue = collections.deque()
        self.queued = 0
        self.cond = threading.Condition()

    def start(self):
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=self._write, daemon=True).start()

    def _put(self, item, size=0):
        with self.cond:
            while self.queued > self.relay.window and not self.relay.stopping.is_set():
                self.cond.wait(0.2)
            self.queue.append((time.monotonic() + self.relay.delay, item))
            self.queued += size
            self.cond.notify_all()

    def _read(self):
        while True:
            try:
                data = self.src.recv(65536)
            except OSError:
                self._put("reset")
                return
            if not data:
                self._put("end")
                return
            self._put(data, len(data))

    def _write(self):
        while True:
            with self.cond:
                while not self.queue:
                    if self.relay.stopping.is_set():
                        return
                    self.cond.wait(0.2)
                due, item = self.queue.popleft()
            wait = due - time.monotonic()
            if wait > 0 and self.relay.stopping.wait(wait):
                return
            try:
                if item == "end":
                    self.dst.shutdown(socket.SHUT_WR)
                    return
                if item == "reset":
                    self.dst.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                        b"\x01\x00\x00\x00\x00\x00\x00\x00")
                    # Wakes the other direction's reader first: the socket
                    # is released (and the reset sent) only once no thread
                    # waits in it.
                    self.dst.shutdown(socket.SHUT_RD)
                    self.dst.close()
                    return
                self.dst.sendall(item)
            except OSError:
                return
            with self.cond:
                self.queued -= len(item)
                self.cond.notify_all()
