"""The transfer code under Wine against loopback services: the session and
its time limits, SubmitRequest and DownloadFile, HTTPS with a test CA, and
proxy discovery (static proxies, proxy scripts over HTTP and as file:// URLs,
automatic detection).

The tests run in a prefix of their own, because they change the prefix's
proxy settings. The net_driver program prints key=value lines.
"""

import os
import resource
import shutil
import signal
import tempfile
import time
import unittest

from package_store import PackageStore
from proxy import Proxy, pac_script
from testbed import (PROXY_TYPE_AUTO_DETECT, PROXY_TYPE_AUTO_PROXY_URL, PROXY_TYPE_DIRECT,
                     PROXY_TYPE_PROXY, TestBed, again_while_wine_client_failed)
from testca import TestCA

DRIVER = os.environ.get("LAUNCHER_BIN_net_driver")
IMPORT_CA = os.environ.get("LAUNCHER_BIN_import_root_ca")

SUCCESS = 0x20FF0000
ACCEPTED = 0x60FF0003
NO_FILE_NAME = 0xE0FF0008
CANNOT_CREATE = 0xE0FF0011
UNEXPECTED_STATUS = 0xE0FF0022
UNUSABLE_URL = 0xE0FE0008
WAIT_RAN_OUT = 0xE0FE0000 | 12029
BODY_CUT_OFF = 0xE0FE0000 | 12030
CANCELLED = 0xE0FE0000 | 1223
# Whether this build has the transfer's test hook (CMake LAUNCHER_TEST_HOOKS).
HOOKS_BUILT = os.environ.get("NET_TEST_HOOKS_BUILT") == "1"
WAIT_VARIABLE = "LAUNCHER_TEST_WAIT_MS"


def pattern(size, seed=0):
    """Bytes that differ from chunk to chunk, so that lost or repeated pieces
    show."""
    return bytes((i * 31 + i // 8192 + seed) & 0xFF for i in range(size))


def post_body(size):
    """The body the driver posts: a letter per 8192-byte chunk."""
    return bytes(ord("a") + (i // 8192) % 26 for i in range(size))


class Outcome:
    def __init__(self, result, seconds):
        self.result = result
        self.code = result.code
        self.debug = result.debug
        self.stderr = result.stderr
        self.seconds = seconds
        self.values = {}
        for line in result.stdout.splitlines():
            key, sep, value = line.partition("=")
            if sep:
                self.values[key.strip()] = value.rstrip("\r")

    def __getitem__(self, key):
        return self.values[key]

    def number(self, key):
        return int(self.values[key], 0)

    def progress(self):
        text = self.values.get("progress", "")
        return [int(x) for x in text.split(",")] if text else []

    def __repr__(self):
        return f"Outcome(code={self.code}, values={self.values}, {self.result.said()})"


@unittest.skipUnless(DRIVER and IMPORT_CA, "run through CTest")
class NetTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="net-e2e-", dir=os.environ["TESTBED_DIR"])
        cls.bed = TestBed(os.path.join(cls.work, "bed"))
        cls.bed.make_prefix()
        cls.ca = TestCA(os.path.join(cls.work, "ca"))
        cls.ca.trust_in(cls.bed, IMPORT_CA)
        cls.store = PackageStore()
        cls.secure = PackageStore(ssl_context=cls.ca.server_context())
        cls.proxy = Proxy()
        cls.seeded = (PROXY_TYPE_DIRECT, "", "")

    @classmethod
    def tearDownClass(cls):
        for server in (cls.store, cls.secure, cls.proxy):
            server.stop()
        cls.bed.shutdown()
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.store.reset()
        self.secure.reset()
        self.proxy.reset()
        self.settings(PROXY_TYPE_DIRECT)
        self.folder = tempfile.mkdtemp(prefix="dl-", dir=self.work)

    def settings(self, flags, proxy="", autoconfig_url=""):
        """Seeds the prefix's proxy settings (each write starts a Wine
        process, so an unchanged value is not written again)."""
        wanted = (flags, proxy, autoconfig_url)
        if NetTest.seeded != wanted:
            self.bed.seed_connection_settings(flags, proxy, autoconfig_url=autoconfig_url)
            NetTest.seeded = wanted

    def drive(self, *args, timeout=120, preexec_fn=None, extra_env=None):
        # The test hook's variable reaches the driver only where a test sets it.
        extra = {WAIT_VARIABLE: None, **(extra_env or {})}

        def attempt():
            started = time.monotonic()
            proc = self.bed.start(DRIVER, args, extra, preexec_fn=preexec_fn)
            result = TestBed.collect(proc, timeout)
            outcome = Outcome(result, time.monotonic() - started)
            return result.code, result.stdout, result.stderr, outcome

        outcome = again_while_wine_client_failed(attempt, "net_driver " + str(args[0]),
                                                 self.bed.dir)
        self.assertEqual(outcome.code, 0, outcome)
        return outcome

    def download(self, url, *extra, **kwargs):
        return self.drive("download", url, self.bed.to_windows_path(self.folder), *extra, **kwargs)

    def saved(self):
        return sorted(os.listdir(self.folder))

    def assert_nothing_saved(self, out):
        """A failed download leaves the folder empty and its path output at
        the folder that went in."""
        self.assertEqual(self.saved(), [])
        self.assertEqual(out["path"], self.bed.to_windows_path(self.folder), out)

    def read(self, name):
        with open(os.path.join(self.folder, name), "rb") as f:
            return f.read()

    # -- the session -------------------------------------------------------

    def test_unusable_scheme_fails_both_operations(self):
        for command, url in (("submit", f"HTTP://127.0.0.1:{self.store.port}/pkg.exe"),
                             ("download", f"ftp://127.0.0.1:{self.store.port}/pkg.exe")):
            with self.subTest(url=url):
                if command == "download":
                    out = self.download(url)
                else:
                    out = self.drive(command, url)
                self.assertEqual(out.number("result"), UNUSABLE_URL, out)
        self.assertEqual(self.store.requests, [])

    def test_redirect_keeps_location_and_reads_its_body(self):
        location = "https://cdn.example/dir/pkg.exe?a=1&b=2"
        url = self.store.route("/moved", status=302, location=location, body=b"moved here")
        out = self.drive("session", url)
        self.assertEqual((out.number("send"), out.number("status")), (0, 302), out)
        self.assertEqual(out["location"], location)
        self.assertEqual(out.number("body_length"), len(b"moved here"))
        self.assertEqual(out.number("body_error"), 0)

        out = self.drive("submit", url)
        self.assertEqual(out.number("result"), SUCCESS, out)
        self.assertEqual(bytes.fromhex(out["out_hex"]), location.encode("utf-8"))
        self.assertIn("http status is 302", out.debug)

        out = self.download(url)
        self.assertEqual(out.number("result"), UNEXPECTED_STATUS, out)
        self.assertIn("submit request failed, http status code 302", out.debug)
        self.assertEqual(self.saved(), [])

    def test_other_statuses_deliver_nothing(self):
        url = self.store.route("/gone", status=404, body=b"x" * 5000)
        out = self.drive("session", url)
        self.assertEqual((out.number("status"), out.number("body_length")), (404, 0), out)

        out = self.drive("submit", url)
        self.assertEqual((out.number("result"), out.number("status")), (UNEXPECTED_STATUS, 404))
        self.assertEqual(bytes.fromhex(out["out_hex"]), b"untouched")
        self.assertIn("submit request failed, http status code 404", out.debug)

        url = self.store.route("/later", status=202, body=b"wait")
        out = self.drive("submit", url)
        self.assertEqual(out.number("result"), ACCEPTED, out)
        self.assertIn("The request is accepted, but not process yet", out.debug)
        out = self.download(url)
        self.assertEqual(out.number("result"), ACCEPTED, out)
        self.assertEqual(self.saved(), [])

    def test_progress_only_with_content_length(self):
        body = pattern(50000)
        cases = (("/sized", {}, True),
                 ("/unsized", {"content_length": False}, False),
                 ("/chunked", {"chunked": True}, False))
        for path, kwargs, reported in cases:
            with self.subTest(path=path):
                out = self.drive("session", self.store.route(path, body=body, **kwargs))
                self.assertEqual(out.number("status"), 200, out)
                self.assertEqual(out.number("body_length"), len(body))
                self.assertEqual(bytes.fromhex(out["body_hex"]), body[:256])
                self.assertEqual(out.number("body_error"), 0)
                progress = out.progress()
                if reported:
                    self.assertGreaterEqual(len(progress), 7)
                    self.assertEqual(progress, sorted(progress))
                    self.assertEqual(progress[-1], 100)
                    self.assertLess(progress[-2], 100)
                else:
                    self.assertEqual(progress, [])

    def test_post_body_goes_out_whole_and_in_order(self):
        url = self.store.route("/collect", body=b"ok")
        for size in (20000, 8192, 0):
            with self.subTest(size=size):
                self.store.reset()
                self.store.route("/collect", body=b"ok")
                out = self.drive("session", url, "--post-bytes", size)
                self.assertEqual(out.number("status"), 200, out)
                [request] = self.store.requests
                self.assertEqual(request.method, "POST")
                self.assertEqual(request.body, post_body(size))

    def test_submit_sends_extra_headers_only_with_post(self):
        url = self.store.route("/collect", body=b"answer")
        out = self.drive("submit", url, "--post-bytes", 10, "--headers", "X-Launcher-Test: yes")
        self.assertEqual(out.number("result"), SUCCESS, out)
        self.assertEqual(bytes.fromhex(out["out_hex"]), b"answer")
        out = self.drive("submit", url, "--headers", "X-Launcher-Test: yes")
        self.assertEqual(out.number("result"), SUCCESS, out)
        first, second = self.store.requests
        self.assertEqual(first.headers.get("X-Launcher-Test"), "yes")
        self.assertNotIn("X-Launcher-Test", second.headers)
        self.assertEqual(second.method, "GET")

    def test_body_closed_off_early_fails_as_cut_off(self):
        # The connection closes in order after 20000 of 100000 announced
        # bytes: the headers always arrive, and the body is short.
        body = pattern(100000)
        url = self.store.route("/closed.exe", body=body, break_after=20000, break_graceful=True)
        out = self.drive("session", url)
        self.assertEqual((out.number("send"), out.number("status")), (0, 200), out)
        self.assertEqual(out.number("body_length"), 20000)
        self.assertNotEqual(out.number("body_error"), 0)

        out = self.download(url)
        self.assertEqual(out.number("result"), BODY_CUT_OFF, out)
        self.assert_nothing_saved(out)

    def test_broken_off_body_is_never_saved(self):
        # The connection is reset after 20000 bytes. A reset may reach the
        # client before it has read the headers that preceded it; then no
        # status was seen, and the failure is the one of a connection that
        # gave no answer. Both outcomes fail and save nothing; nothing else
        # is acceptable.
        body = pattern(100000)
        url = self.store.route("/broken.exe", body=body, break_after=20000)
        for attempt in range(3):
            with self.subTest(attempt=attempt):
                out = self.drive("session", url)
                self.assertEqual(out.number("send"), 0, out)
                if out.number("status") == 200:
                    self.assertLessEqual(out.number("body_length"), 20000)
                    self.assertNotEqual(out.number("body_error"), 0, out)
                else:
                    self.assertEqual((out.number("status"), out.number("body_length")), (0, 0), out)

                out = self.download(url)
                result = out.number("result")
                if result != UNEXPECTED_STATUS:
                    self.assertEqual(result & 0xFFFF0000, 0xE0FE0000, out)
                    self.assertIn("http status is 200", out.debug)
                else:
                    self.assertIn("submit request failed, http status code 0", out.debug)
                self.assert_nothing_saved(out)

    def test_https_download_with_the_test_ca(self):
        body = pattern(300000, seed=5)
        out = self.download(self.secure.route("/secure/pkg.exe", body=body))
        self.assertEqual(out.number("result"), SUCCESS, out)
        self.assertEqual(self.saved(), ["pkg.exe"])
        self.assertEqual(self.read("pkg.exe"), body)

    # -- time limits and abandoned requests ----------------------------------

    def test_wait_limit_ends_a_slow_download_and_late_notifications_do_nothing(self):
        # Two chunks at once, then two bytes every half second: the wait runs
        # out while the body still trickles in.
        # The bound leaves the first chunks room to arrive on a busy machine.
        url = self.store.route("/slow.exe", body=pattern(40000), drip=(2, 0.5), drip_after=16384)
        out = self.download(url, "--wait-ms", 4000, "--linger-ms", 3000)
        self.assertEqual(out.number("result"), WAIT_RAN_OUT, out)
        self.assertGreater(len(out.progress()), 0, "the first chunks never arrived")
        self.assertLess(max(out.progress()), 100)
        self.assertEqual(out.number("late_progress"), 0)
        self.assertLess(out.seconds, 4 + 3 + 15)
        self.assert_nothing_saved(out)

    def test_stop_ends_a_transfer_at_once(self):
        # The body trickles in, the server stalls, or the stop comes first:
        # each ends with the stop's code long before the bound, and nothing
        # is delivered.
        slow = self.store.route("/trickle.exe", body=pattern(400000), drip=(512, 0.05),
                                drip_after=16384)
        stalled = self.store.route("/stalled.exe", hang=True)
        cases = (("trickling body", "download", slow, ("--stop-at-report", 3)),
                 ("stalled server", "download", stalled, ("--stop-after-ms", 500)),
                 ("stalled submit", "submit", stalled, ("--stop-after-ms", 500)))
        for name, command, url, stop in cases:
            with self.subTest(name):
                if command == "download":
                    out = self.download(url, "--wait-ms", 60000, "--linger-ms", 1000, *stop)
                    self.assert_nothing_saved(out)
                    self.assertEqual(out.number("late_progress"), 0)
                else:
                    out = self.drive(command, url, "--wait-ms", 60000, *stop)
                    self.assertEqual(bytes.fromhex(out["out_hex"]), b"untouched")
                self.assertEqual(out.number("result"), CANCELLED, out)
                stop_to_return = float(out["stop_to_return_ms"])
                print(f"[measured] {name}: stop to return {stop_to_return:.1f} ms")
                self.assertGreaterEqual(stop_to_return, 0)
                # A small share of the bound that would otherwise have ended it.
                self.assertLess(stop_to_return, 60000 / 20)

    def test_test_hook_exists_only_in_test_builds(self):
        out = self.drive("limits", "-")
        self.assertEqual((out.number("wait_ms"), out.number("stack_timeout_ms")), (300000, 75000))
        out = self.drive("limits", "-", extra_env={WAIT_VARIABLE: "1500"})
        self.assertEqual(out.number("wait_ms"), 1500 if HOOKS_BUILT else 300000, out)
        if not HOOKS_BUILT:
            return
        # A download that names no bound of its own ends at the hook's.
        out = self.download(self.store.route("/hooked.exe", hang=True),
                            extra_env={WAIT_VARIABLE: "1500"})
        self.assertEqual(out.number("result"), WAIT_RAN_OUT, out)
        self.assertIn("test hook: transfer bound 1500 ms", out.debug)
        self.assert_nothing_saved(out)

    def test_platform_timeout_ends_a_stalled_body(self):
        url = self.store.route("/stalled", body=pattern(40000), drip=(1, 300), drip_after=20000)
        out = self.drive("submit", url, "--stack-timeout-ms", 3000, "--wait-ms", 60000)
        self.assertEqual(out.number("status"), 200, out)
        self.assertEqual(out.number("result") & 0xFFFF0000, 0xE0FE0000, out)
        self.assertEqual(bytes.fromhex(out["out_hex"]), b"untouched")
        self.assertLess(out.seconds, 30)

    # -- naming and saving ----------------------------------------------------

    def test_numbering_never_touches_existing_files(self):
        for name in ("pkg.exe", "pkg(1).exe"):
            with open(os.path.join(self.folder, name), "wb") as f:
                f.write(b"old " + name.encode())
        out = self.download(self.store.route("/dl/pkg.exe", body=b"new package"))
        self.assertEqual(out.number("result"), SUCCESS, out)
        self.assertTrue(out["path"].endswith("\\pkg(2).exe"), out)
        self.assertEqual(self.read("pkg(2).exe"), b"new package")
        self.assertEqual(self.read("pkg.exe"), b"old pkg.exe")
        self.assertEqual(self.read("pkg(1).exe"), b"old pkg(1).exe")

    def test_names_from_the_server_stay_inside_the_folder(self):
        cases = (
            ("/cd", 'attachment; filename="a.exe"; size=3', (), "a.exe"),
            ("/cd", 'attachment; FILENAME="..\\..\\Evil.exe"', (), "Evil.exe"),
            ("/cd", 'attachment; filename="C:\\Windows\\x.exe"', (), "x.exe"),
            ("/cd", 'attachment; filename="pkg.exe:hidden"', (), "pkg.exe_hidden"),
            ("/dir/pkg", None, ("--type", "exe"), "pkg.exe"),
        )
        # Other tests write beside this one: look only for the names at stake.
        outside = (os.path.dirname(self.folder), os.path.dirname(os.path.dirname(self.folder)),
                   os.path.join(self.bed.prefix, "drive_c", "windows"))
        names = {case[3] for case in cases} | {"pkg.exe:hidden", "Evil.exe"}
        for path, disposition, extra, expected in cases:
            with self.subTest(disposition=disposition, path=path):
                shutil.rmtree(self.folder)
                os.mkdir(self.folder)
                url = self.store.route(path, body=b"payload", disposition=disposition)
                out = self.download(url, *extra)
                self.assertEqual(out.number("result"), SUCCESS, out)
                self.assertEqual(self.saved(), [expected])
                self.assertEqual(out["path"], self.bed.to_windows_path(
                    os.path.join(self.folder, expected)))
        for folder in outside:
            self.assertEqual(names & set(os.listdir(folder)), set(), folder)

        shutil.rmtree(self.folder)
        os.mkdir(self.folder)
        out = self.download(self.store.route("/", body=b"payload"))
        self.assertEqual(out.number("result"), NO_FILE_NAME, out)
        self.assertEqual(self.saved(), [])

    def test_full_disk_removes_the_partial_file(self):
        body = pattern(1 << 20)
        url = self.store.route("/big.exe", body=body)
        # Writing more than 200 KiB fails as on a full disk. Only the driver
        # is limited; the wineserver of the prefix runs already.
        self.drive("session", self.store.route("/warm", body=b"x"))

        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (200 * 1024, 200 * 1024))

        out = self.download(url, preexec_fn=limit_file_size)
        self.assertEqual(out.number("result"), CANNOT_CREATE, out)
        self.assert_nothing_saved(out)
        self.assertTrue(any(line.startswith("writing ") for line in out.debug), out.debug)

    # -- proxy discovery --------------------------------------------------------

    def discover(self, url="http://127.0.0.1/x", *extra):
        return self.drive("proxy", url, *extra)

    def test_static_proxy_forms(self):
        cases = (
            ("http=p:80;https=q:443", ("p", 80)),
            ("p:8080", ("p", 8080)),
            ("p:8080;q:8081", ("p", 8080)),
            # No port: port 80 with this host, never an earlier discovery's.
            ("http=portless;https=q:443", ("portless", 80)),
            # Too long for the proxy buffer: refused, the connection goes direct.
            ("p:8080;" + "x" * 3000, None),
        )
        for text, expected in cases:
            with self.subTest(text=text[:40]):
                self.settings(PROXY_TYPE_PROXY, text)
                out = self.discover("http://127.0.0.1/x", "--preset", "stale", 1234)
                if expected is None:
                    self.assertEqual((out.number("discover"), out.number("found")), (13, 0), out)
                else:
                    self.assertEqual(out.number("found"), 1, out)
                    self.assertEqual((out["host"], out.number("port")), expected)

    def test_downloads_through_a_static_proxy(self):
        # The store is named localhost so that its host name differs from the
        # proxy's (Wine's WinHTTP tells a proxy from the target by host name).
        self.settings(PROXY_TYPE_PROXY, self.proxy.address)
        body = pattern(200000, seed=9)
        url = self.secure.route("/via/pkg.exe", body=body)
        out = self.download(url.replace("127.0.0.1", "localhost"))
        self.assertEqual(out.number("result"), SUCCESS, out)
        self.assertEqual(self.read("pkg.exe"), body)
        self.assertIn(("CONNECT", f"localhost:{self.secure.port}"), self.proxy.seen)
        self.assertIn(self.proxy.address, out.debug)

        url = self.store.route("/plain.exe", body=b"plain").replace("127.0.0.1", "localhost")
        out = self.download(url)
        self.assertEqual(out.number("result"), SUCCESS, out)
        self.assertIn(("GET", url), self.proxy.seen)

    def test_proxy_script_over_http(self):
        pac = self.store.route("/proxy.pac", body=pac_script("PROXY " + self.proxy.address),
                               headers=[("Content-Type", "application/x-ns-proxy-autoconfig")])
        self.settings(PROXY_TYPE_AUTO_PROXY_URL, autoconfig_url=pac)
        body = pattern(50000, seed=3)
        url = self.secure.route("/pac/pkg.exe", body=body).replace("127.0.0.1", "localhost")
        out = self.download(url)
        self.assertEqual(out.number("result"), SUCCESS, out)
        self.assertEqual(self.read("pkg.exe"), body)
        self.assertTrue(self.store.requests_for("/proxy.pac"))
        self.assertIn(("CONNECT", f"localhost:{self.secure.port}"), self.proxy.seen)

    def test_proxy_script_answering_direct_is_asked_four_times(self):
        pac = self.store.route("/direct.pac", body=pac_script("DIRECT"))
        self.settings(PROXY_TYPE_AUTO_PROXY_URL, autoconfig_url=pac)
        out = self.discover()
        self.assertEqual(out.number("found"), 0, out)
        retries = [line for line in out.debug if line.startswith("Retry ")]
        self.assertEqual(retries, [f"Retry {n} to get PAC proxy" for n in (1, 2, 3)])

    def file_url(self, name, answer):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(pac_script(answer))
        return "file:///" + self.bed.to_windows_path(path).replace("\\", "/")

    def test_proxy_script_file_through_the_script_host(self):
        script = self.file_url("proxy.pac", "PROXY " + self.proxy.address)
        out = self.drive("jsproxy", "http://localhost/x", script)
        self.assertEqual((out.number("result"), out["answer"]),
                         (0, "PROXY " + self.proxy.address), out)

        self.settings(PROXY_TYPE_AUTO_PROXY_URL, autoconfig_url=script)
        url = self.store.route("/js/pkg.exe", body=b"via script").replace("127.0.0.1", "localhost")
        out = self.download(url)
        self.assertEqual(out.number("result"), SUCCESS, out)
        self.assertEqual(self.read("pkg.exe"), b"via script")
        self.assertIn(("GET", url), self.proxy.seen)

    def test_proxy_script_file_answering_direct_falls_back_to_winhttp(self):
        script = self.file_url("direct.pac", "direct")
        self.settings(PROXY_TYPE_AUTO_PROXY_URL, autoconfig_url=script)
        out = self.discover()
        self.assertEqual(out.number("found"), 0, out)
        # WinHTTP was asked after the script host: either its answer or its
        # error is written.
        self.assertTrue(any(line.startswith(("ProxyInfo.", "ERROR_WINHTTP_", "WinHttpGetProxyForUrl"))
                            for line in out.debug), out.debug)

    def test_failed_auto_detection_goes_direct(self):
        self.settings(PROXY_TYPE_AUTO_DETECT)
        out = self.download(self.store.route("/auto/pkg.exe", body=b"direct"))
        self.assertEqual(out.number("result"), SUCCESS, out)
        self.assertIn("ERROR_WINHTTP_AUTODETECTION_FAILED", out.debug)
        self.assertEqual(self.proxy.seen, [])


if __name__ == "__main__":
    unittest.main()
