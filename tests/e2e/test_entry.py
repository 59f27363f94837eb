"""The launcher's entry point under Wine: configuration lookup, the
single-instance guard and the choice of the run mode."""

import os
import shutil
import tempfile
import time
import unittest
import uuid

from launcher_run import CONFIG_NAME, LAUNCHER, copy_launcher
from testbed import TestBed

MARKED_WINDOW = os.environ.get("LAUNCHER_BIN_marked_window")


class LauncherCopy:
    """A copy of the launcher in a folder of its own, with an optional
    configuration file next to it."""

    def __init__(self, config_text=None):
        self.dir = tempfile.mkdtemp(prefix="launcher-", dir=os.environ["TESTBED_DIR"])
        self.exe = copy_launcher(self.dir, config_text)

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class MarkedWindows:
    """A stand-in for a running launcher that holds the semaphore and shows
    windows marked with the instance name."""

    def __init__(self, bed, name, mode, count):
        self.bed = bed
        self.status = os.path.join(os.environ["TESTBED_DIR"], f"marked-{uuid.uuid4().hex}.txt")
        self.proc = bed.start(MARKED_WINDOW, [name, mode, str(count), bed.to_windows_path(self.status)])
        self.wait_for(lambda s: s is not None, "the marked windows never came up")

    def state(self):
        try:
            with open(self.status, encoding="ascii") as f:
                fields = dict(part.split("=", 1) for part in f.read().split()[1:])
            return {"iconic": [int(x) for x in fields["iconic"].split(",")],
                    "foreground": int(fields["foreground"])}
        except (OSError, ValueError, KeyError):
            return None

    def wait_for(self, predicate, message, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError(f"marked_window ended early: {TestBed.collect(self.proc)}")
            state = self.state()
            if predicate(state):
                return state
            time.sleep(0.1)
        raise AssertionError(f"{message}; last state {self.state()}")

    def stop(self):
        open(self.status + ".stop", "w").close()
        TestBed.collect(self.proc, timeout=30)
        for path in (self.status, self.status + ".stop"):
            if os.path.exists(path):
                os.remove(path)


@unittest.skipUnless(LAUNCHER and MARKED_WINDOW, "run through CTest")
class EntryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bed = TestBed(os.environ["TESTBED_DIR"])

    def launcher(self, config_text=None):
        copy = LauncherCopy(config_text)
        self.addCleanup(copy.remove)
        return copy

    def marked(self, name, mode, count):
        windows = MarkedWindows(self.bed, name, mode, count)
        self.addCleanup(windows.stop)
        return windows

    @staticmethod
    def instance_config(name):
        return f"[instance]\ngolbalMutexName={name}\n"

    def test_second_launcher_restores_every_minimised_marked_window_and_exits_0(self):
        name = f"LumenscanTest_{uuid.uuid4().hex}"
        windows = self.marked(name, "iconic", 2)
        self.assertEqual(windows.state()["iconic"], [1, 1])

        copy = self.launcher(self.instance_config(name))
        result = self.bed.run(copy.exe)
        self.assertEqual(result.code, 0, result)
        self.assertIn("Single instance: another launcher is running, exiting", result.debug)
        # None of the later steps ran.
        self.assertFalse([line for line in result.debug if line.startswith("Run mode")], result.debug)
        windows.wait_for(lambda s: s and s["iconic"] == [0, 0], "marked windows were not restored")

    def test_second_launcher_raises_a_marked_window_that_is_not_minimised(self):
        name = f"LumenscanTest_{uuid.uuid4().hex}"
        windows = self.marked(name, "normal", 1)
        windows.wait_for(lambda s: s and s["foreground"] == -1, "the decoy window never took the foreground")

        copy = self.launcher(self.instance_config(name))
        result = self.bed.run(copy.exe, ["-s"])
        self.assertEqual(result.code, 0, result)
        self.assertIn("Single instance: another launcher is running, exiting", result.debug)
        windows.wait_for(lambda s: s and s["foreground"] == 0, "the marked window was not raised")

    def test_launcher_goes_on_without_guard_or_as_first_instance(self):
        name = f"LumenscanTest_{uuid.uuid4().hex}"
        self.marked(name, "normal", 1)  # holds a semaphore of another name
        cases = [
            (None, "Single instance: no instance name, guard off"),
            ("[instance]\ngolbalMutexName=\n", "Single instance: no instance name, guard off"),
            (self.instance_config(f"LumenscanOther_{uuid.uuid4().hex}"), "Single instance: first instance"),
        ]
        for config, guard_line in cases:
            with self.subTest(config=config):
                copy = self.launcher(config)
                result = self.bed.run(copy.exe, ["-s", "-funid=x"])
                self.assertEqual(result.code, 0, result)
                self.assertIn(guard_line, result.debug)
                self.assertIn("Run mode: silent", result.debug)
                # The run itself started (and, with no services, failed).
                self.assertIn("FunId for this downloader is:", result.debug)

    def test_configuration_next_to_the_executable_is_used_and_reported_after_the_crash_handler(self):
        copy = self.launcher(self.instance_config(f"LumenscanTest_{uuid.uuid4().hex}"))
        result = self.bed.run(copy.exe, ["-sp=1"])
        self.assertEqual(result.debug[:2], ["InitCrashHandler success!",
                                            self.bed.to_windows_path(os.path.join(copy.dir, CONFIG_NAME))])
        self.assertIn("Run mode: silent", result.debug)

        bare = self.launcher(None)
        result = self.bed.run(bare.exe, ["C:\\tools-s\\x"])
        self.assertRegex(result.debug[1], r"^[A-Za-z]:\\windows\\temp\\CorvaneLauncherConfig\.ini$")
        self.assertIn("Run mode: silent", result.debug)


if __name__ == "__main__":
    unittest.main()
