"""Events posted by a real program reach the loopback collector: the hit's
exact query, the client identifier, serialised sends, waiting for delivery,
delivery at exit and the joined worker threads; and a dead collector holds
the program for a bounded time only."""

import os
import re
import time
import unittest

from collector import Collector
from testbed import TestBed

POSTER = os.environ.get("LAUNCHER_BIN_event_poster")
TRACKING_ID = os.environ.get("LAUNCHER_TRACKING_ID", "")
CLIENT_ID = re.compile(r"^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
HIT = re.compile(r"^GET /collect\?v=1&t=event&tid=(?P<tid>[^&]*)&cid=(?P<cid>[^&]*)"
                 r"&ec=Downloader&ea=(?P<ea>[^&]*)&el=3\.1\.5&ev=0&ul=en-us&cd1= HTTP/1\.1$")
# The poster's file version is 3.1.4.5; its label is major.minor.revision.
DROPPED = re.compile(r"^EventDispatcher::(?P<where>WaitAll|Shutdown): "
                     r"not all events delivered in time, (?P<count>\d+) dropped$")


def is_subsequence(items, sequence):
    rest = iter(sequence)
    return all(item in rest for item in items)


@unittest.skipUnless(POSTER, "run through CTest")
class TelemetryEventsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bed = TestBed(os.environ["TESTBED_DIR"])

    def post(self, collector, *args):
        result = self.bed.run(POSTER, [collector.host, *args], timeout=120)
        self.assertEqual(result.code, 0, result)
        return result

    def hits(self, collector):
        return [h for h in collector.snapshot() if h.path.startswith("/collect")]

    def assert_pool_joined(self, result):
        self.assertIn("pool threads at start: 6", result.debug)
        self.assertIn("pool threads left at exit: 0", result.debug)

    def test_a_run_with_wait(self):
        actions = ["Downloader_Start", "Downloader_Mid", "Downloader_End"]
        with Collector(delay=0.3) as collector:
            result = self.post(collector, "--wait", "--label", "not-the-label", *actions)
            hits = self.hits(collector)
            marker = [h for h in collector.snapshot() if h.path == "/waitall-returned"]

        matches = [HIT.match(h.request_line) for h in hits]
        self.assertTrue(all(matches), hits)
        self.assertEqual(sorted(m["ea"] for m in matches), sorted(actions))
        self.assertEqual({m["tid"] for m in matches}, {TRACKING_ID})
        (cid,) = {m["cid"] for m in matches}
        self.assertRegex(cid, CLIENT_ID)

        # One hit at a time at the collector: the dispatcher sends in turn.
        by_start = sorted(hits, key=lambda h: h.start)
        for earlier, later in zip(by_start, by_start[1:]):
            self.assertGreaterEqual(later.start, earlier.end, by_start)
        # WaitAll returned only after the last hit was answered.
        self.assertEqual(len(marker), 1)
        self.assertGreaterEqual(marker[0].start, max(h.end for h in hits))

        self.assertEqual(result.debug.count("GA send reuqest success!"), 3)
        self.assertIn("3.1.4.5", result.debug)  # the program's version, read at creation
        self.assert_pool_joined(result)

        # The next run has a client identifier of its own.
        with Collector() as collector:
            self.post(collector, "Downloader_Start")
            (hit,) = self.hits(collector)
        other = HIT.match(hit.request_line)["cid"]
        self.assertRegex(other, CLIENT_ID)
        self.assertNotEqual(other, cid)

    def test_every_event_is_delivered_before_the_process_ends(self):
        actions = [f"Downloader_Step{i}" for i in range(8)]
        with Collector(delay=0.2) as collector:
            started = time.monotonic()
            result = self.post(collector, *actions)
            ended = time.monotonic()
            hits = self.hits(collector)
        # Every event arrives, in the order it was posted.
        arrival = [HIT.match(h.request_line)["ea"] for h in sorted(hits, key=lambda h: h.start)]
        self.assertEqual(arrival, actions)
        self.assertTrue(all(h.end is not None and h.end < ended for h in hits), hits)
        self.assertGreater(ended - started, 8 * 0.2)
        self.assert_pool_joined(result)

    def test_a_dead_collector_holds_nobody(self):
        actions = [f"Downloader_Step{i}" for i in range(6)]
        # (collector mode, every event ended in time, hits that arrive)
        cases = [("answer", True, actions), ("refuse", True, []), ("error", True, actions),
                 ("hang", False, None)]
        for mode, in_time, expected in cases:
            with self.subTest(mode=mode), Collector(mode=mode) as collector:
                started = time.monotonic()
                result = self.post(collector, "--wait", "--shutdown",
                                   "--after", "Downloader_After", *actions)
                elapsed = time.monotonic() - started
                arrival = [HIT.match(h.request_line)["ea"] for h in
                           sorted(self.hits(collector), key=lambda h: h.start)]
                dropped = [m for m in map(DROPPED.match, result.debug) if m]

                # The wait's bound is 5 s, and the shutdown after it has
                # nothing left to wait for.
                self.assertLess(elapsed, 10)
                self.assertIn(f"WaitAll returned: {int(in_time)}", result.debug)
                self.assertIn("Shutdown returned: 1", result.debug)
                self.assertIn("WaitAll after Shutdown returned: 1", result.debug)
                self.assert_pool_joined(result)
                # Posted after the shutdown: dropped.
                self.assertNotIn("Downloader_After", arrival)
                if in_time:
                    self.assertEqual(arrival, expected)
                    self.assertEqual(dropped, [])
                    continue
                # One line says how many never went out; what did arrived in
                # posting order.
                self.assertEqual([m["where"] for m in dropped], ["WaitAll"], result.debug)
                count = int(dropped[0]["count"])
                self.assertTrue(1 <= count < len(actions), count)
                self.assertLessEqual(count + len(arrival), len(actions))
                self.assertTrue(arrival and is_subsequence(arrival, actions), arrival)

    def test_a_hanging_collector_does_not_hold_the_exit(self):
        # Neither waiting nor shutting down: the drain during static
        # destruction has its bound too.
        actions = [f"Downloader_Step{i}" for i in range(4)]
        with Collector(mode="hang") as collector:
            started = time.monotonic()
            result = self.post(collector, *actions)
            elapsed = time.monotonic() - started
        self.assertLess(elapsed, 10)
        dropped = [m for m in map(DROPPED.match, result.debug) if m]
        self.assertEqual([m["where"] for m in dropped], ["Shutdown"], result.debug)
        self.assertGreaterEqual(int(dropped[0]["count"]), 1)
        self.assert_pool_joined(result)

    def test_only_status_200_counts_as_delivered(self):
        for status, message in [(200, "GA send reuqest success!"), (204, "GA send request fail!"),
                                (302, "GA send request fail!"), (404, "GA send request fail!"),
                                (500, "GA send request fail!")]:
            with self.subTest(status=status), Collector(status=status) as collector:
                result = self.post(collector, "Downloader_Start")
                self.assertEqual(len(self.hits(collector)), 1)
                self.assertIn(message, result.debug)
                self.assertEqual(result.debug.count("*************GA send end*************"), 1)


if __name__ == "__main__":
    unittest.main()
