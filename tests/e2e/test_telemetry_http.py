"""The analytics HTTP client against the loopback collector: what goes on the
wire, and what a call gives back."""

import json
import os
import time
import unittest

from collector import Collector
from testbed import TestBed

PROBE = os.environ.get("LAUNCHER_BIN_http_probe")


@unittest.skipUnless(PROBE, "run through CTest")
class AnalyticsHttpTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bed = TestBed(os.environ["TESTBED_DIR"])

    def probe(self, url, *args):
        result = self.bed.run(PROBE, [url, *args])
        self.assertEqual(result.code, 0, result)
        return json.loads(result.stdout)

    def test_request_on_the_wire(self):
        # (probe arguments, request line path, expected order of our headers)
        cases = [
            ([], "/collect?v=1&t=event&tid=UA-1-2&cid=&ec=&ea=&el=&ev=0&ul=en-us&cd1=",
             ["Content-Length"]),
            (["--header", "X-Zeta=1", "--header", "Cache-Hint=2", "--header", "A-First=3"],
             "/p?q=1", ["A-First", "Cache-Hint", "Content-Length", "X-Zeta"]),
            (["--method", "POST", "--body", "k=v", "--header", "Content-Type=text/plain"],
             "/post", ["Content-Length", "Content-Type"]),
        ]
        for args, path, order in cases:
            with self.subTest(path=path), Collector() as collector:
                out = self.probe(f"http://{collector.host}{path}", *args)
                self.assertEqual(out["result"], 200)
                (hit,) = collector.wait_for(1)
                method = "POST" if "POST" in args else "GET"
                self.assertEqual(hit.request_line, f"{method} {path} HTTP/1.1")
                self.assertEqual(hit.header("User-Agent"), "CorvaneWinHttp/")
                ours = [name for name, _ in hit.headers if name in order]
                self.assertEqual(ours, order)
                expected_length = "3" if method == "POST" else "0"
                self.assertEqual(hit.header("Content-Length"), expected_length)

    def test_answers(self):
        # (collector settings, probe arguments, result, response, props)
        cases = [
            (dict(status=404, body=b"no such hit"), [], 404, "no such hit", {}),
            (dict(status=200, body="gr\u00fc\u00df".encode()), [], 200, "gr\u00fc\u00df", {}),
            (dict(status=200, body=b"\x00\xff\x80a"), ["--binary-response"], 200, "\x00\xff\x80a", {}),
            (dict(status=200, body=b"body"), ["--no-response"], 200, "", {}),
            (dict(status=204, send_date=False), ["--props"], 204, "", {}),
        ]
        for settings, args, result, response, props in cases:
            with self.subTest(settings=settings, args=args), Collector(**settings) as collector:
                out = self.probe(f"http://{collector.host}/x", *args)
                self.assertEqual(out["result"], result)
                self.assertEqual(out["response"], response)
                self.assertEqual(out["props"], props)
                self.assertIn(f"HTTP/1.0 {result}", out["responseHeaders"])

        with Collector() as collector:
            out = self.probe(f"http://{collector.host}/x", "--props")
            self.assertIn("GMT", out["props"].get("Date", ""))

    def test_named_proxy_gets_the_absolute_url(self):
        with Collector() as proxy:
            url = "http://collector.example/collect?v=1&t=event"
            out = self.probe(url, "--proxy", proxy.host)
            self.assertEqual(out["result"], 200)
            (hit,) = proxy.wait_for(1)
            # The default port may or may not be spelled out in the absolute form.
            self.assertRegex(hit.request_line,
                             r"^GET http://collector\.example(:80)?/collect\?v=1&t=event HTTP/1\.1$")

    def test_a_dead_collector_ends_the_request_within_its_limit(self):
        # Each stage of a request is limited to at most 5 s.
        # (collector mode, result)
        cases = [
            ("refuse", 0x10040004),  # no connection
            ("error", 500),
            ("hang", 0x10040004),    # no response headers
            ("stall", 0x10040006),   # headers, then no body
        ]
        for mode, result in cases:
            with self.subTest(mode=mode), Collector(mode=mode) as collector:
                started = time.monotonic()
                out = self.probe(f"http://{collector.host}/collect?v=1")
                elapsed = time.monotonic() - started
                self.assertEqual(out["result"], result)
                self.assertLess(elapsed, 10)
                if mode != "error":
                    self.assertEqual(out["responseHeaders"], "")


if __name__ == "__main__":
    unittest.main()
