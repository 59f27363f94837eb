"""Runs of the launcher against its loopback services: a copy of the launcher
with its configuration, the services a run talks to on the build's ports, and
a record of one run (exit code, debugger lines, seconds and the collector's
hits).

    with Services(bed, ca_dir) as services:          # redirect, store, collector
        url = services.publish("setup.exe", data)      # package and its sidecar
        services.redirect_to(url)
        exe = copy_launcher(app_dir, launcher_config(bed, base, funid="x"))
        run = services.run(exe, ["-s"])                # a finished Launch
        run.code, run.debug, run.hits, services.events(), services.store.log()
"""

import hashlib
import os
import re
import shutil
import tempfile
import time
import urllib.parse

import deployment
from collector import Collector
from package_store import PackageStore
from testbed import TestBed, again_while_wine_client_failed
from testca import TestCA

LAUNCHER = os.environ.get("LAUNCHER_BIN_LumenscanLauncher")
IMPORT_CA = os.environ.get("LAUNCHER_BIN_import_root_ca")
CONFIG_NAME = "CorvaneLauncherConfig.ini"
EXE_NAME = "LumenscanLauncher.exe"
REGISTRY_KEY = r"HKLM\SOFTWARE\Corvane\Downloader"
REDIRECT_PATH = "/GREntry/NonPayment"
RECORD = ".record.txt"  # the stand-in setup's record of its start, beside itself


def md5(data):
    return hashlib.md5(data).hexdigest()


# -- a launcher copy -----------------------------------------------------------

def launcher_config(bed, base, funid, setup="setup.exe", instance=None, extra=""):
    """The configuration of a test run: package folders below base (a folder
    of this machine), the redirect request's identifiers, an instance name
    when given."""
    text = f"[instance]\ngolbalMutexName={instance}\n" if instance else ""
    text += (f"[build]\nlocalTempPath={bed.to_windows_path(base)}\nsetup={setup}\ntype=exe\n"
             f"[ER]\ntarget=lumenscan\npId=pid7\nsp=sp3\nfunId={funid}\n")
    return text + extra


def copy_launcher(folder, config=None, companions=()):
    """A copy of the launcher in folder (made if missing) with config, when
    given, next to it, and copies of the companion files; returns its path."""
    os.makedirs(folder, exist_ok=True)
    exe = os.path.join(folder, EXE_NAME)
    shutil.copy(LAUNCHER, exe)
    for path in companions:
        shutil.copy(path, folder)
    if config is not None:
        with open(os.path.join(folder, CONFIG_NAME), "w", encoding="ascii", newline="\r\n") as f:
            f.write(config)
    return exe


# -- what a run leaves ---------------------------------------------------------

def setup_record(folder, name="setup.exe", wait=True):
    """The lines of a started setup's record in folder, or None. The launcher
    does not wait for the setup, so the record may come a little after the
    launcher has ended, and the setup makes the file before it writes its
    line: wait up to 30 s for a whole line."""
    path = os.path.join(folder, name + RECORD)
    deadline = time.monotonic() + (30 if wait else 0)
    while True:
        lines = record_lines(path)
        if lines or time.monotonic() >= deadline:
            return lines
        time.sleep(0.1)


def record_lines(path):
    """The whole lines of a setup's record (a line still being written left
    out), or None when there is no record."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    return text[:text.rfind("\n") + 1].splitlines()


def local_path(bed):
    """The LocalPath the launcher remembered, or None. Exported, the value
    keeps every character a hostile name put in it."""
    folder = os.path.join(bed.dir, "output")
    os.makedirs(folder, exist_ok=True)
    handle, exported = tempfile.mkstemp(suffix=".reg", dir=folder)
    os.close(handle)
    try:
        done = bed.reg("export", REGISTRY_KEY, bed.to_windows_path(exported), "/y", check=False)
        if done.returncode != 0:
            if "Unable to find the specified registry key" in done.stdout:
                return None
            # Any other failure is the reader's, not an answer about the key.
            raise AssertionError(f"wine reg export ended with {done.returncode}: "
                                 f"stdout={done.stdout!r} stderr={done.stderr[-1000:]!r}")
        with open(exported, "rb") as f:
            text = f.read().decode("utf-16")
    finally:
        os.remove(exported)
    m = re.search(r'^"LocalPath"="((?:[^"\\]|\\.)*)"\r?$', text, re.M)
    return re.sub(r"\\(.)", r"\1", m.group(1)) if m else None


def event_query(hit):
    """The query of a collector hit, as parse_qs gives it."""
    return urllib.parse.parse_qs(urllib.parse.urlsplit(hit.path).query)


# -- one run -------------------------------------------------------------------

class Launch:
    """One launcher process, started in the background; finish() collects
    what it left: the Result (code, debug, stdout, stderr), its seconds, and
    with services the collector's hits since its start."""

    def __init__(self, bed, exe, args=("-s",), extra_env=None, cwd=None, services=None):
        self.services = services
        self._first_hit = len(services.collector.snapshot()) if services else 0
        self.bed = bed
        self._command = (exe, args, extra_env, cwd)
        self.proc = bed.start(*self._command)
        self.started = time.monotonic()
        self.result = None
        self.seconds = None
        self.ended_wall = None
        self.hits = []

    def finish(self, timeout=180):
        """Waits for the end (killing the process and raising
        subprocess.TimeoutExpired after timeout seconds); returns self."""
        collected = []

        def attempt():
            if collected:
                # Wine ended the last start before the program ran.
                self.proc = self.bed.start(*self._command)
                self.started = time.monotonic()
            self.result = TestBed.collect(self.proc, timeout)
            collected.append(self.result)
            return self.result.code, self.result.stdout, self.result.stderr, self.result

        again_while_wine_client_failed(attempt, f"launcher {self._command[0]}", self.bed.dir)
        self.seconds = time.monotonic() - self.started
        self.ended_wall = time.time()
        if self.services:
            self.hits = self.services.collector.snapshot()[self._first_hit:]
        return self

    def kill(self):
        """Ends a process that is still running (a cleanup after a failed
        check) and releases its output."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for f in self.proc.output_files:
            f.close()

    @property
    def code(self):
        return self.result.code

    @property
    def debug(self):
        return self.result.debug

    @property
    def stdout(self):
        return self.result.stdout

    @property
    def stderr(self):
        return self.result.stderr

    def __repr__(self):
        return repr(self.result) if self.result else f"Launch(running, pid={self.proc.pid})"


# -- the services ----------------------------------------------------------------

class Services:
    """The redirect service and the package store (HTTPS, with a test CA the
    bed's prefix trusts) and the analytics collector, on the ports the build
    names. Use as a context manager, or call stop()."""

    def __init__(self, bed, ca_dir, import_ca=None):
        self.bed = bed
        self.ca = TestCA(ca_dir)
        self.ca.trust_in(bed, import_ca or IMPORT_CA)
        context = self.ca.server_context()
        self.redirect = PackageStore(context, port=deployment.port("LAUNCHER_REDIRECT_HOST"))
        self.store = None
        self.collector = None
        try:
            self.store = PackageStore(context, port=deployment.port("LAUNCHER_PACKAGE_STORE_HOST"))
            self.collector = Collector(port=deployment.port("LAUNCHER_COLLECTOR_HOST")).__enter__()
        except BaseException:
            self.stop()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        for server in (self.redirect, self.store):
            if server:
                server.stop()
        if self.collector:
            self.collector.__exit__(None, None, None)
        self.redirect = self.store = self.collector = None

    def reset(self):
        """Forgets the routes, the requests and the hits of earlier runs."""
        self.redirect.reset()
        self.store.reset()
        self.collector.clear()

    # -- arranging ---------------------------------------------------------------

    def redirect_to(self, location=None, status=302, **answer):
        """What the redirect service answers the launcher's request."""
        return self.redirect.route(REDIRECT_PATH, status=status, location=location, **answer)

    def publish(self, name, data, sidecar=None, disposition=None, **route):
        """Serves a package at /pkg/<name> and its sidecar (the package's digest
        and name unless given; False: none); returns the package's address."""
        url = self.store.route(f"/pkg/{name}", body=data, disposition=disposition, **route)
        if sidecar is not False:
            text = sidecar if sidecar is not None else f"{md5(data)}  {name}\r\n"
            self.store.route(f"/pkg/{name}_MD5.txt", body=text.encode())
        return url

    # -- running -----------------------------------------------------------------

    def start(self, exe, args=("-s",), extra_env=None, cwd=None):
        return Launch(self.bed, exe, args, extra_env, cwd, services=self)

    def run(self, exe, args=("-s",), timeout=180, extra_env=None, cwd=None):
        return self.start(exe, args, extra_env, cwd).finish(timeout)

    # -- what the collector saw ------------------------------------------------

    def settle(self, timeout=5):
        """Waits (at most timeout seconds) until the stream of hits has been
        quiet for half a second, so that a late hit of one run is not counted
        for the next one."""
        deadline, count = time.monotonic() + timeout, -1
        while time.monotonic() < deadline and len(self.collector.snapshot()) != count:
            count = len(self.collector.snapshot())
            time.sleep(0.5)

    def events(self):
        """The queries of the hits so far, in the order the requests began."""
        return [event_query(h) for h in sorted(self.collector.snapshot(), key=lambda h: h.start)]
