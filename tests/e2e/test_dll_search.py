"""No DLL from the launcher's own folder: stand-ins named like the system DLLs
it uses lie next to it, Wine is told to prefer them, and none may load."""

import os
import shutil
import subprocess
import tempfile
import unittest

from testbed import TestBed

LAUNCHER = os.environ.get("LAUNCHER_BIN_LumenscanLauncher")
PROBE = os.environ.get("LAUNCHER_BIN_standin_probe")
# Not crypt32: under a native override Wine's own winhttp binds it from the
# program's folder, which Windows does not do for a DLL loaded from System32
# with the DLL directories restricted.
STANDINS = sorted(v for k, v in os.environ.items()
                  if k.startswith("LAUNCHER_BIN_standin_") and v.endswith(".dll")
                  and k != "LAUNCHER_BIN_standin_crypt32")


@unittest.skipUnless(LAUNCHER and PROBE and STANDINS, "run through CTest")
class DllSearchTest(unittest.TestCase):
    def setUp(self):
        self.bed = TestBed(os.environ["TESTBED_DIR"])
        self.folder = tempfile.mkdtemp(prefix="dllsearch-", dir=os.environ["TESTBED_DIR"])
        self.addCleanup(shutil.rmtree, self.folder, True)
        names = []
        for dll in STANDINS:
            shutil.copy(dll, self.folder)
            names.append(os.path.splitext(os.path.basename(dll))[0])
        self.log = os.path.join(self.folder, "loaded.txt")
        self.env = {"WINEDLLOVERRIDES": "mscoree,mshtml=;" + ",".join(names) + "=n,b",
                    "STANDIN_DLL_LOG": self.bed.to_windows_path(self.log)}

    def loaded_by(self, program, args):
        """The stand-ins a run of program (a copy in the stand-ins' folder)
        loads, and the run's Result (None when it was still running and was
        ended)."""
        if os.path.exists(self.log):
            os.remove(self.log)
        exe = os.path.join(self.folder, os.path.basename(program))
        shutil.copy(program, exe)
        proc = self.bed.start(exe, args, extra_env=self.env, cwd=self.folder)
        result = None
        try:
            result = self.bed.collect(proc, timeout=20)
        except subprocess.TimeoutExpired:
            pass
        if not os.path.exists(self.log):
            return set(), result
        with open(self.log) as f:
            return set(f.read().split()), result

    def test_no_standin_is_loaded_in_a_silent_or_windowed_launch(self):
        # Wine's own user32 imports version.dll and resolves it before the
        # program runs, from the program's folder first; Windows's user32 does
        # not. A program that imports only the launcher's KnownDLLs shows what
        # the system DLLs load by themselves; the launcher may load no more.
        wine_own, _ = self.loaded_by(PROBE, [])
        self.assertLess(len(wine_own), len(STANDINS) // 2, f"the probe loaded {wine_own}")
        # Nothing listens on the launcher's ports: each run gets as far as the
        # network, the window and the error paths take it, then ends or is ended.
        for args in (["-s"], []):
            with self.subTest(args=args):
                loaded, result = self.loaded_by(LAUNCHER, args)
                extra = loaded - wine_own
                self.assertEqual(set(), extra, f"loaded from the launcher's folder: {extra}")
                # The run got past its start: a launcher that crashed early
                # would load nothing either. A windowed run still showing its
                # window at the bound (result None) got past it as well.
                if args or result is not None:
                    self.assertIsNotNone(result, "the silent run did not end")
                    self.assertIn(result.code, (0, 1, 2), result)
                    mode = "Run mode: silent" if args else "Run mode: windowed"
                    self.assertIn(mode, result.debug)
                    self.assertNotIn("#################### CrashHandler", result.debug, result)
                if args:
                    self.assertTrue(any(line.startswith("run result") for line in result.debug), result)


if __name__ == "__main__":
    unittest.main()
