"""The launcher's whole job under Wine, against loopback stand-ins for the
redirect service, the package store and the analytics collector: one test per
outcome of a run, seen through the collector's hits, the files, the registry
and the debugger output."""

import os
import shutil
import tempfile
import time
import unittest
import urllib.parse
import uuid

import launcher_run
from launcher_run import (IMPORT_CA, LAUNCHER, REGISTRY_KEY, Services, copy_launcher,
                          launcher_config, local_path, md5, setup_record)
from testbed import TestBed

SETUP = os.environ.get("LAUNCHER_BIN_test_setup")
PLACEHOLDER = os.environ.get("LAUNCHER_PLACEHOLDER_URL", "")
SUPPORT_ROOT = os.environ.get("LAUNCHER_SUPPORT_ROOT_URL", "")
# Whether this build has the transfer's test hook (CMake LAUNCHER_TEST_HOOKS).
HOOKS_BUILT = os.environ.get("NET_TEST_HOOKS_BUILT") == "1"


@unittest.skipUnless(LAUNCHER and SETUP and IMPORT_CA, "run through CTest")
class WorkflowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bed = TestBed(os.environ["TESTBED_DIR"])
        cls.services = Services(cls.bed, os.path.join(os.environ["TESTBED_DIR"], "workflow-ca"))
        cls.redirect, cls.store = cls.services.redirect, cls.services.store
        cls.collector = cls.services.collector
        with open(SETUP, "rb") as f:
            cls.setup_bytes = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.services.stop()

    def setUp(self):
        self.services.reset()
        self.bed.reg("delete", REGISTRY_KEY, "/f", check=False)
        self.dir = tempfile.mkdtemp(prefix="workflow-", dir=os.environ["TESTBED_DIR"])
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.base = os.path.join(self.dir, "base")
        self.package_dir = os.path.join(self.base, "Package")

    # -- arranging a run ---------------------------------------------------

    def launcher(self, funid="cfgfun", setup_name="setup.exe", extra=""):
        return copy_launcher(os.path.join(self.dir, "app"),
                             launcher_config(self.bed, self.base, funid, setup_name, extra=extra))

    def run_launcher(self, exe, args=("-s",), extra_env=None, cwd=None):
        run = self.services.run(exe, list(args), extra_env=extra_env, cwd=cwd)
        self.assertEqual(run.code, 0, run)
        return run

    # -- what a run left -----------------------------------------------------

    def actions(self, silent=True):
        actions = []
        for query in self.services.events():
            self.assertEqual(query["ec"], ["Downloader"])
            action = query["ea"][0]
            if silent:
                self.assertTrue(action.startswith("Silent"), action)
                action = action[len("Silent"):]
            actions.append(action.replace("Downloader_", ""))
        return actions

    def package_files(self):
        try:
            return sorted(os.listdir(self.package_dir))
        except FileNotFoundError:
            return []

    def query(self):
        (request,) = self.redirect.requests_for("/GREntry/NonPayment")
        return urllib.parse.parse_qs(urllib.parse.urlsplit(request.target).query,
                                     keep_blank_values=True)

    # -- one test per outcome ------------------------------------------------

    def test_downloaded_package_is_checked_and_started_hidden(self):
        url = self.services.publish("setup.exe", self.setup_bytes)
        self.services.redirect_to(url.upper().replace("HTTPS", "https", 1))
        exe = self.launcher()
        result = self.run_launcher(exe, ["-funid=ABC", "-VID=X1", "-s"])

        self.assertEqual(self.actions(), ["Start_Download", "Download_Succeed", "LaunchExe_Succeed"])
        installed = os.path.join(self.package_dir, "setup.exe")
        record = setup_record(self.package_dir)
        self.assertEqual(record, [f'show=0 cmdline="{self.bed.to_windows_path(installed)}" -s'])
        self.assertEqual(local_path(self.bed), self.bed.to_windows_path(installed))
        self.assertEqual(self.package_files(), ["Build", "setup.exe", "setup.exe.record.txt",
                                                "setup.exe_MD5.txt"])
        self.assertIn("redirect url: " + url.lower(), result.debug)
        query = self.query()
        self.assertEqual(query["FunID"], ["abc"])
        self.assertEqual(query["VID"], ["x1"])
        self.assertEqual(query["Target"], ["lumenscan"])
        self.assertEqual(query["PID"], ["pid7"])
        self.assertEqual(query["SP"], ["sp3"])
        # The main prefix is 64-bit where the machine runs no 32-bit code.
        self.assertEqual(query["Os"], ["x64" if self.bed.only64 else "win32"])
        self.assertRegex(query["Locale"][0], r"^[a-z]{2}-[A-Z]{2}$")

        # A second run keeps the first copies and adds numbered ones.
        self.collector.clear()
        self.run_launcher(exe, ["-s"])
        self.assertIsNotNone(setup_record(self.package_dir, "setup(1).exe"))
        # The sidecar's name comes from its own address, so it is the one numbered.
        self.assertEqual(self.package_files(),
                         ["Build", "setup(1).exe", "setup(1).exe.record.txt", "setup.exe",
                          "setup.exe.record.txt", "setup.exe_MD5(1).txt", "setup.exe_MD5.txt"])

    def test_a_longer_argument_with_s_is_silent_but_the_setup_starts_shown(self):
        url = self.services.publish("setup.exe", self.setup_bytes)
        self.services.redirect_to(url)
        self.run_launcher(self.launcher(funid="cfgfun"), ["-sp=1"])
        self.assertEqual(self.actions(), ["Start_Download", "Download_Succeed", "LaunchExe_Succeed"])
        installed = os.path.join(self.package_dir, "setup.exe")
        self.assertEqual(setup_record(self.package_dir),
                         [f'show=5 cmdline="{self.bed.to_windows_path(installed)}" '])
        query = self.query()
        self.assertEqual(query["FunID"], ["cfgfun"])
        self.assertEqual(query["VID"], [""])

    def test_no_address_from_the_redirect_service(self):
        for answer, line in [(dict(status=404), "send http request failed with -520159198"),
                             (dict(status=202), "redirect url: "),
                             (dict(status=302, location=SUPPORT_ROOT), "redirect url: "),
                             (dict(status=302, location=SUPPORT_ROOT + "x/Default.aspx"), "redirect url: ")]:
            with self.subTest(answer=answer):
                self.services.settle()
                self.setUp()
                self.redirect.route("/GREntry/NonPayment", **answer)
                result = self.run_launcher(self.launcher())
                self.assertEqual(self.actions(), ["GetErUrlFail"])
                self.assertIn(line, result.debug)
                self.assertEqual(self.package_files(), ["Build"])

    def test_download_failure_reports_its_code(self):
        self.services.redirect_to(self.store.url("/pkg/missing.exe"))
        result = self.run_launcher(self.launcher())
        self.assertEqual(self.actions(), ["Start_Download", "Download_Fail"])
        self.assertIn(f"download failed with error E0FF0022, url is {self.store.url('/pkg/missing.exe')}",
                      result.debug)

    def test_zip_package_replaces_the_build_folder_only_once_its_setup_passed(self):
        import io
        import zipfile

        def archive_of(setup):
            data = io.BytesIO()
            with zipfile.ZipFile(data, "w", zipfile.ZIP_DEFLATED) as z:
                z.writestr("setup.exe", setup)
            return data.getvalue()

        archive = archive_of(self.setup_bytes)
        build = os.path.join(self.package_dir, "Build")
        os.makedirs(build)
        with open(os.path.join(build, "stale.txt"), "w") as f:
            f.write("left over")
        exe = self.launcher()

        # The sidecar must hold the digest of the unpacked program, not the
        # archive's; a setup that fails the check gives the build folder back
        # as it was. The extension counts in any letter case.
        url = self.services.publish("pkg", archive, sidecar=md5(archive),
                                    disposition='attachment; filename="Package.ZIP"')
        self.services.redirect_to(url)
        self.run_launcher(exe)
        self.assertEqual(self.actions(), ["Start_Download", "Download_Succeed", "CheckMd5_Fail"])
        self.assertEqual(sorted(os.listdir(build)), ["stale.txt"])
        self.assertIsNone(local_path(self.bed))

        # Checked, the unpacked folder takes the build folder's place whole.
        self.collector.clear()
        self.services.redirect_to(self.services.publish("pkg.zip", archive,
                                                        sidecar=md5(self.setup_bytes)))
        self.run_launcher(exe)
        self.assertEqual(self.actions(), ["Start_Download", "Download_Succeed", "LaunchExe_Succeed"])
        installed = os.path.join(build, "setup.exe")
        self.assertEqual(local_path(self.bed), self.bed.to_windows_path(installed))
        self.assertEqual(len(setup_record(build)), 1)
        self.assertNotIn("stale.txt", os.listdir(build))

        # A later archive whose setup fails the check costs nothing verified:
        # a local run still starts the setup checked before.
        self.collector.clear()
        self.services.redirect_to(self.services.publish("pkg.zip", archive_of(b"tampered"),
                                                        sidecar=md5(self.setup_bytes)))
        self.run_launcher(exe)
        self.assertEqual(self.actions(), ["Start_Download", "Download_Succeed", "CheckMd5_Fail"])
        with open(installed, "rb") as f:
            self.assertEqual(f.read(), self.setup_bytes)
        self.assertEqual(local_path(self.bed), self.bed.to_windows_path(installed))
        self.assertEqual([n for n in os.listdir(self.package_dir) if n.startswith("Build.")], [])

        self.collector.clear()
        self.store.route("/1.1/en-us/setup.exe_MD5.txt", body=md5(self.setup_bytes).encode())
        self.services.redirect_to(PLACEHOLDER + "/anything")
        self.run_launcher(exe)
        self.assertEqual(self.actions(), ["CallLocalBuild", "LaunchExe_Succeed"])
        deadline = time.monotonic() + 30
        while len(setup_record(build)) < 2 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(len(setup_record(build)), 2)

    def test_broken_zip_ends_after_the_download(self):
        url = self.services.publish("pkg.zip", b"PK\x03\x04 not really an archive")
        self.services.redirect_to(url)
        self.run_launcher(self.launcher())
        self.assertEqual(self.actions(), ["Start_Download", "Download_Succeed"])
        self.assertIsNone(local_path(self.bed))

    def test_integrity_check_refusals(self):
        cases = {
            "upper-case digest": md5(self.setup_bytes).upper(),
            "other digest": md5(b"something else"),
            "empty sidecar": "",
            "missing sidecar": False,
        }
        for name, sidecar in cases.items():
            with self.subTest(name):
                self.setUp()
                url = self.services.publish("setup.exe", self.setup_bytes, sidecar=sidecar)
                self.services.redirect_to(url)
                result = self.run_launcher(self.launcher())
                self.assertEqual(self.actions(), ["Start_Download", "Download_Succeed", "CheckMd5_Fail"])
                self.assertIn("check md5 failed!", result.debug)
                self.assertIsNone(setup_record(self.package_dir, wait=False))

    @unittest.skipUnless(HOOKS_BUILT, "needs a build with LAUNCHER_TEST_HOOKS")
    def test_the_checked_launch_file_cannot_be_replaced_before_it_starts(self):
        replacement = os.path.join(self.dir, "replacement.exe")
        with open(replacement, "wb") as f:
            f.write(b"MZ not the checked setup")
        url = self.services.publish("setup.exe", self.setup_bytes)
        self.services.redirect_to(url)
        result = self.run_launcher(self.launcher(), extra_env={
            "LAUNCHER_TEST_REPLACE_LAUNCH_FILE": self.bed.to_windows_path(replacement)})
        for way in ("written over", "moved over", "deleted"):
            self.assertIn(f"test: launch file {way}: no", result.debug)
        self.assertEqual(self.actions(), ["Start_Download", "Download_Succeed", "LaunchExe_Succeed"])
        self.assertIsNotNone(setup_record(self.package_dir))
        with open(os.path.join(self.package_dir, "setup.exe"), "rb") as f:
            self.assertEqual(md5(f.read()), md5(self.setup_bytes))

    def test_setup_that_cannot_be_started(self):
        not_a_program = b"neither a Windows nor any other program\n" * 10
        url = self.services.publish("setup.exe", not_a_program)
        self.services.redirect_to(url)
        self.run_launcher(self.launcher())
        self.assertEqual(self.actions(), ["Start_Download", "Download_Succeed", "LaunchExe_Fail"])

    def test_kept_package_through_the_placeholder_address(self):
        # No remembered package: the check fails.
        self.services.redirect_to(PLACEHOLDER + "/anything")
        self.run_launcher(self.launcher())
        self.assertEqual(self.actions(), ["CallLocalBuild", "CheckMd5_Fail"])

        # A remembered package in the build folder: its sidecar comes from the
        # store's base address and lands in the package folder.
        for program, expected in [(self.setup_bytes, "LaunchExe_Succeed"), (b"not a program\n" * 9, "LaunchExe_Fail")]:
            with self.subTest(expected):
                self.setUp()
                build = os.path.join(self.package_dir, "Build")
                os.makedirs(build)
                kept = os.path.join(build, "setup.exe")
                with open(kept, "wb") as f:
                    f.write(program)
                self.bed.reg("add", REGISTRY_KEY, "/v", "LocalPath", "/t", "REG_SZ",
                             "/d", self.bed.to_windows_path(kept), "/f")
                self.store.route("/1.1/en-us/setup.exe_MD5.txt", body=md5(program).encode())
                self.services.redirect_to(PLACEHOLDER + "/anything")
                self.run_launcher(self.launcher())
                self.assertEqual(self.actions(), ["CallLocalBuild", expected])
                self.assertEqual(len(self.store.requests_for("/1.1/en-us/setup.exe_MD5.txt")), 1)
                self.assertIn("setup.exe_MD5.txt", self.package_files())
                self.assertEqual(self.store.requests_for("/pkg/setup.exe"), [])

    def test_two_launchers_started_together_run_one_workflow(self):
        # The package drips in over several seconds, so the first launcher
        # still holds the guard while the second starts.
        self.services.redirect_to(self.store.route("/pkg/slow.exe", body=b"x" * 40, drip=(1, 0.25)))
        exe = self.launcher(extra=f"[instance]\ngolbalMutexName=LumenscanPair_{uuid.uuid4().hex}\n")
        runs = [self.services.start(exe) for _ in range(2)]
        results = [run.finish() for run in runs]

        self.assertEqual([r.code for r in results], [0, 0], results)
        guards = sorted(line for r in results for line in r.debug if line.startswith("Single instance"))
        self.assertEqual(guards, ["Single instance: another launcher is running, exiting",
                                  "Single instance: first instance"])
        self.assertEqual(len(self.redirect.requests_for("/GREntry/NonPayment")), 1)
        self.assertEqual(self.actions()[0], "Start_Download")

    def test_result_codes_of_the_failure_paths(self):
        """Each failure ends the run with its own code, seen in the run's last
        debugger line."""
        import io
        import zipfile
        archive = io.BytesIO()
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("setup.exe", self.setup_bytes)
        serve = self.services.publish
        cases = [
            # No usable name for the download: the address ends in a slash.
            ("no file name", lambda: self.store.route("/pkg/", body=b"x"),
             ["Start_Download", "Download_Fail"], "E0FF0008"),
            ("broken archive", lambda: serve("pkg.zip", b"PK\x03\x04 not really an archive"),
             ["Start_Download", "Download_Succeed"], "E0170008"),
            ("digest not in the sidecar", lambda: serve("setup.exe", self.setup_bytes,
                                                        sidecar=md5(b"other")),
             ["Start_Download", "Download_Succeed", "CheckMd5_Fail"], "E0FF0012"),
            ("not a program", lambda: serve("setup.exe", b"not a program\n" * 9),
             ["Start_Download", "Download_Succeed", "LaunchExe_Fail"], "E0FE00C1"),
        ]
        # The transfer bound running out while the store holds the body back;
        # the bound is shortened through the test builds' hook.
        if HOOKS_BUILT:
            cases.append(("transfer bound ran out",
                          lambda: self.store.route("/pkg/held.exe", hang=True),
                          ["Start_Download", "Download_Fail"], "E0FE2EFD"))
        for name, publish, actions, code in cases:
            with self.subTest(name):
                self.setUp()
                self.services.redirect_to(publish())
                held = name == "transfer bound ran out"
                result = self.run_launcher(self.launcher(),
                                           extra_env={"LAUNCHER_TEST_WAIT_MS": "2000"} if held else None)
                self.assertEqual(self.actions(), actions)
                self.assertIn(f"run result {code}", result.debug)
                # Remembered only once the check has passed.
                self.assertEqual(local_path(self.bed) is not None, "LaunchExe_Fail" in actions)

    def test_a_failed_check_keeps_the_last_verified_package_for_a_local_run(self):
        url = self.services.publish("setup.exe", self.setup_bytes)
        self.services.redirect_to(url)
        exe = self.launcher()
        self.run_launcher(exe)
        verified = self.bed.to_windows_path(os.path.join(self.package_dir, "setup.exe"))
        self.assertEqual(local_path(self.bed), verified)

        # A bad download, a name the type rule does not know, a broken archive:
        # none of them replaces what was verified.
        for name, data, sidecar in [("setup.exe", b"tampered", md5(self.setup_bytes)),
                                    ("pkg.bin", self.setup_bytes, None),
                                    ("pkg.zip", b"PK\x03\x04 broken", None)]:
            with self.subTest(name):
                self.collector.clear()
                self.services.redirect_to(self.services.publish(name, data, sidecar=sidecar))
                self.run_launcher(exe)
                self.assertEqual(local_path(self.bed), verified)

        # A later local run checks the kept file against the store's sidecar.
        self.collector.clear()
        self.store.route("/1.1/en-us/setup.exe_MD5.txt", body=md5(self.setup_bytes).encode())
        self.services.redirect_to(PLACEHOLDER + "/anything")
        self.run_launcher(exe)
        self.assertEqual(self.actions(), ["CallLocalBuild", "LaunchExe_Succeed"])

    def test_a_base_folder_named_like_the_package_folder_works(self):
        self.base = os.path.join(self.dir, "PackageCache")
        self.package_dir = os.path.join(self.base, "Package")
        import io
        import zipfile
        archive = io.BytesIO()
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("setup.exe", self.setup_bytes)
        for name, data, folder in [("setup.exe", self.setup_bytes, self.package_dir),
                                   ("pkg.zip", archive.getvalue(),
                                    os.path.join(self.package_dir, "Build"))]:
            with self.subTest(name):
                self.collector.clear()
                url = self.services.publish(name, data, sidecar=md5(self.setup_bytes))
                self.services.redirect_to(url)
                self.run_launcher(self.launcher())
                self.assertEqual(self.actions(), ["Start_Download", "Download_Succeed",
                                                  "LaunchExe_Succeed"])
                self.assertIsNotNone(setup_record(folder))
                self.assertIn(f"{name}_MD5.txt", self.package_files())

    def test_a_relative_base_folder_belongs_to_the_launcher(self):
        url = self.services.publish("setup.exe", self.setup_bytes)
        self.services.redirect_to(url)
        app = os.path.join(self.dir, "app")
        copy_launcher(app, "[build]\nlocalTempPath=relative\\base\ntype=exe\n[ER]\nfunId=rel\n")
        # Started from another folder than its own.
        self.run_launcher(os.path.join(app, launcher_run.EXE_NAME), cwd=self.dir)
        self.assertIsNotNone(setup_record(os.path.join(app, "relative", "base", "Package")))

    def test_the_guard_is_held_until_the_check_has_passed(self):
        # The sidecar comes slowly: a second launcher started meanwhile is
        # turned away.
        url = self.store.route("/pkg/setup.exe", body=self.setup_bytes)
        self.store.route("/pkg/setup.exe_MD5.txt", body=f"{md5(self.setup_bytes)}  x\r\n".encode(),
                         drip=(2, 0.25))
        self.services.redirect_to(url)
        exe = self.launcher(extra=f"[instance]\ngolbalMutexName=LumenscanGuard_{uuid.uuid4().hex}\n")
        first = self.services.start(exe)
        deadline = time.monotonic() + 60
        while not self.store.requests_for("/pkg/setup.exe_MD5.txt") and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertTrue(self.store.requests_for("/pkg/setup.exe_MD5.txt"))
        second = self.services.run(exe, timeout=120)
        results = [second, first.finish()]
        self.assertEqual([r.code for r in results], [0, 0], results)
        self.assertIn("Single instance: another launcher is running, exiting", second.debug)
        self.assertEqual(len(self.redirect.requests_for("/GREntry/NonPayment")), 1)

    def test_an_answer_of_200_downloads_the_request_address_itself(self):
        self.redirect.route("/GREntry/NonPayment", status=200, body=self.setup_bytes)
        result = self.run_launcher(self.launcher())
        self.assertIn("no redirect happened in this request, this is a special case, we will try "
                      "to download file directly...", result.debug)
        requests = self.redirect.requests_for("/GREntry/NonPayment")
        # The request, the download of its address, and its "sidecar".
        self.assertEqual(len(requests), 3, requests)
        self.assertEqual(requests[1].target, requests[0].target)
        self.assertTrue(requests[2].target.endswith("_MD5.txt"), requests[2].target)
        self.assertIn("NonPayment.exe", self.package_files())
        self.assertEqual(self.actions(), ["Start_Download", "Download_Succeed", "CheckMd5_Fail"])

    def test_mended_faults_encoding_and_overlong_texts(self):
        # Values that would change the request are percent-encoded.
        self.services.redirect_to(status=404)
        self.run_launcher(self.launcher(), ["-s", "-funid=a&b#c", "-vid=x y%"])
        query = self.query()
        self.assertEqual(query["FunID"], ["a&b#c"])
        self.assertEqual(query["VID"], ["x y%"])
        self.assertEqual(self.redirect.requests_for("/GREntry/NonPayment")[0].target.count("&"), 6)

        # A redirect URL over 259 characters is not sent.
        self.setUp()
        self.services.redirect_to(status=404)
        result = self.run_launcher(self.launcher(), ["-s", "-funid=" + "f" * 300])
        self.assertEqual(self.redirect.requests_for("/GREntry/NonPayment"), [])
        self.assertEqual(self.actions(), ["GetErUrlFail"])
        self.assertIn("original url is too long, no request sent", result.debug)

        # A setup command line over 511 characters is not started.
        self.setUp()
        deep = "d" * 250
        self.services.redirect_to(PLACEHOLDER)
        kept_dir = os.path.join(self.package_dir, deep, deep)
        os.makedirs(kept_dir)
        kept = os.path.join(kept_dir, "setup.exe")
        with open(kept, "wb") as f:
            f.write(self.setup_bytes)
        self.bed.reg("add", REGISTRY_KEY, "/v", "LocalPath", "/t", "REG_SZ",
                     "/d", self.bed.to_windows_path(kept), "/f")
        self.store.route("/1.1/en-us/setup.exe_MD5.txt", body=md5(self.setup_bytes).encode())
        result = self.run_launcher(self.launcher())
        self.assertEqual(self.actions(), ["CallLocalBuild", "LaunchExe_Fail"])
        self.assertIsNone(setup_record(kept_dir, wait=False))
        self.assertIn("run result E0FE00CE", result.debug)


@unittest.skipUnless(LAUNCHER and IMPORT_CA, "run through CTest")
class WorkflowOn64BitTest(unittest.TestCase):
    def test_os_is_x64_in_a_64_bit_prefix(self):
        bed = TestBed(os.environ["TESTBED_DIR"], "win64")
        with Services(bed, os.path.join(os.environ["TESTBED_DIR"], "workflow-ca64")) as services:
            folder = tempfile.mkdtemp(prefix="workflow64-", dir=os.environ["TESTBED_DIR"])
            self.addCleanup(shutil.rmtree, folder, True)
            result = services.run(copy_launcher(folder), ["-s", "-funid=x64test"])
            (request,) = services.redirect.requests_for("/GREntry/NonPayment")
        self.assertEqual(result.code, 0, result)
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(request.target).query)
        self.assertEqual(query["Os"], ["x64"])
        self.assertEqual(query["FunID"], ["x64test"])


if __name__ == "__main__":
    unittest.main()
