"""The launcher's windowed mode under Wine, on the test display: the progress
window's look, its progress and failure, the ways it ends, a second launcher
bringing it forward, the close button's hover picture and dragging. The test
plays the redirect service and the package store on the build's loopback
ports, looks at the window through a probe program and at the screen through
screenshots; the running and the failed window are kept as artifacts."""

import os
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
import uuid

from launcher_run import (IMPORT_CA, LAUNCHER, Launch, Services, copy_launcher, launcher_config,
                          md5, setup_record)
from testbed import TestBed

PROBE = os.environ.get("LAUNCHER_BIN_window_probe")
SETUP = os.environ.get("LAUNCHER_BIN_test_setup")
ARTIFACTS = os.environ.get("LAUNCHER_ARTIFACTS_DIR")
PICTURES = os.environ.get("LAUNCHER_PICTURES_DIR")

VK_RETURN, VK_ESCAPE = 13, 27
AWAY = (4, 4)  # a screen corner, off the window


def read_bmp(path):
    """Rows of (r, g, b) of an uncompressed 8- or 24-bit BMP, top row first."""
    with open(path, "rb") as f:
        data = f.read()
    offset, = struct.unpack_from("<I", data, 10)
    _, width, height, _, bits = struct.unpack_from("<IiiHH", data, 14)
    colours, = struct.unpack_from("<I", data, 46)
    palette = [tuple(reversed(data[54 + 4 * i:57 + 4 * i])) for i in range(colours or 256)] \
        if bits == 8 else None
    stride = (width * bits + 31) // 32 * 4
    rows = []
    for y in range(abs(height)):
        start = offset + stride * (abs(height) - 1 - y if height > 0 else y)
        if bits == 8:
            rows.append([palette[i] for i in data[start:start + width]])
        else:
            rows.append([tuple(reversed(data[start + 3 * x:start + 3 * x + 3])) for x in range(width)])
    return rows


class Screen:
    def __init__(self, bed):
        self.display = bed.display()

    def shot(self, path, x, y, width, height):
        """Saves a rectangle of the screen as a picture file."""
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["import", "-display", self.display, "-window", "root",
                        "-crop", f"{width}x{height}+{x}+{y}", "+repage", path], check=True)

    def pixels(self, x, y, width, height):
        """Rows of (r, g, b) of a screen rectangle."""
        raw = subprocess.run(["import", "-display", self.display, "-window", "root",
                              "-crop", f"{width}x{height}+{x}+{y}", "-depth", "8", "rgb:-"],
                             check=True, capture_output=True).stdout
        return [[tuple(raw[3 * (r * width + c):3 * (r * width + c) + 3]) for c in range(width)]
                for r in range(height)]


def rect(text):
    return [int(v) for v in text.split(",")]


class Launcher:
    """One launcher copy with its configuration, started in the background."""

    def __init__(self, test, args=(), name=None):
        self.bed = test.bed
        self.name = name or f"LumenscanUi_{uuid.uuid4().hex}"
        self.dir = tempfile.mkdtemp(prefix="ui-", dir=os.environ["TESTBED_DIR"])
        test.addCleanup(shutil.rmtree, self.dir, True)
        base = os.path.join(self.dir, "base")
        self.package_dir = os.path.join(base, "Package")
        self.exe = copy_launcher(os.path.join(self.dir, "app"),
                                 launcher_config(self.bed, base, "uitest", instance=self.name))
        self.launch = Launch(self.bed, self.exe, args)
        self.proc = self.launch.proc
        test.addCleanup(self.launch.kill)

    def probe(self, *args):
        return self.bed.run(PROBE, args)

    def state(self):
        """The window's facts, or None while no window carries the mark."""
        result = self.probe("state", self.name)
        if result.code != 0:
            return None
        return dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)

    def wait_state(self, predicate, message, timeout=40):
        deadline = time.monotonic() + timeout
        state = None
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError(f"{message}: the launcher ended with {self.proc.returncode}")
            state = self.state()
            if state and predicate(state):
                return state
            time.sleep(0.2)
        raise AssertionError(f"{message}; last state {state}")

    def wait_failed(self, code="E0FF0007"):
        # The probe reads the controls one after the other, so a reading taken
        # while the failure is being shown can mix both states: wait for the
        # whole failed state (the bar hidden, the icon and the code shown).
        return self.wait_state(
            lambda s: s["error_text"] == code and s["visible"] == "1" and
            (s["bar_visible"], s["icon_visible"], s["text_visible"]) == ("0", "1", "1"),
            f"the window never showed {code} in place of the bar")

    def finish(self, timeout=60):
        return self.launch.finish(timeout).result

    def setup_record(self):
        return setup_record(self.package_dir)


@unittest.skipUnless(LAUNCHER and PROBE and SETUP and IMPORT_CA, "run through CTest")
class ProgressWindowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bed = TestBed(os.environ["TESTBED_DIR"])
        cls.screen = Screen(cls.bed)
        cls.services = Services(cls.bed, os.path.join(os.environ["TESTBED_DIR"], "ui-ca"))
        cls.redirect, cls.store = cls.services.redirect, cls.services.store
        cls.collector = cls.services.collector
        with open(SETUP, "rb") as f:
            cls.setup_bytes = f.read()
        cls.pictures = {name: read_bmp(os.path.join(PICTURES, name + ".bmp"))
                        for name in ("banner", "close_normal", "close_hover", "error")}

    @classmethod
    def tearDownClass(cls):
        cls.services.stop()

    def setUp(self):
        self.services.reset()
        self.pointer("move", *AWAY)

    def pointer(self, *args):
        """Pointer input through the probe: move X Y, click X Y, drag X1 Y1 X2 Y2."""
        result = self.bed.run(PROBE, args)
        self.assertEqual(result.code, 0, result)

    def no_address(self):
        self.services.redirect_to(status=404)

    def slow_package(self):
        """A package that takes some seconds to arrive, then starts."""
        data = self.setup_bytes
        self.services.redirect_to(self.services.publish(
            "setup.exe", data, drip=(len(data) // 24, 0.25), drip_after=len(data) * 3 // 10))

    def artifact(self, name):
        return os.path.join(ARTIFACTS or os.path.join(os.environ["TESTBED_DIR"], "artifacts"), name)

    def assert_pictures_on_screen(self, state, names):
        """The window shows these pictures where they belong, pixel for pixel."""
        places = {"banner": (0, 0, 320, 46), "error": (115, 70, 16, 16),
                  "close_normal": (300, 10, 10, 10), "close_hover": (300, 10, 10, 10)}
        for name in names:
            x, y, w, h = places[name]
            sx, sy = self.screen_point_of(state, x, y)
            expected = [list(row) for row in self.pictures[name]]
            shown = self.screen.pixels(sx, sy, w, h)
            if name == "banner":  # the close button paints over its corner
                for rows in (expected, shown):
                    for r in range(10, 20):
                        rows[r][300:310] = [None] * 10
            self.assertEqual(shown, expected, name)

    @staticmethod
    def screen_point_of(state, x, y):
        ox, oy = rect(state["client_origin"])
        return ox + x, oy + y

    def wait_pixels(self, state, name, timeout=10):
        x, y = self.screen_point_of(state, 300, 10)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.screen.pixels(x, y, 10, 10) == self.pictures[name]:
                return True
            time.sleep(0.1)
        return False

    # -- the tests ----------------------------------------------------------------

    def test_failed_run_shows_its_code_and_ends_by_the_close_button_or_escape(self):
        self.no_address()
        for how, expected_code in [("close button", 1), ("escape", 2)]:
            with self.subTest(how):
                self.pointer("move", *AWAY)
                launcher = Launcher(self, ["-funid=ui"])
                state = launcher.wait_failed()
                self.assertEqual(rect(state["window"])[2:], [320, 130])
                self.assertEqual((state["caption"], state["frame"], state["topmost"]), ("0", "0", "1"))
                self.assertEqual(rect(state["banner"]), [0, 0, 320, 46])
                self.assertEqual(rect(state["close"]), [300, 10, 10, 10])
                self.assertEqual(rect(state["icon"]), [115, 70, 16, 16])
                self.assertEqual(rect(state["text"])[:2], [140, 70])
                self.assertEqual((state["bar_visible"], state["icon_visible"], state["text_visible"]),
                                 ("0", "1", "1"))
                time.sleep(0.5)
                self.assert_pictures_on_screen(state, ["banner", "close_normal", "error"])
                if how == "close button":
                    self.screen.shot(self.artifact("failed.png"), *rect(state["window"]))

                # Enter does nothing; the window stays.
                launcher.probe("key", launcher.name, VK_RETURN)
                time.sleep(1.0)
                self.assertIsNotNone(launcher.state())
                self.assertIsNone(launcher.proc.poll())

                if how == "close button":
                    self.pointer("click", *self.screen_point_of(state, 305, 15))
                else:
                    launcher.probe("key", launcher.name, VK_ESCAPE)
                result = launcher.finish()
                self.assertEqual(result.code, expected_code, result)
                self.assertIn("Run mode: windowed", result.debug)

    def test_successful_run_follows_the_download_and_closes_by_itself(self):
        self.slow_package()
        launcher = Launcher(self, ["-funid=ui"])
        state = launcher.wait_state(lambda s: s["visible"] == "1", "the window never came up")
        self.assertEqual((state["bar_visible"], state["icon_visible"], state["text_visible"]),
                         ("1", "0", "0"))
        self.assertEqual(rect(state["bar"]), [20, 70, 280, 15])
        positions, shot = [], False
        while launcher.proc.poll() is None:
            state = launcher.state()
            if not state:
                break
            position = int(state["bar_pos"])
            positions.append(position)
            if not shot and 25 <= position < 70:
                self.assert_pictures_on_screen(state, ["banner"])
                self.screen.shot(self.artifact("running.png"), *rect(state["window"]))
                shot = True
        result = launcher.finish()
        self.assertEqual(result.code, 1, result)
        self.assertTrue(shot, f"no screenshot during the download; bar went {positions}")
        self.assertEqual(positions, sorted(positions))
        self.assertTrue(all(3 <= p <= 100 for p in positions), positions)
        self.assertTrue([p for p in positions if 10 < p < 70], positions)
        record = launcher.setup_record()
        self.assertEqual(len(record), 1, record)
        self.assertTrue(record[0].startswith("show=5 "), record)
        self.assertFalse(record[0].rstrip().endswith("-s"), record)
        # What the run reported: 10, the download's share up to 70, then 90
        # and 100 (each value noted once, when it changes).
        reported = [int(line.split()[1]) for line in result.debug if line.startswith("progress ")]
        self.assertEqual(reported[0], 10, reported)
        self.assertEqual(reported[-3:], [70, 90, 100], reported)
        self.assertTrue(all(10 <= p <= 70 for p in reported[:-2]), reported)
        self.assertIn("run result 20FF0000", result.debug)
        # A windowed run's events carry no "Silent" in front.
        self.assertEqual(self.actions(), ["Downloader_Start_Download", "Downloader_Download_Succeed",
                                          "Downloader_LaunchExe_Succeed"])

    def actions(self, timeout=10):
        """The actions of the collector's hits so far, in arrival order; waits
        until the stream of hits has been quiet for a moment."""
        self.services.settle(timeout)
        return [query["ea"][0] for query in self.services.events()]

    def test_closing_stops_the_run_at_once_and_nothing_is_started(self):
        """In the download and in the integrity check, each way of closing ends
        the run within two seconds, and the setup is never started."""
        data = self.setup_bytes
        digest = f"{md5(data)}  setup.exe\r\n".encode()
        slow = dict(drip=(max(1, len(data) // 400), 0.25), drip_after=len(data) // 10)
        phases = {
            "download": (dict(body=data, **slow), dict(body=digest)),
            "integrity check": (dict(body=data), dict(body=digest, drip=(1, 0.5))),
        }
        ways = [("escape", 2, lambda l: l.probe("key", l.name, VK_ESCAPE)),
                ("system close", 2, lambda l: l.probe("close", l.name)),
                ("close button", 1, None)]
        for phase, (package, sidecar) in phases.items():
            for how, expected_code, close in ways:
                with self.subTest(phase=phase, how=how):
                    self.store.reset()
                    self.collector.clear()
                    url = self.store.route("/pkg/setup.exe", **package)
                    self.store.route("/pkg/setup.exe_MD5.txt", **sidecar)
                    self.services.redirect_to(url)
                    launcher = Launcher(self, ["-funid=ui"])
                    sidecar_asked = lambda: self.store.requests_for("/pkg/setup.exe_MD5.txt")
                    if phase == "download":
                        state = launcher.wait_state(lambda s: 10 < int(s["bar_pos"]) < 70,
                                                    "the download never got going")
                    else:
                        state = launcher.wait_state(lambda s: bool(sidecar_asked()),
                                                    "the sidecar was never asked for")
                    if close:
                        close(launcher)
                    else:
                        self.pointer("click", *self.screen_point_of(state, 305, 15))
                    closed = time.monotonic()
                    result = launcher.finish(timeout=30)
                    took = time.monotonic() - closed
                    self.assertEqual(result.code, expected_code, result)
                    # Two seconds, with room for Wine's own process ending.
                    self.assertLess(took, 4.0, result)
                    self.assertIn("run result E0FE04C7", result.debug)
                    time.sleep(1.0)
                    self.assertIsNone(self.record_now(launcher))
                    actions = self.actions(timeout=3)
                    self.assertNotIn("Downloader_LaunchExe_Succeed", actions)
                    self.assertNotIn("Downloader_LaunchExe_Fail", actions)
                    if phase == "download":
                        self.assertNotIn("setup.exe", os.listdir(launcher.package_dir))

    @staticmethod
    def record_now(launcher):
        path = os.path.join(launcher.package_dir, "setup.exe.record.txt")
        return path if os.path.exists(path) else None

    def test_silent_marker_in_a_windowed_run_hides_the_window_and_sends_nothing(self):
        # A run that succeeds: no progress after the start, the setup hidden with -s.
        self.slow_package()
        launcher = Launcher(self, ["-S"])
        states = [launcher.wait_state(lambda s: True, "the window never came up")]
        while launcher.proc.poll() is None:
            state = launcher.state()
            if not state:
                break
            states.append(state)
        result = launcher.finish()
        self.assertEqual(result.code, 1, result)
        # The style changes a moment before the size: a reading in between is
        # not a finished state.
        hidden = [s for s in states if s["toolwindow"] == "1" and rect(s["window"])[2:] == [0, 0]]
        self.assertTrue(hidden, states[:3])
        for state in hidden:
            self.assertEqual(state["appwindow"], "0")
            self.assertLessEqual(int(state["bar_pos"]), 10)
        record = launcher.setup_record()
        self.assertEqual(len(record), 1, record)
        self.assertTrue(record[0].startswith("show=0 "), record)
        self.assertTrue(record[0].endswith(" -s"), record)

        # A run that fails: no failure shown, the window ends by itself.
        self.no_address()
        launcher = Launcher(self, ["-S"])
        result = launcher.finish()
        self.assertEqual(result.code, 1, result)

    def test_second_launcher_restores_or_raises_the_first_and_a_new_one_starts_after_it(self):
        self.no_address()
        first = Launcher(self)
        first.wait_failed()

        def second():
            result = self.bed.run(first.exe, ["-funid=second"])
            self.assertEqual(result.code, 0, result)
            self.assertIn("Single instance: another launcher is running, exiting", result.debug)

        first.probe("minimize", first.name)
        first.wait_state(lambda s: s["iconic"] == "1", "the window was not minimised")
        second()
        first.wait_state(lambda s: s["iconic"] == "0" and s["visible"] == "1",
                         "the minimised window was not restored")

        stop = os.path.join(os.environ["TESTBED_DIR"], f"decoy-{uuid.uuid4().hex}")
        decoy = self.bed.start(PROBE, ["decoy", self.bed.to_windows_path(stop)])
        self.addCleanup(os.remove, stop)
        self.addCleanup(lambda: (open(stop, "w").close(), TestBed.collect(decoy, timeout=30)))
        first.wait_state(lambda s: s["foreground"] == "0", "the decoy never took the foreground")
        second()
        first.wait_state(lambda s: s["foreground"] == "1", "the window was not raised")

        first.probe("key", first.name, VK_ESCAPE)
        self.assertEqual(first.finish().code, 2)
        third = Launcher(self, name=first.name)
        third.wait_failed()
        third.probe("key", third.name, VK_ESCAPE)
        result = third.finish()
        self.assertEqual(result.code, 2, result)
        self.assertIn("Single instance: first instance", result.debug)

    def test_close_button_shows_its_hover_picture_while_the_pointer_rests_on_it(self):
        self.no_address()
        launcher = Launcher(self)
        state = launcher.wait_failed()
        self.assertTrue(self.wait_pixels(state, "close_normal"), "normal picture at the start")
        on_button = self.screen_point_of(state, 305, 15)
        for round_ in range(3):
            with self.subTest(round=round_):
                self.pointer("move", on_button[0] - 1, on_button[1])
                self.pointer("move", *on_button)
                self.assertTrue(self.wait_pixels(state, "close_hover"), "no hover picture")
                self.pointer("move", *AWAY)
                self.assertTrue(self.wait_pixels(state, "close_normal"), "hover picture stayed")
        launcher.probe("key", launcher.name, VK_ESCAPE)
        self.assertEqual(launcher.finish().code, 2)

    def test_dragging_the_body_moves_the_window(self):
        self.no_address()
        launcher = Launcher(self)
        state = launcher.wait_failed()
        x, y = rect(state["window"])[:2]
        start = self.screen_point_of(state, 60, 105)
        self.pointer("drag", *start, start[0] + 60, start[1] + 40)
        moved = launcher.wait_state(lambda s: rect(s["window"])[:2] != [x, y], "the window did not move")
        self.assertEqual(rect(moved["window"])[:2], [x + 60, y + 40])
        launcher.probe("key", launcher.name, VK_ESCAPE)
        self.assertEqual(launcher.finish().code, 2)


if __name__ == "__main__":
    unittest.main()
