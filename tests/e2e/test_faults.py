"""The fault matrix: the launcher under Wine against scripted loopback stand-ins
for the redirect service, the package store and the collector that misbehave
in every way a line or a server can. One test per group of faults, each a
table of cases, and every run held to the same promises:

- no crash: exit code 0 (a silent run), no crash handler at work, no dump;
- no unverified start: a setup that was started lies in the package folder
  and has a digest the store published;
- nothing written outside the package folder;
- nothing partial remembered: LocalPath is as it was, or names a complete,
  verified file of this run's package folder;
- a bounded exit.
"""

import io
import os
import re
import shutil
import socket
import struct
import subprocess
import threading
import time
import unittest
import uuid
import zipfile

import deployment
import launcher_run
from fault_server import Answer, FaultServer, by_query, refused_certificate
from launcher_run import (IMPORT_CA, LAUNCHER, RECORD, REGISTRY_KEY, Launch, copy_launcher,
                          launcher_config, md5, record_lines)
from testbed import TestBed
from testca import TestCA

SETUP = os.environ.get("LAUNCHER_BIN_test_setup")
PLACEHOLDER = os.environ.get("LAUNCHER_PLACEHOLDER_URL", "")
CRASH_LINE = "#################### CrashHandler"

# Bounds on one run, from the launcher's start to its exit, in seconds.
RUN_BOUND_S = 45       # faults met at once; generous for a loaded 2-core machine
STALL_BOUND_S = 120    # a stalled body ends after four attempts of a 10 s receive time-out
# With a collector that fails, the exit follows the setup's start within 10 s.
COLLECTOR_BOUND_S = 10
COLLECTOR_MARGIN_S = 2


def zip_of(entries, method=zipfile.ZIP_DEFLATED):
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w", method) as z:
        for name, content in entries:
            z.writestr(name, content)
    return data.getvalue()


def inside(path, folder):
    return os.path.abspath(path).startswith(os.path.abspath(folder) + os.sep)


class Scene:
    """One launcher set up for a case: its own folder, configuration, instance
    name and redirect key (the FunID it sends)."""

    def __init__(self, matrix, key, setup_name="setup.exe", instance=None):
        self.key = key
        self.dir = os.path.join(matrix.work, key)
        self.app = os.path.join(self.dir, "app")
        self.base = os.path.join(self.dir, "base")
        self.package = os.path.join(self.base, "Package")
        self.build = os.path.join(self.package, "Build")
        os.makedirs(self.app)
        os.makedirs(self.base)
        instance = instance or f"LumenscanFaults_{key}_{matrix.token}"
        self.exe = copy_launcher(self.app, launcher_config(matrix.bed, self.base, key, setup_name,
                                                           instance=instance))

    def args(self):
        return ["-s", f"-funid={self.key}"]


class Run(Launch):
    """One launcher process of a scene and what the promises are judged
    against: the state before it started."""

    def __init__(self, bed, scene, args, before):
        self.scene = scene
        self.before = before
        super().__init__(bed, scene.exe, args)


@unittest.skipUnless(LAUNCHER and SETUP and IMPORT_CA, "run through CTest")
class FaultMatrixTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bed = TestBed(os.environ["TESTBED_DIR"])
        cls.token = uuid.uuid4().hex[:8]
        cls.work = os.path.join(os.environ["TESTBED_DIR"], "faults")
        cls.release_stale_mounts()
        shutil.rmtree(cls.work, ignore_errors=True)
        os.makedirs(cls.work)
        cls.ca = TestCA(os.path.join(cls.work, "ca"))
        cls.ca.trust_in(cls.bed, IMPORT_CA)
        cls.trusted = cls.ca.server_context()
        cls.redirect = FaultServer(deployment.port("LAUNCHER_REDIRECT_HOST"), cls.trusted,
                                   key=by_query("FunID"))
        cls.store = FaultServer(deployment.port("LAUNCHER_PACKAGE_STORE_HOST"), cls.trusted)
        cls.collector_port = deployment.port("LAUNCHER_COLLECTOR_HOST")
        cls.collector = None
        cls.use_collector(Answer(200))
        with open(SETUP, "rb") as f:
            cls.setup_bytes = f.read()
        cls.published = set()
        cls.bed.reg("delete", REGISTRY_KEY, "/v", "LocalPath", "/f", check=False)
        cls.remembered = cls.local_path()
        cls.mount_refusal = cls.probe_mount()

    @classmethod
    def tearDownClass(cls):
        cls.redirect.stop()
        cls.store.stop()
        if cls.collector:
            cls.collector.stop()
        cls.release_stale_mounts()

    # -- servers -------------------------------------------------------------

    @classmethod
    def use_collector(cls, answer):
        """A fresh collector that gives this answer to every hit; None: no
        collector at all, so connections are refused."""
        if cls.collector:
            cls.collector.stop()
            cls.collector = None
        if answer is not None:
            cls.collector = FaultServer(cls.collector_port)
            cls.collector.default = answer

    def point(self, scene, answer):
        """What the redirect service answers this scene."""
        self.redirect.answer(scene.key, answer)

    def redirect_to(self, scene, location):
        self.point(scene, Answer(302, headers=[("Location", location)]))

    def serve(self, scene, package=None, sidecar=None, name="setup.exe"):
        """Publishes under /<key>/: the sidecar answer for every address that
        ends in _MD5.txt, the package answer for every other. Returns the
        package's address."""
        package = package or Answer(body=self.setup_bytes)
        sidecar = sidecar or Answer(body=f"{md5(package.body)}  {name}\r\n".encode())
        self.published.update(re.findall(rb"[0-9a-f]{32}", sidecar.body))
        self.store.answer_prefix(
            f"/{scene.key}/", lambda r: sidecar if r.target.endswith("_MD5.txt") else package)
        return self.store_url(f"/{scene.key}/{name}")

    def store_url(self, path):
        return f"https://127.0.0.1:{self.store.port}{path}"

    def requests_of(self, server, scene, sidecar=None):
        def of_scene(r):
            if server is self.redirect:
                return r.query.get("FunID") == scene.key
            if not r.target.startswith(f"/{scene.key}/"):
                return False
            return sidecar is None or r.target.endswith("_MD5.txt") == sidecar
        return server.requests_where(of_scene)

    # -- the prefix's state ----------------------------------------------------

    @classmethod
    def local_path(cls):
        return launcher_run.local_path(cls.bed)

    def remember(self, path):
        """Seeds LocalPath as an earlier run would have left it."""
        self.bed.reg("add", REGISTRY_KEY, "/v", "LocalPath", "/t", "REG_SZ",
                     "/d", self.bed.to_windows_path(path), "/f")
        type(self).remembered = self.local_path()

    def unix_path(self, windows_path):
        if not windows_path or not windows_path[:2].upper() == "Z:":
            return None
        return windows_path[2:].replace("\\", "/")

    def watched(self, scene):
        """Every file and folder a run must leave alone: the scene's folder
        but for the package folder (and the folders above it, which a run may
        create), and every file of the prefix's all-users data folder, where
        a default package folder and crash dumps would land."""
        state = {}
        above = set()
        p = scene.package
        while inside(p, scene.dir):
            p = os.path.dirname(p)
            above.add(p)
        for root, dirs, files in os.walk(scene.dir):
            dirs[:] = [d for d in dirs if not os.path.join(root, d) == scene.package]
            for name in dirs + files:
                path = os.path.join(root, name)
                if path in above:
                    continue
                try:
                    st = os.lstat(path)
                except OSError:
                    continue
                state[path] = (st.st_size, st.st_mtime_ns)
        for root, _, files in os.walk(os.path.join(self.bed.prefix, "drive_c", "ProgramData")):
            for name in files:
                path = os.path.join(root, name)
                st = os.lstat(path)
                state[path] = (st.st_size, st.st_mtime_ns)
        return state

    def records(self, scene):
        """Whole lines of every setup start record below the scene's folder (a
        stand-in makes its record before it writes its line)."""
        found = {}
        for root, _, files in os.walk(scene.dir):
            for name in files:
                if name.endswith(RECORD):
                    found[os.path.join(root, name)] = record_lines(os.path.join(root, name)) or []
        return found

    def new_starts(self, run, wait):
        """The records' lines this run added; with wait, up to 30 s for the
        first (the launcher does not wait for the setup it started)."""
        deadline = time.monotonic() + (30 if wait else 0)
        while True:
            before, after = run.before["records"], self.records(run.scene)
            fresh = {p: lines[len(before.get(p, [])):] for p, lines in after.items()}
            fresh = {p: lines for p, lines in fresh.items() if lines}
            if fresh or time.monotonic() >= deadline:
                return fresh
            time.sleep(0.1)

    def hits(self):
        return self.collector.requests() if self.collector else []

    # -- running -----------------------------------------------------------------

    def begin(self, scene, args=None):
        before = dict(watched=self.watched(scene), remembered=self.remembered,
                      records=self.records(scene), hits=len(self.hits()),
                      collector=self.collector)
        run = Run(self.bed, scene, args if args is not None else scene.args(), before)
        # A launcher that a failed check left running is ended.
        self.addCleanup(run.kill)
        return run

    def finish(self, run, bound):
        try:
            run.finish(timeout=bound + 10)
        except subprocess.TimeoutExpired:
            self.fail(f"{run.scene.key}: the launcher was still running after {bound + 10} s")
        type(self).remembered = self.local_path()
        return run

    def launch(self, scene, started, bound=RUN_BOUND_S, marker=None):
        run = self.finish(self.begin(scene), bound)
        self.keeps_promises(run, started, bound, marker)
        return run

    def actions(self, run):
        if run.before["collector"] is not self.collector or not self.collector:
            return []
        return [r.query.get("ea", "") for r in self.collector.requests()[run.before["hits"]:]]

    # -- the promises ------------------------------------------------------------

    def keeps_promises(self, run, started, bound, marker=None):
        """started: True (exactly one verified start), False (none), None
        (a start is allowed if verified). marker: a name that must not turn up
        anywhere outside the package folder."""
        scene, result = run.scene, run.result
        what = f"{scene.key}: "
        escaped = self.marker_outside(scene, marker) if marker else []
        for path in escaped:
            # Gone again at once, so that the next case is judged on its own.
            shutil.rmtree(path, ignore_errors=True) if os.path.isdir(path) else os.remove(path)
        # No crash.
        self.assertEqual(result.code, 0, what + f"exit code {result.code}: {result.said(8)}")
        self.assertNotIn(CRASH_LINE, result.debug, what + "the crash handler ran")
        # A bounded exit.
        self.assertLessEqual(run.seconds, bound, what + f"ran {run.seconds:.1f} s")
        # No unverified start.
        new_starts = []
        for path, fresh in self.new_starts(run, wait=started is True).items():
            exe = path[:-len(RECORD)]
            self.assertTrue(inside(exe, scene.package), what + f"started outside the package folder: {exe}")
            with open(exe, "rb") as f:
                digest = md5(f.read()).encode()
            self.assertIn(digest, self.published, what + f"started an unverified file: {exe}")
            for line in fresh:
                self.assertIn(f'cmdline="{self.bed.to_windows_path(exe)}" -s', line, what)
            new_starts += fresh
        launched = [a for a in self.actions(run) if a.endswith("LaunchExe_Succeed")]
        if started is False:
            self.assertEqual(new_starts, [], what + "a setup was started")
            self.assertEqual(launched, [], what + "a setup start was reported")
        elif started is True:
            self.assertEqual(len(new_starts), 1, what + f"setup starts: {new_starts}")
        # Nothing written outside the package folder (a hostile name is looked
        # for everywhere it could have gone).
        self.assertEqual(escaped, [], what + "a hostile name escaped")
        was, now = run.before["watched"], self.watched(scene)
        changed = sorted(p for p in set(was) | set(now) if was.get(p) != now.get(p))
        self.assertEqual(changed, [], what + "written outside the package folder")
        # Nothing partial remembered: a new value names a file of this run's
        # package folder, and whatever LocalPath names there is verified,
        # even when the value stayed and the file under it was replaced.
        remembered = self.remembered
        path = self.unix_path(remembered)
        if remembered != run.before["remembered"]:
            self.assertTrue(path and inside(path, scene.package),
                            what + f"LocalPath names {remembered!r}")
        if path and inside(path, scene.package):
            self.assertTrue(os.path.isfile(path), what + f"LocalPath names no file: {remembered!r}")
            with open(path, "rb") as f:
                self.assertIn(md5(f.read()).encode(), self.published,
                              what + f"LocalPath names an unverified file: {remembered!r}")

    def marker_outside(self, scene, marker):
        found = []
        for root, dirs, files in os.walk(self.bed.dir):
            # Every scene's package folder is where a download may land.
            if os.path.dirname(root) == self.work and "base" in dirs:
                dirs.remove("base")
                if os.path.isdir(os.path.join(root, "base")):
                    base = os.path.join(root, "base")
                    found += [os.path.join(base, n) for n in os.listdir(base)
                              if marker in n and n != "Package"]
            found += [os.path.join(root, n) for n in dirs + files if marker in n]
        folder = scene.dir
        while folder != os.path.dirname(folder):
            folder = os.path.dirname(folder)
            found += [os.path.join(folder, n) for n in os.listdir(folder) if marker in n]
        found += [os.path.join("/tmp", n) for n in os.listdir("/tmp") if marker in n]
        return found

    # -- mounts --------------------------------------------------------------------

    @classmethod
    def probe_mount(cls):
        """None when this machine lets the test mount a tmpfs, else why not."""
        if os.geteuid() != 0:
            return "mounting a tmpfs needs root"
        probe = os.path.join(cls.work, "mount-probe")
        os.makedirs(probe)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", probe],
                              capture_output=True, text=True)
        if done.returncode != 0:
            return f"mount -t tmpfs is refused here: {done.stderr.strip()}"
        subprocess.run(["umount", probe], check=True)
        return None

    @classmethod
    def release_stale_mounts(cls):
        """Mounts left below the work folder by an earlier run that was killed."""
        work = os.path.join(os.environ["TESTBED_DIR"], "faults")
        with open("/proc/mounts", encoding="utf-8") as f:
            points = [line.split()[1] for line in f]
        for point in reversed(points):
            if point == work or inside(point, work):
                subprocess.run(["umount", "-l", point], capture_output=True)

    def need_mounts(self):
        if self.mount_refusal:
            self.skipTest(self.mount_refusal)

    def tmpfs(self, path, size_kb, fill=None, read_only=False):
        """Mounts a tmpfs of size_kb at path, lets fill(path) put files in it,
        and then makes it read-only if asked; unmounted at cleanup."""
        os.makedirs(path, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_kb}k,mode=0755", "tmpfs", path],
                       check=True, capture_output=True)
        self.addCleanup(self.unmount, path)
        if fill:
            fill(path)
        if read_only:
            subprocess.run(["mount", "-o", "remount,ro", path], check=True, capture_output=True)
            probe = os.path.join(path, "probe")
            with self.assertRaises(OSError, msg="the folder is still writable"):
                open(probe, "w").close()

    @staticmethod
    def unmount(path):
        if subprocess.run(["umount", path], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", path], capture_output=True)

    # -- the groups ----------------------------------------------------------------

    def test_error_statuses_and_a_redirect_without_location(self):
        # Which server misbehaves, and its answer.
        cases = []
        for status in (404, 500, 204):
            answer = Answer(status, body=b"" if status == 204 else b"no", length=status != 204)
            cases += [("redirect", answer), ("package", answer), ("sidecar", answer)]
        cases += [("redirect", Answer(302)), ("redirect", Answer(302, headers=[("Location", "")])),
                  ("package", Answer(302)), ("sidecar", Answer(302))]
        for n, (where, answer) in enumerate(cases):
            with self.subTest(where=where, status=answer.status, headers=answer.headers):
                scene = Scene(self, f"status{n}")
                good = self.serve(scene, **{where: answer} if where != "redirect" else {})
                if where == "redirect":
                    self.point(scene, answer)
                else:
                    self.redirect_to(scene, good)
                self.launch(scene, started=False)
                met = self.requests_of(self.redirect, scene) if where == "redirect" else \
                    self.requests_of(self.store, scene, sidecar=where == "sidecar")
                # A 5xx is worth three more tries; the other answers are final.
                tries = 4 if answer.status >= 500 else 1
                self.assertEqual(len(met), tries, "the fault was not met as often as it should")

    def test_bodies_cut_mid_way(self):
        size = len(self.setup_bytes)
        sidecar_text = f"{md5(self.setup_bytes)}  setup.exe\r\n".encode()
        cases = [
            ("package", dict(cut_after=size // 2)),
            ("package", dict(cut_after=size // 2, reset=False)),
            ("package", dict(cut_after=size // 2, reset=False, length=False)),
            ("package", dict(length=size // 2)),
            ("package", dict(length=0xFFFFFFFF, cut_after=64 * 1024)),
            ("sidecar", dict(cut_after=10)),
            ("sidecar", dict(cut_after=10, reset=False, length=False)),
            ("redirect", dict(body=b"moved" * 200, cut_after=10)),
        ]
        for n, (where, script) in enumerate(cases):
            with self.subTest(where=where, **script):
                scene = Scene(self, f"cut{n}")
                if where == "package":
                    url = self.serve(scene, package=Answer(body=self.setup_bytes, **script))
                elif where == "sidecar":
                    url = self.serve(scene, sidecar=Answer(body=sidecar_text, **script))
                else:
                    url = self.serve(scene)
                if where == "redirect":
                    self.point(scene, Answer(302, headers=[("Location", url)], **script))
                else:
                    self.redirect_to(scene, url)
                # The Location of a redirect that arrived whole may be used,
                # whatever became of the answer's body.
                self.launch(scene, started=None if where == "redirect" else False)
                self.assertTrue(self.requests_of(self.store, scene) if where != "redirect"
                                else self.requests_of(self.redirect, scene), "the fault was not met")

    def test_bodies_that_stall(self):
        # All of them at once: each waits out the same receive time-out, now
        # once per attempt (a stall is retried three times, and this server
        # answers every range from the start), so the time-out is shortened.
        os.environ["LAUNCHER_TEST_STACK_TIMEOUT_MS"] = "10000"
        self.addCleanup(os.environ.pop, "LAUNCHER_TEST_STACK_TIMEOUT_MS", None)
        size = len(self.setup_bytes)
        sidecar_text = f"{md5(self.setup_bytes)}  setup.exe\r\n".encode()
        cases = [
            ("package", dict(stall_after=size // 3)),
            ("package", dict(stall_after=size // 3, length=False)),
            ("sidecar", dict(stall_after=5)),
            ("redirect", dict(body=b"moved" * 200, stall_after=10)),
        ]
        runs = []
        for n, (where, script) in enumerate(cases):
            scene = Scene(self, f"stall{n}")
            if where == "package":
                url = self.serve(scene, package=Answer(body=self.setup_bytes, **script))
            elif where == "sidecar":
                url = self.serve(scene, sidecar=Answer(body=sidecar_text, **script))
            else:
                url = self.store_url(f"/{scene.key}/nothing-here.exe")
            if where == "redirect":
                self.point(scene, Answer(302, headers=[("Location", url)], **script))
            else:
                self.redirect_to(scene, url)
            runs.append((where, script, self.begin(scene)))
        for where, script, run in runs:
            self.finish(run, STALL_BOUND_S)
        first_hit = runs[0][2].before["hits"]
        for where, script, run in runs:
            with self.subTest(where=where, **script):
                # The runs overlap: each one's promises are judged on its own
                # folder, and no run of them may report a start.
                run.before["hits"] = first_hit
                self.keeps_promises(run, started=False, bound=STALL_BOUND_S)
                self.assertTrue(self.requests_of(self.store if where != "redirect" else self.redirect,
                                                 run.scene), "the fault was not met")

    def test_hostile_locations(self):
        marker = f"evil-{self.token}"
        store = f"127.0.0.1:{self.store.port}"
        locations = [
            f"file:///Z:/tmp/{marker}.exe",
            f"\\\\127.0.0.1\\share\\{marker}.exe",
            f"https://{store}/KEY/..\\..\\..\\..\\..\\..\\{marker}.exe",
            f"https://{store}/KEY/%2e%2e%2f%2e%2e%2f%2e%2e%2f{marker}.exe",
            f"https://{store}/KEY/../../../{marker}.exe",
            f"https://{store}/KEY/",
            f"https://{store}/KEY/CON",
            f"https://{store}/KEY/x\" -s \"{marker}.exe",
            f"https://{store}/KEY/{marker}.exe:stream",
            f"https://{store}/KEY/" + "a" * 20000 + ".exe",
            f"https://{store}/KEY/setup.exe?name=../../{marker}.exe",
            f"http://{store}/KEY/setup.exe",
            f"https://127.0.0.1:0x{self.store.port:x}/KEY/setup.exe",
            f"https://127.0.0.1:{self.store.port + 65536}/KEY/setup.exe",
            "javascript:alert(1)",
            b"https://" + store.encode() + b"/KEY/\xe2\x80\xaeexe.txt",
            b"https://" + store.encode() + b"/KEY/\xff\xfe\x00setup.exe",
        ]
        for n, location in enumerate(locations):
            with self.subTest(location=location[:100]):
                scene = Scene(self, f"location{n}")
                self.serve(scene)
                if isinstance(location, bytes):
                    location = location.replace(b"KEY", scene.key.encode())
                else:
                    location = location.replace("KEY", scene.key)
                self.point(scene, Answer(302, headers=[("Location", location)]))
                self.launch(scene, started=None, marker=marker)
                self.assertEqual(len(self.requests_of(self.redirect, scene)), 1)

    def test_hostile_content_disposition(self):
        marker = f"evil-{self.token}"
        values = [
            f'attachment; filename="..\\..\\..\\..\\..\\{marker}.exe"',
            f'attachment; filename="../../../../../{marker}.exe"',
            f'attachment; filename="Z:\\tmp\\{marker}.exe"',
            f'attachment; filename="C:\\windows\\{marker}.exe"',
            f'attachment; filename="\\\\?\\Z:\\tmp\\{marker}.exe"',
            f'attachment; filename="\\\\127.0.0.1\\share\\{marker}.exe"',
            f'attachment; filename="Build\\..\\..\\{marker}.exe"',
            f'attachment; filename="{marker}.exe:stream"',
            'attachment; filename="CON.exe"',
            'attachment; filename="NUL"',
            'attachment; filename=".."',
            'attachment; filename="..."',
            'attachment; filename=""',
            'attachment; filename="Build"',
            'attachment; filename="' + "b" * 1000 + '.exe"',
            f'attachment; filename="{marker}.exe\t"; filename="../{marker}.exe"',
            f'attachment; filename*=UTF-8\'\'..%2F..%2F{marker}.exe',
            f'attachment; filename={marker}.exe" -s "x.exe',
            b'attachment; filename="\x01\x7f\xff' + marker.encode() + b'.exe"',
            'attachment; filename="' + "\u202e" + 'exe.txt"',
        ]
        for n, value in enumerate(values):
            with self.subTest(value=value[:100]):
                scene = Scene(self, f"disposition{n}")
                url = self.serve(scene, package=Answer(body=self.setup_bytes,
                                                       headers=[("Content-Disposition", value)]))
                self.redirect_to(scene, url)
                self.launch(scene, started=None, marker=marker)
                self.assertEqual(len(self.requests_of(self.store, scene, sidecar=False)), 1)

    def test_certificates_that_must_be_refused(self):
        refused = {kind: refused_certificate(os.path.join(self.work, "tls-" + kind), kind, self.ca)
                   for kind in ("self-signed", "wrong-name", "expired")}
        cases = [("redirect", "self-signed"), ("redirect", "wrong-name"), ("redirect", "expired"),
                 ("package", "self-signed"), ("package", "expired"), ("sidecar", "self-signed")]
        for n, (where, kind) in enumerate(cases):
            with self.subTest(where=where, certificate=kind):
                scene = Scene(self, f"tls{n}")
                server = self.redirect if where == "redirect" else self.store
                self.addCleanup(setattr, server, "tls", self.trusted)
                if where == "sidecar":
                    # The package comes over a trusted connection; from then
                    # on the store shows the refused certificate.
                    package = Answer(body=self.setup_bytes)

                    def swap(request, package=package, context=refused[kind]):
                        self.store.tls = context
                        return package
                    url = self.serve(scene)
                    self.store.answer(f"/{scene.key}/setup.exe", swap)
                else:
                    url = self.serve(scene)
                self.redirect_to(scene, url)
                refused_before = server.refused
                if where != "sidecar":
                    server.tls = refused[kind]
                self.launch(scene, started=False)
                server.tls = self.trusted
                self.assertGreater(server.refused, refused_before, "no connection was refused")
                self.assertEqual(self.requests_of(server, scene, sidecar=True if where == "sidecar" else None), [],
                                 "a request went over a refused connection")

    def test_collector_that_fails(self):
        modes = [("refusing", None), ("hanging", Answer(hang=True)), ("answering 500", Answer(500))]
        try:
            for n, (mode, answer) in enumerate(modes):
                with self.subTest(collector=mode):
                    self.use_collector(answer)
                    if answer is None:
                        with socket.socket() as s:
                            self.assertNotEqual(s.connect_ex(("127.0.0.1", self.collector_port)), 0)
                    scene = Scene(self, f"collector{n}")
                    self.redirect_to(scene, self.serve(scene))
                    run = self.launch(scene, started=True)
                    (record,) = [p for p, lines in self.records(scene).items() if lines]
                    after_start = run.ended_wall - os.stat(record).st_mtime
                    self.assertLessEqual(after_start, COLLECTOR_BOUND_S + COLLECTOR_MARGIN_S,
                                         f"exit {after_start:.1f} s after the setup started")
                    if self.collector:
                        self.assertTrue(self.collector.requests(), "the collector was not asked")
        finally:
            self.use_collector(Answer(200))

    def test_read_only_package_folder(self):
        self.need_mounts()
        archive = zip_of([("setup.exe", self.setup_bytes)])
        self.published.add(md5(self.setup_bytes).encode())

        def old_package(folder, build_only=False):
            target = folder if build_only else os.path.join(folder, "Build")
            os.makedirs(target, exist_ok=True)
            with open(os.path.join(target, "setup.exe"), "wb") as f:
                f.write(self.setup_bytes)
            if not build_only:
                with open(os.path.join(folder, "setup.exe"), "wb") as f:
                    f.write(self.setup_bytes)

        # What is read-only, what is in it, the package's name and body.
        cases = [
            ("base", None, "setup.exe", self.setup_bytes),
            ("package", old_package, "setup.exe", self.setup_bytes),
            ("build", lambda p: old_package(p, True), "pkg.zip", archive),
        ]
        for n, (what, fill, name, body) in enumerate(cases):
            with self.subTest(read_only=what):
                scene = Scene(self, f"readonly{n}")
                mount = {"base": scene.base, "package": scene.package, "build": scene.build}[what]
                self.tmpfs(mount, 4096, fill=fill, read_only=True)
                if fill:
                    self.remember(os.path.join(scene.package, "setup.exe") if what == "package"
                                  else os.path.join(scene.build, "setup.exe"))
                url = self.serve(scene, package=Answer(body=body), name=name,
                                 sidecar=Answer(body=md5(self.setup_bytes).encode()))
                self.redirect_to(scene, url)
                self.launch(scene, started=False)
                # The download's file is made before the package is asked
                # for: a folder nobody can write into costs no download. A
                # mounted package or build folder is a mount point, which is
                # no folder to trust (it could lead anywhere), and it cannot
                # be moved aside to be made anew: that costs no download either.
                self.assertFalse(self.requests_of(self.store, scene),
                                 "the package was fetched into a read-only folder")

    def snapshot_package(self, scene, folder=None):
        folder = folder or scene.package
        state = {}
        for root, _, files in os.walk(folder):
            for name in files:
                with open(os.path.join(root, name), "rb") as f:
                    state[os.path.relpath(os.path.join(root, name), folder)] = md5(f.read())
        return state

    def test_full_disk(self):
        self.need_mounts()
        padded = self.setup_bytes + bytes(3 * 1024 * 1024)
        big_archive = zip_of([("setup.exe", padded)])
        page = 4096

        def leave_free(pages):
            def fill(path):
                os.makedirs(os.path.join(path, "Package", "Build"))
                st = os.statvfs(path)
                with open(os.path.join(path, "filler"), "wb") as f:
                    f.write(bytes((st.f_bavail - pages) * st.f_frsize))
                self.assertEqual(os.statvfs(path).f_bavail, pages)
            return fill

        def earlier_build(path):
            os.makedirs(os.path.join(path, "Package", "Build"))
            with open(os.path.join(path, "Package", "Build", "setup.exe"), "wb") as f:
                f.write(self.setup_bytes)

        package_pages = -(-len(self.setup_bytes) // page)
        # How the disk is made full, the package's name, body and published digest.
        cases = [
            ("package larger than the free space", 128, None, "setup.exe", self.setup_bytes,
             md5(self.setup_bytes)),
            ("no room for the sidecar", 2048, leave_free(package_pages), "setup.exe",
             self.setup_bytes, md5(self.setup_bytes)),
            ("no room to unpack", 1024, earlier_build, "pkg.zip", big_archive, md5(padded)),
        ]
        self.published.add(md5(self.setup_bytes).encode())
        for n, (how, size_kb, fill, name, body, digest) in enumerate(cases):
            with self.subTest(how):
                scene = Scene(self, f"full{n}")
                self.tmpfs(scene.base, size_kb, fill=fill)
                if fill is earlier_build:
                    self.remember(os.path.join(scene.build, "setup.exe"))
                build_before = self.snapshot_package(scene, scene.build)
                url = self.serve(scene, package=Answer(body=body), name=name,
                                 sidecar=Answer(body=digest.encode()))
                self.redirect_to(scene, url)
                self.launch(scene, started=False)
                self.assertEqual(self.snapshot_package(scene, scene.build), build_before)
                self.assertTrue(self.requests_of(self.store, scene), "the fault was not met")

    def test_ten_launchers_with_one_instance_name(self):
        scene = Scene(self, "ten")
        gate = threading.Event()
        self.addCleanup(gate.set)
        # The first launcher's question is held until all the others are gone.
        self.point(scene, Answer(302, headers=[("Location", self.serve(scene))], gate=gate))
        runs = [self.begin(scene) for _ in range(10)]
        deadline = time.monotonic() + 90
        while sum(r.proc.poll() is not None for r in runs) < 9 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertIsNotNone(self.redirect.wait_for(lambda r: r.query.get("FunID") == scene.key, 30))
        self.assertEqual(len(self.requests_of(self.redirect, scene)), 1)
        waiting = [r for r in runs if r.proc.poll() is None]
        self.assertEqual(len(waiting), 1, "the other launchers did not leave while one ran")
        gate.set()
        for run in runs:
            self.finish(run, RUN_BOUND_S)
        self.assertEqual([r.result.code for r in runs], [0] * 10)
        self.assertEqual(len(self.requests_of(self.redirect, scene)), 1)
        guards = sorted(line for r in runs for line in r.result.debug if line.startswith("Single instance"))
        self.assertEqual(guards, ["Single instance: another launcher is running, exiting"] * 9 +
                         ["Single instance: first instance"])
        self.keeps_promises(waiting[0], started=True, bound=RUN_BOUND_S + 90)

    def test_killed_mid_download_then_run_again(self):
        scene = Scene(self, "killed")
        slow = Answer(body=self.setup_bytes, drip=(4096, 0.2))
        url = self.serve(scene, package=slow)
        self.redirect_to(scene, url)
        run = self.begin(scene)
        started = self.store.wait_for(
            lambda r: r.target == f"/{scene.key}/setup.exe" and r.sent >= 16 * 1024, RUN_BOUND_S)
        self.assertIsNotNone(started, "the download did not begin")
        self.assertLess(started.sent, len(self.setup_bytes))
        run.proc.kill()
        self.finish(run, RUN_BOUND_S)
        self.assertEqual(self.records(scene), {})
        self.assertEqual(self.remembered, run.before["remembered"], "a killed run left LocalPath")
        self.assertEqual(self.watched(scene), run.before["watched"])

        self.serve(scene)
        again = self.launch(scene, started=True)
        self.assertIn("Single instance: first instance", again.result.debug)
        self.assertEqual(self.unix_path(self.remembered),
                         next(p for p, lines in self.records(scene).items() if lines)[:-len(RECORD)])

    def restore(self, kept):
        """Puts the good program back if a run spoilt it, so that each kind of
        archive is judged on its own; True when it had to."""
        if os.path.isfile(kept):
            with open(kept, "rb") as f:
                if md5(f.read()) == md5(self.setup_bytes):
                    return False
        os.makedirs(os.path.dirname(kept), exist_ok=True)
        with open(kept, "wb") as f:
            f.write(self.setup_bytes)
        return True

    def test_corrupt_archive_after_a_good_one_then_a_local_run(self):
        scene = Scene(self, "archive")
        good = zip_of([("setup.exe", self.setup_bytes)])
        sidecar = Answer(body=md5(self.setup_bytes).encode())
        self.redirect_to(scene, self.serve(scene, package=Answer(body=good), sidecar=sidecar,
                                           name="pkg.zip"))
        self.launch(scene, started=True)
        kept = os.path.join(scene.build, "setup.exe")
        self.assertEqual(self.unix_path(self.remembered), kept)

        stored = bytearray(zip_of([("setup.exe", self.setup_bytes)], zipfile.ZIP_STORED))
        # The stored entry's CRC, in the local header and the central directory.
        central = stored.rfind(b"PK\x01\x02")
        for offset in (14, central + 16):
            crc = struct.unpack_from("<I", stored, offset)[0]
            struct.pack_into("<I", stored, offset, crc ^ 0x5A5A5A5A)
        # An entry whose data ends early: its headers announce the whole
        # program's size and checksum, its data holds the first half.
        short = bytearray(zip_of([("setup.exe", self.setup_bytes[:len(self.setup_bytes) // 2])]))
        central = short.rfind(b"PK\x01\x02")
        whole = (zipfile.crc32(self.setup_bytes), len(self.setup_bytes))
        for crc_at, size_at in ((14, 22), (central + 16, central + 24)):
            struct.pack_into("<I", short, crc_at, whole[0])
            struct.pack_into("<I", short, size_at, whole[1])
        damaged = bytearray(good)
        middle = len(damaged) // 2
        damaged[middle:middle + 256] = bytes(256)
        corrupt = {
            "cut short": good[:len(good) // 2],
            "entry data ends early": bytes(short),
            "data damaged": bytes(damaged),
            "wrong checksum": bytes(stored),
            "not an archive": b"PK\x03\x04" + b"\x00\xff" * 4000,
        }
        for kind, archive in corrupt.items():
            with self.subTest(kind):
                self.serve(scene, package=Answer(body=archive), sidecar=sidecar, name="pkg.zip")
                try:
                    self.launch(scene, started=False)
                finally:
                    spoilt = self.restore(kept)
                self.assertFalse(spoilt, "the build folder was spoilt")
                self.assertEqual(self.unix_path(self.remembered), kept)

        # The kept package is found through the placeholder address.
        self.point(scene, Answer(302, headers=[("Location", PLACEHOLDER + "/anything")]))
        self.store.answer("/1.1/en-us/setup.exe_MD5.txt", sidecar)
        starts = len(self.records(scene).get(kept + RECORD, []))
        self.launch(scene, started=True)
        self.assertEqual(len(self.records(scene)[kept + RECORD]), starts + 1)


if __name__ == "__main__":
    unittest.main()
