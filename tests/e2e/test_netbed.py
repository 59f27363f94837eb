"""Transfers through the network test bed (tests/support/netbed.py): the
services in one namespace, the client in another, over a shaped veth link.

LinkTest checks the bed itself and the store's fault scripts with curl in
the client namespace. TransferTest drives DownloadFile and SubmitRequest
(net_driver under Wine, in the client namespace) through rate limits, loss,
latency, resets, a stall, an ignored Range, a file that changes between
attempts, 503 and 429 answers, and a stop during the wait before a retry.

Without root or iproute2 every test is skipped with "netbed unavailable".
"""

import hashlib
import os
import random
import shutil
import subprocess
import tempfile
import time
import unittest

import netbed
from package_store import PackageStore, Route
from testbed import DEBUG_CHANNELS, TestBed
from testca import TestCA

REASON = netbed.unavailable()
DRIVER = os.environ.get("LAUNCHER_BIN_net_driver")
IMPORT_CA = os.environ.get("LAUNCHER_BIN_import_root_ca")
MIB = 1 << 20
SUCCESS = 0x20FF0000
CANCELLED = 0xE0FE0000 | 1223


def payload(size, seed):
    return random.Random(seed).randbytes(size)


class BedCase(unittest.TestCase):
    """One bed for the class: an HTTPS store (certificate for the bed's
    address) and a plain HTTP one, both in the services' namespace."""

    @classmethod
    def setUpClass(cls):
        if REASON:
            raise unittest.SkipTest(f"netbed unavailable: {REASON}")
        netbed.cleanup()  # what an earlier run that was killed left behind
        cls.work = tempfile.mkdtemp(prefix="netbed-", dir=os.environ.get("TESTBED_DIR"))
        cls.net = netbed.NetBed()
        cls.ca = TestCA(os.path.join(cls.work, "ca"))
        tls = cls.ca.context_for_address(cls.net.server_addr)
        cls.store = cls.net.serve(lambda: PackageStore(ssl_context=tls, host=cls.net.server_addr))
        cls.plain = cls.net.serve(lambda: PackageStore(host=cls.net.server_addr))

    @classmethod
    def tearDownClass(cls):
        cls.store.stop()
        cls.plain.stop()
        cls.net.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.store.reset()
        self.plain.reset()
        self.net.shape(None, 0)

    def curl(self, url, *args, out=os.devnull, timeout=60):
        """curl in the client namespace; (exit code, -w text)."""
        result = subprocess.run(
            self.net.client_command(["curl", "-s", "--cacert", self.ca.ca_pem, "-o", out, *args,
                                     url]), capture_output=True, text=True, timeout=timeout)
        return result.returncode, result.stdout


@unittest.skipIf(shutil.which("curl") is None, "no curl")
class LinkTest(BedCase):
    def fetch_seconds(self, url):
        code, text = self.curl(url, "-w", "%{time_starttransfer} %{time_total}")
        self.assertEqual(code, 0)
        first, total = map(float, text.split())
        return total - first

    def test_rate_follows_the_shaping(self):
        url = self.plain.route("/rate.bin", body=payload(3 * MIB, 1))
        seconds = {}
        for rate in (10, 20):
            self.net.shape(rate_mbit=rate)
            seconds[rate] = self.fetch_seconds(url)
        # Never faster than the bucket lets through; half the rate, about
        # twice the time.
        self.assertLess(3 * MIB * 8 / seconds[20] / 1e6, 20 * 1.1, seconds)
        self.assertTrue(1.5 < seconds[10] / seconds[20] < 2.6, seconds)

    def test_loss_drops_packets_and_transfers_survive(self):
        self.net.shape(loss_pct=2)
        data = payload(4 * MIB, 2)
        url = self.store.route("/loss.bin", body=data)
        out = os.path.join(self.work, "loss.bin")
        self.assertEqual(self.curl(url, out=out)[0], 0)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertGreater(self.net.dropped(), 0)

    def test_relay_delays_each_round_trip(self):
        self.plain.route("/small", body=b"x" * 100)
        relay = self.net.relay(self.plain.port, rtt_ms=200)
        # From the request sent to the answer's first byte: one round trip.
        for port, low, high in ((self.plain.port, 0, 0.15), (relay.port, 0.19, 5)):
            code, text = self.curl(f"http://{self.net.server_addr}:{port}/small", "-w",
                                   "%{time_pretransfer} %{time_starttransfer}")
            start, first = map(float, text.split())
            self.assertTrue(low <= first - start < high, (port, text))
        # A reset behind the relay reaches the client as a reset.
        self.plain.route("/cut", body=payload(2 * MIB, 9), reset_every=MIB)
        code, _ = self.curl(f"http://{self.net.server_addr}:{relay.port}/cut", "--max-time", "10")
        self.assertEqual(code, 56)

    def test_store_scripts(self):
        data, changed = payload(3 * MIB, 3), payload(3 * MIB, 4)
        out = os.path.join(self.work, "script.bin")
        # A reset every MiB: each resumed request starts where the last ended.
        url = self.store.route("/reset", body=data, ranges=True, etag='"a"', reset_every=MIB)
        codes = [self.curl(url, "-C", "-", out=out)[0] for _ in range(3)]
        self.assertEqual(codes, [56, 56, 0])
        with open(out, "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual([(r["range"], r["status"]) for r in self.store.log("/reset")],
                         [(None, 200), (f"bytes={MIB}-", 206), (f"bytes={2 * MIB}-", 206)])
        # If-Range against the validators; Range ignored; a changed file; 416.
        modified = "Tue, 01 Dec 2026 10:00:00 GMT"
        self.store.route("/v", body=data, ranges=True, etag='"a"', last_modified=modified,
                         then=Route(body=changed, ranges=True, etag='"b"'))
        self.store.route("/ignore", body=data, ranges=True, etag='"a"', ignore_range=True)
        for path, headers, status, size in (
                ("/v", [f"If-Range: {modified}"], 206, 3 * MIB - 100),
                ("/v", ['If-Range: "a"'], 200, 3 * MIB),
                ("/v", ['If-Range: "b"'], 206, 3 * MIB - 100),
                ("/ignore", [], 200, 3 * MIB),
                ("/v", [], 206, 3 * MIB - 100)):
            args = ["-w", "%{http_code} %{size_download}", "-H", "Range: bytes=100-"]
            for header in headers:
                args += ["-H", header]
            self.assertEqual(self.curl(self.store.url(path), *args)[1], f"{status} {size}", path)
        self.assertEqual(self.curl(self.store.url("/v"), "-w", "%{http_code}", "-H",
                                   f"Range: bytes={3 * MIB}-")[1], "416")
        # Answers given once.
        url = self.store.route("/once", status=503, then=Route(
            status=429, headers=[("Retry-After", "2")], then=Route(body=b"ok")))
        self.assertEqual([self.curl(url, "-w", "%{http_code}")[1] for _ in range(3)],
                         ["503", "429", "200"])
        # A stall holds the body once, for its time.
        url = self.plain.route("/stall", body=data, stall=(MIB, 2))
        self.assertGreater(self.fetch_seconds(url), 1.9)
        self.assertLess(self.fetch_seconds(url), 1.9)

    def test_bed_lives_in_its_namespaces_only(self):
        def host_links():
            return subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout

        before = host_links()
        with netbed.NetBed(rate_mbit=5, loss_pct=1) as bed:
            self.assertEqual(host_links(), before)
            names = (bed.server_ns, bed.client_ns)
        listed = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
        self.assertFalse([n for n in names if n in listed], listed)
        # A namespace left by a process that ended is cleaned up.
        stale = "lnb-s-999999999-1"
        subprocess.run(["ip", "netns", "add", stale], check=True)
        self.assertIn(stale, netbed.cleanup())


@unittest.skipUnless(DRIVER and IMPORT_CA, "run through CTest")
class TransferTest(BedCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The run's prefix (these tests change no proxy setting); the tests
        # run serially, so stopping its wineserver at the end is safe.
        cls.bed = TestBed(os.environ["TESTBED_DIR"])
        # Wine's server makes the programs' sockets, so the persistent server
        # for the whole class runs in the client's namespace; any server still
        # running for the prefix is waited for first. tearDownClass stops it
        # in order before the bed goes, so the prefix's registry is kept.
        cls.bed.wait_idle(timeout=60)
        subprocess.run(cls.net.client_command(["wineserver", "-p"]), env=cls.bed.env(),
                       check=True, timeout=60)
        cls.ca.trust_in(cls.bed, IMPORT_CA)

    @classmethod
    def tearDownClass(cls):
        cls.bed.shutdown()
        super().tearDownClass()

    def drive(self, *args, timeout=150):
        env = self.bed.env(DEBUG_CHANNELS)
        env["LAUNCHER_TEST_WAIT_MS"] = "60000"
        # The real waits between attempts: the tests time them.
        env["LAUNCHER_TEST_BACKOFF_UNIT_MS"] = "1000"
        command = self.net.client_command(self.bed.command(DRIVER, [str(a) for a in args]))
        with tempfile.TemporaryFile(dir=self.work) as out:
            proc = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.DEVNULL, timeout=timeout)
            out.seek(0)
            text = out.read().decode("utf-8", "replace")
        self.assertEqual(proc.returncode, 0, text)
        return dict(line.rstrip("\r").partition("=")[::2] for line in text.splitlines())

    def download(self, path, expected, *extra, port=None):
        """Downloads into a new folder; returns the store's log of path and
        the driver's output."""
        folder = tempfile.mkdtemp(prefix="dl-", dir=self.work)
        url = f"https://{self.net.server_addr}:{port or self.store.port}{path}"
        out = self.drive("download", url, self.bed.to_windows_path(folder), "--stats", *extra)
        self.assertEqual(int(out["result"], 0), SUCCESS, out)
        with open(os.path.join(folder, os.path.basename(path)), "rb") as f:
            self.assertEqual(hashlib.md5(f.read()).hexdigest(), hashlib.md5(expected).hexdigest())
        return self.store.log(path), out

    def test_slow_lossy_and_narrow_links(self):
        data = payload(4 * MIB, 5)
        self.store.route("/pkg.exe", body=data)
        relay = self.net.relay(self.store.port, rtt_ms=100)
        self.net.shape(loss_pct=1)
        self.download("/pkg.exe", data, port=relay.port)
        self.net.shape(rate_mbit=20)
        # The shaping was in effect: not faster than the rate allows.
        out = self.download("/pkg.exe", data)[1]
        self.assertGreater(float(out["seconds"]), 4 * MIB * 8 / 20e6 * 0.9, out)

    def test_resets_resume_with_ranges(self):
        data = payload(32 * MIB, 6)
        self.store.route("/pkg.exe", body=data, ranges=True, etag='"r1"', reset_every=4 * MIB)
        log = self.download("/pkg.exe", data)[0]
        self.assertGreaterEqual(len(log), 8, log)
        self.assertIsNone(log[0]["range"])
        # Every later request resumes: none starts again from zero.
        self.assertTrue(all(r["range"] and r["range"] != "bytes=0-" for r in log[1:]), log)
        self.assertTrue(all(r["if_range"] == '"r1"' for r in log[1:]), log)

    def test_stall_resumes_after_the_receive_timeout(self):
        data = payload(8 * MIB, 7)
        self.store.route("/pkg.exe", body=data, ranges=True, etag='"s1"', stall=(2 * MIB, 20))
        log = self.download("/pkg.exe", data, "--stack-timeout-ms", "3000")[0]
        self.assertEqual(len(log), 2, log)
        self.assertTrue(log[1]["range"].startswith("bytes=") and log[1]["status"] == 206, log)

    def test_cut_without_range_support_or_with_a_new_file_restarts(self):
        old, new = payload(8 * MIB, 8), payload(8 * MIB, 9)
        for name, first, after, expected in (
                ("ignored", old, Route(body=old, ranges=True, ignore_range=True), old),
                ("changed", old, Route(body=new, ranges=True, etag='"new"'), new)):
            with self.subTest(name):
                self.store.route(f"/{name}.exe", body=first, ranges=True, etag='"old"',
                                 reset_every=3 * MIB, then=after)
                log = self.download(f"/{name}.exe", expected)[0]
                self.assertEqual([r["status"] for r in log], [200, 200], log)
                self.assertIsNotNone(log[1]["range"], log)

    def test_redirect_retries_busy_answers(self):
        location = "https://cdn.example/pkg.exe"
        for status, headers, gap in ((503, [], 0.5), (429, [("Retry-After", "2")], 1.9)):
            with self.subTest(status):
                self.store.reset()
                url = self.store.route("/entry", status=status, headers=headers,
                                       then=Route(status=302, location=location))
                out = self.drive("submit", url)
                self.assertEqual(int(out["result"], 0), SUCCESS, out)
                self.assertEqual(bytes.fromhex(out["out_hex"]).decode(), location)
                first, second = self.store.requests_for("/entry")
                self.assertGreater(second.time - first.time, gap)

    def test_stop_during_the_wait_before_a_retry(self):
        url = self.store.route("/entry", status=429, headers=[("Retry-After", "2")],
                               then=Route(status=302, location="https://cdn.example/x"))
        out = self.drive("submit", url, "--stop-after-ms", "1000")
        self.assertEqual(int(out["result"], 0), CANCELLED, out)
        self.assertLess(float(out["stop_to_return_ms"]), 500, out)
        self.assertEqual(len(self.store.requests_for("/entry")), 1)
